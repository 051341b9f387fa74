// The datagram format byte for byte, how headers are classified, and how the
// bounded decoder copes with whatever arrives on port 8002.
#include "net/datagram.h"
#include "net/peeraddress.h"
#include "net/senderbudget.h"

#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

#include <zlib.h>

#include <sys/resource.h>
#include <sys/time.h>

#include <cstdlib>
#include <fstream>
#include <string>

Q_DECLARE_METATYPE(Datagram::Kind)

namespace {

const QString initialStatus = QStringLiteral("update:broadcasting_no:listening_no");

QByteArray bigEndian32(quint32 value)
{
    char bytes[4];
    qToBigEndian<quint32>(value, bytes);
    return QByteArray(bytes, 4);
}

QByteArray utf16BigEndian(const QString &text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(char(c.unicode() >> 8));
        bytes.append(char(c.unicode() & 0xFF));
    }
    return bytes;
}

// A body written by hand, for bodies the encoder would never produce.
QByteArray stringField(const QString &text)
{
    return bigEndian32(quint32(text.size() * 2)) + utf16BigEndian(text);
}

QByteArray withDeclaredLength(QByteArray container, quint32 length)
{
    const QByteArray prefix = bigEndian32(length);
    container.replace(0, 4, prefix);
    return container;
}

// A zlib stream of `pattern` repeated, made piecewise so that a stream that
// inflates to many megabytes costs the test no more than its compressed size.
QByteArray zlibStream(const QByteArray &pattern, int repeat, int level = Z_DEFAULT_COMPRESSION)
{
    z_stream stream = {};
    if (deflateInit(&stream, level) != Z_OK)
        return QByteArray();
    QByteArray out;
    char buffer[16384];
    for (int i = 0; i <= repeat; ++i) {
        const bool last = i == repeat;
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(pattern.constData()));
        stream.avail_in = last ? 0 : uInt(pattern.size());
        int result;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer);
            stream.avail_out = sizeof buffer;
            result = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            out.append(buffer, int(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0 || (last && result != Z_STREAM_END));
    }
    deflateEnd(&stream);
    return out;
}

QByteArray container(quint32 declared, const QByteArray &stream)
{
    return bigEndian32(declared) + stream;
}

QByteArray audioBodyOfSize(int bodySize)
{
    return Datagram::body(Datagram::audioHeader, QByteArray(bodySize - 18, 'p'));
}

QByteArray junk(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(random.bounded(256));
    return bytes;
}

// Random, yet with the runs and repeats deflate finds matches in.
QByteArray compressibleJunk(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const char c = char('a' + random.bounded(4));
        const int run = 1 + random.bounded(12);
        bytes.append(QByteArray(run, c));
    }
    bytes.truncate(size);
    return bytes;
}

qint64 peakResidentBytes()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_maxrss) * 1024;
}

qint64 addressSpaceInUse()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0)
            return std::stoll(line.substr(7)) * 1024;
    }
    return -1;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

} // namespace

class tst_Datagram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void firstAnnouncementBytes();
    void announcementBodySizes_data();
    void announcementBodySizes();
    void audioBodyBytes_data();
    void audioBodyBytes();
    void buildIsDefaultCompression_data();
    void buildIsDefaultCompression();
    void compressIsQCompress_data();
    void compressIsQCompress();

    void classify_data();
    void classify();
    void roundTrip_data();
    void roundTrip();

    void hostileDecode_data();
    void hostileDecode();
    void sameAsQUncompressWithinCap_data();
    void sameAsQUncompressWithinCap();

    void senderBudget_data();
    void senderBudget();
    void canBePeer_data();
    void canBePeer();
};

// One step of a sender's datagrams: `times` datagrams of `bytes` from sender
// number `sender` at `at` ms, and how many are admitted, refused and refused
// with a warning.
struct BudgetStep
{
    int sender;
    qint64 at;
    qint64 bytes;
    int times;
    int admitted;
    int refused;
    int warned;
};
Q_DECLARE_METATYPE(QVector<BudgetStep>)

// Everything below runs with little address space to spare: a decoder that
// trusted a declared length or kept inflating a bomb would fail to allocate
// and crash here. Sanitizers reserve terabytes of shadow memory, so the limit
// is left out under them.
void tst_Datagram::initTestCase()
{
    if (sanitized)
        return;
    const qint64 inUse = addressSpaceInUse();
    QVERIFY2(inUse > 0, "cannot read VmSize from /proc/self/status");
    const qint64 headroom = 48 * 1024 * 1024;
    const rlimit limit = {rlim_t(inUse + headroom), rlim_t(inUse + headroom)};
    QVERIFY2(setrlimit(RLIMIT_AS, &limit) == 0, "cannot lower RLIMIT_AS");

    void *tooMuch = std::malloc(64 * 1024 * 1024);
    std::free(tooMuch);
    QVERIFY2(!tooMuch, "the address space limit does not hold back a 64 MiB allocation");
}

void tst_Datagram::firstAnnouncementBytes()
{
    const QByteArray text = utf16BigEndian(initialStatus);
    QCOMPARE(text.left(6), QByteArray::fromHex("007500700064"));
    const QByteArray expectedBody = QByteArray::fromHex("00000046") + text
                                    + QByteArray::fromHex("FFFFFFFF");
    QCOMPARE(expectedBody.size(), 78);

    QCOMPARE(Datagram::body(initialStatus, QByteArray()), expectedBody);

    // Made outside the program (zlib.compress at its default level behind
    // the length prefix): what every other instance puts on the wire.
    const QByteArray expectedContainer = QByteArray::fromHex(
        "0000004e789c6360607063286528604861486428614865b06248622862c807f2521892816431503493"
        "218f219d211e48e603e57380fc62b0da3c6499ff40000044ad1270");
    const QByteArray container = Datagram::build(initialStatus, QByteArray());
    QVERIFY(container.startsWith(QByteArray::fromHex("0000004E789C")));
    QCOMPARE(container, expectedContainer);
}

void tst_Datagram::announcementBodySizes_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("size");

    QTest::newRow("both no") << initialStatus << 78;
    QTest::newRow("broadcasting") << "update:broadcasting_yes:listening_no" << 80;
    QTest::newRow("listening") << "update:broadcasting_no:listening_yes" << 80;
    QTest::newRow("both yes") << "update:broadcasting_yes:listening_yes" << 82;
}

void tst_Datagram::announcementBodySizes()
{
    QFETCH(QString, status);
    QFETCH(int, size);

    const QByteArray body = Datagram::body(status, QByteArray());
    QCOMPARE(body.size(), size);
    QCOMPARE(body.left(4), bigEndian32(quint32(status.size() * 2)));
    QVERIFY2(body.endsWith(QByteArray::fromHex("FFFFFFFF")),
             "an announcement carries a null payload, written as FF FF FF FF");
    QVERIFY(Datagram::build(status, QByteArray()).startsWith(bigEndian32(quint32(size))));
}

void tst_Datagram::audioBodyBytes_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("expectedTail");

    const QByteArray oneSample = QByteArray::fromHex("34 12");
    QTest::newRow("one sample") << oneSample << QByteArray::fromHex("00000002") + oneSample;
    const QByteArray full = junk(8192, 1);
    QTest::newRow("full chunk") << full << QByteArray::fromHex("00002000") + full;
    QTest::newRow("empty chunk") << QByteArray("") << QByteArray::fromHex("00000000");
    QTest::newRow("null chunk") << QByteArray() << QByteArray::fromHex("FFFFFFFF");
}

void tst_Datagram::audioBodyBytes()
{
    QFETCH(QByteArray, chunk);
    QFETCH(QByteArray, expectedTail);

    const QByteArray body = Datagram::body(Datagram::audioHeader, chunk);
    QCOMPARE(body.left(14), QByteArray::fromHex("0000000A0061007500640069006F"));
    QCOMPARE(body.mid(14), expectedTail);
    QCOMPARE(body.size(), 18 + chunk.size());
}

void tst_Datagram::buildIsDefaultCompression_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("announcement") << initialStatus << QByteArray();
    QTest::newRow("audio") << Datagram::audioHeader << junk(4000, 2);
    QTest::newRow("audio, largest chunk") << Datagram::audioHeader << QByteArray(8192, '\0');
}

void tst_Datagram::buildIsDefaultCompression()
{
    QFETCH(QString, header);
    QFETCH(QByteArray, payload);

    const QByteArray body = Datagram::body(header, payload);
    QCOMPARE(Datagram::build(header, payload), qCompress(body, -1));
    QVERIFY(Datagram::build(header, payload).mid(4, 2) == QByteArray::fromHex("789C"));
}

// Every instance already on the network reads what qCompress writes, so the
// kept and reset stream must write it byte for byte. The rows run one after
// the other on the same stream: small inputs after large ones catch a reset
// that leaves anything behind.
void tst_Datagram::compressIsQCompress_data()
{
    QTest::addColumn<QByteArray>("data");

    quint32 seed = 100;
    for (const int size : {0, 1, 2, 100, 1764, 2048, 4410, 8191, 8192, 8210, 60000}) {
        QTest::addRow("%d random bytes", size) << junk(size, ++seed);
        QTest::addRow("%d compressible bytes", size) << compressibleJunk(size, ++seed);
    }
    QTest::newRow("60000 zero bytes") << QByteArray(60000, '\0');
    QTest::newRow("1 zero byte, after the largest") << QByteArray(1, '\0');
    QTest::newRow("audio body, after the largest")
        << Datagram::body(Datagram::audioHeader, junk(2048, ++seed));
}

void tst_Datagram::compressIsQCompress()
{
    QFETCH(QByteArray, data);

    const QByteArray compressed = Datagram::compress(data);
    QCOMPARE(compressed, qCompress(data, -1));
    QCOMPARE(qUncompress(compressed), data);
    // Past the largest body a peer sends, a body is not even inflated.
    QCOMPARE(Datagram::inflateBody(compressed),
             data.size() <= Datagram::maxBodySize ? data : QByteArray());
}

void tst_Datagram::classify_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<Datagram::Kind>("kind");

    using K = Datagram::Kind;
    QTest::newRow("audio") << "audio" << K::Audio;
    QTest::newRow("capital Audio") << "Audio" << K::Ignored;
    QTest::newRow("AUDIO") << "AUDIO" << K::Ignored;
    QTest::newRow("trailing blank") << "audio " << K::Ignored;
    QTest::newRow("leading blank") << " audio" << K::Ignored;
    QTest::newRow("audio plus update") << "audioupdate" << K::Announcement;
    QTest::newRow("first status") << initialStatus << K::Announcement;
    QTest::newRow("both yes") << "update:broadcasting_yes:listening_yes" << K::Announcement;
    QTest::newRow("bare update") << "update" << K::Announcement;
    QTest::newRow("update inside") << "xupdatey" << K::Announcement;
    QTest::newRow("two fields") << "update:broadcasting_yes" << K::Announcement;
    QTest::newRow("capital UPDATE") << "UPDATE:broadcasting_no:listening_no" << K::Ignored;
    QTest::newRow("capital Update") << "Update:broadcasting_no:listening_no" << K::Ignored;
    QTest::newRow("status words only") << "broadcasting_yes:listening_yes" << K::Ignored;
    QTest::newRow("empty") << "" << K::Ignored;
    QTest::newRow("null") << QString() << K::Ignored;
}

void tst_Datagram::classify()
{
    QFETCH(QString, header);
    QFETCH(Datagram::Kind, kind);

    QCOMPARE(Datagram::classify(header), kind);
}

void tst_Datagram::roundTrip_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<Datagram::Kind>("kind");

    using K = Datagram::Kind;
    QTest::newRow("announcement, null payload") << initialStatus << QByteArray() << K::Announcement;
    QTest::newRow("announcement, empty payload") << initialStatus << QByteArray("") << K::Announcement;
    QTest::newRow("announcement, some payload") << initialStatus << QByteArray("xyz") << K::Announcement;
    QTest::newRow("announcement, payload up to the largest body")
        << "update:broadcasting_yes:listening_no" << junk(Datagram::maxBodySize - 80, 3)
        << K::Announcement;
    QTest::newRow("update inside, kept whole") << "xupdatey" << QByteArray() << K::Announcement;
    QTest::newRow("audio chunk") << "audio" << junk(1764, 4) << K::Audio;
    QTest::newRow("audio, largest chunk") << "audio" << junk(8192, 5) << K::Audio;
    QTest::newRow("audio, empty chunk") << "audio" << QByteArray("") << K::Audio;
    QTest::newRow("audio, null chunk") << "audio" << QByteArray() << K::Audio;
    QTest::newRow("wrong case audio") << "Audio" << QByteArray("pcm") << K::Ignored;
}

void tst_Datagram::roundTrip()
{
    QFETCH(QString, header);
    QFETCH(QByteArray, payload);
    QFETCH(Datagram::Kind, kind);

    const Datagram::Message message = Datagram::parse(Datagram::build(header, payload));
    QCOMPARE(message.header, header);
    QCOMPARE(message.payload, payload);
    QCOMPARE(Datagram::classify(message.header), kind);
}

// `body` is what the decoder must hand out: empty when the datagram is to be
// dropped. `header` and `payload` are what parse makes of it.
void tst_Datagram::hostileDecode_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("header");
    QTest::addColumn<QByteArray>("payload");

    const QByteArray none;
    const QByteArray announcementBody = Datagram::body(initialStatus, QByteArray());
    const QByteArray announcement = Datagram::build(initialStatus, QByteArray());
    const QByteArray stream = announcement.mid(4);

    QTest::newRow("empty") << QByteArray() << none << QString() << none;
    QTest::newRow("1 byte") << QByteArray::fromHex("00") << none << QString() << none;
    QTest::newRow("2 bytes") << QByteArray::fromHex("0000") << none << QString() << none;
    QTest::newRow("3 bytes") << QByteArray::fromHex("00004E") << none << QString() << none;
    QTest::newRow("4 bytes, zero") << QByteArray::fromHex("00000000") << none << QString() << none;
    QTest::newRow("4 bytes, prefix only") << QByteArray::fromHex("0000004E") << none << QString()
                                          << none;
    QTest::newRow("prefix and zlib header only")
        << QByteArray::fromHex("0000004E789C") << none << QString() << none;

    // A declared length is only a hint as long as it is within the cap.
    QTest::newRow("declared 0, valid stream")
        << container(0, stream) << announcementBody << initialStatus << QByteArray();
    QTest::newRow("declared 1, valid stream")
        << container(1, stream) << announcementBody << initialStatus << QByteArray();
    QTest::newRow("declared at the cap, valid stream")
        << container(Datagram::maxBodySize, stream) << announcementBody << initialStatus
        << QByteArray();
    QTest::newRow("declared one past the cap, valid stream")
        << container(Datagram::maxBodySize + 1, stream) << none << QString() << none;
    QTest::newRow("declared 0x7FFFFF00, valid stream")
        << container(0x7FFFFF00, stream) << none << QString() << none;
    QTest::newRow("declared 0xFFFFFFFF, valid stream")
        << container(0xFFFFFFFF, stream) << none << QString() << none;
    const QByteArray garbage = junk(64, 6);
    QTest::newRow("declared 0, junk") << container(0, garbage) << none << QString() << none;
    QTest::newRow("declared 1, junk") << container(1, garbage) << none << QString() << none;
    QTest::newRow("declared 0x7FFFFF00, junk")
        << container(0x7FFFFF00, garbage) << none << QString() << none;
    QTest::newRow("declared 0xFFFFFFFF, junk")
        << container(0xFFFFFFFF, garbage) << none << QString() << none;

    // About 60 KB on the wire that inflates to some 60 MB, more than this
    // test may even allocate.
    const QByteArray bomb = zlibStream(QByteArray(1 << 20, '\0'), 60, Z_BEST_COMPRESSION);
    QVERIFY2(bomb.size() < 65507 - 4, "the bomb has to fit into one datagram");
    QTest::newRow("deflate bomb, honest small length")
        << container(78, bomb) << none << QString() << none;
    QTest::newRow("deflate bomb, declared at the cap")
        << container(Datagram::maxBodySize, bomb) << none << QString() << none;

    const QByteArray largest = audioBodyOfSize(Datagram::maxBodySize);
    const QByteArray tooLarge = audioBodyOfSize(Datagram::maxBodySize + 1);
    QTest::newRow("body at the cap")
        << qCompress(largest, -1) << largest << Datagram::audioHeader << largest.mid(18);
    QTest::newRow("body at the cap, declared 78")
        << withDeclaredLength(qCompress(largest, -1), 78) << largest << Datagram::audioHeader
        << largest.mid(18);
    QTest::newRow("body one past the cap") << qCompress(tooLarge, -1) << none << QString() << none;
    QTest::newRow("body one past the cap, declared 78")
        << withDeclaredLength(qCompress(tooLarge, -1), 78) << none << QString() << none;

    QTest::newRow("zlib stream cut by one byte")
        << announcement.left(announcement.size() - 1) << none << QString() << none;
    QTest::newRow("zlib stream cut in the middle")
        << announcement.left(announcement.size() / 2) << none << QString() << none;
    QTest::newRow("zlib stream without its check value")
        << announcement.left(announcement.size() - 4) << none << QString() << none;
    QByteArray badCheck = announcement;
    badCheck[badCheck.size() - 1] = char(badCheck.at(badCheck.size() - 1) ^ 0x01);
    QTest::newRow("bad Adler-32") << badCheck << none << QString() << none;
    QByteArray badHeader = announcement;
    badHeader[5] = char(0x9D);
    QTest::newRow("bad zlib header check") << badHeader << none << QString() << none;

    QTest::newRow("trailing bytes after the stream")
        << announcement + junk(100, 7) << announcementBody << initialStatus << QByteArray();
    QTest::newRow("a second stream behind the first")
        << announcement + stream << announcementBody << initialStatus << QByteArray();

    QTest::newRow("65507 bytes of junk") << junk(65507, 8) << none << QString() << none;
    QTest::newRow("65507 bytes of junk behind a valid prefix")
        << QByteArray::fromHex("0000004E789C") + junk(65501, 9) << none << QString() << none;

    // Bodies the encoder never makes, in valid containers.
    QTest::newRow("odd-length header string")
        << qCompress(QByteArray::fromHex("0000000500610075006400FFFFFFFF"), -1)
        << QByteArray::fromHex("0000000500610075006400FFFFFFFF") << QString() << none;
    const QByteArray cutPayloadBody = stringField("audio") + bigEndian32(100) + QByteArray(10, 'p');
    QTest::newRow("audio with a cut payload")
        << qCompress(cutPayloadBody, -1) << cutPayloadBody << Datagram::audioHeader << none;
    const QByteArray cutHeaderBody = bigEndian32(70) + utf16BigEndian("update:broad");
    QTest::newRow("cut header string")
        << qCompress(cutHeaderBody, -1) << cutHeaderBody << QString() << none;
    const QByteArray forgedStringBody = bigEndian32(0x7FFFFFF0) + utf16BigEndian("update");
    QTest::newRow("header string claiming 2 GB")
        << qCompress(forgedStringBody, -1) << forgedStringBody << QString() << none;
    const QByteArray forgedPayloadBody = stringField("audio") + bigEndian32(0xFFFFFFF0);
    QTest::newRow("payload claiming 4 GB")
        << qCompress(forgedPayloadBody, -1) << forgedPayloadBody << Datagram::audioHeader << none;
    const QByteArray nullHeaderBody = QByteArray::fromHex("FFFFFFFFFFFFFFFF");
    QTest::newRow("null header string")
        << qCompress(nullHeaderBody, -1) << nullHeaderBody << QString() << none;
    const QByteArray headerOnlyBody = stringField("audio");
    QTest::newRow("audio header, payload missing")
        << qCompress(headerOnlyBody, -1) << headerOnlyBody << Datagram::audioHeader << none;
    const QByteArray extraValueBody = Datagram::body("audio", "pcm") + stringField("update");
    QTest::newRow("a third value after the payload")
        << qCompress(extraValueBody, -1) << extraValueBody << Datagram::audioHeader
        << QByteArray("pcm");
}

void tst_Datagram::hostileDecode()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, body);
    QFETCH(QString, header);
    QFETCH(QByteArray, payload);

    // A bounded decode touches a buffer of the largest body and at most a few MiB while
    // the stream reader gives up on a forged length; a decoder that believed
    // the datagram would push the process's peak far beyond that.
    const qint64 peakBefore = peakResidentBytes();
    const QByteArray decoded = Datagram::inflateBody(datagram);
    const Datagram::Message message = Datagram::parse(datagram);
    const qint64 growth = peakResidentBytes() - peakBefore;
    QVERIFY2(growth < 8 * 1024 * 1024,
             qPrintable(QString("decoding raised the peak resident size by %1 bytes").arg(growth)));

    QCOMPARE(decoded, body);
    QVERIFY(decoded.size() <= Datagram::maxBodySize);
    QCOMPARE(message.header, header);
    QCOMPARE(message.payload, payload);
    if (body.isEmpty())
        QCOMPARE(Datagram::classify(message.header), Datagram::Kind::Ignored);
}

// For every datagram that qUncompress decodes within the cap, the bounded
// decoder must agree byte for byte, whatever the length prefix claims.
void tst_Datagram::sameAsQUncompressWithinCap_data()
{
    QTest::addColumn<QByteArray>("datagram");

    const QByteArray announcement = Datagram::build(initialStatus, QByteArray());
    const QByteArray audio = Datagram::build(Datagram::audioHeader, junk(8192, 10));
    const int audioBodySize = 18 + 8192;

    QTest::newRow("announcement") << announcement;
    QTest::newRow("both yes")
        << Datagram::build("update:broadcasting_yes:listening_yes", QByteArray());
    QTest::newRow("largest audio datagram") << audio;
    QTest::newRow("silent audio") << Datagram::build(Datagram::audioHeader, QByteArray(8192, '\0'));
    QTest::newRow("one-sample audio") << Datagram::build(Datagram::audioHeader, QByteArray("\1\0", 2));
    for (quint32 declared : {0u, 1u, 2u, 10u, 77u}) {
        QTest::addRow("announcement declaring %u", declared)
            << withDeclaredLength(announcement, declared);
    }
    for (quint32 declared : {0u, 1u, 100u, 4096u, quint32(audioBodySize - 1)}) {
        QTest::addRow("audio declaring %u", declared) << withDeclaredLength(audio, declared);
    }
    QTest::newRow("audio declaring more than it holds")
        << withDeclaredLength(Datagram::build(Datagram::audioHeader, junk(3000, 12)),
                              Datagram::maxBodySize);
    QTest::newRow("announcement declaring the cap")
        << withDeclaredLength(announcement, Datagram::maxBodySize);
    QTest::newRow("body at the cap") << qCompress(audioBodyOfSize(Datagram::maxBodySize), -1);
    QTest::newRow("body at the cap declaring 1")
        << withDeclaredLength(qCompress(audioBodyOfSize(Datagram::maxBodySize), -1), 1);
    for (int level : {0, 1, 9}) {
        QTest::addRow("audio at compression level %d", level)
            << qCompress(Datagram::body(Datagram::audioHeader, junk(3000, 11)), level);
    }
    QTest::newRow("empty body") << container(0, zlibStream(QByteArray(), 0));
    QTest::newRow("trailing bytes") << announcement + QByteArray("tail");
}

void tst_Datagram::sameAsQUncompressWithinCap()
{
    QFETCH(QByteArray, datagram);

    const QByteArray reference = qUncompress(datagram);
    QVERIFY2(reference.size() <= Datagram::maxBodySize, "table rows must lie within the cap");
    QCOMPARE(Datagram::inflateBody(datagram), reference);
}

void tst_Datagram::senderBudget_data()
{
    QTest::addColumn<QVector<BudgetStep>>("steps");

    const qint64 chunk = Datagram::maxBodySize;
    const int burst = int(SenderBudget::datagramsPerSecond);
    const int byteBurst = int(SenderBudget::bytesPerSecond / chunk);
    QVector<BudgetStep> realPeer;
    // Ninety of the largest chunks and ten announcements a second, for 20 s.
    for (qint64 at = 0; at < 20000; at += 100)
        realPeer << BudgetStep{1, at, chunk, 9, 9, 0, 0} << BudgetStep{1, at, 82, 1, 1, 0, 0};
    QTest::newRow("a real peer, always admitted") << realPeer;
    QTest::newRow("a burst of small datagrams, then refused for a while")
        << QVector<BudgetStep>{{1, 0, 82, burst, burst, 0, 0},
                               {1, 0, 82, 5, 0, 5, 1},
                               {1, SenderBudget::refusedMs - 1, 82, 1, 0, 1, 0},
                               {1, SenderBudget::refusedMs, 82, burst, burst, 0, 0}};
    QTest::newRow("large datagrams run out of bytes first")
        << QVector<BudgetStep>{{1, 0, chunk, byteBurst, byteBurst, 0, 0},
                               {1, 0, chunk, 1, 0, 1, 1}};
    QTest::newRow("one warning however often the offender comes back")
        << QVector<BudgetStep>{{1, 0, 82, burst + 1, burst, 1, 1},
                               {1, 1000, 82, burst + 1, burst, 1, 0},
                               {1, 2000, 82, burst + 1, burst, 1, 0}};
    QTest::newRow("forgotten after a quiet while, warned again")
        << QVector<BudgetStep>{{1, 0, 82, burst + 1, burst, 1, 1},
                               {1, 1000 + SenderBudget::forgetMs, 82, burst + 1, burst, 1, 1}};
    QTest::newRow("another sender keeps its own budget")
        << QVector<BudgetStep>{{1, 0, 82, burst + 10, burst, 10, 1},
                               {2, 0, chunk, 9, 9, 0, 0},
                               {1, 10, 82, 10, 0, 10, 0},
                               {2, 10, 82, 1, 1, 0, 0}};
    QTest::newRow("the rate refills by the millisecond")
        << QVector<BudgetStep>{{1, 0, 82, burst, burst, 0, 0},
                               {1, 10, 82, 10, 10, 0, 0},
                               {1, 10, 82, 1, 0, 1, 1}};
}

void tst_Datagram::senderBudget()
{
    QFETCH(QVector<BudgetStep>, steps);

    SenderBudget budget;
    for (const BudgetStep &step : steps) {
        SenderBudget::Key key;
        key.low = quint64(step.sender);
        int admitted = 0, refused = 0, warned = 0;
        for (int i = 0; i < step.times; ++i) {
            switch (budget.admit(key, step.at, step.bytes)) {
            case SenderBudget::Verdict::Admit:
                ++admitted;
                break;
            case SenderBudget::Verdict::RefuseFirst:
                ++warned;
                Q_FALLTHROUGH();
            case SenderBudget::Verdict::Refuse:
                ++refused;
                break;
            }
        }
        const QString at = QString("sender %1 at %2 ms").arg(step.sender).arg(step.at);
        QVERIFY2(admitted == step.admitted, qPrintable(at + QString(": %1 admitted").arg(admitted)));
        QVERIFY2(refused == step.refused, qPrintable(at + QString(": %1 refused").arg(refused)));
        QVERIFY2(warned == step.warned, qPrintable(at + QString(": %1 warned").arg(warned)));
    }
}

void tst_Datagram::canBePeer_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("expected");

    QTest::newRow("a LAN address") << "192.168.1.23" << true;
    QTest::newRow("one ending in .255 of a wider subnet") << "10.0.1.255" << true;
    QTest::newRow("mapped LAN address") << "::ffff:10.0.0.5" << true;
    QTest::newRow("IPv6 unique local") << "fd00:77::2" << true;
    QTest::newRow("IPv6 link-local") << "fe80::1" << true;
    QTest::newRow("unspecified") << "0.0.0.0" << false;
    QTest::newRow("mapped unspecified") << "::ffff:0.0.0.0" << false;
    QTest::newRow("this network") << "0.1.2.3" << false;
    QTest::newRow("IPv6 unspecified") << "::" << false;
    QTest::newRow("broadcast") << "255.255.255.255" << false;
    QTest::newRow("multicast") << "224.0.0.1" << false;
    QTest::newRow("top of multicast") << "239.255.255.250" << false;
    QTest::newRow("IPv6 multicast") << "ff02::1" << false;
    QTest::newRow("own loopback") << "127.0.0.1" << true;
    QTest::newRow("mapped own loopback") << "::ffff:127.0.0.1" << true;
    QTest::newRow("own IPv6 loopback") << "::1" << true;
    QTest::newRow("loopback not this host's") << "127.0.0.2" << false;
    QTest::newRow("null") << QString() << false;
}

void tst_Datagram::canBePeer()
{
    QFETCH(QString, address);
    QFETCH(bool, expected);

    const QList<PeerAddress::Bytes> own = PeerAddress::loopbackOf(
        {QHostAddress("127.0.0.1"), QHostAddress("::1"), QHostAddress("10.0.0.9")});
    QCOMPARE(own.size(), 2);
    QCOMPARE(PeerAddress::canBePeer(QHostAddress(address), own), expected);
}

QTEST_GUILESS_MAIN(tst_Datagram)
#include "tst_datagram.moc"
