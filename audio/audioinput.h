#ifndef AUDIOINPUT_H
#define AUDIOINPUT_H

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QObject>
#include <QPointer>

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
    ~AudioInput() override;

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
    // The capture object handed back to its own thread is gone, and with it
    // the device: the one chosen meanwhile can be opened now.
    void startPendingDevice();

private:
    // True when the current capture object is stopped and gone at return;
    // false when it was handed to its own thread to go there.
    bool disposeCapture();

    QAudioInput *audio = nullptr;
    // The backend deletes its stream when the sound server goes away.
    QPointer<QIODevice> device;
    QAudioFormat format;
    bool sendAudio = false;
    // The toolkit's backend behind `audio` stays on the thread that made it,
    // whatever thread the wrapper moves to, and must be destroyed there.
    QThread *audioThread = nullptr;
    // The device to open once the capture object handed back is gone.
    QAudioDeviceInfo pendingDevice;
    bool startPending = false;
};

#endif // AUDIOINPUT_H
