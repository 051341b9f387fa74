#include "net/senderbudget.h"

namespace {

constexpr qint64 fullDatagrams = SenderBudget::datagramsPerSecond * 1000;
constexpr qint64 fullBytes = SenderBudget::bytesPerSecond * 1000;

} // namespace

SenderBudget::Verdict SenderBudget::admit(const Key &key, qint64 nowMs, qint64 bytes)
{
    if (nowMs - lastSweep >= 1000)
        forgetIdle(nowMs);
    lastShared = false;
    auto found = records.find(key);
    if (found == records.end()) {
        if (records.size() >= maxSenders) {
            if (!sharedStarted) {
                sharedStarted = true;
                shared = Record{nowMs, fullDatagrams, fullBytes, -1, false};
            }
            const Verdict verdict = charge(shared, nowMs, bytes);
            lastShared = verdict != Verdict::Admit;
            return verdict;
        }
        found = records.insert(key, Record{nowMs, fullDatagrams, fullBytes, -1, false});
    }
    return charge(found.value(), nowMs, bytes);
}

SenderBudget::Verdict SenderBudget::charge(Record &record, qint64 nowMs, qint64 bytes)
{
    const qint64 elapsed = qMax<qint64>(0, nowMs - record.lastMs);
    record.lastMs = nowMs;
    record.datagramCredit = qMin(fullDatagrams, record.datagramCredit + elapsed * datagramsPerSecond);
    record.byteCredit = qMin(fullBytes, record.byteCredit + elapsed * bytesPerSecond);
    if (record.refusedUntil >= 0) {
        if (nowMs < record.refusedUntil)
            return Verdict::Refuse;
        record.refusedUntil = -1;
    }
    const qint64 byteCost = qMax<qint64>(0, bytes) * 1000;
    if (record.datagramCredit >= 1000 && record.byteCredit >= byteCost) {
        record.datagramCredit -= 1000;
        record.byteCredit -= byteCost;
        return Verdict::Admit;
    }
    record.refusedUntil = nowMs + refusedMs;
    if (record.warned)
        return Verdict::Refuse;
    record.warned = true;
    return Verdict::RefuseFirst;
}

void SenderBudget::forgetIdle(qint64 nowMs)
{
    lastSweep = nowMs;
    for (auto it = records.begin(); it != records.end();) {
        if (nowMs - it->lastMs >= forgetMs && nowMs >= it->refusedUntil)
            it = records.erase(it);
        else
            ++it;
    }
    if (sharedStarted && nowMs - shared.lastMs >= forgetMs && nowMs >= shared.refusedUntil)
        sharedStarted = false;
}
