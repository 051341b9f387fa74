#include "audio/audioinput.h"

#include "audio/audioformat.h"
#include "audio/keptstream.h"
#include "audio/sounddevices.h"

#include <QDebug>

namespace {

// How long after a broadcast begins audio is checked for a held-back backlog.
constexpr qint64 backlogWatchMs = 1000;

PulseStream::Options captureOptions(const QByteArray &device, PulseStream::Sink *sink)
{
    PulseStream::Options options;
    options.direction = PulseStream::Direction::Capture;
    options.device = device;
    options.bufferBytes = AudioFormat::captureBufferBytes;
    // Corked while nothing is sent: capture that ran all day would cost CPU
    // and keep the desktop's microphone indicator lit.
    options.corked = true;
    options.sink = sink;
    return options;
}

} // namespace

AudioInput::AudioInput(const QByteArray &device, QObject *parent)
    : QObject(parent)
{
    qDebug() << "device started";
    SoundDevices *devices = SoundDevices::instance();
    kept = new KeptStream(devices, captureOptions(device, this), "audio capture could not start", this);
    connect(kept, &KeptStream::chosenMissing, this,
            [this, devices](const QByteArray &chosen) { emit deviceMissing(devices->description(chosen)); });
}

AudioInput::~AudioInput()
{
    closeDown();
}

void AudioInput::closeDown()
{
    kept->close();
    // The stream is gone and its last period handed out: let the thread
    // checker see that the sound library's thread is done with this object.
    std::lock_guard<std::mutex> guard(sendLock);
}

void AudioInput::changeDevice(const QByteArray &device)
{
    qDebug() << "device started";
    kept->setCorked(!sending());
    kept->choose(device);
}

bool AudioInput::sending()
{
    std::lock_guard<std::mutex> guard(sendLock);
    return sendAudio;
}

void AudioInput::setVolume(float volume)
{
    std::lock_guard<std::mutex> guard(sendLock);
    this->volume = boundedVolume(volume);
}

// The stream is (un)corked outside sendLock: the sound library's thread
// holds its own lock while it takes sendLock.
void AudioInput::startAudio()
{
    {
        std::lock_guard<std::mutex> guard(sendLock);
        if (!sendAudio) {
            sendingFor.start();
            sentSinceStart = 0;
        }
        sendAudio = true;
    }
    kept->setCorked(false);
    if (PulseStream *stream = kept->stream())
        stream->setCorked(false);
}

void AudioInput::stopAudio()
{
    {
        std::lock_guard<std::mutex> guard(sendLock);
        sendAudio = false;
    }
    kept->setCorked(true);
    if (PulseStream *stream = kept->stream())
        stream->setCorked(true);
}

void AudioInput::dropBacklog(QByteArray &captured)
{
    // With sendLock held.
    // A source may have held audio back while capture was corked (a pipe, a
    // network source) and hand it all over at once: what comes faster than
    // real time since the broadcast began was captured before it, and must
    // not go out.
    if (sendingFor.elapsed() > backlogWatchMs)
        return;
    const qint64 allowed = sendingFor.elapsed() * AudioFormat::bytesPerSecond / 1000 + AudioFormat::bufferBytes
        - sentSinceStart;
    if (captured.size() > allowed) {
        const qint64 drop = captured.size() - qMax<qint64>(allowed, 0);
        captured.remove(0, int(drop + drop % AudioFormat::bytesPerFrame));
    }
    sentSinceStart += captured.size();
}

void AudioInput::captured(QByteArray audio)
{
    // Everything captured goes out at once, in chunks of at most one
    // datagram's audio: nothing waits here, so capture never falls behind
    // real time. Under the lock to the last chunk, so that closeDown() knows
    // when the last has gone.
    std::lock_guard<std::mutex> guard(sendLock);
    if (!sendAudio)
        return;
    dropBacklog(audio);
    if (volume < 1.0f)
        scaleSamples(audio, volume);
    for (int at = 0; at < audio.size(); at += AudioFormat::bufferBytes)
        emit dataReady(audio.mid(at, AudioFormat::bufferBytes));
}
