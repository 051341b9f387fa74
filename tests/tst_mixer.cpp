// The mixer and its per-peer buffers, with no sound server: talkers send
// chunks at chosen times, a stream stand-in plays at 44.1 kHz as a sound
// server does, and what it played is checked sample by sample.
#include "audio/mixer.h"

#include <QtTest>

#include <cmath>
#include <random>

namespace {

constexpr int rate = 44100;
constexpr int chunkFrames = 1024;
// 5 ms windows, in which a listener hears a talker or not.
constexpr int window = 220;

// A talker and the path its chunks take. A tone of `hz`, or, with hz 0, a
// staircase: every sample of chunk k is 1000 + 2k, so that where each chunk
// first plays can be found in what the stream played.
struct Talker
{
    int hz = 0;
    int amplitude = 8000;
    int stopMs = -1;
    // Its clock, fast (> 0) or slow, in parts per million.
    double ppm = 0;
    // Every lossEvery-th chunk is lost.
    int lossEvery = 0;
    // Each chunk held back 0 to jitterMs, order kept.
    int jitterMs = 0;
    // Every stallEveryMs, the path stands still for stallMs.
    int stallEveryMs = 0;
    int stallMs = 0;
    bool muted = false;
    // Its tone is not looked for (one of many).
    bool unchecked = false;
};

using Talkers = QVector<Talker>;

// Plays what is written at 44.1 kHz and, like a sound server, stops when it
// runs dry until a request's worth has come again.
class PlayingStream : public Mixer::Stream
{
public:
    int buffered() const override { return int(held.size() - head); }
    int writable() const override { return capacity - buffered(); }
    void write(const qint16 *samples, int frames) override
    {
        QVERIFY(frames <= writable());
        held.insert(held.end(), samples, samples + frames);
        if (buffered() >= startFrames)
            running = true;
    }
    void playUntil(qint64 ms)
    {
        const qint64 due = ms * rate / 1000;
        while (qint64(played.size()) < due) {
            if (running && head < held.size()) {
                played.push_back(held[head++]);
            } else {
                ranDry = ranDry || running;
                running = false;
                played.push_back(0);
            }
        }
        if (head > 65536) {
            held.erase(held.begin(), held.begin() + std::ptrdiff_t(head));
            head = 0;
        }
    }

    std::vector<qint16> played;
    // Since the mixer was last told, as a sound server tells its client.
    bool ranDry = false;

private:
    static constexpr int capacity = 2048;
    static constexpr int startFrames = 256;
    std::vector<qint16> held;
    size_t head = 0;
    bool running = false;
};

struct Arrival
{
    qint64 ms;
    int talker;
    int chunk;
};

qint16 sampleOf(const Talker &talker, int talkerIndex, qint64 n, int chunk)
{
    if (talker.hz == 0)
        return qint16(1000 + 2 * chunk);
    // Each talker's own phase, so that equal tones do not line up.
    return qint16(std::lround(talker.amplitude * std::sin(2 * M_PI * talker.hz * n / rate + talkerIndex)));
}

// When each talker's chunks reach the mixer, in order of arrival.
std::vector<Arrival> schedule(const Talkers &talkers, int durationMs)
{
    std::vector<Arrival> arrivals;
    std::mt19937 random(8002);
    for (int t = 0; t < talkers.size(); ++t) {
        const Talker &talker = talkers[t];
        qint64 lastArrival = 0;
        for (int k = 0;; ++k) {
            // A chunk is sent once its last sample is captured.
            const double sentMs = (k + 1) * 1000.0 * chunkFrames / rate / (1 + talker.ppm * 1e-6);
            if (sentMs >= durationMs || (talker.stopMs >= 0 && sentMs >= talker.stopMs))
                break;
            if (talker.lossEvery && k % talker.lossEvery == talker.lossEvery - 1)
                continue;
            qint64 arrival = qint64(sentMs) + (talker.jitterMs ? qint64(random() % unsigned(talker.jitterMs + 1)) : 0);
            if (talker.stallEveryMs) {
                const qint64 intoStall = qint64(sentMs) % talker.stallEveryMs;
                if (qint64(sentMs) >= talker.stallEveryMs && intoStall < talker.stallMs)
                    arrival = qMax(arrival, qint64(sentMs) - intoStall + talker.stallMs);
            }
            lastArrival = qMax(lastArrival, arrival);
            arrivals.push_back({lastArrival, t, k});
        }
    }
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival &a, const Arrival &b) { return a.ms < b.ms; });
    return arrivals;
}

// The stream's output over a conversation, played and mixed as the program
// does: every chunk pushed and played at once, and the stream topped up
// whenever the mixer asks to be called again.
std::vector<qint16> converse(const Talkers &talkers, int durationMs, int *peers)
{
    Mixer mixer;
    PlayingStream stream;
    for (int t = 0; t < talkers.size(); ++t) {
        if (talkers[t].muted)
            mixer.setMuted(QString::number(t), true);
    }
    const std::vector<Arrival> arrivals = schedule(talkers, durationMs);
    size_t next = 0;
    qint64 wakeAt = -1;
    QByteArray chunk(chunkFrames * 2, Qt::Uninitialized);
    for (qint64 ms = 0; ms < durationMs; ++ms) {
        stream.playUntil(ms);
        if (std::exchange(stream.ranDry, false))
            mixer.ranDry();
        for (; next < arrivals.size() && arrivals[next].ms == ms; ++next) {
            const Arrival &a = arrivals[next];
            for (int i = 0; i < chunkFrames; ++i) {
                const qint16 s = sampleOf(talkers[a.talker], a.talker, qint64(a.chunk) * chunkFrames + i, a.chunk);
                qToLittleEndian<qint16>(s, chunk.data() + 2 * i);
            }
            mixer.push(QString::number(a.talker), chunk, ms, stream.buffered());
            const int wait = mixer.play(stream, ms);
            wakeAt = wait < 0 ? -1 : ms + wait;
        }
        if (wakeAt >= 0 && wakeAt <= ms) {
            const int wait = mixer.play(stream, ms);
            wakeAt = wait < 0 ? -1 : ms + wait;
        }
    }
    *peers = mixer.peers();
    return stream.played;
}

// Whether a talker's tone is in the window at `start`, at a quarter of its
// level or more.
bool toneIn(const std::vector<qint16> &played, size_t start, const Talker &talker)
{
    const double w = 2 * M_PI * talker.hz / rate;
    double re = 0;
    double im = 0;
    for (int i = 0; i < window; ++i) {
        re += played[start + size_t(i)] * std::cos(w * i);
        im += played[start + size_t(i)] * std::sin(w * i);
    }
    return std::hypot(re, im) >= 0.25 * talker.amplitude * window / 2;
}

} // namespace

Q_DECLARE_METATYPE(Talkers)

class TestMixer : public QObject
{
    Q_OBJECT

private slots:
    // Each cover change is logged: hundreds of lines here.
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false")); }
    void conversation_data();
    void conversation();
};

void TestMixer::conversation_data()
{
    QTest::addColumn<Talkers>("talkers");
    QTest::addColumn<int>("durationMs");
    // Runs of 1 ms of silence in the middle of the talk, at most.
    QTest::addColumn<int>("silentRuns");
    // Of staircase talkers: the delay from a chunk's capture to its first
    // sample played, at most, and at most over the last two seconds.
    QTest::addColumn<int>("maxDelayMs");
    QTest::addColumn<int>("settledDelayMs");
    // Of tone talkers: 5 ms windows without the tone, at most.
    QTest::addColumn<int>("missingWindows");
    QTest::addColumn<int>("peers");

    const Talker staircase;
    Talker tone;
    tone.hz = 440;
    QTest::newRow("on time") << Talkers{staircase} << 5000 << 0 << 30 << 8 << 0 << 1;
    QTest::newRow("on time, a tone") << Talkers{tone} << 5000 << 0 << 0 << 0 << 0 << 1;

    Talker jittered = staircase;
    jittered.jitterMs = 8;
    QTest::newRow("late by up to 8 ms") << Talkers{jittered} << 10000 << 0 << 40 << 20 << 0 << 1;

    Talker lossy = tone;
    lossy.lossEvery = 50;
    lossy.jitterMs = 6;
    QTest::newRow("2% lost, jittered: concealed") << Talkers{lossy} << 20000 << 0 << 0 << 0 << 0 << 1;
    Talker lost = staircase;
    lost.lossEvery = 50;
    QTest::newRow("2% lost: the delay stays") << Talkers{lost} << 10000 << 0 << 30 << 12 << 0 << 1;

    Talker stalled = staircase;
    stalled.stallEveryMs = 5000;
    stalled.stallMs = 100;
    QTest::newRow("a burst after a stall") << Talkers{stalled} << 14000 << 80 << 100 << 35 << 0 << 1;
    Talker stalledTone = tone;
    stalledTone.stallEveryMs = 5000;
    stalledTone.stallMs = 100;
    QTest::newRow("a stall in a tone") << Talkers{stalledTone} << 12000 << 80 << 0 << 0 << 24 << 1;

    Talker fast = staircase;
    fast.ppm = 100;
    QTest::newRow("clock 100 ppm fast") << Talkers{fast} << 60000 << 0 << 30 << 10 << 0 << 1;
    Talker slow = staircase;
    slow.ppm = -100;
    QTest::newRow("clock 100 ppm slow") << Talkers{slow} << 60000 << 0 << 30 << 10 << 0 << 1;

    Talker first = tone;
    first.hz = 500;
    Talker second = tone;
    second.hz = 1900;
    second.ppm = 80;
    second.jitterMs = 5;
    QTest::newRow("two talkers") << Talkers{first, second} << 10000 << 0 << 0 << 0 << 0 << 2;
    Talker silent = tone;
    silent.amplitude = 0;
    silent.unchecked = true;
    QTest::newRow("a talker and a silent broadcaster") << Talkers{first, silent} << 10000 << 0 << 0 << 0 << 0 << 2;
    Talker loud = first;
    loud.amplitude = 30000;
    Talker louder = second;
    louder.amplitude = 30000;
    QTest::newRow("two loud talkers clip, never wrap") << Talkers{loud, louder} << 3000 << 0 << 0 << 0 << 0 << 2;
    Talker mutedOne = second;
    mutedOne.muted = true;
    QTest::newRow("a muted talker is left out") << Talkers{first, mutedOne} << 3000 << 0 << 0 << 0 << 0 << 1;

    Talker stops = tone;
    stops.stopMs = 2000;
    Talker goesOn = second;
    QTest::newRow("a talker stops") << Talkers{stops, goesOn} << 4000 << 0 << 0 << 0 << 0 << 2;

    Talkers crowd;
    for (int i = 0; i < 40; ++i) {
        Talker one = tone;
        one.hz = 300 + 37 * i;
        one.amplitude = 500;
        one.unchecked = true;
        crowd << one;
    }
    QTest::newRow("forty senders: 32 mixed") << crowd << 2000 << 0 << 0 << 0 << 0 << Mixer::maxPeers;
}

void TestMixer::conversation()
{
    QFETCH(Talkers, talkers);
    QFETCH(int, durationMs);
    QFETCH(int, silentRuns);
    QFETCH(int, maxDelayMs);
    QFETCH(int, settledDelayMs);
    QFETCH(int, missingWindows);
    QFETCH(int, peers);

    int mixed = 0;
    const std::vector<qint16> played = converse(talkers, durationMs, &mixed);
    QCOMPARE(mixed, peers);

    // The talk runs from the first sound to the first talker's stop or the
    // end, less what is still on its way then.
    const auto firstSound = std::find_if(played.begin(), played.end(), [](qint16 s) { return s != 0; });
    QVERIFY2(firstSound != played.end(), "nothing was played");
    const size_t begin = size_t(firstSound - played.begin());
    qint64 endMs = durationMs;
    for (const Talker &t : talkers) {
        if (t.stopMs >= 0)
            endMs = qMin<qint64>(endMs, t.stopMs);
    }
    const size_t end = size_t((endMs - 200) * rate / 1000);
    QVERIFY(begin < end);

    // A wrap, a click or the stream running dry is a step between two
    // samples far larger than the talkers' own, which a cross-fade at most
    // doubles.
    double natural = 0;
    int amplitudes = 0;
    for (const Talker &t : talkers) {
        if (!t.muted) {
            natural += t.hz == 0 ? 2 : 2 * M_PI * t.hz * t.amplitude / rate;
            // A staircase stands below 2000 for the run's first minute.
            amplitudes += t.hz == 0 ? 2000 : t.amplitude;
        }
    }
    const int maxStep = int(2 * natural) + amplitudes / 32 + 10;
    int runs = 0;
    for (size_t ms = begin; ms + 44 <= end; ms += 44)
        runs += std::all_of(played.begin() + std::ptrdiff_t(ms), played.begin() + std::ptrdiff_t(ms + 44),
                            [](qint16 s) { return s == 0; });
    QVERIFY2(runs <= silentRuns, qPrintable(QStringLiteral("%1 silent runs of 1 ms").arg(runs)));
    for (size_t i = begin + 1; i < end; ++i) {
        const int step = std::abs(played[i] - played[i - 1]);
        QVERIFY2(step <= maxStep, qPrintable(QStringLiteral("a step of %1 at %2 ms, from %3 to %4")
                                                 .arg(step).arg(i * 1000.0 / rate).arg(played[i - 1]).arg(played[i])));
    }

    for (int t = 0; t < talkers.size(); ++t) {
        const Talker &talker = talkers[t];
        if (talker.hz == 0) {
            // Where each chunk first played, against when it was captured.
            int worst = 0;
            int settled = 0;
            int next = 0;
            for (size_t i = begin; i < played.size(); ++i) {
                const int chunk = (played[i] - 1000) / 2;
                if (played[i] < 1000 || (played[i] - 1000) % 2 || chunk < next)
                    continue;
                next = chunk + 1;
                const double capturedMs = (chunk + 1) * 1000.0 * chunkFrames / rate / (1 + talker.ppm * 1e-6);
                const int delay = int(i * 1000 / rate - capturedMs);
                worst = qMax(worst, delay);
                if (i * 1000 / rate > size_t(durationMs - 2000))
                    settled = qMax(settled, delay);
            }
            QVERIFY2(next > 0, "no chunk was played whole");
            QVERIFY2(worst <= maxDelayMs, qPrintable(QStringLiteral("a chunk played %1 ms after capture").arg(worst)));
            QVERIFY2(settled <= settledDelayMs,
                     qPrintable(QStringLiteral("%1 ms behind at the end").arg(settled)));
        } else if (!talker.unchecked && talker.amplitude > 0) {
            // Once the talk is under way, and until the talker stops.
            const size_t from = begin + size_t(rate / 10);
            const size_t to = talker.stopMs >= 0 ? size_t(qint64(talker.stopMs) * rate / 1000) : end;
            int missing = 0;
            int windows = 0;
            for (size_t w = from; w + window <= to; w += window, ++windows)
                missing += !toneIn(played, w, talker);
            if (talker.muted) {
                QCOMPARE(missing, windows);
                continue;
            }
            QVERIFY2(missing <= missingWindows,
                     qPrintable(QStringLiteral("%1 Hz missing in %2 of %3 windows").arg(talker.hz).arg(missing).arg(windows)));
            if (talker.stopMs >= 0) {
                // Silent within 100 ms of the end of its last chunk, as the
                // only sound: the talker left goes on at another pitch.
                const size_t silentFrom = size_t((talker.stopMs + 100) * rate / 1000);
                for (size_t w = silentFrom; w + window <= size_t(durationMs - 200) * rate / 1000; w += window)
                    QVERIFY2(!toneIn(played, w, talker),
                             qPrintable(QStringLiteral("%1 Hz still heard %2 ms after it stopped")
                                            .arg(talker.hz).arg(qint64(w) * 1000 / rate - talker.stopMs)));
            }
        }
    }
}

QTEST_APPLESS_MAIN(TestMixer)

#include "tst_mixer.moc"
