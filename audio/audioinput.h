#ifndef AUDIOINPUT_H
#define AUDIOINPUT_H

#include "audio/pulsestream.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <mutex>

class KeptStream;

// Captures the microphone chosen, by the sound server's name for it (empty or
// "default" for the server's default), through a stream that is corked while
// nothing is sent; sendAudio decides whether the audio captured is handed out.
class AudioInput : public QObject, private PulseStream::Sink
{
    Q_OBJECT

public:
    AudioInput(const QByteArray &device, QObject *parent);
    ~AudioInput() override;

    void changeDevice(const QByteArray &device);
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
    // default until the server offers it again.
    void deviceMissing(QString device);

private:
    void captured(QByteArray audio) override;
    void dropBacklog(QByteArray &captured);
    bool sending();

    KeptStream *kept = nullptr;

    // What the sound library's thread reads as audio comes, set from this
    // object's thread.
    std::mutex sendLock;
    bool sendAudio = false;
    float volume = 1.0f;
    QElapsedTimer sendingFor;
    qint64 sentSinceStart = 0;
};

#endif // AUDIOINPUT_H
