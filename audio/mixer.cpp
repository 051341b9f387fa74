#include "audio/mixer.h"

#include "audio/audioformat.h"

#include <QDebug>
#include <QtEndian>

#include <algorithm>
#include <climits>
#include <cmath>

Mixer::Peer *Mixer::find(const QString &peer)
{
    for (const auto &p : buffers) {
        if (p->address == peer)
            return p.get();
    }
    return nullptr;
}

int Mixer::push(const QString &peer, const QByteArray &chunk, qint64 nowMs, int aheadFrames)
{
    if (muted.contains(peer))
        return 0;
    Peer *to = find(peer);
    if (!to) {
        buffers.erase(std::remove_if(buffers.begin(), buffers.end(),
                                     [&](const std::unique_ptr<Peer> &p) { return p->buffer.idleAt(nowMs); }),
                      buffers.end());
        if (int(buffers.size()) >= maxPeers)
            return 0;
        buffers.push_back(std::make_unique<Peer>());
        to = buffers.back().get();
        to->address = peer;
        to->buffer.setMargin(low + marginOverLowWater);
    }
    // Whole samples only: a trailing odd byte is dropped.
    const int frames = qMin(chunk.size(), AudioFormat::bufferBytes) / AudioFormat::bytesPerFrame;
    samples.resize(size_t(frames));
    // An empty vector's storage is null, and the toolkit copies even nothing.
    if (frames > 0)
        qFromLittleEndian<qint16>(chunk.constData(), frames, samples.data());
    const int coverBefore = to->buffer.cover();
    const int taken = to->buffer.push(samples.data(), frames, nowMs, aheadFrames);
    if (to->buffer.cover() != coverBefore)
        qDebug() << "playback waits for:" << to->buffer.cover() * AudioFormat::bytesPerFrame;
    return taken * AudioFormat::bytesPerFrame;
}

int Mixer::play(Stream &stream, qint64 nowMs)
{
    const int ahead = stream.buffered();
    bool audible = false;
    int ready = INT_MAX;
    for (const auto &p : buffers) {
        if (p->buffer.audible()) {
            audible = true;
            ready = qMin(ready, p->buffer.ready());
        }
    }
    heard = audible;
    if (!audible)
        return -1;
    // As far as every peer heard has audio, at once; beyond that, only as
    // the stream would otherwise run dry, with whoever has none concealed.
    int frames = ready;
    if (ahead < low)
        frames = qMax(frames, low + requestFrames - ahead);
    // Each write is a message to the sound server: while the stream has a
    // request in hand beyond its low water, a few frames wait for more.
    else if (ahead >= low + requestFrames && frames < requestFrames / 2)
        frames = 0;
    frames = qMin(frames, stream.writable());
    if (frames > 0) {
        mix(frames, nowMs);
        stream.write(out.data(), frames);
    }
    heard = std::any_of(buffers.cbegin(), buffers.cend(),
                        [](const std::unique_ptr<Peer> &p) { return p->buffer.audible(); });
    if (!heard)
        return -1;
    if (frames <= 0 && ahead < low)
        return retryMs;
    const int lead = ahead + qMax(0, frames) - low;
    return qMax(1, int(qint64(lead) * 1000 / AudioFormat::sampleRate));
}

void Mixer::mix(int frames, qint64 nowMs)
{
    sum.assign(size_t(frames), 0);
    for (const auto &p : buffers)
        p->buffer.pull(sum.data(), frames, nowMs);
    out.resize(size_t(frames));
    // Saturated, never wrapped: two loud talkers at once clip rather than
    // turn into noise. A lone talker keeps its level.
    for (int i = 0; i < frames; ++i) {
        const float scaled = volume == 1.0f ? float(sum[size_t(i)]) : std::round(float(sum[size_t(i)]) * volume);
        out[size_t(i)] = qint16(qBound(-32768.0f, scaled, 32767.0f));
    }
}

void Mixer::ranDry()
{
    // At the end of a talk the stream runs dry as it should.
    if (!heard || low >= lowWaterMaxFrames)
        return;
    low = qMin(low + lowWaterStepFrames, int(lowWaterMaxFrames));
    for (const auto &p : buffers)
        p->buffer.setMargin(low + marginOverLowWater);
    qDebug() << "playback keeps ahead by:" << low * AudioFormat::bytesPerFrame;
}

void Mixer::setVolume(float volume)
{
    this->volume = boundedVolume(volume);
}

void Mixer::setMuted(const QString &peer, bool mute)
{
    if (mute) {
        muted.insert(peer);
        buffers.erase(std::remove_if(buffers.begin(), buffers.end(),
                                     [&](const std::unique_ptr<Peer> &p) { return p->address == peer; }),
                      buffers.end());
    } else {
        muted.remove(peer);
    }
}

void Mixer::clear()
{
    buffers.clear();
}
