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

AudioInput::~AudioInput() = default;

void AudioInput::closeDown()
{
    reopener->stop();
    stream.reset();
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
                                   AudioFormat::captureBufferBytes, this, "readyRead", !sendAudio));
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

void AudioInput::setVolume(float volume)
{
    this->volume = boundedVolume(volume);
}

void AudioInput::startAudio()
{
    if (!sendAudio) {
        sendingFor.start();
        sentSinceStart = 0;
    }
    sendAudio = true;
    if (stream)
        stream->setCorked(false);
}

void AudioInput::stopAudio()
{
    sendAudio = false;
    if (stream)
        stream->setCorked(true);
}

void AudioInput::dropBacklog(QByteArray &captured)
{
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
    if (!stream)
        return;
    if (stream->state() == PulseStream::State::Gone) {
        const bool missing = stream->deviceMissing();
        stream.reset();
        if (!SoundDevices::instance()->answering())
            return;
        if (missing && !deviceName.isEmpty())
            fallBackToDefault();
        else
            reopener->start();
        return;
    }
    // Everything captured goes out at once, in chunks of at most one
    // datagram's audio: nothing waits here, so capture never falls behind
    // real time.
    QByteArray captured = stream->take();
    if (captured.isEmpty() || !sendAudio)
        return;
    dropBacklog(captured);
    if (volume < 1.0f)
        scaleSamples(captured, volume);
    for (int at = 0; at < captured.size(); at += AudioFormat::bufferBytes)
        emit dataReady(captured.mid(at, AudioFormat::bufferBytes));
}
