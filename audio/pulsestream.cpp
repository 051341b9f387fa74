#include "audio/pulsestream.h"

#include "audio/audioformat.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <utility>

namespace {

constexpr size_t frameBytes = AudioFormat::bytesPerFrame;
// Captured audio handed to the sink at once, at most: a second. A source that
// hands over a longer backlog in one go loses its oldest, and memory stays
// bounded.
constexpr int capturedLimitBytes = AudioFormat::bytesPerSecond;

// A stream is handed to the sound library's thread through the library, whose
// own synchronisation the thread checker cannot see: every stream opened
// passes this on its way there, and every callback passes it on arrival.
std::atomic<unsigned> published{0};

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

void publish()
{
    published.fetch_add(1, std::memory_order_release);
}

void arrive()
{
    published.load(std::memory_order_acquire);
}

} // namespace

PulseStream *PulseStream::open(pa_threaded_mainloop *loop, pa_context *context, const Options &options)
{
    const pa_sample_spec pcm = {PA_SAMPLE_S16LE, AudioFormat::sampleRate, 1};
    const bool playback = options.direction == Direction::Playback;
    pa_stream *made = pa_stream_new(context, playback ? "intercom playback" : "intercom capture", &pcm, nullptr);
    if (!made)
        return nullptr;
    auto *opened = new PulseStream;
    opened->asked = options.device;
    const int bufferBytes = options.bufferBytes;
    {
        // The sound library's thread reads these in the callbacks, under this
        // lock: its own lock is one the thread checker cannot see.
        std::lock_guard<std::mutex> guard(opened->lock);
        // The server hands over what it has, on PulseAudio a few hundred bytes
        // at a time: a datagram for each would cost the sender dearly. The
        // sink gets it once a period has come.
        opened->periodBytes = qMax(bufferBytes - bufferBytes % int(frameBytes), int(frameBytes));
        opened->direction = options.direction;
        opened->loop = loop;
        opened->stream = made;
        opened->sink = options.sink;
        opened->corkWanted = options.corked;
        opened->corkApplied = options.corked;
    }
    publish();
    const auto flags = options.corked ? PA_STREAM_START_CORKED : PA_STREAM_NOFLAGS;
    pa_stream_set_state_callback(made, stateChanged, opened);
    if (playback) {
        pa_stream_set_write_callback(made, requested, opened);
        pa_stream_set_underflow_callback(made, underflowed, opened);
    }

    pa_buffer_attr buffer;
    buffer.maxlength = uint32_t(-1);
    buffer.tlength = uint32_t(-1);
    buffer.prebuf = uint32_t(-1);
    buffer.minreq = uint32_t(-1);
    buffer.fragsize = uint32_t(-1);
    // No name lets the server route the stream, and move it when the
    // desktop's default changes.
    const char *name = options.device.isEmpty() ? nullptr : options.device.constData();
    int connected;
    if (playback) {
        buffer.tlength = uint32_t(bufferBytes);
        if (options.startBytes > 0)
            buffer.prebuf = uint32_t(qMin(options.startBytes, bufferBytes));
        // Without early requests, PipeWire's PulseAudio server asks the
        // graph for a latency of tlength less two minreq, far more than the
        // least request; with them, for minreq (see playbackRequestBytes).
        buffer.minreq = uint32_t(qMin(AudioFormat::playbackRequestBytes, bufferBytes));
        connected = pa_stream_connect_playback(made, name, &buffer,
                                               pa_stream_flags_t(flags | PA_STREAM_EARLY_REQUESTS),
                                               nullptr, nullptr);
    } else {
        buffer.fragsize = uint32_t(bufferBytes);
        pa_stream_set_read_callback(made, readable, opened);
        connected = pa_stream_connect_record(made, name, &buffer, pa_stream_flags_t(flags | PA_STREAM_ADJUST_LATENCY));
    }
    if (connected < 0) {
        delete opened;
        return nullptr;
    }
    return opened;
}

PulseStream::~PulseStream()
{
    if (!stream)
        return;
    {
        SoundLoopLock locked(loop);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
    // A callback that ran before they were cleared, and its signal, are
    // over: let the thread checker see they end before this object does.
    std::lock_guard<std::mutex> guard(lock);
}

PulseStream::State PulseStream::state() const
{
    SoundLoopLock locked(loop);
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_UNCONNECTED:
    case PA_STREAM_CREATING:
        return State::Connecting;
    case PA_STREAM_READY:
        return State::Ready;
    default:
        return State::Gone;
    }
}

QByteArray PulseStream::serverDevice() const
{
    SoundLoopLock locked(loop);
    if (pa_stream_get_state(stream) != PA_STREAM_READY)
        return QByteArray();
    const char *name = pa_stream_get_device_name(stream);
    return name ? QByteArray(name) : QByteArray();
}

qint64 PulseStream::write(const char *data, qint64 length)
{
    SoundLoopLock locked(loop);
    const pa_stream_state_t now = pa_stream_get_state(stream);
    if (now != PA_STREAM_READY)
        return PA_STREAM_IS_GOOD(now) ? 0 : -1;
    const size_t room = pa_stream_writable_size(stream);
    if (room == size_t(-1))
        return -1;
    size_t n = qMin(size_t(qMax<qint64>(length, 0)), room);
    // The sound library refuses a write that is not a whole number of frames.
    n -= n % frameBytes;
    if (n == 0)
        return 0;
    if (pa_stream_write(stream, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0)
        return -1;
    return qint64(n);
}

void PulseStream::setCorked(bool corked)
{
    SoundLoopLock locked(loop);
    {
        std::lock_guard<std::mutex> guard(lock);
        corkWanted = corked;
        if (corked)
            captured.clear();
    }
    // What waits short of a period in the sound library's queue was captured
    // before: sent when capture runs again, it would come late.
    if (corked && direction == Direction::Capture && pa_stream_get_state(stream) == PA_STREAM_READY)
        takeReadable(stream, nullptr);
    applyCork(stream);
}

void PulseStream::applyCork(pa_stream *stream)
{
    // With the loop's lock held. The server takes a cork only from a ready
    // stream: one asked for earlier is applied when it becomes ready.
    if (pa_stream_get_state(stream) != PA_STREAM_READY)
        return;
    bool wanted;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (corkWanted == corkApplied)
            return;
        wanted = corkApplied = corkWanted;
    }
    if (pa_operation *op = pa_stream_cork(stream, wanted ? 1 : 0, nullptr, nullptr))
        pa_operation_unref(op);
    // What the server still holds is from before: played or sent when the
    // stream runs again, it would come late.
    if (wanted) {
        if (pa_operation *op = pa_stream_flush(stream, nullptr, nullptr))
            pa_operation_unref(op);
    }
}

PulseStream::Levels PulseStream::levels() const
{
    SoundLoopLock locked(loop);
    Levels now;
    if (pa_stream_get_state(stream) != PA_STREAM_READY)
        return now;
    const size_t room = pa_stream_writable_size(stream);
    const pa_buffer_attr *buffer = pa_stream_get_buffer_attr(stream);
    if (room == size_t(-1) || !buffer)
        return now;
    const qint64 counted = qint64(buffer->tlength) - qint64(room);
    const qint64 sinceNs = nowNs() - requestedAtNs.load(std::memory_order_relaxed);
    // PulseAudio leaves out every third request or so, asking 12 ms after the
    // last rather than 6, while playing on all the while: up to two requests'
    // worth is taken as played.
    const qint64 played = qMin<qint64>(sinceNs / 1000 * AudioFormat::bytesPerSecond / 1000000,
                                       2 * qint64(buffer->minreq));
    now.buffered = qMax<qint64>(0, counted - (played - played % qint64(frameBytes)));
    now.writable = qint64(room - room % frameBytes);
    return now;
}

void PulseStream::requested(pa_stream *, size_t, void *self)
{
    arrive();
    auto *me = static_cast<PulseStream *>(self);
    // Under the lock the destructor passes last, so that this ends before it.
    std::lock_guard<std::mutex> guard(me->lock);
    me->requestedAtNs.store(nowNs(), std::memory_order_relaxed);
}

void PulseStream::underflowed(pa_stream *, void *self)
{
    arrive();
    auto *me = static_cast<PulseStream *>(self);
    // Under the lock the destructor passes last, so that this ends before it.
    std::lock_guard<std::mutex> guard(me->lock);
    ++me->underflows;
    emit me->changed();
}

int PulseStream::takeUnderflows()
{
    std::lock_guard<std::mutex> guard(lock);
    return std::exchange(underflows, 0);
}

void PulseStream::stateChanged(pa_stream *stream, void *self)
{
    arrive();
    auto *me = static_cast<PulseStream *>(self);
    const pa_stream_state_t now = pa_stream_get_state(stream);
    if (now == PA_STREAM_READY)
        me->applyCork(stream);
    std::lock_guard<std::mutex> guard(me->lock);
    if (now != PA_STREAM_CREATING)
        emit me->changed();
}

void PulseStream::readable(pa_stream *stream, size_t length, void *self)
{
    arrive();
    auto *me = static_cast<PulseStream *>(self);
    QByteArray period;
    Sink *sink = nullptr;
    {
        std::lock_guard<std::mutex> guard(me->lock);
        // PulseAudio hands over a few hundred bytes at a time, and the sound
        // library calls again as each piece comes: the pieces wait in its
        // queue until a period has come, and are taken at one go.
        if (size_t(me->captured.size()) + length < size_t(me->periodBytes))
            return;
        me->captured.reserve(me->captured.size() + int(qMin(length, size_t(capturedLimitBytes))));
        takeReadable(stream, &me->captured);
        if (me->captured.size() > capturedLimitBytes) {
            const int excess = me->captured.size() - capturedLimitBytes;
            me->captured.remove(0, excess + excess % int(frameBytes));
        }
        if (me->captured.size() >= me->periodBytes)
            period.swap(me->captured);
        sink = me->sink;
    }
    if (!period.isEmpty() && sink)
        sink->captured(period);
}

void PulseStream::takeReadable(pa_stream *stream, QByteArray *into)
{
    // With the loop's lock held.
    for (;;) {
        const void *data = nullptr;
        size_t length = 0;
        if (pa_stream_peek(stream, &data, &length) < 0 || length == 0)
            return;
        // A hole (no data) is dropped: nothing was captured there.
        if (data && into)
            into->append(static_cast<const char *>(data), int(length - length % frameBytes));
        pa_stream_drop(stream);
    }
}

SoundLoopLock::SoundLoopLock(pa_threaded_mainloop *loop)
    : loop(loop)
{
    pa_threaded_mainloop_lock(loop);
}

SoundLoopLock::~SoundLoopLock()
{
    pa_threaded_mainloop_unlock(loop);
}
