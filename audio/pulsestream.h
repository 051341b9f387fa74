#ifndef PULSESTREAM_H
#define PULSESTREAM_H

#include <QByteArray>
#include <QObject>

#include <atomic>
#include <mutex>

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;

// One playback or capture stream on the sound server, in the capture format,
// on a connection its opener hands it. It never blocks on the server and
// never hands it a write that can fail.
//
// changed() is emitted on the sound library's thread whenever the stream's
// state changes or playback ran dry: connect it queued. Captured audio goes
// straight to a sink, on the sound library's thread, which wakes for it
// anyway: waking another thread for every period would cost more than the
// period's audio.
class PulseStream : public QObject
{
    Q_OBJECT

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

    struct Options
    {
        Direction direction = Direction::Playback;
        // Empty for the server's default, which the server then follows as
        // the desktop's setting changes.
        QByteArray device;
        // What a playback stream holds at most, or a capture stream's period.
        int bufferBytes = 0;
        bool corked = false;
        // The playback start threshold; -1 for the server's.
        int startBytes = -1;
        // Gets a capture stream's audio; must outlive the stream.
        Sink *sink = nullptr;
    };

    // With the loop's lock held and `context` ready; nullptr if the server
    // refuses at once.
    static PulseStream *open(pa_threaded_mainloop *loop, pa_context *context, const Options &options);

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
    // The device asked for at open; empty for the server's default.
    QByteArray device() const { return asked; }
    // The source or sink the server has the stream on now; empty until ready.
    QByteArray serverDevice() const;

    // Playback: writes whole frames, as much as the stream has room for now;
    // returns the bytes taken, or -1 when the stream cannot take any ever again.
    qint64 write(const char *data, qint64 length);

    // A corked stream moves no audio, and a corked capture lets the device
    // rest (and the desktop's microphone-in-use indicator go dark). Takes
    // effect once the stream is ready, whenever it is asked.
    void setCorked(bool corked);

signals:
    void changed();

private:
    PulseStream() = default;
    void applyCork(pa_stream *stream);

    static void stateChanged(pa_stream *stream, void *self);
    static void requested(pa_stream *stream, size_t length, void *self);
    static void underflowed(pa_stream *stream, void *self);
    static void readable(pa_stream *stream, size_t length, void *self);
    // Everything the sound library holds of a capture stream, appended to
    // `into` or, with nullptr, dropped.
    static void takeReadable(pa_stream *stream, QByteArray *into);

    Direction direction = Direction::Playback;
    QByteArray asked;
    pa_threaded_mainloop *loop = nullptr;
    pa_stream *stream = nullptr;
    // Set before the stream is handed to the sound library's thread.
    Sink *sink = nullptr;

    // When the server last asked for audio, on the steady clock.
    std::atomic<qint64> requestedAtNs{0};

    // What the sound library's event thread shares with the owner's.
    mutable std::mutex lock;
    QByteArray captured;
    // The sink gets captured audio once this much has come.
    int periodBytes = 0;
    int underflows = 0;
    // What the owner asked for, and what the server was last told.
    bool corkWanted = false;
    bool corkApplied = false;
};

// Holds the sound library's event-thread lock for a scope.
class SoundLoopLock
{
public:
    explicit SoundLoopLock(pa_threaded_mainloop *loop);
    ~SoundLoopLock();
    SoundLoopLock(const SoundLoopLock &) = delete;
    SoundLoopLock &operator=(const SoundLoopLock &) = delete;

private:
    pa_threaded_mainloop *loop;
};

#endif // PULSESTREAM_H
