#include "audio/audiooutput.h"

#include "audio/audioformat.h"

#include <QAudioOutput>
#include <QDebug>
#include <QTimer>
#include <QtEndian>

#include <cmath>

namespace {

// The stream makes room a period (20 ms) at a time; a feed twice a period
// keeps held-back audio flowing without a gap.
constexpr int feedIntervalMs = 10;
// Held-back audio that the stream has taken none of for this long is stale (the
// sound server has gone or stalled): it is dropped rather than played late.
constexpr int idleFeedsBeforeDrop = 50;
// Held-back audio that never ran out over this long is standing delay, not
// cover for jitter: what was never needed in that time is dropped.
constexpr int standingWindowMs = 1000;

} // namespace

AudioOutput::AudioOutput(QObject *parent)
    : QObject(parent)
{
    feeder = new QTimer(this);
    feeder->setTimerType(Qt::PreciseTimer);
    feeder->setInterval(feedIntervalMs);
    connect(feeder, SIGNAL(timeout()), this, SLOT(feed()));

    const QAudioFormat format = AudioFormat::pcm();
    audio = new QAudioOutput(format, this);
    audio->setBufferSize(AudioFormat::bufferBytes);
    audio->setVolume(1.0);
    device = audio->start();
    if (!device)
        qDebug() << "audio playback could not start";
}

void AudioOutput::writeData(QByteArray data)
{
    // What this chunk adds to what will be played: its bytes written now or
    // held back for the stream, less held-back audio dropped to keep the
    // delay down. The rest of the chunk is dropped.
    qint64 taken = 0;
    if (device) {
        if (volume < 1.0f)
            scaleSamples(data, volume);
        feed();
        if (queued.isEmpty())
            taken = qMax<qint64>(0, device->write(data.constData(), data.size()));
        const qint64 held = qMin<qint64>(data.size() - taken,
                                         AudioFormat::playbackQueueBytes - queued.size());
        if (held > 0) {
            queued.append(data.constData() + taken, int(held));
            taken += held;
            if (!feeder->isActive()) {
                idleFeeds = 0;
                feeder->start();
            }
        }
        taken -= dropStandingDelay(taken);
    }
    qDebug() << "wrote: " << taken << " down from: " << data.size();
}

qint64 AudioOutput::dropStandingDelay(qint64 atMost)
{
    if (!standingWindow.isValid())
        standingWindow.start();
    if (standingWindow.elapsed() < standingWindowMs)
        return 0;
    // Whole samples, the oldest first, so the stream stays aligned.
    const qint64 dropped = qMin<qint64>(qMin(standingQueue, queued.size()), atMost) & ~qint64(1);
    queued.remove(0, int(dropped));
    standingQueue = queued.size();
    standingWindow.restart();
    return dropped;
}

void AudioOutput::feed()
{
    if (!queued.isEmpty() && device) {
        const qint64 written = device->write(queued.constData(), queued.size());
        if (written > 0) {
            queued.remove(0, int(written));
            idleFeeds = 0;
        } else if (++idleFeeds >= idleFeedsBeforeDrop) {
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

void scaleSamples(QByteArray &pcm, float volume)
{
    char *bytes = pcm.data();
    const int samples = pcm.size() / 2;
    for (int i = 0; i < samples; ++i) {
        const auto sample = qFromLittleEndian<qint16>(bytes + 2 * i);
        const long scaled = qBound(-32768L, std::lround(float(sample) * volume), 32767L);
        qToLittleEndian<qint16>(qint16(scaled), bytes + 2 * i);
    }
}
