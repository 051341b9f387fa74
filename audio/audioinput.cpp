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

void AudioInput::startDevice(QAudioDeviceInfo devinfo)
{
    qDebug() << "device started";
    audio = new QAudioInput(devinfo, format, this);
    audioThread = QThread::currentThread();
    audio->setBufferSize(AudioFormat::bufferBytes);
    device = audio->start();
    if (!device) {
        qDebug() << "audio capture could not start";
        return;
    }
    connect(device, SIGNAL(readyRead()), this, SLOT(readyRead()));
}

void AudioInput::changeDevice(QAudioDeviceInfo devinfo)
{
    disposeCapture();
    startDevice(devinfo);
}

void AudioInput::disposeCapture()
{
    if (!audio)
        return;
    if (device)
        device->disconnect(this);
    QAudioInput *old = audio;
    audio = nullptr;
    device = nullptr;
    if (audioThread == QThread::currentThread()) {
        old->stop();
        delete old;
        return;
    }
    // Made on another thread (the main thread, before the sender moved here):
    // hand it back there to be destroyed beside its backend, whose destructor
    // ends the capture. stop() is no slot and cannot be queued by name.
    old->setParent(nullptr);
    old->moveToThread(audioThread);
    old->deleteLater();
}

void AudioInput::releaseCaptureMadeHere()
{
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
    if (!audio || !device)
        return;
    qint64 n = audio->bytesReady();
    if (n > AudioFormat::bufferBytes)
        n = AudioFormat::bufferBytes;
    if (n <= 0)
        return;
    QByteArray chunk(int(n), Qt::Uninitialized);
    const qint64 got = device->read(chunk.data(), n);
    if (got > 0 && sendAudio) {
        chunk.truncate(int(got));
        emit dataReady(chunk);
    }
}
