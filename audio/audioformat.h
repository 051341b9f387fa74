#ifndef AUDIOFORMAT_H
#define AUDIOFORMAT_H

#include <QByteArray>

// Capture and playback agree on the format only by both using this; no
// datagram describes it.
namespace AudioFormat {

// Mono 16-bit samples at 44.1 kHz.
constexpr int sampleRate = 44100;
constexpr int bytesPerFrame = 2;
constexpr int bytesPerSecond = sampleRate * bytesPerFrame;

// The largest chunk: one datagram's audio.
constexpr int bufferBytes = 8192;
// What the playback stream holds on the server at most (46 ms): its share of
// the delay between mouth and ear. More waits in each peer's buffer.
constexpr int playbackStreamBytes = 4096;
// The playback stream's least request for more audio (6 ms), made as soon as
// there is room for it: both servers then run the speaker at this latency.
// PipeWire's graph cycles at the least latency its streams ask for (rounded
// down to a power of two of its own rate), and the stream has to stay about a
// cycle ahead of each pull or play silence: with 5.3 ms cycles rather than
// 10.7, datagram to speaker took about 11 ms less there.
constexpr int playbackRequestBytes = 512;
// What capture asks of the server per period (12 ms of sound), and the
// least chunk it hands out. Servers that hand over whole periods (PipeWire,
// hardware microphones) make a chunk of this size, and a listener hears each
// sample a period late at least; PipeWire also runs its whole graph at about
// the period asked for: a period of 8192 bytes put more than 180 ms between
// mouth and ear there, one of 2048 about 75 ms, one of 1024 about 60.
constexpr int captureBufferBytes = 1024;

} // namespace AudioFormat

// A volume as the toolkit bounds its own: 0 to 1, and 1 for what is not a number.
float boundedVolume(float volume);

// Scales 16-bit little-endian samples in place, clipping at full scale; a
// trailing odd byte is left as it is.
void scaleSamples(QByteArray &pcm, float volume);

#endif // AUDIOFORMAT_H
