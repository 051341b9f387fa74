#include "audio/audioinput.h"

#include "audio/audioformat.h"
#include "audio/pulsestream.h"
#include "audio/sounddevices.h"

#include <QDebug>
#include <QTimer>

#include <cmath>

namespace {

// A stream lost while the server still answers (its device busy, say).
constexpr int reopenAfterMs = 1000;

} // namespace

AudioInput::AudioInput(QAudioDeviceInfo devinfo, QObject *parent)
    : QObject(parent)
{
    format = AudioFormat::pcm();
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
    const SoundDevices *devices = SoundDevices::instance();
    // Opening a device that is gone must not wait on it: the default takes over.
    if (!deviceName.isEmpty() && devices->answering() && !devices->hasSource(deviceName)) {
        fallBackToDefault();
        return;
    }
    stream.reset(PulseStream::open(PulseStream::Direction::Capture, deviceName,
                                   AudioFormat::captureBufferBytes, this, "readyRead"));
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
    const SoundDevices *devices = SoundDevices::instance();
    if (!deviceName.isEmpty() && devices->answering() && !devices->hasSource(deviceName))
        fallBackToDefault();
}

void AudioInput::setVolume(float volume)
{
    // Clamped as the toolkit clamps its own capture volume.
    this->volume = std::isnan(volume) ? 1.0f : qBound(0.0f, volume, 1.0f);
}

void AudioInput::startAudio()
{
    sendAudio = true;
}

void AudioInput::stopAudio()
{
    sendAudio = false;
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
    if (volume < 1.0f)
        scaleSamples(captured, volume);
    for (int at = 0; at < captured.size(); at += AudioFormat::bufferBytes)
        emit dataReady(captured.mid(at, AudioFormat::bufferBytes));
}
