#include "audio/audiooutput.h"

#include "audio/audioformat.h"
#include "audio/pulsestream.h"
#include "audio/sounddevices.h"

#include <QDebug>
#include <QTimer>
#include <QtEndian>

namespace {

// A stream lost while the server still answers (its sink removed, say).
constexpr int reopenAfterMs = 1000;
// The stream starts (and starts again after running dry) once a request of
// its own is there: the cover for late chunks is the mixer's, per peer.
constexpr int startBytes = AudioFormat::playbackRequestBytes;

// The mixer's view of the stream, in frames.
class StreamFrames : public Mixer::Stream
{
public:
    explicit StreamFrames(PulseStream *stream)
        : stream(stream), now(stream->levels())
    {
    }
    int buffered() const override { return int(now.buffered / AudioFormat::bytesPerFrame); }
    int writable() const override { return int(now.writable / AudioFormat::bytesPerFrame); }
    void write(const qint16 *samples, int frames) override
    {
        // Native to little-endian: a copy on the machines this runs on.
        bytes.resize(frames * AudioFormat::bytesPerFrame);
        qToLittleEndian<qint16>(samples, frames, bytes.data());
        stream->write(bytes.constData(), bytes.size());
        now.buffered += bytes.size();
        now.writable -= bytes.size();
    }

private:
    PulseStream *stream;
    PulseStream::Levels now;
    QByteArray bytes;
};

} // namespace

AudioOutput::AudioOutput(QObject *parent)
    : QObject(parent)
{
    clock.start();
    player = new QTimer(this);
    player->setTimerType(Qt::PreciseTimer);
    player->setSingleShot(true);
    connect(player, &QTimer::timeout, this, &AudioOutput::play);
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
                                   !listening, startBytes));
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
    if (!listening) {
        mixer.clear();
        player->stop();
    }
    if (stream)
        stream->setCorked(!listening);
}

void AudioOutput::setMuted(const QString &sender, bool muted)
{
    mixer.setMuted(sender, muted);
}

void AudioOutput::streamChanged()
{
    if (stream && stream->takeUnderflows() > 0)
        mixer.ranDry();
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
    // Held audio has nowhere to play; the next talk starts afresh.
    mixer.clear();
    player->stop();
}

void AudioOutput::writeData(QByteArray data)
{
    writeData(QString(), data);
}

void AudioOutput::writeData(QString sender, QByteArray data)
{
    qint64 taken = 0;
    if (stream) {
        StreamFrames frames(stream.get());
        taken = mixer.push(sender, data, clock.elapsed(), frames.buffered());
        playInto(frames);
    }
    qDebug() << "wrote: " << taken << " down from: " << data.size();
}

void AudioOutput::play()
{
    if (!stream)
        return;
    StreamFrames frames(stream.get());
    playInto(frames);
}

void AudioOutput::playInto(Mixer::Stream &frames)
{
    const int wait = mixer.play(frames, clock.elapsed());
    if (wait < 0)
        player->stop();
    // Chunks come faster than the stream runs low: a wake-up already due
    // sooner stands, and comes to little more than asking again.
    else if (!player->isActive() || player->remainingTime() > wait)
        player->start(wait);
}

void AudioOutput::setVolume(float volume)
{
    qDebug() << "output volume set to:" << volume;
    mixer.setVolume(volume);
}
