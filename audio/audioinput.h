#ifndef AUDIOINPUT_H
#define AUDIOINPUT_H

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QObject>

class QAudioInput;
class QIODevice;
class QThread;

// Captures the microphone for its whole life; sendAudio decides whether the
// chunks read are handed out or dropped.
class AudioInput : public QObject
{
    Q_OBJECT

public:
    AudioInput(QAudioDeviceInfo devinfo, QObject *parent);

    void changeDevice(QAudioDeviceInfo devinfo);
    void startDevice(QAudioDeviceInfo devinfo);
    void setVolume(float volume);
    void startAudio();
    void stopAudio();

    // At shutdown, on the thread this object lives on: a capture object made
    // on this thread goes now, while the thread still runs.
    void releaseCaptureMadeHere();

signals:
    void dataReady(QByteArray data);

private slots:
    void readyRead();

private:
    void disposeCapture();

    QAudioInput *audio = nullptr;
    QIODevice *device = nullptr;
    QAudioFormat format;
    bool sendAudio = false;
    // The toolkit's backend behind `audio` stays on the thread that made it,
    // whatever thread the wrapper moves to, and must be destroyed there.
    QThread *audioThread = nullptr;
};

#endif // AUDIOINPUT_H
