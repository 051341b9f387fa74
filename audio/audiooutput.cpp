#include "audio/audiooutput.h"

#include "audio/audioformat.h"
#include "audio/pulsestream.h"
#include "audio/sounddevices.h"

#include <QDebug>
#include <QTimer>

namespace {

// The stream makes room a period (20 ms) at a time; a feed twice a period
// keeps held-back audio flowing without a gap.
constexpr int feedIntervalMs = 10;
// Held-back audio that the stream has taken none of for this long is stale (the
// sound server has stalled): it is dropped rather than played late.
constexpr int staleAfterMs = 500;
// Audio that waited all along over this long, beyond what the latest chunk
// of that while needed, is standing delay: it is dropped.
constexpr int standingWindowMs = 1000;
// What still waits as the latest chunk of a window comes, once standing delay
// is dropped: a request of the stream (about a cycle of PipeWire's graph),
// and each step the cover has grown by for late chunks.
constexpr int standingMarginBytes = AudioFormat::playbackRequestBytes;
// Less standing delay than this stays: each drop is a skip that may be heard,
// and a sender's clock running ahead of ours is better cut a few times a
// minute than by a few samples every second.
constexpr int leastDropBytes = AudioFormat::playbackRequestBytes / 2;
// A stream lost while the server still answers (its sink removed, say).
constexpr int reopenAfterMs = 1000;
// Audio that comes within this of the stream running dry was late; later
// than that, the talk had paused.
constexpr int lateChunkMs = 200;
// How long the cover for late chunks must have sufficed before it shrinks,
// and the least time between two steps up.
constexpr int coverShrinkMs = 10000;
constexpr int coverGrowMs = 2000;

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

void AudioOutput::closeDown()
{
    reopener->stop();
    dropStream();
}

void AudioOutput::open()
{
    if (stream)
        return;
    stream.reset(PulseStream::open(PulseStream::Direction::Playback, QByteArray(),
                                   AudioFormat::playbackStreamBytes, this, "streamChanged",
                                   !listening, cover));
    if (!stream && !failureLogged) {
        qDebug() << "audio playback could not start";
        failureLogged = true;
    }
    if (stream)
        failureLogged = false;
}

void AudioOutput::setListening(bool listening)
{
    this->listening = listening;
    if (!listening)
        dropQueued();
    if (stream)
        stream->setCorked(!listening);
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
    dropQueued();
}

void AudioOutput::dropQueued()
{
    queued.clear();
    feeder->stop();
    // The delay measured so far, and what was still to be cut from the chunks
    // to come to bring it down, belonged to the audio dropped: cut from the
    // next talk, it would lose its first words.
    toSkip = 0;
    standingFill = noFill;
    leastCover = 0;
    standingWindow.invalidate();
}

void AudioOutput::writeData(QByteArray data)
{
    // What this chunk adds to what will be played: its bytes written now or
    // held back for the stream, less audio dropped to keep the delay down.
    // The rest of the chunk is dropped, and so is a trailing odd byte: only
    // whole samples play.
    qint64 taken = 0;
    if (stream) {
        adaptCover(data.size());
        QByteArray samples = data;
        samples.truncate(samples.size() - samples.size() % AudioFormat::bytesPerFrame);
        if (volume < 1.0f)
            scaleSamples(samples, volume);
        feed();
        // What waits to be played as a chunk comes: its least over a while
        // is delay that no late chunk needed.
        standingFill = qMin(standingFill, stream->buffered() + queued.size());
        const qint64 skipped = qMin<qint64>(toSkip, samples.size());
        samples.remove(0, int(skipped));
        toSkip -= skipped;
        qint64 written = 0;
        if (queued.isEmpty())
            written = stream->write(samples.constData(), samples.size());
        if (written >= 0) {
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

void AudioOutput::adaptCover(int chunkBytes)
{
    // The stream ran dry, and audio came again soon after: a chunk came late,
    // not the end of a talk. Wait for a little more before playing the next
    // time; while no chunk comes late for a while, wait a little less.
    // One event (a stall of the machine, a burst of network traffic) makes
    // the stream run dry more than once: it counts once. Whatever the jitter,
    // the cover is at least a chunk: chunks come a chunk's length apart.
    const int step = AudioFormat::playbackCoverStepBytes;
    const int floor = qMin((qMin(chunkBytes, AudioFormat::bufferBytes) + step - 1) / step * step,
                           AudioFormat::playbackStreamBytes);
    int wanted = cover;
    leastCover = qMax(leastCover, floor);
    if (cover < floor) {
        wanted = floor;
        coverHeld.start();
    } else if (ranDry.isValid() && ranDry.elapsed() < lateChunkMs
        && (!coverHeld.isValid() || coverHeld.elapsed() >= coverGrowMs)) {
        wanted = qMin(cover + AudioFormat::playbackCoverStepBytes, AudioFormat::playbackStreamBytes);
        coverHeld.start();
    } else if (!coverHeld.isValid()) {
        coverHeld.start();
    } else if (coverHeld.elapsed() >= coverShrinkMs && cover - step >= floor) {
        wanted = cover - step;
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
    // More waited all along than late chunks needed: drop the excess,
    // held-back audio first and then as much of the chunks to come, so the
    // delay goes back down. Standing delay comes of a stall or a burst of
    // late chunks, of a sender's clock running ahead of ours, and of where
    // playback started against the server's cycles: what waits as chunks
    // come after a start moves by up to a chunk with where it fell, and
    // nothing else takes it back.
    const qint64 kept = standingMarginBytes + qMax(0, cover - leastCover);
    const qint64 excess = standingFill == noFill ? 0 : (standingFill - kept) & ~qint64(1);
    standingFill = noFill;
    leastCover = 0;
    standingWindow.restart();
    if (excess < leastDropBytes)
        return 0;
    const qint64 dropped = qMin<qint64>(excess, queued.size()) & ~qint64(1);
    queued.remove(0, int(dropped));
    toSkip += excess - dropped;
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
    if (queued.isEmpty())
        feeder->stop();
}

void AudioOutput::setVolume(float volume)
{
    qDebug() << "output volume set to:" << volume;
    this->volume = boundedVolume(volume);
}
