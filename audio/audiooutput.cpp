#include "audio/audiooutput.h"

#include "audio/audioformat.h"
#include "audio/pulsestream.h"
#include "audio/sounddevices.h"

#include <QDebug>
#include <QTimer>

#include <cmath>

namespace {

// The stream makes room a period (20 ms) at a time; a feed twice a period
// keeps held-back audio flowing without a gap.
constexpr int feedIntervalMs = 10;
// Held-back audio that the stream has taken none of for this long is stale (the
// sound server has stalled): it is dropped rather than played late.
constexpr int staleAfterMs = 500;
// Held-back audio that never ran out over this long is standing delay, not
// cover for jitter: what was never needed in that time is dropped.
constexpr int standingWindowMs = 1000;
// A stream lost while the server still answers (its sink removed, say).
constexpr int reopenAfterMs = 1000;
// Audio that comes within this of the stream running dry was late; later
// than that, the talk had paused.
constexpr int lateChunkMs = 200;
// How long the cover for late chunks must have sufficed before it shrinks.
constexpr int coverShrinkMs = 20000;

} // namespace

AudioOutput::AudioOutput(QObject *parent)
    : QObject(parent)
{
    feeder = new QTimer(this);
    feeder->setTimerType(Qt::PreciseTimer);
    feeder->setInterval(feedIntervalMs);
    connect(feeder, &QTimer::timeout, this, &AudioOutput::feed);
    reopener = new QTimer(this);
    reopener->setSingleShot(true);
    reopener->setInterval(reopenAfterMs);
    connect(reopener, &QTimer::timeout, this, &AudioOutput::open);
    connect(SoundDevices::instance(), &SoundDevices::answeringChanged, this,
            &AudioOutput::serverAnswering);
    open();
}

AudioOutput::~AudioOutput() = default;

void AudioOutput::open()
{
    if (stream)
        return;
    stream.reset(PulseStream::open(PulseStream::Direction::Playback, QByteArray(),
                                   AudioFormat::playbackStreamBytes, this, "streamChanged", false,
                                   cover));
    if (!stream && !failureLogged) {
        qDebug() << "audio playback could not start";
        failureLogged = true;
    }
    if (stream)
        failureLogged = false;
}

void AudioOutput::streamChanged()
{
    if (stream && stream->takeUnderflows() > 0)
        ranDry.start();
    if (!stream || stream->state() != PulseStream::State::Gone)
        return;
    dropStream();
    if (SoundDevices::instance()->answering())
        reopener->start();
}

void AudioOutput::serverAnswering(bool answering)
{
    if (!answering) {
        // Whatever the stream says yet, the server behind it is gone.
        dropStream();
        return;
    }
    if (!stream || stream->state() == PulseStream::State::Gone) {
        dropStream();
        open();
    }
}

void AudioOutput::dropStream()
{
    stream.reset();
    queued.clear();
    feeder->stop();
}

void AudioOutput::writeData(QByteArray data)
{
    // What this chunk adds to what will be played: its bytes written now or
    // held back for the stream, less held-back audio dropped to keep the
    // delay down. The rest of the chunk is dropped, and so is a trailing odd
    // byte: only whole samples play.
    qint64 taken = 0;
    if (stream) {
        adaptCover();
        QByteArray samples = data;
        samples.truncate(samples.size() - samples.size() % 2);
        if (volume < 1.0f)
            scaleSamples(samples, volume);
        feed();
        qint64 written = 0;
        if (stream && queued.isEmpty())
            written = stream->write(samples.constData(), samples.size());
        if (written >= 0 && stream) {
            taken = written;
            const qint64 held = qMin<qint64>(samples.size() - taken,
                                             AudioFormat::playbackQueueBytes - queued.size());
            if (held > 0) {
                queued.append(samples.constData() + taken, int(held));
                taken += held;
                if (!feeder->isActive()) {
                    sinceProgress.start();
                    feeder->start();
                }
            }
            taken = qMax<qint64>(0, taken - dropStandingDelay());
        }
    }
    qDebug() << "wrote: " << taken << " down from: " << data.size();
}

void AudioOutput::adaptCover()
{
    // The stream ran dry, and audio came again soon after: a chunk came late,
    // not the end of a talk. Wait for a little more before playing the next
    // time; while no chunk comes late for a while, wait a little less.
    int wanted = cover;
    if (ranDry.isValid() && ranDry.elapsed() < lateChunkMs) {
        wanted = qMin(cover + AudioFormat::playbackCoverStepBytes, AudioFormat::playbackStreamBytes);
        coverHeld.start();
    } else if (!coverHeld.isValid()) {
        coverHeld.start();
    } else if (coverHeld.elapsed() >= coverShrinkMs && cover > AudioFormat::playbackCoverStepBytes) {
        wanted = cover - AudioFormat::playbackCoverStepBytes;
        coverHeld.start();
    }
    ranDry.invalidate();
    if (wanted != cover) {
        cover = wanted;
        stream->setStartThreshold(cover);
        qDebug() << "playback waits for:" << cover;
    }
}

qint64 AudioOutput::dropStandingDelay()
{
    if (!standingWindow.isValid())
        standingWindow.start();
    if (standingWindow.elapsed() < standingWindowMs)
        return 0;
    // All of it that was never needed, the oldest first, whole samples, so
    // the stream stays aligned.
    const qint64 dropped = qMin(standingQueue, queued.size()) & ~1;
    queued.remove(0, int(dropped));
    standingQueue = queued.size();
    standingWindow.restart();
    return dropped;
}

void AudioOutput::feed()
{
    if (!queued.isEmpty() && stream) {
        const qint64 written = stream->write(queued.constData(), queued.size());
        if (written > 0) {
            queued.remove(0, int(written));
            sinceProgress.start();
        } else if (written < 0 || sinceProgress.elapsed() >= staleAfterMs) {
            queued.clear();
        }
    }
    standingQueue = qMin(standingQueue, queued.size());
    if (queued.isEmpty())
        feeder->stop();
}

void AudioOutput::setVolume(float volume)
{
    qDebug() << "output volume set to:" << volume;
    // Clamped as the toolkit clamps its own volume.
    this->volume = std::isnan(volume) ? 1.0f : qBound(0.0f, volume, 1.0f);
}
