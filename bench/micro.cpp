// Micro-benchmarks of the intercom's hot paths, as ratios measured in one run:
//
//   micro receive   Datagram::parse + classify (what the receiver does with each
//                   datagram) against a bare inflate of the same bytes (one zlib
//                   stream kept and reset, into a buffer of the declared size),
//                   against zlib's uncompress, and against qUncompress.
//   micro build     Datagram::build of an announcement and of audio chunks
//                   (2 KiB is a chunk as capture hands it over) against a bare
//                   deflate of the same body (one zlib stream kept and reset) and
//                   against qCompress of it.
//   micro table     ClientList::processClient for a peer already in the table,
//                   with N rows (what every announcement costs the main thread).
//   micro fanout    Server::writeDatagram of one 8192-byte chunk with 1, 10 and
//                   50 peers in the table, against building the datagram alone.
//                   Sends real datagrams: run it inside tests/sandbox.sh only.
//
// Every figure is the median of several rounds; the rounds of the things
// compared are interleaved, so that a neighbour's load hits both alike.

#include "model/model.h"
#include "net/datagram.h"
#include "net/server.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

constexpr int rounds = 9;
constexpr int chunkBytes = 8192;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double threadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

double wallNs()
{
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

// Nanoseconds per call of `work`, CPU time of this thread, over `iterations` calls.
double cpuNsPerCall(int iterations, const std::function<void()> &work)
{
    const double start = threadCpuNs();
    for (int i = 0; i < iterations; ++i)
        work();
    return (threadCpuNs() - start) / iterations;
}

QByteArray toneChunk(int bytes = chunkBytes)
{
    // A 440 Hz tone like the one the tests feed the microphone with.
    QByteArray chunk(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes / 2; ++i) {
        const auto sample = qint16(std::lround(12000 * std::sin(2 * M_PI * 440 * i / 44100.0)));
        chunk[2 * i] = char(sample & 0xff);
        chunk[2 * i + 1] = char((sample >> 8) & 0xff);
    }
    return chunk;
}

QByteArray noiseChunk(int bytes = chunkBytes)
{
    QByteArray chunk(bytes, Qt::Uninitialized);
    QRandomGenerator generator(8002);
    for (int i = 0; i < bytes; ++i)
        chunk[i] = char(generator.bounded(256));
    return chunk;
}

volatile int sink = 0;

void benchReceive()
{
    struct Case
    {
        const char *name;
        QByteArray datagram;
    };
    const std::vector<Case> cases = {
        {"announcement", Datagram::build("update:broadcasting_no:listening_no", QByteArray())},
        {"audio 2 KiB, tone", Datagram::build(Datagram::audioHeader, toneChunk(2048))},
        {"audio 2 KiB, noise", Datagram::build(Datagram::audioHeader, noiseChunk(2048))},
        {"audio 8 KiB, tone", Datagram::build(Datagram::audioHeader, toneChunk())},
        {"audio 8 KiB, noise", Datagram::build(Datagram::audioHeader, noiseChunk())},
    };

    z_stream inflater = {};
    if (inflateInit(&inflater) != Z_OK)
        return;

    std::printf("| datagram | bytes on the wire | parse + classify, ns | bare inflate, ns | ratio | "
                "bare uncompress, ns | ratio | qUncompress + QDataStream, ns | ratio |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Case &c : cases) {
        const QByteArray &datagram = c.datagram;
        const int iterations = datagram.size() < 200 ? 200000 : 20000;
        const uLong declared = (uchar(datagram[0]) << 24) | (uchar(datagram[1]) << 16)
                               | (uchar(datagram[2]) << 8) | uchar(datagram[3]);
        std::vector<unsigned char> out(declared);

        const auto receive = [&] {
            const Datagram::Message message = Datagram::parse(datagram);
            sink += int(Datagram::classify(message.header)) + message.payload.size();
        };
        const auto bare = [&] {
            // The least any decoder of this format can do: one stream, reset.
            inflateReset(&inflater);
            inflater.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(datagram.constData())) + 4;
            inflater.avail_in = uInt(datagram.size() - 4);
            inflater.next_out = out.data();
            inflater.avail_out = uInt(out.size());
            sink += inflate(&inflater, Z_FINISH);
        };
        const auto once = [&] {
            uLongf length = declared;
            sink += ::uncompress(out.data(), &length,
                                 reinterpret_cast<const Bytef *>(datagram.constData()) + 4,
                                 uLong(datagram.size() - 4));
        };
        const auto toolkit = [&] {
            // The toolkit's own way, for comparison: what the receiver would do
            // with qUncompress in place of the bounded inflate.
            const QByteArray bytes = qUncompress(datagram);
            QDataStream stream(bytes);
            stream.setVersion(Datagram::streamVersion);
            QString header;
            QByteArray payload;
            stream >> header >> payload;
            sink += int(Datagram::classify(header)) + payload.size();
        };

        std::vector<double> ours, floors, onces, qt, ratios, onceRatios, qtRatios;
        for (int r = 0; r < rounds; ++r) {
            const double o = cpuNsPerCall(iterations, receive);
            const double b = cpuNsPerCall(iterations, bare);
            const double u = cpuNsPerCall(iterations, once);
            const double q = cpuNsPerCall(iterations, toolkit);
            ours.push_back(o);
            floors.push_back(b);
            onces.push_back(u);
            qt.push_back(q);
            ratios.push_back(o / b);
            onceRatios.push_back(u / b);
            qtRatios.push_back(q / b);
        }
        std::printf("| %s | %d | %.0f | %.0f | %.2f | %.0f | %.2f | %.0f | %.2f |\n", c.name,
                    int(datagram.size()), median(ours), median(floors), median(ratios),
                    median(onces), median(onceRatios), median(qt), median(qtRatios));
    }
    inflateEnd(&inflater);
    std::printf("\nRatios are to the bare inflate, per round (same round, same load), then "
                "the median; %d rounds.\n", rounds);
}

void benchBuild()
{
    struct Case
    {
        const char *name;
        QString header;
        QByteArray payload;
    };
    const std::vector<Case> cases = {
        {"announcement", QStringLiteral("update:broadcasting_no:listening_no"), QByteArray()},
        {"audio 2 KiB, tone", Datagram::audioHeader, toneChunk(2048)},
        {"audio 4410 B, tone", Datagram::audioHeader, toneChunk(4410)},
        {"audio 8 KiB, tone", Datagram::audioHeader, toneChunk()},
        {"audio 8 KiB, noise", Datagram::audioHeader, noiseChunk()},
    };

    z_stream deflater = {};
    if (deflateInit(&deflater, Z_DEFAULT_COMPRESSION) != Z_OK)
        return;

    std::printf("| datagram | body bytes | Datagram::build, us | bare deflate, us | ratio | "
                "body + qCompress, us | ratio |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (const Case &c : cases) {
        const QByteArray body = Datagram::body(c.header, c.payload);
        std::vector<unsigned char> out(deflateBound(&deflater, uLong(body.size())));
        const int iterations = 2000;

        const auto build = [&] { sink += Datagram::build(c.header, c.payload).size(); };
        const auto bare = [&] {
            // Compression alone, of a body already written, by a stream kept and reset.
            deflateReset(&deflater);
            deflater.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(body.constData()));
            deflater.avail_in = uInt(body.size());
            deflater.next_out = out.data();
            deflater.avail_out = uInt(out.size());
            sink += deflate(&deflater, Z_FINISH);
        };
        const auto toolkit = [&] {
            sink += qCompress(Datagram::body(c.header, c.payload), -1).size();
        };

        std::vector<double> ours, floors, qt, ratios, qtRatios;
        for (int r = 0; r < rounds; ++r) {
            const double o = cpuNsPerCall(iterations, build);
            const double b = cpuNsPerCall(iterations, bare);
            const double q = cpuNsPerCall(iterations, toolkit);
            ours.push_back(o);
            floors.push_back(b);
            qt.push_back(q);
            ratios.push_back(o / b);
            qtRatios.push_back(q / b);
        }
        std::printf("| %s | %d | %.1f | %.1f | %.2f | %.1f | %.2f |\n", c.name, int(body.size()),
                    median(ours) / 1000, median(floors) / 1000, median(ratios),
                    median(qt) / 1000, median(qtRatios));
    }
    deflateEnd(&deflater);
    std::printf("\nRatios are to the bare deflate, per round, then the median; %d rounds.\n",
                rounds);
}

void silence(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

QString peerAddress(int i)
{
    return QStringLiteral("10.80.%1.%2").arg(1 + i / 250).arg(2 + i % 250);
}

void benchTable()
{
    // The log lines go nowhere here: this is the table's own cost.
    qInstallMessageHandler(silence);
    const QString status = QStringLiteral("update:broadcasting_no:listening_no");
    std::printf("| rows in the table | processClient of a known peer, ns | per row, ns | "
                "ratio to 10 rows |\n");
    std::printf("|---:|---:|---:|---:|\n");
    const std::vector<int> sizes = {10, 100, 500, 1000, 2000};
    std::vector<std::vector<double>> samples(sizes.size());
    std::vector<ClientList *> tables;
    for (int n : sizes) {
        auto *table = new ClientList(nullptr);
        for (int i = 0; i < n; ++i)
            table->processClient(peerAddress(i), status);
        tables.push_back(table);
    }
    std::vector<std::vector<double>> ratios(sizes.size());
    for (int r = 0; r < rounds; ++r) {
        std::vector<double> round;
        for (size_t s = 0; s < sizes.size(); ++s) {
            const int n = sizes[s];
            ClientList *table = tables[s];
            // Every peer once, in the order they announce: the new ones sit at
            // the front of the list, the old ones at the back.
            const int iterations = std::max(2000, n);
            int next = 0;
            const double ns = cpuNsPerCall(iterations, [&] {
                table->processClient(peerAddress(next), status);
                next = (next + 1) % n;
            });
            round.push_back(ns);
            samples[s].push_back(ns);
        }
        for (size_t s = 0; s < sizes.size(); ++s)
            ratios[s].push_back(round[s] / round[0]);
    }
    for (size_t s = 0; s < sizes.size(); ++s) {
        const double ns = median(samples[s]);
        std::printf("| %d | %.0f | %.1f | %.1f |\n", sizes[s], ns, ns / sizes[s],
                    median(ratios[s]));
    }
    for (ClientList *table : tables)
        delete table;
    qInstallMessageHandler(nullptr);
}

void benchFanout()
{
    qInstallMessageHandler(silence);
    // The peers: addresses on the sandbox's own veth network (10.77.0.0/24),
    // whose neighbour entries bench/run makes permanent, so every datagram
    // goes all the way out of the sending stack and nowhere further.
    auto *table = new ClientList(nullptr);
    Server server(table, nullptr);
    const QString status = QStringLiteral("update:broadcasting_no:listening_no");
    // The instance's own row is in every table (it hears itself); it is skipped.
    if (!server.serverIP.isNull())
        table->processClient(server.serverIP.toString(), status);

    std::printf("own address: %s (row skipped)\n\n", qPrintable(server.serverIP.toString()));
    std::printf("| chunk, bytes | peers | CPU per chunk, us | wall per chunk, us | ratio to 1 peer | "
                "ratio to building the datagram alone | CPU share at 88,200 bytes/s |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");

    // 4410 bytes is the median chunk capture hands over (50 ms), 8192 the largest.
    for (const int bytes : {4410, 8192}) {
        const QByteArray chunk = toneChunk(bytes);
        const auto build = [&] { sink += Datagram::build(Datagram::audioHeader, chunk).size(); };
        const std::vector<int> counts = {1, 10, 50};
        const int iterations = 300;
        std::vector<std::vector<double>> cpu(counts.size()), wall(counts.size()),
            toOne(counts.size()), toBuild(counts.size());
        for (int r = 0; r < rounds; ++r) {
            // Grow the table to each size in turn within the round.
            int have = 0;
            std::vector<double> round;
            const double buildNs = cpuNsPerCall(iterations, build);
            for (size_t s = 0; s < counts.size(); ++s) {
                for (; have < counts[s]; ++have)
                    table->processClient(QStringLiteral("10.77.0.%1").arg(10 + have), status);
                const double w0 = wallNs();
                const double ns = cpuNsPerCall(iterations, [&] { server.writeDatagram(chunk); });
                wall[s].push_back((wallNs() - w0) / iterations);
                cpu[s].push_back(ns);
                round.push_back(ns);
                toBuild[s].push_back(ns / buildNs);
            }
            for (size_t s = 0; s < counts.size(); ++s)
                toOne[s].push_back(round[s] / round[0]);
            // Back to no peers but the own row for the next round.
            for (int i = 0; i < have; ++i)
                QMetaObject::invokeMethod(table, "clientTimeout", Qt::DirectConnection,
                                          Q_ARG(QString, QStringLiteral("10.77.0.%1").arg(10 + i)));
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        for (size_t s = 0; s < counts.size(); ++s) {
            const double us = median(cpu[s]) / 1000;
            std::printf("| %d | %d | %.1f | %.1f | %.2f | %.2f | %.2f %% |\n", bytes, counts[s], us,
                        median(wall[s]) / 1000, median(toOne[s]), median(toBuild[s]),
                        us * 1e-6 * (44100.0 * 2 / bytes) * 100);
        }
    }
    qInstallMessageHandler(nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString what = args.value(0);
    if (what == "receive")
        benchReceive();
    else if (what == "build")
        benchBuild();
    else if (what == "table")
        benchTable();
    else if (what == "fanout")
        benchFanout();
    else {
        std::fprintf(stderr, "usage: micro receive|build|table|fanout\n");
        return 2;
    }
    return 0;
}
