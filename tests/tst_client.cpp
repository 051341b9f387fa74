// The receiving half on its real socket inside the sandbox: which sender
// address it reports, when audio reaches playback, and how a burst of mixed
// datagrams is taken apart.
#include "net/client.h"

#include "lib/logcapture.h"
#include "lib/netsandbox.h"
#include "model/model.h"
#include "net/datagram.h"
#include "net/handoff.h"
#include "net/server.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const QString initialStatus = QStringLiteral("update:broadcasting_no:listening_no");
const QHostAddress loopback(QHostAddress::LocalHost);

QByteArray junk(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed;
    for (char &b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = char(state >> 24);
    }
    return bytes;
}

QByteArray withDeclaredLength(QByteArray container, quint32 length)
{
    char prefix[4];
    qToBigEndian<quint32>(length, prefix);
    container.replace(0, 4, QByteArray(prefix, 4));
    return container;
}

bool isBound(const Client &client)
{
    const auto *socket = client.findChild<QUdpSocket *>();
    return socket && socket->state() == QAbstractSocket::BoundState
           && socket->localPort() == Datagram::port;
}

// Holds the thread it lives on until the gate opens.
class Blocker : public QObject
{
    Q_OBJECT

public:
    explicit Blocker(std::mutex *gate) : gate(gate) {}

public slots:
    void hold() { std::lock_guard<std::mutex> wait(*gate); }

private:
    std::mutex *gate;
};

} // namespace

class tst_Client : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void addressText_data();
    void addressText();

    void ownAnnouncementsKeyTheOwnAddress();
    void audioOnlyWhileListening();
    void burstIsTakenApartInOrder();
    void floodIsReadAtOnceThroughout();
    void loneAnnouncementAfterBurstIsHeard();
    void largestDatagramsLeaveRoomForAnnouncements();
    void volumeMovesWhileBusyAreAllApplied();

private:
    // Sends `datagram` to the receiver's port and checks it left whole.
    static bool send(QUdpSocket &socket, const QByteArray &datagram,
                     const QHostAddress &to = loopback);
    // The audio writes and announcements seen so far, in order, as
    // "audio <chunk size>" and "announce <address> <header>".
    QStringList events() const;
    void record(const QString &address, const QString &header);

    std::unique_ptr<LogCapture> log;
};

// The recorder hands the log back while the test framework still listens: a
// message the sound library writes at exit must not reach a framework that
// has already shut down.
void tst_Client::cleanupTestCase()
{
    log.reset();
}

void tst_Client::initTestCase()
{
    REQUIRE_NET_SANDBOX();
    log = std::make_unique<LogCapture>();
}

void tst_Client::init()
{
    if (log)
        log->clear();
}

bool tst_Client::send(QUdpSocket &socket, const QByteArray &datagram, const QHostAddress &to)
{
    return socket.writeDatagram(datagram, to, Datagram::port) == datagram.size();
}

QStringList tst_Client::events() const
{
    static const QRegularExpression wrote(QStringLiteral("^wrote:  -?\\d+  down from:  (\\d+)$"));
    QStringList result;
    for (const QString &line : log->lines()) {
        const QRegularExpressionMatch match = wrote.match(line);
        if (match.hasMatch())
            result.append("audio " + match.captured(1));
        else if (line.startsWith("announce "))
            result.append(line);
    }
    return result;
}

void tst_Client::record(const QString &address, const QString &header)
{
    log->note("announce " + address + " " + header);
}

void tst_Client::addressText_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("text");

    QTest::newRow("mapped IPv4") << QStringLiteral("::ffff:10.77.0.2") << "10.77.0.2";
    QTest::newRow("mapped loopback") << QStringLiteral("::ffff:127.0.0.1") << "127.0.0.1";
    QTest::newRow("plain IPv4") << QStringLiteral("10.77.0.2") << "10.77.0.2";
    QTest::newRow("IPv6 global") << QStringLiteral("2001:db8::5") << "2001:db8::5";
    QTest::newRow("IPv6 link-local") << QStringLiteral("fe80::2") << "fe80::2";
    QTest::newRow("IPv6 loopback") << QStringLiteral("::1") << "::1";
}

void tst_Client::addressText()
{
    QFETCH(QString, address);
    QFETCH(QString, text);

    QCOMPARE(Client::addressText(QHostAddress(address)), text);
}

// The instance hears itself under the very address its sender skips: the
// own row of the table is the one no audio goes to.
void tst_Client::ownAnnouncementsKeyTheOwnAddress()
{
    Client client(nullptr);
    QVERIFY(isBound(client));
    auto *clients = new ClientList(nullptr);
    QVERIFY(connect(&client, SIGNAL(clientBroadcastReceived(QString, QString)), clients,
                    SLOT(processClient(QString, QString))));
    QSignalSpy spy(&client, SIGNAL(clientBroadcastReceived(QString, QString)));
    Server server(clients, nullptr);
    QCOMPARE(server.serverIP, NetSandbox::ownAddress);

    QTRY_VERIFY_WITH_TIMEOUT(spy.count() >= 3, 5000);
    for (const QList<QVariant> &arguments : spy) {
        QCOMPARE(arguments.at(0).toString(), QStringLiteral("10.77.0.2"));
        QCOMPARE(arguments.at(1).toString(), initialStatus);
    }
    QCOMPARE(clients->rowCount(), 1);
    QCOMPARE(clients->getAddressAt(clients->index(0, 0)), server.serverIP);

    // A chunk sent now must not come back to this instance's own playback.
    client.startListen();
    server.writeDatagram(QByteArray(512, '\x22'));
    QUdpSocket test;
    QVERIFY(send(test, Datagram::build("update:end", QByteArray())));
    QTRY_VERIFY_WITH_TIMEOUT(spy.count() > 0 && spy.last().at(1).toString() == "update:end", 5000);
    QVERIFY2(log->linesStartingWith("wrote:").isEmpty(),
             qPrintable(log->linesStartingWith("wrote:").join('\n')));
}

void tst_Client::audioOnlyWhileListening()
{
    Client client(nullptr);
    QVERIFY(isBound(client));
    connect(&client, &Client::clientBroadcastReceived, this, &tst_Client::record);
    QUdpSocket test;

    // Each step ends with an announcement: once it is reported, everything
    // sent before it has been handled.
    QVERIFY(send(test, Datagram::build("audio", QByteArray(100, 'a'))));
    QVERIFY(send(test, Datagram::build("update:mark:1", QByteArray())));
    QTRY_COMPARE_WITH_TIMEOUT(events(), QStringList{"announce 127.0.0.1 update:mark:1"}, 5000);

    client.startListen();
    QVERIFY(send(test, Datagram::build("audio", QByteArray(200, 'b'))));
    QVERIFY(send(test, Datagram::build("audio", QByteArray(300, 'c'))));
    QVERIFY(send(test, Datagram::build("update:mark:2", QByteArray())));
    QTRY_COMPARE_WITH_TIMEOUT(events().size(), 4, 5000);
    QCOMPARE(events().mid(1),
             (QStringList{"audio 200", "audio 300", "announce 127.0.0.1 update:mark:2"}));

    client.startListen();
    QVERIFY(send(test, Datagram::build("audio", QByteArray(10, 'd'))));
    QVERIFY(send(test, Datagram::build("update:mark:3", QByteArray())));
    QTRY_COMPARE_WITH_TIMEOUT(events().size(), 6, 5000);
    QCOMPARE(events().mid(4), (QStringList{"audio 10", "announce 127.0.0.1 update:mark:3"}));

    client.endListen();
    client.endListen();
    QVERIFY(send(test, Datagram::build("audio", QByteArray(400, 'e'))));
    QVERIFY(send(test, Datagram::build("update:mark:4", QByteArray())));
    QTRY_COMPARE_WITH_TIMEOUT(events().size(), 7, 5000);
    QCOMPARE(events().last(), QStringLiteral("announce 127.0.0.1 update:mark:4"));
}

// Everything is on the socket before the receiver gets to read: good and bad
// datagrams from two senders, handled in arrival order, the bad ones leaving
// no trace and no gap.
void tst_Client::burstIsTakenApartInOrder()
{
    Client client(nullptr);
    QVERIFY(isBound(client));
    connect(&client, &Client::clientBroadcastReceived, this, &tst_Client::record);
    client.startListen();

    QUdpSocket first;
    QUdpSocket second;
    QVERIFY2(second.bind(NetSandbox::ownAddress, 0), qPrintable(second.errorString()));
    const QHostAddress own = NetSandbox::ownAddress;

    const QByteArray audio = Datagram::build("audio", junk(1764, 1));
    const QByteArray bomb = withDeclaredLength(qCompress(QByteArray(4 << 20, '\0'), 9), 78);
    QVERIFY(bomb.size() < 8192);
    QByteArray cut = Datagram::build("audio", junk(3000, 2));
    cut.chop(40);

    QVERIFY(send(first, Datagram::build("audio", junk(100, 3))));
    QVERIFY(send(first, junk(500, 4)));
    QVERIFY(send(first, Datagram::build("update:broadcasting_yes:listening_no", QByteArray())));
    QVERIFY(send(first, QByteArray()));
    QVERIFY(send(second, Datagram::build("audio", junk(200, 5)), own));
    QVERIFY(send(first, bomb));
    QVERIFY(send(first, withDeclaredLength(audio, 0x7FFFFF00)));
    QVERIFY(send(second, Datagram::build("xupdatey", QByteArray("abc")), own));
    QVERIFY(send(first, Datagram::build("audio", QByteArray(""))));
    QVERIFY(send(first, Datagram::build("Audio", junk(50, 6))));
    QVERIFY(send(first, Datagram::build("UPDATE:broadcasting_no:listening_no", QByteArray())));
    QVERIFY(send(second, Datagram::build("audio", QByteArray()), own));
    QVERIFY(send(first, cut));
    QVERIFY(send(first, junk(65507, 7)));
    QVERIFY(send(second, Datagram::build("audio", junk(8192, 8)), own));
    QVERIFY(send(first, Datagram::build("update:end", QByteArray())));

    const QStringList expected = {
        "audio 100",
        "announce 127.0.0.1 update:broadcasting_yes:listening_no",
        "audio 200",
        "announce 10.77.0.2 xupdatey",
        "audio 0",
        "audio 0",
        "audio 8192",
        "announce 127.0.0.1 update:end",
    };
    QTRY_COMPARE_WITH_TIMEOUT(events().size(), expected.size(), 5000);
    QCOMPARE(events(), expected);
}

// While not listening, reads wait for a while between passes: each is a
// wake-up. A flood must not wait that long, or it overflows the socket's buffer and
// the peers' announcements are dropped with it; one that goes on for
// seconds is read at once for as long as it lasts, not held back again once
// a second.
void tst_Client::floodIsReadAtOnceThroughout()
{
    Client client(nullptr);
    QVERIFY(isBound(client));
    QTimer *held = nullptr;
    for (QTimer *timer : client.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (timer->timerType() == Qt::PreciseTimer)
            held = timer;
    }
    QVERIFY(held);

    // Looked at every other millisecond: passes come off the socket's
    // wake-ups and off the held timer alike. A flood is still taken a few
    // milliseconds' worth at a time.
    QElapsedTimer clock;
    QList<qint64> holds;
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    connect(&look, &QTimer::timeout, this, [&] {
        if (held->isActive() && held->interval() >= Client::gatherMs)
            holds.append(clock.elapsed());
    });
    look.start(2);

    // 8 KB datagrams, a thousand a second for three seconds: a flood in any
    // 20 ms, and 20 ms of it overflow the socket's buffer.
    QEventLoop loop;
    clock.start();
    std::vector<qint64> sentAt;
    sentAt.reserve(3000);
    std::thread flood([&loop, &clock, &sentAt] {
        QUdpSocket out;
        const QByteArray datagram = junk(8192, 9);
        auto next = std::chrono::steady_clock::now();
        for (int ms = 0; ms < 3000; ++ms) {
            out.writeDatagram(datagram, loopback, Datagram::port);
            sentAt.push_back(clock.elapsed());
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
        }
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    flood.join();
    QVERIFY(!sentAt.empty());
    for (const qint64 at : qAsConst(holds)) {
        // The first passes may wait, until one finds the flood.
        if (at <= sentAt.front() + 500)
            continue;
        // A sending thread the machine held up thinned the flood itself, and
        // a pass after it may wait again.
        auto from = std::lower_bound(sentAt.cbegin(), sentAt.cend(), at - 3 * Client::gatherMs);
        auto to = std::upper_bound(from, sentAt.cend(), at);
        if (from != sentAt.cbegin())
            --from;
        if (to != sentAt.cend())
            ++to;
        const bool stalled = std::adjacent_find(from, to, [](qint64 a, qint64 b) {
                                 return b - a > Client::gatherMs / 2;
                             }) != to;
        if (!stalled)
            QFAIL(qPrintable(QStringLiteral("reads held back again %1 ms into the flood").arg(at)));
    }
}

// A burst has the receiver time its passes rather than wait for the socket;
// once they find little, the socket must wake it again, or a peer announcing
// alone afterwards is never heard.
void tst_Client::loneAnnouncementAfterBurstIsHeard()
{
    Client client(nullptr);
    QVERIFY(isBound(client));
    QSignalSpy heard(&client, SIGNAL(clientBroadcastReceived(QString, QString)));
    // Two announcements a millisecond for a tenth of a second, read while
    // the passes are timed.
    QUdpSocket out;
    const QByteArray announcement = Datagram::build("update:broadcasting_no:listening_no", {});
    constexpr int burst = 200;
    int sent = 0;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    connect(&pace, &QTimer::timeout, this, [&] {
        for (int i = 0; i < 2 && sent < burst; ++i, ++sent)
            send(out, announcement);
        if (sent == burst)
            pace.stop();
    });
    pace.start(1);
    QTRY_COMPARE_WITH_TIMEOUT(heard.count(), burst, 5000);

    // Passes come and find nothing, then the socket is left to wake the thread.
    QTest::qWait(5 * Client::gatherMs);
    QVERIFY(send(out, Datagram::build("update:end", {})));
    QTRY_COMPARE_WITH_TIMEOUT(heard.count(), burst + 1, 5000);
    QCOMPARE(heard.last().at(1).toString(), QStringLiteral("update:end"));
}

// A host that sends the largest datagrams fills the socket's buffer between
// two passes: the system's default holds three of them and a hundred small
// ones, and an announcement behind them would be dropped unread.
void tst_Client::largestDatagramsLeaveRoomForAnnouncements()
{
    Client client(nullptr);
    QVERIFY(isBound(client));
    QSignalSpy heard(&client, SIGNAL(clientBroadcastReceived(QString, QString)));
    QUdpSocket flooder;
    QUdpSocket peer;
    // Sent before this thread reads anything: all of it waits in the buffer.
    for (int i = 0; i < 3; ++i)
        QVERIFY(send(flooder, junk(65000, quint32(10 + i))));
    for (int i = 0; i < 100; ++i)
        QVERIFY(send(flooder, junk(100, quint32(20 + i))));
    QVERIFY(send(peer, Datagram::build("update:end", {})));
    QTRY_COMPARE_WITH_TIMEOUT(heard.count(), 1, 5000);
    QCOMPARE(heard.last().at(1).toString(), QStringLiteral("update:end"));
}

// Slider moves that queue up while the receiver's thread is busy are each
// applied with their own value, in order, not the last one N times.
void tst_Client::volumeMovesWhileBusyAreAllApplied()
{
    auto *client = new Client(nullptr);
    std::mutex gate;
    Blocker blocker(&gate);
    QThread thread;
    client->moveToThread(&thread);
    blocker.moveToThread(&thread);
    thread.start();

    gate.lock();
    QVERIFY(QMetaObject::invokeMethod(&blocker, "hold", Qt::QueuedConnection));
    for (const float volume : {0.1f, 0.2f, 0.3f})
        client->setVolume(volume);
    gate.unlock();

    const QStringList expected = {"output volume set to: 0.1", "output volume set to: 0.2",
                                  "output volume set to: 0.3"};
    QTRY_COMPARE_WITH_TIMEOUT(log->linesStartingWith("output volume set to:"), expected, 5000);

    QVERIFY(QMetaObject::invokeMethod(client, "returnToMainThread", Qt::BlockingQueuedConnection));
    thread.quit();
    QVERIFY(thread.wait(5000));
    // The worker's last act passed the gate; passing it here orders what it
    // touched before what is deleted now.
    Handoff::pass();
    delete client;
}

QTEST_GUILESS_MAIN(tst_Client)
#include "tst_client.moc"
