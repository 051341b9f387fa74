#include "audio/audioinput.h"

#include "audio/audioformat.h"
#include "audio/pulsestream.h"
#include "audio/sounddevices.h"

#include <QDebug>
#include <QTimer>

namespace {

// A stream lost while the server still answers (its device busy, say).
constexpr int reopenAfterMs = 1000;
// How long after a broadcast begins audio is checked for a held-back backlog.
constexpr qint64 backlogWatchMs = 1000;

} // namespace

AudioInput::AudioInput(QAudioDeviceInfo devinfo, QObject *parent)
    : QObject(parent)
{
    reopener = new QTimer(this);
    reopener->setSingleShot(true);
    reopener->setInterval(reopenAfterMs);
    connect(reopener, &QTimer::timeout, this, &AudioInput::open);
    SoundDevices *devices = SoundDevices::instance();
    connect(devices, &SoundDevices::answeringChanged, this, &AudioInput::serverAnswering);
    connect(devices, &SoundDevices::sourcesChanged, this, &AudioInput::sourcesChanged);
    startDevice(devinfo);
}

AudioInput::~AudioInput()
{
    closeDown();
}

void AudioInput::closeDown()
{
    reopener->stop();
    stream.reset();
    // The stream is gone and its last period handed out: let the thread
    // checker see that the sound library's thread is done with this object.
    std::lock_guard<std::mutex> guard(sendLock);
}

void AudioInput::startDevice(QAudioDeviceInfo devinfo)
{
    startNamed(devinfo.deviceName().toUtf8());
}

void AudioInput::changeDevice(QAudioDeviceInfo devinfo)
{
    startDevice(devinfo);
}

void AudioInput::changeDeviceName(const QByteArray &name)
{
    startNamed(name);
}

void AudioInput::startNamed(const QByteArray &name)
{
    qDebug() << "device started";
    // The toolkit's "default" entry, like the null device, is the server's
    // default source.
    deviceName = name == "default" ? QByteArray() : name;
    stream.reset();
    reopener->stop();
    failureLogged = false;
    open();
}

void AudioInput::open()
{
    if (stream)
        return;
    // Opening a device that is gone must not wait on it: the default takes over.
    if (chosenDeviceGone()) {
        fallBackToDefault();
        return;
    }
    // Corked while nothing is sent: capture that ran all day would cost CPU
    // and keep the desktop's microphone indicator lit.
    stream.reset(PulseStream::open(PulseStream::Direction::Capture, deviceName,
                                   AudioFormat::captureBufferBytes, this, "readyRead", !sending(), -1,
                                   this));
    if (!stream && !failureLogged) {
        qDebug() << "audio capture could not start";
        failureLogged = true;
    }
}

void AudioInput::fallBackToDefault()
{
    qWarning() << "input device gone, capturing from the default:" << deviceName;
    emit deviceMissing(SoundDevices::instance()->description(deviceName));
    deviceName.clear();
    stream.reset();
    open();
}

void AudioInput::serverAnswering(bool answering)
{
    if (!answering) {
        stream.reset();
        return;
    }
    if (!stream || stream->state() == PulseStream::State::Gone) {
        stream.reset();
        open();
    }
}

void AudioInput::sourcesChanged()
{
    // The device in use was unplugged: go on from the default.
    if (chosenDeviceGone())
        fallBackToDefault();
}

bool AudioInput::chosenDeviceGone() const
{
    const SoundDevices *devices = SoundDevices::instance();
    return !deviceName.isEmpty() && devices->answering() && !devices->hasSource(deviceName);
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
    if (stream)
        stream->setCorked(false);
}

void AudioInput::stopAudio()
{
    {
        std::lock_guard<std::mutex> guard(sendLock);
        sendAudio = false;
    }
    if (stream)
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

void AudioInput::readyRead()
{
    if (!stream || stream->state() != PulseStream::State::Gone)
        return;
    const bool missing = stream->deviceMissing();
    stream.reset();
    if (!SoundDevices::instance()->answering())
        return;
    if (missing && !deviceName.isEmpty())
        fallBackToDefault();
    else
        reopener->start();
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
