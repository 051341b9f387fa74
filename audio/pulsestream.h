#ifndef PULSESTREAM_H
#define PULSESTREAM_H

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <mutex>

struct pa_stream;
struct pa_threaded_mainloop;

// One playback or capture stream on the sound server, in the capture format.
// Qt 5.15's PulseAudio plugin cannot be made safe for an intercom that stays
// open all day: a failed write leaves its engine locked for good, it stops
// trying to reach a server that was away at one of its retries, and its open
// waits for ever on a device that has vanished. This class never blocks on
// the server and never hands it a write that can fail.
//
// The owner's slot named at open is queued, on the owner's thread, whenever
// the stream's state changes. Captured audio goes straight to a sink, on the
// sound library's thread, which wakes for it anyway: waking another thread for
// every period would cost more than the period's audio.
class PulseStream
{
public:
    enum class Direction { Playback, Capture };
    enum class State { Connecting, Ready, Gone };

    class Sink
    {
    public:
        // On the sound library's thread, with its lock held: whole frames, a
        // period or more. Must not wait on the sound library.
        virtual void captured(QByteArray audio) = 0;

    protected:
        ~Sink() = default;
    };

    // nullptr while no sound server answers. An empty device is the server's
    // default. `bufferBytes` is what a playback stream holds at most, or a
    // capture stream's period; `startBytes` the playback start threshold.
    // A capture stream hands its audio to `sink`, which must outlive it.
    static PulseStream *open(Direction direction, const QByteArray &device, int bufferBytes,
                             QObject *owner, const char *notifySlot, bool corked = false,
                             int startBytes = -1, Sink *sink = nullptr);

    // Playback: about how much is buffered on the server, waiting to play.
    // The stream's own count moves only when the server asks for more, a
    // request at a time: what the server has played since it last asked is
    // taken off, as the time since then says.
    // And how much a write takes now: both at one go, for what the sound
    // library's lock costs.
    struct Levels
    {
        qint64 buffered = 0;
        qint64 writable = 0;
    };
    Levels levels() const;
    // Playback: how often the stream ran dry since the last call.
    int takeUnderflows();
    ~PulseStream();

    State state() const;
    // Once the stream has gone: whether it went because its device is not
    // there (unplugged, or never was).
    bool deviceMissing() const;

    // Playback: writes whole frames, as much as the stream has room for now;
    // returns the bytes taken, or -1 when the stream cannot take any ever again.
    qint64 write(const char *data, qint64 length);

    // A corked stream moves no audio, and a corked capture lets the device
    // rest (and the desktop's microphone-in-use indicator go dark). Takes
    // effect once the stream is ready, whenever it is asked.
    void setCorked(bool corked);

private:
    PulseStream(QObject *owner, const char *notifySlot);
    void notify();
    void applyCork(pa_stream *stream);

    static void stateChanged(pa_stream *stream, void *self);
    static void requested(pa_stream *stream, size_t length, void *self);
    static void underflowed(pa_stream *stream, void *self);
    static void readable(pa_stream *stream, size_t length, void *self);
    // Everything the sound library holds of a capture stream, appended to
    // `into` or, with nullptr, dropped.
    static void takeReadable(pa_stream *stream, QByteArray *into);

    Direction direction = Direction::Playback;
    pa_threaded_mainloop *loop = nullptr;
    pa_stream *stream = nullptr;
    // Set before the stream is handed to the sound library's thread.
    Sink *sink = nullptr;

    // When the server last asked for audio, on the steady clock.
    std::atomic<qint64> requestedAtNs{0};

    // What the sound library's event thread shares with the owner's.
    mutable std::mutex lock;
    // Cleared before the owner goes: the owner deletes its stream first.
    QObject *owner = nullptr;
    const char *notifySlot = nullptr;
    QByteArray captured;
    // The sink gets captured audio once this much has come.
    int periodBytes = 0;
    int failure = 0;
    int underflows = 0;
    // What the owner asked for, and what the server was last told.
    bool corkWanted = false;
    bool corkApplied = false;
};

#endif // PULSESTREAM_H
