#include "audio/jitterbuffer.h"

#include "audio/audioformat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

double matchScore(const qint16 *reference, const qint16 *candidate, int window, int stride)
{
    // Normalised by the candidate's energy alone: the reference is the same
    // for every candidate.
    double dot = 0;
    double energy = 0;
    for (int i = 0; i < window; i += stride) {
        const double c = candidate[i];
        dot += double(reference[i]) * c;
        energy += c * c;
    }
    return energy > 0 ? dot / std::sqrt(energy) : 0;
}

// The offset from `first` to `last` at which `audio` best matches
// `reference` over `window` frames: every second offset over every second
// frame, then each offset beside the best at full resolution, a quarter of
// the work of a full search.
int bestMatch(const qint16 *reference, const qint16 *audio, int window, int first, int last)
{
    int best = first;
    double bestScore = -std::numeric_limits<double>::infinity();
    for (int offset = first; offset <= last; offset += 2) {
        const double score = matchScore(reference, audio + offset, window, 2);
        if (score > bestScore) {
            bestScore = score;
            best = offset;
        }
    }
    const int coarse = best;
    bestScore = -std::numeric_limits<double>::infinity();
    for (int offset = qMax(first, coarse - 1); offset <= qMin(last, coarse + 1); ++offset) {
        const double score = matchScore(reference, audio + offset, window, 1);
        if (score > bestScore) {
            bestScore = score;
            best = offset;
        }
    }
    return best;
}

} // namespace

JitterBuffer::JitterBuffer()
{
    queue.reserve(capacityFrames);
}

bool JitterBuffer::idleAt(qint64 nowMs) const
{
    switch (current) {
    case State::Idle:
        return true;
    case State::Buffering:
        return nowMs - bufferingSince >= staleAfterMs;
    case State::Dry:
        return nowMs - dryAt >= lateChunkMs;
    default:
        return false;
    }
}

void JitterBuffer::startTalk(qint64 nowMs)
{
    queue.clear();
    head = 0;
    toSkip = 0;
    pendingCut = 0;
    current = State::Buffering;
    bufferingSince = nowMs;
    standingLead = noLead;
    leastCover = 0;
    windowStart = -1;
    historyFill = 0;
    joinedFrames = 0;
    heardSinceDry = true;
    fadeLeft = 0;
    crossLeft = 0;
}

int JitterBuffer::push(const qint16 *samples, int frames, qint64 nowMs, int aheadFrames)
{
    frames = qMax(0, frames);
    // Nothing took the held audio for a while: playback stalled, and what
    // waits would play late.
    if ((current == State::Playing && nowMs - lastPull >= staleAfterMs)
        || (current == State::Buffering && nowMs - bufferingSince >= staleAfterMs))
        current = State::Idle;
    const bool ranDry = current == State::Concealing || current == State::Dry;
    const bool late = ranDry && nowMs - dryAt < lateChunkMs;
    if (current == State::Idle || (ranDry && !late))
        startTalk(nowMs);
    adaptCover(frames, nowMs, late);
    if (late) {
        // The wire has no sequence numbers: this chunk follows the audio
        // that was concealed. Played whole it would put this peer further
        // behind by as long as it was late; by the cover at most, and the
        // rest is cut.
        const qint64 lateFrames = (nowMs - dryAt) * AudioFormat::sampleRate / 1000;
        const qint64 beyondCover = qMax<qint64>(0, lateFrames - coverFrames);
        toSkip += beyondCover - skippedForLate;
        skippedForLate = beyondCover;
        current = State::Playing;
        lastPull = nowMs;
        crossLeft = crossFadeFrames;
        // What was heard before no longer leads up to what plays.
        joinedFrames = 0;
    }
    if (current == State::Playing)
        standingLead = qMin(standingLead, aheadFrames + held());

    const int skipped = int(qMin<qint64>(toSkip, frames));
    toSkip -= skipped;
    const int taken = qMin(frames - skipped, capacityFrames - held());
    compact();
    queue.insert(queue.end(), samples + skipped, samples + skipped + taken);
    const int aligned = late ? alignWithConcealment() : 0;
    if (current == State::Buffering && held() + coverStepFrames > coverFrames)
        startPlaying(nowMs);
    measureStandingDelay(nowMs);
    return qMax(0, taken - aligned - cutStandingDelay());
}

void JitterBuffer::startPlaying(qint64 nowMs)
{
    // A talk starts once about the cover has come, behind a little silence
    // that makes up the rest of the cover and a margin: its next chunk, up to
    // a cover later and a little late, then comes before the stream runs
    // low. Waiting for the next chunk instead would put it further behind by
    // a chunk. What of the margin no late chunk needs is standing delay, cut
    // after the first window. It fades in, as it may start mid-word.
    const int fadeIn = qMin(held(), int(crossFadeFrames));
    qint16 *audio = queue.data() + head;
    for (int i = 0; i < fadeIn; ++i)
        audio[i] = qint16(qint32(audio[i]) * i / fadeIn);
    const int silence = qMax(0, coverFrames + qMax(int(startMarginFrames), marginFrames * 2) - held());
    queue.insert(queue.begin() + std::ptrdiff_t(head), size_t(silence), qint16(0));
    current = State::Playing;
    lastPull = nowMs;
    windowStart = nowMs;
}

void JitterBuffer::adaptCover(int frames, qint64 nowMs, bool late)
{
    // Ran dry, and audio came again soon after: a chunk came late, not the
    // end of a talk. Wait for a little more the next time; while no chunk
    // comes late for a while, a little less. One event (a stall, a burst of
    // traffic) runs the buffer dry more than once: it counts once. Whatever
    // the jitter, the cover is at least a chunk: chunks come a chunk apart.
    const int roundedUp = (qMin(frames, coverMaxFrames) + coverStepFrames - 1)
        / coverStepFrames * coverStepFrames;
    const int floor = qMin(roundedUp, coverMaxFrames);
    leastCover = qMax(leastCover, floor);
    if (coverFrames < floor) {
        coverFrames = floor;
        coverHeldSince = nowMs;
    } else if (late && (coverHeldSince < 0 || nowMs - coverHeldSince >= coverGrowMs)) {
        coverFrames = qMin(coverFrames + coverStepFrames, coverMaxFrames);
        coverHeldSince = nowMs;
    } else if (coverHeldSince < 0) {
        coverHeldSince = nowMs;
    } else if (nowMs - coverHeldSince >= coverShrinkMs && coverFrames - coverStepFrames >= floor) {
        coverFrames -= coverStepFrames;
        coverHeldSince = nowMs;
    }
}

void JitterBuffer::measureStandingDelay(qint64 nowMs)
{
    if (current != State::Playing)
        return;
    if (windowStart < 0)
        windowStart = nowMs;
    if (nowMs - windowStart < standingWindowMs)
        return;
    // More waited all along than late chunks needed: that much is cut from
    // the held audio as chunks come. Standing delay comes of a stall or a
    // burst of late chunks, of a sender's clock running ahead of ours, and of
    // where the talk started against the stream's cycles; nothing else takes
    // it back. What is not cut by the next window is measured again there.
    const int kept = marginFrames + qMax(0, coverFrames - leastCover);
    const int excess = standingLead == noLead ? 0 : standingLead - kept;
    standingLead = noLead;
    leastCover = 0;
    windowStart = nowMs;
    pendingCut = excess >= leastDropFrames ? excess : 0;
}

int JitterBuffer::cutStandingDelay()
{
    // Enough is left after the cut to match it against and to fade over.
    const int wanted = qMin(pendingCut, held() - pitchWindowFrames);
    if (current != State::Playing || wanted < leastDropFrames)
        return 0;
    const int cut = alignedCut(wanted);
    crossFade(queue.data() + head, queue.data() + head + size_t(cut), crossFadeFrames);
    head += size_t(cut);
    pendingCut -= cut;
    return cut;
}

void JitterBuffer::pull(qint32 *mix, int frames, qint64 nowMs)
{
    int done = 0;
    if (current == State::Playing) {
        lastPull = nowMs;
        const int n = qMin(frames, held());
        const qint16 *audio = queue.data() + head;
        for (; done < n && crossLeft > 0; ++done) {
            const int w = crossFadeFrames + 1 - crossLeft--;
            mix[done] += (concealed() * (crossFadeFrames + 1 - w) + audio[done] * w) / (crossFadeFrames + 1);
        }
        for (; done < n; ++done)
            mix[done] += audio[done];
        remember(audio, n);
        head += size_t(n);
        heardSinceDry = heardSinceDry || n > 0;
        if (done < frames)
            beginConcealment(nowMs);
    }
    if (current != State::Concealing)
        return;
    for (; done < frames && fadeLeft > 0; ++done)
        mix[done] += concealed();
    if (fadeLeft == 0)
        current = State::Dry;
}

int JitterBuffer::alignedCut(int wanted) const
{
    // Held audio is cut by up to a pitch period less than wanted, where what
    // follows the cut best matches what it replaces: a tone or a voice goes
    // on in phase, and the cross-fade has nothing to cancel.
    const int window = pitchWindowFrames;
    const int shortest = qMax(leastDropFrames, wanted - pitchMaxFrames);
    if (wanted < shortest || held() < wanted + window)
        return wanted;
    return bestMatch(queue.data() + head, queue.data() + head, window, shortest, wanted);
}

int JitterBuffer::alignWithConcealment()
{
    // Audio that comes after concealment starts up to a pitch period in,
    // where it best matches what the concealment would have played next: the
    // cross-fade then joins two sounds in phase rather than cancelling them.
    if (fadeLeft <= 0 || periodFrames == 0)
        return 0;
    const int window = pitchWindowFrames;
    const int last = qMin(pitchMaxFrames, held() - window);
    if (last < 0)
        return 0;
    std::array<qint16, pitchWindowFrames> next;
    for (int i = 0; i < window; ++i)
        next[size_t(i)] = period[size_t((periodPos + i) % periodFrames)];
    const int offset = bestMatch(next.data(), queue.data() + head, window, 0, last);
    head += size_t(offset);
    return offset;
}

void JitterBuffer::crossFade(const qint16 *cut, qint16 *after, int frames)
{
    // Where audio is cut, what follows fades in over what was cut: a skip is
    // heard as a skip, not as a click.
    const int n = qMin(frames, int(crossFadeFrames));
    for (int i = 0; i < n; ++i)
        after[i] = qint16((qint32(cut[i]) * (n - i) + qint32(after[i]) * i) / n);
}

void JitterBuffer::remember(const qint16 *samples, int frames)
{
    const int skip = qMax(0, frames - historyFrames);
    samples += skip;
    int left = frames - skip;
    historyFill = qMin(historyFrames, historyFill + left);
    joinedFrames = qMin(historyFrames, joinedFrames + left);
    while (left > 0) {
        const int n = qMin(left, historyFrames - historyPos);
        std::memcpy(history.data() + historyPos, samples, size_t(n) * sizeof(qint16));
        historyPos = (historyPos + n) % historyFrames;
        samples += n;
        left -= n;
    }
}

void JitterBuffer::beginConcealment(qint64 nowMs)
{
    // Dry again before any of the late audio played (all of it came later
    // than the cover): the concealment goes on where it was.
    if (!heardSinceDry) {
        current = fadeLeft > 0 ? State::Concealing : State::Dry;
        return;
    }
    current = State::Concealing;
    dryAt = nowMs;
    heardSinceDry = false;
    skippedForLate = 0;
    crossLeft = 0;
    periodPos = 0;
    periodFrames = 0;
    fadeLeft = 0;
    // Too little heard to find a period in: silence at once.
    if (historyFill < pitchMinFrames * 2)
        return;
    // Only what played since concealment last ended, where that is enough:
    // a period found across that joint repeats the joint.
    const int enough = pitchMinFrames * 2 + leastWindowFrames;
    const int length = joinedFrames >= enough ? qMin(historyFill, joinedFrames) : historyFill;
    std::array<qint16, historyFrames> recent;
    const int oldest = (historyPos - length + historyFrames) % historyFrames;
    for (int i = 0; i < length; ++i)
        recent[size_t(i)] = history[size_t((oldest + i) % historyFrames)];
    // The lag at which the latest stretch best matches the audio before it,
    // by normalised correlation: a voice's pitch period, or a multiple of a
    // tone's.
    // The window gives way to lags up to the longest period, or at least to
    // twice the shortest: every tone higher than that has a multiple there.
    const int window = qBound(qMin(int(leastWindowFrames), length - pitchMinFrames * 2),
                              length - pitchMaxFrames, int(pitchWindowFrames));
    const int longest = qMin(pitchMaxFrames, length - window);
    // Candidates run from the longest lag to the shortest.
    const int start = length - window - longest;
    periodFrames = length - window
        - bestMatch(recent.data() + length - window, recent.data(), window, start, length - window - pitchMinFrames);
    std::copy(recent.begin() + (length - periodFrames), recent.begin() + length, period.begin());
    // The period's end fades into what led up to its start, so that each
    // repeat joins the next without a step.
    const int joint = qMin(qMin(periodFrames / 4, 64), length - periodFrames);
    const qint16 *leadIn = recent.data() + length - periodFrames - joint;
    qint16 *tail = period.data() + periodFrames - joint;
    for (int i = 0; i < joint; ++i)
        tail[i] = qint16((qint32(tail[i]) * (joint - i) + qint32(leadIn[i]) * (i + 1)) / (joint + 1));

    fadeLeft = concealFrames;
}

qint16 JitterBuffer::concealed()
{
    if (fadeLeft <= 0 || periodFrames == 0)
        return 0;
    constexpr qint64 fadeFrames = concealFrames - concealHoldFrames;
    const qint64 left = qMin<qint64>(fadeLeft, fadeFrames);
    const qint32 sample = qint32(period[size_t(periodPos)] * left * left / (fadeFrames * fadeFrames));
    periodPos = (periodPos + 1) % periodFrames;
    --fadeLeft;
    return qint16(sample);
}

void JitterBuffer::compact()
{
    // Played audio is cut off the front now and then, not at every pull.
    if (head == queue.size()) {
        queue.clear();
        head = 0;
    } else if (head >= size_t(capacityFrames) / 2) {
        queue.erase(queue.begin(), queue.begin() + std::ptrdiff_t(head));
        head = 0;
    }
}
