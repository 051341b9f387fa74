#ifndef SENDERBUDGET_H
#define SENDERBUDGET_H

#include <QHash>
#include <QtGlobal>

// How much one sending address may make the receiver do. A real peer sends
// ten announcements a second and at most about ninety chunks, some 90 KB a
// second inflated; anyone far past that is flooding, and its datagrams are
// refused unread for a while, so that inflating them cannot crowd out the
// peers. Time is handed in: the rules hold no clock of their own.
class SenderBudget
{
public:
    // A sender's address as 16 bytes (IPv4 in its mapped form) and its scope.
    struct Key
    {
        quint64 high = 0;
        quint64 low = 0;
        quint32 scope = 0;
        bool operator==(const Key &other) const
        {
            return high == other.high && low == other.low && scope == other.scope;
        }
    };

    // Ten times a real peer's rate, and as much again at once.
    static constexpr qint64 datagramsPerSecond = 1000;
    static constexpr qint64 bytesPerSecond = 1024 * 1024;
    static constexpr qint64 refusedMs = 1000;
    // A sender not heard for this long is forgotten, its warning with it.
    static constexpr qint64 forgetMs = 10000;
    // Senders tracked one by one; past this, the newcomers share one budget,
    // so that forged addresses cannot grow the table.
    static constexpr int maxSenders = 4096;

    enum class Verdict {
        Admit,
        Refuse,
        // Refused, and the first refusal since this sender was last heard
        // within its budget: worth one line in the log.
        RefuseFirst,
    };

    // Charges one datagram of `bytes` (what it may inflate to) to `key`.
    Verdict admit(const Key &key, qint64 nowMs, qint64 bytes);
    // True when the last refusal was charged to the shared budget.
    bool sharedRefused() const { return lastShared; }
    int senders() const { return int(records.size()); }

private:
    struct Record
    {
        qint64 lastMs = 0;
        // Credits in thousandths, refilled by the millisecond.
        qint64 datagramCredit = 0;
        qint64 byteCredit = 0;
        qint64 refusedUntil = -1;
        bool warned = false;
    };

    Verdict charge(Record &record, qint64 nowMs, qint64 bytes);
    void forgetIdle(qint64 nowMs);

    QHash<Key, Record> records;
    Record shared;
    bool sharedStarted = false;
    bool lastShared = false;
    qint64 lastSweep = 0;
};

inline uint qHash(const SenderBudget::Key &key, uint seed = 0)
{
    return ::qHash(key.high ^ (key.low * 0x9E3779B97F4A7C15ull) ^ key.scope, seed);
}

#endif // SENDERBUDGET_H
