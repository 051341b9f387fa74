#ifndef KEPTSTREAM_H
#define KEPTSTREAM_H

#include "audio/pulsestream.h"

#include <QByteArray>
#include <QObject>

class QTimer;
class SoundDevices;

// The reopen rules, for capture and playback alike: the stream is opened once
// the server answers with its devices known, dropped when the server goes,
// asked for again a second after the server dropped it while still
// answering, and moved whenever the device it belongs on changes: the chosen
// one gone or back, or the desktop's default moved under a stream on it.
class KeptStream : public QObject
{
    Q_OBJECT

public:
    // `failureLine` is logged once when no stream can be had before one ran.
    KeptStream(SoundDevices *devices, const PulseStream::Options &options, const char *failureLine,
               QObject *parent);
    ~KeptStream() override;

    // nullptr while there is none.
    PulseStream *stream() const { return current; }
    // Capture: the operator's choice, kept until the next; opens afresh.
    void choose(const QByteArray &chosen);
    // For the next stream opened; the owner corks the current one itself.
    void setCorked(bool corked);
    // At shutdown: no stream, no timer.
    void close();

signals:
    // The stream's own news, on this object's thread.
    void changed();
    // The stream went: what was held for it has nowhere to go.
    void dropped();
    // The device chosen is not there: the default stands in. Once per absence.
    void chosenMissing(QByteArray chosen);

private:
    void reconsider();
    void followDefault();
    void open(const QByteArray &device);
    void drop();
    void streamChanged();
    void logFailure();

    SoundDevices *devices = nullptr;
    PulseStream::Options options;
    const char *failureLine = nullptr;
    PulseStream *current = nullptr;
    QTimer *reopener = nullptr;
    QByteArray chosen;
    // The device of the stream the server last dropped: not asked for again
    // before the reopener is due.
    QByteArray failedOn;
    // Since the last choice: whether a stream ran, and the failure was told.
    bool ran = false;
    bool failureLogged = false;
    bool missingTold = false;
    bool closed = false;
};

#endif // KEPTSTREAM_H
