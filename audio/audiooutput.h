#ifndef AUDIOOUTPUT_H
#define AUDIOOUTPUT_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

class QAudioOutput;
class QIODevice;
class QTimer;

// Plays received chunks on the default output device, one stream for the
// whole life of the object.
class AudioOutput : public QObject
{
    Q_OBJECT

public:
    explicit AudioOutput(QObject *parent);

    void setVolume(float volume);

public slots:
    void writeData(QByteArray data);

private slots:
    // Moves held-back audio into the stream as it makes room.
    void feed();

private:
    // Drops held-back audio that stood unneeded for a while, at most
    // `atMost` bytes; returns how much.
    qint64 dropStandingDelay(qint64 atMost);

    // Made before the playback object, so that it is gone before the playback
    // backend's destructor spins the event loop.
    QTimer *feeder = nullptr;
    QAudioOutput *audio = nullptr;
    // The backend deletes its stream when the sound server goes away.
    QPointer<QIODevice> device;
    // Applied to the samples here: the toolkit's own volume below 1.0 makes
    // its PulseAudio stream refuse every write once the buffer has filled.
    float volume = 1.0f;
    // Audio the stream had no room for yet, oldest first; see playbackQueueBytes.
    QByteArray queued;
    int idleFeeds = 0;
    // The least audio held back since the window started: none of it was
    // needed to cover a late chunk.
    int standingQueue = 0;
    QElapsedTimer standingWindow;
};

// Scales 16-bit little-endian samples in place, clipping at full scale; a
// trailing odd byte is left as it is.
void scaleSamples(QByteArray &pcm, float volume);

#endif // AUDIOOUTPUT_H
