// Capture and playback against a private PulseAudio server: a null sink "spk"
// as the speaker and a pipe source "mic" that this test feeds in real time.
#include "audio/audioformat.h"
#include "audio/audioinput.h"
#include "audio/audiooutput.h"
#include "audio/sounddevices.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int sampleRate = 44100;
constexpr int bytesPerSecond = sampleRate * 2;
constexpr double pi = 3.14159265358979323846;

// ---- log capture ---------------------------------------------------------

std::mutex logLock;
QStringList logLines;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        std::lock_guard<std::mutex> locker(logLock);
        logLines.append(message);
    }
    // Warnings still reach the test output; the per-chunk debug lines would
    // drown it.
    if (type != QtDebugMsg && previousHandler)
        previousHandler(type, context, message);
}

QStringList takeLog()
{
    std::lock_guard<std::mutex> locker(logLock);
    QStringList lines;
    lines.swap(logLines);
    return lines;
}

QStringList peekLog()
{
    std::lock_guard<std::mutex> locker(logLock);
    return logLines;
}

int countLines(const QStringList &lines, const QString &text)
{
    int n = 0;
    for (const QString &line : lines)
        n += line.contains(text) ? 1 : 0;
    return n;
}

struct Write
{
    qint64 accepted;
    qint64 offered;
};

// The "wrote: N down from: M" lines, in order.
QList<Write> writesLogged(const QStringList &lines)
{
    static const QRegularExpression pattern(QStringLiteral("wrote:\\s+(-?\\d+)\\s+down from:\\s+(\\d+)"));
    QList<Write> writes;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch())
            writes.append({match.captured(1).toLongLong(), match.captured(2).toLongLong()});
    }
    return writes;
}

// True once a write was refused in full or in part (the buffer was full) and
// a later write was accepted again: the stream drains and takes more.
bool acceptsAgainAfterFull(const QList<Write> &writes)
{
    bool full = false;
    for (const Write &w : writes) {
        if (full && w.accepted > 0)
            return true;
        if (w.accepted < w.offered)
            full = true;
    }
    return false;
}

QByteArray describe(const QList<Write> &writes)
{
    QStringList parts;
    for (const Write &w : writes)
        parts.append(QStringLiteral("%1/%2").arg(w.accepted).arg(w.offered));
    return parts.join(' ').toLocal8Bit();
}

bool sawFull(const QList<Write> &writes)
{
    for (const Write &w : writes)
        if (w.accepted < w.offered)
            return true;
    return false;
}

// ---- sample helpers ------------------------------------------------------

QByteArray pcm(const QVector<int> &samples)
{
    QByteArray bytes(samples.size() * 2, '\0');
    for (int i = 0; i < samples.size(); ++i)
        qToLittleEndian<qint16>(qint16(samples[i]), bytes.data() + 2 * i);
    return bytes;
}

QVector<int> samplesOf(const QByteArray &bytes)
{
    QVector<int> samples(bytes.size() / 2);
    for (int i = 0; i < samples.size(); ++i)
        samples[i] = qFromLittleEndian<qint16>(bytes.constData() + 2 * i);
    return samples;
}

QByteArray tone(double frequency, double amplitude, int samples, double *phase)
{
    QByteArray bytes(samples * 2, '\0');
    for (int i = 0; i < samples; ++i) {
        qToLittleEndian<qint16>(qint16(std::lround(amplitude * std::sin(*phase))), bytes.data() + 2 * i);
        *phase += 2 * pi * frequency / sampleRate;
    }
    *phase = std::fmod(*phase, 2 * pi);
    return bytes;
}

double rms(const QVector<int> &samples, int from = 0, int to = -1)
{
    if (to < 0)
        to = samples.size();
    if (to <= from)
        return 0;
    double sum = 0;
    for (int i = from; i < to; ++i)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / (to - from));
}

// RMS of the loudest stretch: the recording starts and may end in silence.
double steadyRms(const QVector<int> &samples)
{
    const int window = sampleRate / 10;
    QVector<double> levels;
    for (int from = 0; from + window <= samples.size(); from += window)
        levels.append(rms(samples, from, from + window));
    if (levels.isEmpty())
        return 0;
    std::sort(levels.begin(), levels.end());
    // The median of the loudest half: robust to a gap or a ramp at the edges.
    return levels[levels.size() * 3 / 4];
}

// Frequency from the rising zero crossings: good enough to tell tones apart
// and to notice a wrong sample rate or channel count.
double frequencyOf(const QVector<int> &samples)
{
    int first = -1;
    int last = -1;
    int crossings = 0;
    for (int i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (first < 0)
                first = i;
            else
                ++crossings;
            last = i;
        }
    }
    if (crossings == 0)
        return 0;
    return double(crossings) * sampleRate / (last - first);
}

// The median frequency of the loud stretches: a gap where playback ran dry
// would otherwise read as a lower pitch.
double steadyFrequency(const QVector<int> &samples)
{
    const int window = sampleRate / 10;
    const double loud = 0.5 * steadyRms(samples);
    QVector<double> frequencies;
    for (int from = 0; from + window <= samples.size(); from += window) {
        const QVector<int> part = samples.mid(from, window);
        if (rms(part) >= loud)
            frequencies.append(frequencyOf(part));
    }
    if (frequencies.isEmpty())
        return 0;
    std::sort(frequencies.begin(), frequencies.end());
    return frequencies[frequencies.size() / 2];
}

QString pulseDirectory()
{
    QString server = qEnvironmentVariable("PULSE_SERVER");
    if (server.startsWith(QLatin1String("unix:")))
        server = server.mid(5);
    return server.isEmpty() ? QString() : QFileInfo(server).absolutePath();
}

// What pactl prints as JSON; an empty document if it fails.
QJsonDocument pactlJson(const QStringList &arguments)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), QStringList{QStringLiteral("-f"), QStringLiteral("json")} + arguments);
    if (!pactl.waitForFinished(5000) || pactl.exitCode() != 0)
        return QJsonDocument();
    return QJsonDocument::fromJson(pactl.readAllStandardOutput());
}

// The source the test's capture stream records from, as the server says.
QString captureSource()
{
    QHash<int, QString> sources;
    for (const QJsonValue &source : pactlJson({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")}).array())
        sources.insert(source[QLatin1String("index")].toInt(), source[QLatin1String("name")].toString());
    for (const QJsonValue &output : pactlJson({QStringLiteral("list"), QStringLiteral("source-outputs")}).array()) {
        if (output[QLatin1String("properties")][QLatin1String("media.name")].toString() == QLatin1String("intercom capture"))
            return sources.value(output[QLatin1String("source")].toInt());
    }
    return QString();
}

bool setDefaultSource(const QString &name)
{
    return QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), name}) == 0;
}

// ---- the microphone: the pipe source's FIFO fed at real-time pace --------

class MicFeeder
{
public:
    MicFeeder(double frequency, double amplitude)
        : frequency(frequency), amplitude(amplitude)
    {
    }
    ~MicFeeder() { stop(); }

    bool start()
    {
        const QString fifo = pulseDirectory() + QStringLiteral("/mic.fifo");
        // The pipe source holds the FIFO open itself, so this does not block.
        fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        running = true;
        worker = std::thread([this] { run(); });
        return true;
    }

    void stop()
    {
        running = false;
        if (worker.joinable())
            worker.join();
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    void run()
    {
        // 441 samples every 10 ms, on a fixed schedule so that the average
        // rate is exactly real time whatever the scheduler does.
        double phase = 0;
        auto next = std::chrono::steady_clock::now();
        while (running) {
            const QByteArray block = tone(frequency, amplitude, sampleRate / 100, &phase);
            if (::write(fd, block.constData(), size_t(block.size())) < 0)
                return;
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    }

    double frequency;
    double amplitude;
    int fd = -1;
    std::atomic<bool> running{false};
    std::thread worker;
};

// ---- the speaker: its monitor recorded by parec --------------------------

class SpeakerRecorder
{
public:
    bool start()
    {
        recorder.setProgram(QStringLiteral("parec"));
        recorder.setArguments({QStringLiteral("-d"), QStringLiteral("spk.monitor"),
                               QStringLiteral("--format=s16le"), QStringLiteral("--rate=44100"),
                               QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
        recorder.start();
        return recorder.waitForStarted(5000);
    }

    // Everything recorded since the last call.
    QVector<int> take()
    {
        recorder.waitForReadyRead(50);
        pending += recorder.readAllStandardOutput();
        const int whole = pending.size() & ~1;
        const QVector<int> samples = samplesOf(pending.left(whole));
        pending.remove(0, whole);
        return samples;
    }

    ~SpeakerRecorder()
    {
        recorder.terminate();
        if (!recorder.waitForFinished(3000))
            recorder.kill();
    }

private:
    QProcess recorder;
    QByteArray pending;
};

// Writes a tone into `write` every `intervalMs`, `chunkBytes` at a time.
class ChunkPump : public QObject
{
public:
    ChunkPump(std::function<qint64(const QByteArray &)> write, int chunkBytes, int intervalMs)
        : write(std::move(write)), chunkBytes(chunkBytes)
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            this->write(tone(1000, 16000, this->chunkBytes / 2, &phase));
        });
        timer.start(intervalMs);
    }

private:
    std::function<qint64(const QByteArray &)> write;
    int chunkBytes;
    double phase = 0;
    QTimer timer;
};

// Starts this test binary again, in one of the modes its main() picks by
// environment variable, with these variables set; output and errors merged.
void startSelf(QProcess &child, std::initializer_list<std::pair<QString, QString>> variables)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &variable : variables)
        env.insert(variable.first, variable.second);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
}

} // namespace

class TestAudio : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();


    void scaleSamples_data();
    void scaleSamples();
    void scaleSamplesLeavesOddTrailingByte();

    void playbackKeepsAcceptingAtLowVolume_data();
    void playbackKeepsAcceptingAtLowVolume();
    void playbackLevel_data();
    void playbackLevel();
    void emptyChunkIsLogged();

    void captureSendsOnlyWhileSwitchedOn();
    void captureDeliversTheMicrophone();
    void changeDeviceKeepsSending();
    void defaultFollowsTheDesktop();
    void captureVolume();

    void noAudioServer();
    void exitAfterAudio();

private:
    bool havePulse = false;
    // Kept running for the whole test: an idle null sink renders in blocks of
    // up to two seconds, and a new stream would wait for the next one. A
    // low-latency reader on its monitor keeps it rendering in small steps.
    QScopedPointer<SpeakerRecorder> speaker;
};

void TestAudio::initTestCase()
{
    previousHandler = qInstallMessageHandler(captureMessage);
    havePulse = !pulseDirectory().isEmpty()
                && QFileInfo::exists(pulseDirectory() + QStringLiteral("/mic.fifo"))
                && SoundDevices::instance()->answering()
                && !SoundDevices::instance()->defaultSource().isEmpty();
    QVERIFY2(havePulse, "needs the sandbox's private PulseAudio server (sandbox.sh --pulse)");
    speaker.reset(new SpeakerRecorder);
    QVERIFY(speaker->start());
    QTRY_VERIFY_WITH_TIMEOUT(!speaker->take().isEmpty(), 5000);
}

void TestAudio::init()
{
    takeLog();
}

// ---- playback ------------------------------------------------------------

void TestAudio::scaleSamples_data()
{
    QTest::addColumn<float>("volume");
    QTest::addColumn<QVector<int>>("samples");
    const QVector<int> mixed{0, 1, -1, 2, -2, 3, -3, 1000, -1000, 12345, -12345, 32767, -32768};
    QTest::newRow("half") << 0.5f << mixed;
    QTest::newRow("silence") << 0.0f << mixed;
    QTest::newRow("full") << 1.0f << mixed;
    QTest::newRow("0.1") << 0.1f << mixed;
    QTest::newRow("0.9") << 0.9f << mixed;
    QTest::newRow("empty") << 0.5f << QVector<int>();
}

void TestAudio::scaleSamples()
{
    QFETCH(float, volume);
    QFETCH(QVector<int>, samples);
    QByteArray bytes = pcm(samples);
    ::scaleSamples(bytes, volume);
    QCOMPARE(bytes.size(), samples.size() * 2);
    const QVector<int> scaled = samplesOf(bytes);
    for (int i = 0; i < samples.size(); ++i) {
        const double exact = double(samples[i]) * double(volume);
        // Within one step: the volume is a float, so 0.9 is not quite 0.9.
        QVERIFY2(std::abs(scaled[i] - exact) <= 1.0,
                 qPrintable(QStringLiteral("sample %1 at volume %2 became %3")
                                .arg(samples[i]).arg(volume).arg(scaled[i])));
        // Scaling never flips a sample's sign.
        QVERIFY(scaled[i] == 0 || (scaled[i] > 0) == (samples[i] > 0));
    }
}

void TestAudio::scaleSamplesLeavesOddTrailingByte()
{
    QByteArray bytes = pcm({1000, -1000});
    bytes.append(char(0x7f));
    ::scaleSamples(bytes, 0.5f);
    QCOMPARE(bytes.size(), 5);
    QCOMPARE(samplesOf(bytes.left(4)), (QVector<int>{500, -500}));
    QCOMPARE(bytes.at(4), char(0x7f));
}

void TestAudio::playbackKeepsAcceptingAtLowVolume_data()
{
    QTest::addColumn<float>("volume");
    QTest::newRow("0.5") << 0.5f;
    QTest::newRow("0.0") << 0.0f;
    QTest::newRow("0.9") << 0.9f;
    QTest::newRow("9.9") << 9.9f;
}

// The operator turns the volume down: playback must go on taking chunks once
// the buffer has filled.
void TestAudio::playbackKeepsAcceptingAtLowVolume()
{
    QFETCH(float, volume);
    AudioOutput output(nullptr);
    output.setListening(true);
    output.setVolume(volume);
    QCOMPARE(countLines(peekLog(), QStringLiteral("output volume set to:")), 1);
    QVERIFY(peekLog().filter(QStringLiteral("output volume set to:")).first()
                .contains(QString::number(double(volume))));

    ChunkPump pump([&](const QByteArray &chunk) {
        output.writeData(chunk);
        return qint64(0);
    }, AudioFormat::bufferBytes, 46);
    QTRY_VERIFY2_WITH_TIMEOUT(sawFull(writesLogged(peekLog())), "the buffer never filled", 3000);
    QTRY_VERIFY2_WITH_TIMEOUT(acceptsAgainAfterFull(writesLogged(peekLog())),
                              "no write accepted after the buffer had filled: "
                                  + describe(writesLogged(peekLog())), 1500);
    for (const Write &w : writesLogged(peekLog())) {
        QCOMPARE(w.offered, qint64(AudioFormat::bufferBytes));
        QVERIFY(w.accepted >= 0 && w.accepted <= w.offered);
    }
}

void TestAudio::playbackLevel_data()
{
    QTest::addColumn<bool>("setVolume");
    QTest::addColumn<float>("volume");
    QTest::addColumn<double>("gain");
    QTest::newRow("initial volume") << false << 0.0f << 1.0;
    QTest::newRow("0.5") << true << 0.5f << 0.5;
    QTest::newRow("0.0") << true << 0.0f << 0.0;
    QTest::newRow("0.3") << true << 0.3f << 0.3;
    QTest::newRow("2.5 (clamped to 1.0)") << true << 2.5f << 1.0;
}

// What reaches the speaker: the volume is applied exactly once, and values
// above 1 play at full volume, not distorted.
void TestAudio::playbackLevel()
{
    QFETCH(bool, setVolume);
    QFETCH(float, volume);
    QFETCH(double, gain);
    const double amplitude = 16000;

    speaker->take();
    AudioOutput output(nullptr);
    output.setListening(true);
    if (setVolume)
        output.setVolume(volume);

    // Real-time pace, one playback period per write.
    ChunkPump pump([&](const QByteArray &chunk) {
        output.writeData(chunk);
        return qint64(0);
    }, 1764, 20);
    QVector<int> recorded;
    QElapsedTimer clock;
    clock.start();
    // A second and a half of the speaker, starting once the stream plays.
    QTRY_VERIFY_WITH_TIMEOUT((recorded += speaker->take(), clock.elapsed() > 1500), 5000);

    const double level = steadyRms(recorded);
    const double expected = gain * amplitude / std::sqrt(2.0);
    QVERIFY2(std::abs(level - expected) <= 0.03 * amplitude,
             qPrintable(QStringLiteral("speaker RMS %1, expected %2; writes: %3")
                            .arg(level).arg(expected).arg(QString::fromLocal8Bit(describe(writesLogged(peekLog()))))));
    if (gain > 0) {
        const double frequency = steadyFrequency(recorded);
        QVERIFY2(std::abs(frequency - 1000) <= 20,
                 qPrintable(QStringLiteral("speaker tone at %1 Hz").arg(frequency)));
    }
}

void TestAudio::emptyChunkIsLogged()
{
    AudioOutput output(nullptr);
    output.setListening(true);
    output.writeData(QByteArray());
    const QList<Write> writes = writesLogged(peekLog());
    QCOMPARE(writes.size(), 1);
    QCOMPARE(writes.first().accepted, qint64(0));
    QCOMPARE(writes.first().offered, qint64(0));
}

// ---- capture -------------------------------------------------------------

void TestAudio::captureSendsOnlyWhileSwitchedOn()
{
    MicFeeder mic(440, 10000);
    QVERIFY(mic.start());
    AudioInput input(QByteArrayLiteral("default"), nullptr);
    // Chunks come on the sound library's thread: queued to this one.
    QList<QByteArray> chunks;
    connect(&input, &AudioInput::dataReady, &input, [&](const QByteArray &chunk) { chunks.append(chunk); });

    QStringList log = peekLog();
    QVERIFY(!log.isEmpty());
    QCOMPARE(log.first(), QStringLiteral("device started"));
    QCOMPARE(countLines(log, QStringLiteral("device started")), 1);
    QCOMPARE(countLines(log, QStringLiteral("could not start")), 0);

    // Capturing but not sending: nothing comes out, however long the mic runs.
    QTest::qWait(500);
    QCOMPARE(chunks.count(), 0);

    input.startAudio();
    input.startAudio();
    QElapsedTimer sending;
    sending.start();
    QTRY_VERIFY_WITH_TIMEOUT(chunks.count() >= 10, 3000);
    qint64 total = 0;
    for (const QByteArray &chunk : chunks) {
        QVERIFY2(chunk.size() > 0 && chunk.size() <= AudioFormat::bufferBytes,
                 qPrintable(QStringLiteral("chunk of %1 bytes").arg(chunk.size())));
        QCOMPARE(chunk.size() % 2, 0);
        total += chunk.size();
    }
    // No backlog from before startAudio: at most what the mic produced while
    // sending, plus one buffer.
    QVERIFY2(total <= sending.elapsed() * bytesPerSecond / 1000 + 2 * AudioFormat::bufferBytes,
             qPrintable(QStringLiteral("%1 bytes in %2 ms").arg(total).arg(sending.elapsed())));

    input.stopAudio();
    // What was handed out before the stop may still be on its way here.
    QCoreApplication::processEvents();
    const int stoppedAt = chunks.count();
    QTest::qWait(500);
    QCOMPARE(chunks.count(), stoppedAt);
    input.stopAudio();

    // Switched on again it resumes.
    input.startAudio();
    QTRY_VERIFY_WITH_TIMEOUT(chunks.count() > stoppedAt, 2000);
}

void TestAudio::captureDeliversTheMicrophone()
{
    MicFeeder mic(440, 10000);
    QVERIFY(mic.start());
    AudioInput input(QByteArrayLiteral("default"), nullptr);
    QByteArray captured;
    connect(&input, &AudioInput::dataReady, &input, [&](const QByteArray &chunk) { captured += chunk; });
    input.startAudio();
    QTRY_VERIFY_WITH_TIMEOUT(captured.size() >= bytesPerSecond, 4000);
    const QVector<int> samples = samplesOf(captured);
    const double frequency = steadyFrequency(samples);
    QVERIFY2(std::abs(frequency - 440) <= 440 * 0.02,
             qPrintable(QStringLiteral("captured tone at %1 Hz").arg(frequency)));
    const double level = steadyRms(samples);
    QVERIFY2(std::abs(level - 10000 / std::sqrt(2.0)) <= 300,
             qPrintable(QStringLiteral("captured RMS %1").arg(level)));
}

void TestAudio::changeDeviceKeepsSending()
{
    MicFeeder mic(440, 10000);
    QVERIFY(mic.start());
    AudioInput input(QByteArrayLiteral("default"), nullptr);
    QList<QByteArray> chunks;
    connect(&input, &AudioInput::dataReady, &input, [&](const QByteArray &chunk) { chunks.append(chunk); });
    input.startAudio();
    QTRY_VERIFY_WITH_TIMEOUT(chunks.count() > 0, 2000);

    takeLog();
    input.changeDevice(QByteArrayLiteral("default"));
    QCOMPARE(peekLog().value(0), QStringLiteral("device started"));
    QCOMPARE(countLines(peekLog(), QStringLiteral("device started")), 1);
    chunks.clear();
    QTRY_VERIFY_WITH_TIMEOUT(chunks.count() >= 3, 3000);

    // The same device again still restarts capture.
    takeLog();
    input.changeDevice(QByteArrayLiteral("default"));
    QCOMPARE(countLines(peekLog(), QStringLiteral("device started")), 1);
    chunks.clear();
    QTRY_VERIFY_WITH_TIMEOUT(chunks.count() >= 3, 3000);

    // A device that is not there (unplugged since it was listed): no wait on
    // it, capture goes on from the default and says why.
    QSignalSpy missing(&input, &AudioInput::deviceMissing);
    takeLog();
    input.changeDevice("unplugged.monitor");
    QCOMPARE(countLines(peekLog(), QStringLiteral("device started")), 1);
    QCOMPARE(countLines(peekLog(), QStringLiteral("input device gone, capturing from the default:")), 1);
    QCOMPARE(missing.count(), 1);
    chunks.clear();
    QTRY_VERIFY_WITH_TIMEOUT(chunks.count() >= 3, 3000);
}

// "default" is the server's default at every moment: the desktop's setting
// changed while capture runs moves capture with it.
void TestAudio::defaultFollowsTheDesktop()
{
    AudioInput input(QByteArrayLiteral("default"), nullptr);
    input.startAudio();
    QTRY_COMPARE_WITH_TIMEOUT(captureSource(), QStringLiteral("mic"), 3000);
    QVERIFY(setDefaultSource(QStringLiteral("spk.monitor")));
    const bool moved = QTest::qWaitFor([] { return captureSource() == QLatin1String("spk.monitor"); }, 2000);
    QVERIFY(setDefaultSource(QStringLiteral("mic")));
    QVERIFY2(moved, qPrintable(QStringLiteral("capture stayed on %1").arg(captureSource())));
    QTRY_COMPARE_WITH_TIMEOUT(captureSource(), QStringLiteral("mic"), 2000);
}

void TestAudio::captureVolume()
{
    const double amplitude = 12000;
    MicFeeder mic(500, amplitude);
    QVERIFY(mic.start());
    AudioInput input(QByteArrayLiteral("default"), nullptr);
    input.setVolume(0.5f);
    QByteArray captured;
    connect(&input, &AudioInput::dataReady, &input, [&](const QByteArray &chunk) { captured += chunk; });
    input.startAudio();
    QTRY_VERIFY_WITH_TIMEOUT(captured.size() >= bytesPerSecond, 4000);
    double level = steadyRms(samplesOf(captured));
    QVERIFY2(std::abs(level - 0.5 * amplitude / std::sqrt(2.0)) <= 0.03 * amplitude,
             qPrintable(QStringLiteral("RMS %1 at volume 0.5").arg(level)));

    // The slider still shows the volume after a device change: it still applies.
    input.changeDevice(QByteArrayLiteral("default"));
    captured.clear();
    QTRY_VERIFY_WITH_TIMEOUT(captured.size() >= bytesPerSecond, 4000);
    level = steadyRms(samplesOf(captured));
    QVERIFY2(std::abs(level - 0.5 * amplitude / std::sqrt(2.0)) <= 0.03 * amplitude,
             qPrintable(QStringLiteral("RMS %1 after a device change").arg(level)));
}

// ---- no audio at all -----------------------------------------------------

// Run in a child process: the one connection to the sound server is made
// once per process, so "no server" needs a process of its own.
static int runWithoutAudio()
{
    AudioInput input(QByteArrayLiteral("default"), nullptr);
    AudioOutput output(nullptr);
    output.setListening(true);
    input.startAudio();
    input.setVolume(0.5f);
    output.setVolume(0.5f);
    for (int i = 0; i < 20; ++i)
        output.writeData(QByteArray(AudioFormat::bufferBytes, '\1'));
    input.changeDevice(QByteArrayLiteral("default"));
    QCoreApplication::processEvents();
    return 0;
}

void TestAudio::noAudioServer()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile emptyAlsa(dir.filePath(QStringLiteral("asound.conf")));
    QVERIFY(emptyAlsa.open(QIODevice::WriteOnly));
    emptyAlsa.close();

    QProcess child;
    startSelf(child, {{QStringLiteral("TST_AUDIO_WITHOUT_AUDIO"), QStringLiteral("1")},
                      {QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + dir.filePath(QStringLiteral("nothing"))},
                      {QStringLiteral("ALSA_CONFIG_PATH"), emptyAlsa.fileName()},
                      {QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true")}});
    QVERIFY(child.waitForFinished(20000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, qPrintable(output));
    const QStringList lines = output.split('\n');
    // One each from construction; the device change tries again and says so again.
    QCOMPARE(countLines(lines, QStringLiteral("audio capture could not start")), 2);
    QCOMPARE(countLines(lines, QStringLiteral("audio playback could not start")), 1);
    QCOMPARE(countLines(lines, QStringLiteral("device started")), 2);
    const QList<Write> writes = writesLogged(lines);
    QCOMPARE(writes.size(), 20);
    for (const Write &w : writes)
        QCOMPARE(w.accepted, qint64(0));
    QCOMPARE(countLines(lines, QStringLiteral("output volume set to:")), 1);
}

// The process's connections to the sound server, as the server lists its clients.
static int connectionsOfThisProcess()
{
    QProcess clients;
    clients.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("clients")});
    if (!clients.waitForFinished(5000) || clients.exitCode() != 0)
        return -1;
    const QByteArray pid = "application.process.id = \"" + QByteArray::number(QCoreApplication::applicationPid()) + '"';
    return clients.readAll().count(pid);
}

// Run in a child process by exitAfterAudio: captures and plays for a moment,
// then ends as the program does, its streams closing as it leaves. Says how
// many connections to the sound server it had while both streams ran.
static int runAndQuit()
{
    int result = 0;
    {
        AudioInput input(QByteArrayLiteral("default"), nullptr);
        AudioOutput output(nullptr);
        output.setListening(true);
        input.startAudio();
        int written = 0;
        QTimer pump;
        QObject::connect(&pump, &QTimer::timeout, [&] {
            output.writeData(QByteArray(AudioFormat::bufferBytes / 4, '\1'));
            if (++written == 15) {
                fprintf(stdout, "connections: %d\n", connectionsOfThisProcess());
                fflush(stdout);
                QCoreApplication::quit();
            }
        });
        pump.start(20);
        result = QCoreApplication::exec();
    }
    return result;
}

// Two sound stacks in one process raced each other at exit (about one exit
// in twenty after audio): the process keeps one connection, and every exit
// right after audio is clean.
void TestAudio::exitAfterAudio()
{
    constexpr int runs = 8;
    constexpr int atOnce = 4;
    for (int started = 0; started < runs; started += atOnce) {
        std::vector<std::unique_ptr<QProcess>> children;
        for (int i = 0; i < atOnce; ++i) {
            children.emplace_back(new QProcess);
            startSelf(*children.back(), {{QStringLiteral("TST_AUDIO_QUIT_AFTER_AUDIO"), QStringLiteral("1")},
                                         {QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false")}});
        }
        for (auto &child : children) {
            QVERIFY(child->waitForFinished(20000));
            const QString output = QString::fromLocal8Bit(child->readAll());
            QVERIFY2(child->exitStatus() == QProcess::NormalExit && child->exitCode() == 0, qPrintable(output));
            QVERIFY2(output.contains(QLatin1String("connections: 1")), qPrintable(output));
        }
    }
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("TST_AUDIO_WITHOUT_AUDIO"))
        return runWithoutAudio();
    if (qEnvironmentVariableIsSet("TST_AUDIO_QUIT_AFTER_AUDIO"))
        return runAndQuit();
    TestAudio test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_audio.moc"
