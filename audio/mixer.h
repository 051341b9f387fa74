#ifndef MIXER_H
#define MIXER_H

#include "audio/audioformat.h"
#include "audio/jitterbuffer.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <memory>
#include <vector>

// Every talking peer heard at once: one jitter buffer per sending address,
// summed into the one playback stream. The only thing that writes it.
class Mixer
{
public:
    // What the mixer writes into, in frames of 16-bit mono samples.
    class Stream
    {
    public:
        // What waits in the stream to be played, and what it has room for.
        virtual int buffered() const = 0;
        virtual int writable() const = 0;
        virtual void write(const qint16 *samples, int frames) = 0;

    protected:
        ~Stream() = default;
    };

    // Peers mixed at once, at most: far more than talk at once on a segment,
    // and few enough that a flood of senders cannot exhaust memory or the
    // sound thread.
    static constexpr int maxPeers = 32;
    // While anyone is heard, the stream is never let run below its low
    // water, and is then topped up by a request of its own (6 ms): a peer
    // that has not delivered by then is concealed, not left to stop
    // everyone's sound. It starts at 4 ms, enough for PulseAudio, and rises
    // by a step each time the stream still ran dry while someone was heard,
    // as PipeWire's does when the fill falls below its graph's cycle.
    static constexpr int lowWaterFrames = 192;
    static constexpr int lowWaterStepFrames = 64;
    static constexpr int lowWaterMaxFrames = 448;
    static constexpr int requestFrames = AudioFormat::playbackRequestBytes / AudioFormat::bytesPerFrame;
    // Each peer's audio waits this much beyond the low water as its chunks
    // come, once standing delay is cut.
    static constexpr int marginOverLowWater = 64;
    // A stream that takes nothing is asked again after this.
    static constexpr int retryMs = 10;

    // Returns the bytes of `chunk` taken into that peer's buffer, less held
    // audio dropped to keep its delay down.
    int push(const QString &peer, const QByteArray &chunk, qint64 nowMs, int aheadFrames);
    // Writes what is due into the stream; returns in how many ms to come
    // again, or -1 while nobody is heard.
    int play(Stream &stream, qint64 nowMs);

    // The stream ran dry: where someone was being heard, it is kept further
    // ahead from now on.
    void ranDry();

    void setVolume(float volume);
    void setMuted(const QString &peer, bool muted);
    // Drops every peer's audio, keeping who is muted.
    void clear();

    int peers() const { return int(buffers.size()); }

private:
    struct Peer
    {
        QString address;
        JitterBuffer buffer;
    };

    Peer *find(const QString &peer);
    void mix(int frames, qint64 nowMs);

    std::vector<std::unique_ptr<Peer>> buffers;
    QSet<QString> muted;
    float volume = 1.0f;
    int low = lowWaterFrames;
    bool heard = false;
    std::vector<qint16> samples;
    std::vector<qint32> sum;
    std::vector<qint16> out;
};

#endif // MIXER_H
