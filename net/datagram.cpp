#include "net/datagram.h"

#include <QtEndian>

#include <zlib.h>

#include <climits>
#include <cstring>
#include <memory>

namespace Datagram {

namespace {

// zlib's default level, the one qCompress is called with.
constexpr int compressionLevel = Z_DEFAULT_COMPRESSION;

// qCompress sets up zlib's deflate state (about 270 KB) and frees it again
// for every call, and the allocator hands those pages back to the system
// each time: that cost dwarfs compressing a chunk. Each thread that builds
// datagrams keeps one stream instead and resets it per datagram; a reset
// stream writes exactly what a fresh one does. The stream is freed when its
// thread ends.
class Deflater
{
public:
    Deflater() = default;
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;
    ~Deflater()
    {
        if (ready)
            deflateEnd(&stream);
    }

    // A reset stream, or nullptr when zlib has no memory for one.
    z_stream *fresh()
    {
        if (!ready)
            ready = deflateInit(&stream, compressionLevel) == Z_OK;
        else
            ready = deflateReset(&stream) == Z_OK;
        return ready ? &stream : nullptr;
    }

    // After a failed deflate the next datagram starts from a new stream.
    void discard()
    {
        if (ready)
            deflateEnd(&stream);
        ready = false;
    }

private:
    z_stream stream = {};
    bool ready = false;
};

// The receiving side of the same idea: one inflate stream per thread, reset
// per datagram, and one output buffer of the largest body accepted, so that
// a datagram costs no allocation beyond the values read out of it.
class Inflater
{
public:
    Inflater() = default;
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;
    ~Inflater()
    {
        if (ready)
            inflateEnd(&stream);
    }

    // The body inflated from `datagram` into this thread's buffer, valid
    // until the next call on the same thread; null on any failure.
    QByteArray inflate(const QByteArray &datagram)
    {
        if (datagram.size() < 4)
            return QByteArray();
        const auto declared = qFromBigEndian<quint32>(datagram.constData());
        if (declared > quint32(maxBodySize))
            return QByteArray();

        if (!ready)
            ready = inflateInit(&stream) == Z_OK;
        else
            ready = inflateReset(&stream) == Z_OK;
        if (!ready)
            return QByteArray();
        if (!buffer)
            buffer.reset(new char[maxBodySize]);

        // The declared length is only a hint: whatever the stream claims or
        // holds, the output can never grow past the cap.
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(datagram.constData())) + 4;
        stream.avail_in = uInt(datagram.size() - 4);
        stream.next_out = reinterpret_cast<Bytef *>(buffer.get());
        stream.avail_out = maxBodySize;
        // Whole input, whole output: one call either finishes the stream or
        // the datagram is dropped (cut short, corrupt, or more than the cap).
        if (::inflate(&stream, Z_FINISH) != Z_STREAM_END)
            return QByteArray();
        return QByteArray::fromRawData(buffer.get(), int(stream.total_out));
    }

private:
    z_stream stream = {};
    bool ready = false;
    std::unique_ptr<char[]> buffer;
};

Deflater &threadDeflater()
{
    thread_local Deflater deflater;
    return deflater;
}

Inflater &threadInflater()
{
    thread_local Inflater inflater;
    return inflater;
}

} // namespace

// Written as QDataStream writes the two values at version 15 (see Value
// below), without its set-up, which costs more than the rest of a body for
// every captured period.
QByteArray body(const QString &header, const QByteArray &payload)
{
    const int headerBytes = header.isNull() ? 0 : header.size() * 2;
    const int payloadBytes = payload.isNull() ? 0 : payload.size();
    QByteArray bytes(4 + headerBytes + 4 + payloadBytes, Qt::Uninitialized);
    char *at = bytes.data();
    qToBigEndian<quint32>(header.isNull() ? 0xFFFFFFFFu : quint32(headerBytes), at);
    at += 4;
    qToBigEndian<ushort>(header.utf16(), header.size(), at);
    at += headerBytes;
    qToBigEndian<quint32>(payload.isNull() ? 0xFFFFFFFFu : quint32(payloadBytes), at);
    at += 4;
    if (payloadBytes > 0)
        std::memcpy(at, payload.constData(), size_t(payloadBytes));
    return bytes;
}

QByteArray compress(const QByteArray &data)
{
    // qCompress writes the length alone, no zlib stream, for no data.
    if (data.isEmpty())
        return QByteArray(4, '\0');
    Deflater &deflater = threadDeflater();
    z_stream *stream = deflater.fresh();
    if (!stream)
        return qCompress(data, compressionLevel);
    // Room for the worst case, so that one call finishes the stream.
    const uLong bound = deflateBound(stream, uLong(data.size()));
    if (bound > uLong(INT_MAX - 4))
        return qCompress(data, compressionLevel);

    QByteArray out(int(4 + bound), Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(data.size()), out.data());
    stream->next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream->avail_in = uInt(data.size());
    stream->next_out = reinterpret_cast<Bytef *>(out.data()) + 4;
    stream->avail_out = uInt(bound);
    if (deflate(stream, Z_FINISH) != Z_STREAM_END) {
        deflater.discard();
        return qCompress(data, compressionLevel);
    }
    out.resize(int(4 + stream->total_out));
    return out;
}

QByteArray build(const QString &header, const QByteArray &payload)
{
    return compress(body(header, payload));
}

QByteArray inflateBody(const QByteArray &datagram)
{
    // qUncompress would trust the declared length and keep doubling its
    // buffer; this copy of the bounded result is all a caller gets to keep.
    const QByteArray body = threadInflater().inflate(datagram);
    return body.isNull() ? QByteArray() : QByteArray(body.constData(), body.size());
}

namespace {

// One value as QDataStream writes a QString or a QByteArray at version 15: a
// big-endian byte count, FF FF FF FF for a null value, then the bytes.
struct Value
{
    const char *bytes = nullptr; // null for a null value
    int size = 0;
};

// Reads the value at `offset` and moves past it; false when what is left
// cannot hold it, so that a forged count costs nothing.
bool readValue(const QByteArray &body, int &offset, Value &value)
{
    const int left = body.size() - offset;
    if (left < 4)
        return false;
    const auto count = qFromBigEndian<quint32>(body.constData() + offset);
    offset += 4;
    value = Value();
    if (count == 0xFFFFFFFFu)
        return true;
    if (count > quint32(left - 4))
        return false;
    value.bytes = body.constData() + offset;
    value.size = int(count);
    offset += value.size;
    return true;
}

} // namespace

// Reads what QDataStream would read from the body, value for value, without
// its set-up, which costs as much as inflating a small chunk: a value cut
// short or a string of an odd byte count reads as null and ends the reading.
Message parse(const QByteArray &datagram)
{
    Message message;
    // Read in place: the values read out of it are copies of their own.
    const QByteArray body = threadInflater().inflate(datagram);
    int offset = 0;
    Value value;
    if (!readValue(body, offset, value) || value.size % 2 != 0)
        return message;
    if (value.bytes) {
        message.header.resize(value.size / 2);
        qFromBigEndian<ushort>(value.bytes, value.size / 2, message.header.data());
    }
    if (readValue(body, offset, value) && value.bytes)
        message.payload = QByteArray(value.bytes, value.size);
    return message;
}

Kind classify(const QString &header)
{
    if (header.compare(audioHeader, Qt::CaseSensitive) == 0)
        return Kind::Audio;
    if (header.contains(updateWord, Qt::CaseSensitive))
        return Kind::Announcement;
    return Kind::Ignored;
}

} // namespace Datagram
