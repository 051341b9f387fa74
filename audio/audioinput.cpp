#include "audio/audioinput.h"

#include "audio/audioformat.h"

#include <QAudioInput>
#include <QDebug>
#include <QThread>

AudioInput::AudioInput(QAudioDeviceInfo devinfo, QObject *parent)
    : QObject(parent)
{
    format = AudioFormat::pcm();
    startDevice(devinfo);
}

AudioInput::~AudioInput()
{
    // The capture backend's destructor spins the event loop after it has
    // closed its stream: a notification delivered then must find nothing to
    // read from, or the sound library aborts the process.
    audio = nullptr;
    device = nullptr;
}

void AudioInput::startDevice(QAudioDeviceInfo devinfo)
{
    qDebug() << "device started";
    audio = new QAudioInput(devinfo, format, this);
    audioThread = QThread::currentThread();
    audio->setBufferSize(AudioFormat::captureBufferBytes);
    device = audio->start();
    if (!device) {
        qDebug() << "audio capture could not start";
        return;
    }
    connect(device, SIGNAL(readyRead()), this, SLOT(readyRead()));
}

void AudioInput::changeDevice(QAudioDeviceInfo devinfo)
{
    // A device that can be opened only once (a hardware device) must be let
    // go before it is opened again: open the new one only once the old
    // capture object is stopped and gone.
    pendingDevice = devinfo;
    if (startPending)
        return;
    startPending = true;
    if (disposeCapture())
        startPendingDevice();
}

void AudioInput::startPendingDevice()
{
    if (!startPending)
        return;
    startPending = false;
    startDevice(pendingDevice);
}

bool AudioInput::disposeCapture()
{
    if (!audio)
        return true;
    if (device)
        device->disconnect(this);
    QAudioInput *old = audio;
    audio = nullptr;
    device = nullptr;
    if (audioThread == QThread::currentThread()) {
        old->stop();
        delete old;
        return true;
    }
    // Made on another thread (the main thread, before the sender moved here):
    // hand it back there to be destroyed beside its backend, whose destructor
    // ends the capture. stop() is no slot and cannot be queued by name.
    old->setParent(nullptr);
    old->moveToThread(audioThread);
    connect(old, SIGNAL(destroyed()), this, SLOT(startPendingDevice()));
    old->deleteLater();
    return false;
}

void AudioInput::releaseCaptureMadeHere()
{
    // Shutting down: a device chosen but not yet opened stays closed.
    startPending = false;
    if (audio && audioThread == QThread::currentThread())
        disposeCapture();
}

void AudioInput::setVolume(float volume)
{
    if (audio)
        audio->setVolume(double(volume));
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
    // Read until less than a period is left, a chunk at a time. A server that
    // hands over whole periods can hold more than one chunk at a notification
    // (two on PipeWire, from the start): one read per notification would
    // leave a little more behind each time, and capture would fall behind
    // real time for as long as it runs. A fragment that trickled in during
    // the reads waits for the next notification rather than go out alone.
    for (bool first = true; audio && device; first = false) {
        qint64 n = audio->bytesReady();
        if (!first && n < AudioFormat::captureBufferBytes)
            return;
        if (n > AudioFormat::bufferBytes)
            n = AudioFormat::bufferBytes;
        if (n <= 0)
            return;
        QByteArray chunk(int(n), Qt::Uninitialized);
        const qint64 got = device->read(chunk.data(), n);
        if (got <= 0)
            return;
        if (sendAudio) {
            chunk.truncate(int(got));
            emit dataReady(chunk);
        }
    }
}
