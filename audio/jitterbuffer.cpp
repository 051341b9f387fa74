#include "audio/jitterbuffer.h"

#include "audio/audioformat.h"

#include <algorithm>
#include <cmath>

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
    }
    if (current == State::Playing)
        standingLead = qMin(standingLead, aheadFrames + held());

    const int skipped = int(qMin<qint64>(toSkip, frames));
    toSkip -= skipped;
    const int taken = qMin(frames - skipped, capacityFrames - held());
    compact();
    queue.insert(queue.end(), samples + skipped, samples + skipped + taken);
    const int aligned = late ? alignWithConcealment() : 0;
    // A talk starts with the cover and a margin held: its next chunk, up to
    // a cover later, then comes before the stream runs low. It fades in, as
    // it may start mid-word.
    if (current == State::Buffering && held() >= coverFrames + standingMarginFrames) {
        current = State::Playing;
        lastPull = nowMs;
        windowStart = nowMs;
        crossLeft = crossFadeFrames;
    }
    measureStandingDelay(nowMs);
    return qMax(0, taken - aligned - cutStandingDelay());
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
    const int kept = standingMarginFrames + qMax(0, coverFrames - leastCover);
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
        for (; done < n; ++done) {
            qint32 sample = audio[done];
            if (crossLeft > 0) {
                const int w = crossFadeFrames + 1 - crossLeft--;
                sample = (concealed() * (crossFadeFrames + 1 - w) + sample * w) / (crossFadeFrames + 1);
            }
            mix[done] += sample;
        }
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
    const qint16 *audio = queue.data() + head;
    int best = wanted;
    double bestScore = -1;
    for (int cut = wanted; cut >= shortest; --cut) {
        double dot = 0;
        double energy = 0;
        for (int i = 0; i < window; ++i) {
            const double after = audio[cut + i];
            dot += double(audio[i]) * after;
            energy += after * after;
        }
        const double score = energy > 0 ? dot / std::sqrt(energy) : 0;
        if (score > bestScore) {
            bestScore = score;
            best = cut;
        }
    }
    return best;
}

int JitterBuffer::alignWithConcealment()
{
    // Audio that comes after concealment starts up to a pitch period in,
    // where it best matches what the concealment would have played next: the
    // cross-fade then joins two sounds in phase rather than cancelling them.
    if (fadeLeft <= 0 || periodFrames == 0)
        return 0;
    const int window = pitchWindowFrames;
    const qint16 *audio = queue.data() + head;
    int best = 0;
    double bestScore = -1;
    for (int offset = 0; offset <= qMin(pitchMaxFrames, held() - window); ++offset) {
        double dot = 0;
        double energy = 0;
        for (int i = 0; i < window; ++i) {
            const double sample = audio[offset + i];
            dot += sample * period[size_t((periodPos + i) % periodFrames)];
            energy += sample * sample;
        }
        const double score = energy > 0 ? dot / std::sqrt(energy) : 0;
        if (score > bestScore) {
            bestScore = score;
            best = offset;
        }
    }
    head += size_t(best);
    return best;
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
    for (int i = skip; i < frames; ++i) {
        history[size_t(historyPos)] = samples[i];
        historyPos = (historyPos + 1) % historyFrames;
    }
    historyFill = qMin(historyFrames, historyFill + frames - skip);
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
    std::array<qint16, historyFrames> recent;
    const int oldest = (historyPos - historyFill + historyFrames) % historyFrames;
    for (int i = 0; i < historyFill; ++i)
        recent[size_t(i)] = history[size_t((oldest + i) % historyFrames)];
    const int length = historyFill;
    // The lag at which the latest stretch best matches the audio before it,
    // by normalised correlation: a voice's pitch period, or a multiple of a
    // tone's.
    const int window = qMin(pitchWindowFrames, length - pitchMinFrames);
    const qint16 *latest = recent.data() + length - window;
    int best = pitchMinFrames;
    double bestScore = -1;
    for (int lag = pitchMinFrames; lag <= qMin(pitchMaxFrames, length - window); ++lag) {
        double dot = 0;
        double energy = 0;
        for (int i = 0; i < window; ++i) {
            const double earlier = latest[i - lag];
            dot += double(latest[i]) * earlier;
            energy += earlier * earlier;
        }
        const double score = energy > 0 ? dot / std::sqrt(energy) : 0;
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    periodFrames = best;
    std::copy(recent.begin() + (length - best), recent.begin() + length, period.begin());
    fadeLeft = concealFadeFrames;
}

qint16 JitterBuffer::concealed()
{
    if (fadeLeft <= 0 || periodFrames == 0)
        return 0;
    const qint32 sample = qint32(period[size_t(periodPos)]) * fadeLeft / concealFadeFrames;
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
