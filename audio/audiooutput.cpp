#include "audio/audiooutput.h"

#include "audio/audioformat.h"
#include "audio/keptstream.h"
#include "audio/pulsestream.h"
#include "audio/sounddevices.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QTimer>
#include <QtEndian>

namespace {

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
    PulseStream::Options options;
    options.direction = PulseStream::Direction::Playback;
    options.bufferBytes = AudioFormat::playbackStreamBytes;
    options.corked = !listening;
    options.startBytes = startBytes;
    kept = new KeptStream(SoundDevices::instance(), options, "audio playback could not start", this);
    connect(kept, &KeptStream::changed, this, &AudioOutput::streamChanged);
    connect(kept, &KeptStream::dropped, this, &AudioOutput::streamDropped);
}

AudioOutput::~AudioOutput() = default;

void AudioOutput::closeDown()
{
    kept->close();
    player->stop();
}

void AudioOutput::setListening(bool listening)
{
    this->listening = listening;
    if (!listening) {
        mixer.clear();
        player->stop();
    }
    kept->setCorked(!listening);
    if (PulseStream *stream = kept->stream())
        stream->setCorked(!listening);
}

void AudioOutput::setMuted(const QString &sender, bool muted)
{
    mixer.setMuted(sender, muted);
}

void AudioOutput::streamChanged()
{
    if (PulseStream *stream = kept->stream()) {
        if (stream->takeUnderflows() > 0)
            mixer.ranDry();
    }
}

void AudioOutput::streamDropped()
{
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
    if (PulseStream *stream = kept->stream()) {
        StreamFrames frames(stream);
        taken = mixer.push(sender, data, clock.elapsed(), frames.buffered());
        playInto(frames);
    }
    // Formatted only when someone reads it: a line for every chunk heard.
    if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug() << "wrote: " << taken << " down from: " << data.size();
}

void AudioOutput::play()
{
    PulseStream *stream = kept->stream();
    if (!stream)
        return;
    StreamFrames frames(stream);
    playInto(frames);
}

void AudioOutput::playInto(Mixer::Stream &frames)
{
    const int wait = mixer.play(frames, clock.elapsed());
    if (wait < 0)
        player->stop();
    // The wait is counted from what the stream holds after this write: one
    // set before it would come while the stream still holds what was
    // written, and cost this thread a wake-up for nothing.
    else
        player->start(wait);
}

void AudioOutput::setVolume(float volume)
{
    qDebug() << "output volume set to:" << volume;
    mixer.setVolume(volume);
}
