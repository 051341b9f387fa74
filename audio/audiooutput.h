#ifndef AUDIOOUTPUT_H
#define AUDIOOUTPUT_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include "audio/audioformat.h"

#include <limits>
#include <memory>

class PulseStream;
class QTimer;

// Plays received chunks on the default output device, through one stream
// that is made again whenever the sound server has lost it.
class AudioOutput : public QObject
{
    Q_OBJECT

public:
    explicit AudioOutput(QObject *parent);
    ~AudioOutput() override;

    void setVolume(float volume);
    // Corked while nobody listens: a playback stream left running keeps the
    // sound server's graph cycling and the sound card awake all day.
    void setListening(bool listening);
    // At shutdown, on this object's thread: no timer may still run when the
    // object moves to the thread that deletes it (the toolkit would queue
    // their restart there, and leak it when the object goes first).
    void closeDown();

public slots:
    void writeData(QByteArray data);

private slots:
    // Moves held-back audio into the stream as it makes room.
    void feed();
    // The stream's state changed (queued from the sound library's thread).
    void streamChanged();
    void serverAnswering(bool answering);
    void open();

private:
    // Drops held-back audio that stood unneeded for a while; returns how much.
    qint64 dropStandingDelay();
    void adaptCover(int chunkBytes);
    void dropStream();
    // Held-back audio, and the delay measured over it, when nothing will play it.
    void dropQueued();

    QTimer *feeder = nullptr;
    // A stream the server dropped while it still answers is asked for again.
    QTimer *reopener = nullptr;
    std::unique_ptr<PulseStream> stream;
    bool listening = false;
    bool failureLogged = false;
    // Applied to the samples here: the toolkit's own volume below 1.0 made its
    // PulseAudio stream refuse every write once the buffer had filled.
    float volume = 1.0f;
    // Audio the stream had no room for yet, oldest first; see playbackQueueBytes.
    QByteArray queued;
    // Since the stream last took any held-back audio.
    QElapsedTimer sinceProgress;
    // The least audio waiting to play (on the server and here) as a chunk
    // came, since the window started.
    static constexpr qint64 noFill = std::numeric_limits<qint64>::max();
    qint64 standingFill = noFill;
    // Audio of the chunks to come that is dropped to bring the delay down.
    qint64 toSkip = 0;
    QElapsedTimer standingWindow;
    // See playbackCoverStepBytes.
    int cover = AudioFormat::playbackCoverStepBytes;
    // The cover if no chunk had come late: the largest chunk since the
    // window started, rounded up to a step.
    int leastCover = 0;
    QElapsedTimer ranDry;
    QElapsedTimer coverHeld;
};

#endif // AUDIOOUTPUT_H
