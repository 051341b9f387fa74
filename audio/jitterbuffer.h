#ifndef JITTERBUFFER_H
#define JITTERBUFFER_H

#include "audio/audioformat.h"

#include <QtGlobal>

#include <array>
#include <vector>

// One sending peer's audio on its way to the mix: chunks in as they come,
// frames out as the playback stream needs them. It holds the cover for late
// chunks, drops standing delay and stale audio, and conceals what runs dry
// mid-talk. No sound server, timer or thread: time is handed in, in ms.
class JitterBuffer
{
public:
    enum class State {
        // No talk: nothing held, nothing played.
        Idle,
        // A talk is starting: its audio waits until the cover has come.
        Buffering,
        Playing,
        // Ran dry mid-talk: plays the last pitch period, fading out.
        Concealing,
        // Concealment has faded out; audio that comes soon was late.
        Dry,
    };

    // Audio that waits beyond what late chunks needed for this long is
    // standing delay.
    static constexpr int standingWindowMs = 1000;
    // Audio that comes within this of the buffer running dry was late; later
    // than that, the talk had ended.
    static constexpr int lateChunkMs = 200;
    // Held audio that nothing took for this long is stale: playback stalled.
    static constexpr int staleAfterMs = 500;
    // How long the cover must have sufficed before it shrinks, and the least
    // time between two steps up.
    static constexpr int coverShrinkMs = 10000;
    static constexpr int coverGrowMs = 2000;

    // The cover grows and shrinks by this (12 ms), up to coverMaxFrames.
    static constexpr int coverStepFrames = 512;
    static constexpr int coverMaxFrames = AudioFormat::playbackStreamBytes / AudioFormat::bytesPerFrame;
    // What still waits, in the stream and here, as the latest chunk of a
    // window comes once standing delay is dropped, unless told otherwise:
    // about a request of the stream (a cycle of PipeWire's graph).
    static constexpr int standingMarginFrames = AudioFormat::playbackRequestBytes / AudioFormat::bytesPerFrame;
    // What a talk holds beyond the cover as it starts (12 ms): no chunk of it
    // has come late yet, and the stream's own margin is more than this
    // buffer's.
    static constexpr int startMarginFrames = 512;
    // Less standing delay than this stays: each drop is a skip that may be
    // heard, and a sender's clock running ahead is better cut a few times a
    // minute than by a few samples every second.
    static constexpr int leastDropFrames = 128;
    // What one peer may hold here (139 ms): a stall's burst fits, a flood
    // does not.
    static constexpr int capacityFrames = 6144;
    // Concealment plays at full level for concealHoldFrames (10 ms), most of
    // a lost chunk, then fades to silence, ever faster, over the rest of
    // concealFrames (60 ms in all): a talker who stops is silent soon after,
    // and a longer loss is not smeared into an echo.
    static constexpr int concealHoldFrames = 441;
    static constexpr int concealFrames = 2646;
    // Audio that comes after concealment is cross-faded in over this (3 ms).
    static constexpr int crossFadeFrames = 128;
    // Voice pitch from 80 to 400 Hz, as periods at 44.1 kHz.
    static constexpr int pitchMinFrames = 110;
    static constexpr int pitchMaxFrames = 551;
    // The stretch of recent audio matched against the one a period before it.
    static constexpr int pitchWindowFrames = 320;
    static constexpr int leastWindowFrames = 96;
    static constexpr int historyFrames = pitchMaxFrames + pitchWindowFrames;

    JitterBuffer();

    // A chunk of 16-bit samples that came at `nowMs`, while `aheadFrames`
    // of the mix already waited in the stream. Returns the frames it adds to
    // what will play: those taken, less what was dropped of the held audio
    // to bring the delay down (never below 0).
    int push(const qint16 *samples, int frames, qint64 nowMs, int aheadFrames);
    // Adds `frames` of this peer's output to `mix`: its audio, then
    // concealment where it runs dry, then silence.
    void pull(qint32 *mix, int frames, qint64 nowMs);

    // What the stream needs held ahead of it, beyond late chunks' cover.
    void setMargin(int frames) { marginFrames = frames; }

    // Frames that can be pulled now without concealment.
    int ready() const { return current == State::Playing ? held() : 0; }
    // Whether a pull adds anything but silence.
    bool audible() const { return current == State::Playing || current == State::Concealing; }
    // Whether this buffer holds nothing worth keeping at `nowMs`: no talk,
    // and no late chunk to wait for.
    bool idleAt(qint64 nowMs) const;
    int held() const { return int(queue.size() - head); }
    int cover() const { return coverFrames; }

private:
    void adaptCover(int frames, qint64 nowMs, bool late);
    void startTalk(qint64 nowMs);
    void startPlaying(qint64 nowMs);
    void measureStandingDelay(qint64 nowMs);
    int cutStandingDelay();
    void beginConcealment(qint64 nowMs);
    qint16 concealed();
    int alignedCut(int wanted) const;
    int alignWithConcealment();
    static void crossFade(const qint16 *cut, qint16 *after, int frames);
    void remember(const qint16 *samples, int frames);
    void compact();

    State current = State::Idle;
    // Held audio from `head` on, oldest first.
    std::vector<qint16> queue;
    size_t head = 0;
    // Of this talk's next chunks, frames still to be skipped: audio that came
    // later than the cover.
    qint64 toSkip = 0;
    // Standing delay still to be cut from the held audio.
    int pendingCut = 0;

    int coverFrames = coverStepFrames;
    int marginFrames = standingMarginFrames;
    // The cover if no chunk had come late: the largest chunk since the
    // window started, rounded up to a step.
    int leastCover = 0;
    qint64 coverHeldSince = -1;

    static constexpr int noLead = capacityFrames * 16;
    // The least audio waiting (in the stream and here) as a chunk came,
    // since the window started.
    int standingLead = noLead;
    qint64 windowStart = -1;

    qint64 bufferingSince = -1;
    qint64 lastPull = -1;
    qint64 dryAt = -1;
    // Whether any audio played since the buffer last ran dry, and how much
    // of the lateness since then is already being cut.
    bool heardSinceDry = true;
    qint64 skippedForLate = 0;

    // The latest audio played, for the pitch period; a ring.
    std::array<qint16, historyFrames> history{};
    int historyPos = 0;
    int historyFill = 0;
    // Of it, what played since audio last resumed after concealment.
    int joinedFrames = 0;
    // The period repeated while concealing, where it is in it, and how much
    // of the concealment is left.
    std::array<qint16, pitchMaxFrames> period{};
    int periodFrames = 0;
    int periodPos = 0;
    int fadeLeft = 0;
    // Frames of cross-fade still to go after concealment.
    int crossLeft = 0;
};

#endif // JITTERBUFFER_H
