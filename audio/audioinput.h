#ifndef AUDIOINPUT_H
#define AUDIOINPUT_H

#include "audio/pulsestream.h"

#include <QAudioDeviceInfo>
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <memory>
#include <mutex>

class QTimer;

// Captures the microphone for its whole life, through one stream that is made
// again whenever the sound server has lost it; sendAudio decides whether the
// chunks read are handed out or dropped.
class AudioInput : public QObject, private PulseStream::Sink
{
    Q_OBJECT

public:
    AudioInput(QAudioDeviceInfo devinfo, QObject *parent);
    ~AudioInput() override;

    void changeDevice(QAudioDeviceInfo devinfo);
    // The same, for a device the toolkit does not list (the sound server's
    // own name for it).
    void changeDeviceName(const QByteArray &name);
    void startDevice(QAudioDeviceInfo devinfo);
    void setVolume(float volume);
    void startAudio();
    void stopAudio();
    // At shutdown, on this object's thread: see AudioOutput::closeDown().
    void closeDown();

signals:
    // Emitted on the sound library's thread as soon as a period has come:
    // a receiver connected directly must be safe to call from there and must
    // not wait on the sound library; any other connection is queued.
    void dataReady(QByteArray data);
    // The chosen device is not there (any more): capture goes on from the
    // default microphone.
    void deviceMissing(QString device);

private slots:
    // The stream's state changed or audio arrived (queued from the sound
    // library's thread).
    void readyRead();
    void serverAnswering(bool answering);
    void sourcesChanged();
    void open();

private:
    void startNamed(const QByteArray &name);
    void captured(QByteArray audio) override;
    void dropBacklog(QByteArray &captured);
    bool sending();
    void fallBackToDefault();
    // A device other than the default was chosen, and the server has none of that name.
    bool chosenDeviceGone() const;

    std::unique_ptr<PulseStream> stream;
    // A stream the server dropped while it still answers is asked for again.
    QTimer *reopener = nullptr;
    // The server's name of the device in use; empty for its default.
    QByteArray deviceName;
    bool failureLogged = false;

    // What the sound library's thread reads as audio comes, set from this
    // object's thread.
    std::mutex sendLock;
    bool sendAudio = false;
    float volume = 1.0f;
    QElapsedTimer sendingFor;
    qint64 sentSinceStart = 0;
};

#endif // AUDIOINPUT_H
