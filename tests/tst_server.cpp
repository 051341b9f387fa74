// The sending half on real sockets inside the sandbox: the choice of the own
// address, the announcements and their status words, and where an audio
// chunk goes.
#include "net/server.h"

#include "lib/logcapture.h"
#include "lib/netsandbox.h"
#include "model/model.h"
#include "net/datagram.h"
#include "net/handoff.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

namespace {

const QString initialStatus = QStringLiteral("update:broadcasting_no:listening_no");
// Extra addresses of veth0, so that one process can hold a socket on port
// 8002 for each of several peers.
const QStringList peerAddresses = {QStringLiteral("10.77.0.2"), QStringLiteral("10.77.0.3"),
                                   QStringLiteral("10.77.0.4")};
// Marks the end of what a receiver is to look at: whatever the sender put on
// the wire before it has been delivered by the time it arrives.
const QString sentinelHeader = QStringLiteral("end of test sends");

struct Received
{
    QHostAddress sender;
    QByteArray bytes;
};

// A socket on port 8002 that records every datagram it gets.
class Receiver : public QObject
{
    Q_OBJECT

public:
    explicit Receiver(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&socket, &QUdpSocket::readyRead, this, &Receiver::drain);
    }

    bool bind(const QHostAddress &address) { return socket.bind(address, Datagram::port); }
    QString errorString() const { return socket.errorString(); }

    void drain()
    {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            received.append({datagram.senderAddress(), datagram.data()});
        }
    }

    QList<Datagram::Message> messagesOfKind(Datagram::Kind kind) const
    {
        QList<Datagram::Message> matching;
        for (const Received &r : received) {
            const Datagram::Message message = Datagram::parse(r.bytes);
            if (Datagram::classify(message.header) == kind)
                matching.append(message);
        }
        return matching;
    }

    QList<Datagram::Message> audioBeforeSentinel() const
    {
        QList<Datagram::Message> audio;
        for (const Received &r : received) {
            const Datagram::Message message = Datagram::parse(r.bytes);
            if (message.header == sentinelHeader)
                break;
            if (Datagram::classify(message.header) == Datagram::Kind::Audio)
                audio.append(message);
        }
        return audio;
    }

    bool sawSentinel() const
    {
        for (const Received &r : received) {
            if (Datagram::parse(r.bytes).header == sentinelHeader)
                return true;
        }
        return false;
    }

    QUdpSocket socket;
    QList<Received> received;
};

} // namespace

class tst_Server : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void chooseLocalAddress_data();
    void chooseLocalAddress();

    void announcesEveryTick();
    void controlStrings_data();
    void controlStrings();

    void audioGoesToEveryPeerButItself_data();
    void audioGoesToEveryPeerButItself();
    void audioReachesPeersOfEitherFamily();

private:
    std::unique_ptr<LogCapture> log;
};

// The recorder hands the log back while the test framework still listens: a
// message the sound library writes at exit must not reach a framework that
// has already shut down.
void tst_Server::cleanupTestCase()
{
    log.reset();
}

void tst_Server::initTestCase()
{
    REQUIRE_NET_SANDBOX();
    log = std::make_unique<LogCapture>();
    for (const QString &address : peerAddresses.mid(1)) {
        const QString error = NetSandbox::ip({"addr", "add", address + "/24", "dev",
                                              NetSandbox::interfaceName});
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
}

void tst_Server::chooseLocalAddress_data()
{
    QTest::addColumn<QStringList>("interfaces");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QStringList>("logged");

    QTest::newRow("typical host")
        << QStringList{"127.0.0.1", "192.168.1.1", "192.168.1.23", "10.0.0.5"} << "10.0.0.5"
        << QStringList{"\"192.168.1.23\"", "\"10.0.0.5\""};
    QTest::newRow("IPv6 only") << QStringList{"::1", "fe80::2", "2001:db8::5"} << QString()
                               << QStringList();
    QTest::newRow("mapped IPv4 is not IPv4")
        << QStringList{"::ffff:10.0.0.5"} << QString() << QStringList();
    QTest::newRow("only addresses ending in .1")
        << QStringList{"127.0.0.1", "10.0.0.1", "192.168.1.1"} << QString() << QStringList();
    QTest::newRow("last section 10, 11, 100")
        << QStringList{"10.0.0.10", "10.0.0.11", "10.0.0.100"} << "10.0.0.100"
        << QStringList{"\"10.0.0.10\"", "\"10.0.0.11\"", "\"10.0.0.100\""};
    QTest::newRow("IPv4 among IPv6")
        << QStringList{"fe80::2", "10.77.0.2", "::1", "127.0.0.1"} << "10.77.0.2"
        << QStringList{"\"10.77.0.2\""};
    QTest::newRow("empty list") << QStringList() << QString() << QStringList();
}

void tst_Server::chooseLocalAddress()
{
    QFETCH(QStringList, interfaces);
    QFETCH(QString, chosen);
    QFETCH(QStringList, logged);

    QList<QHostAddress> addresses;
    for (const QString &text : interfaces)
        addresses.append(QHostAddress(text));

    log->clear();
    const QHostAddress result = Server::chooseLocalAddress(addresses);
    if (chosen.isEmpty())
        QVERIFY2(result.isNull(), qPrintable("expected no address, got " + result.toString()));
    else
        QCOMPARE(result, QHostAddress(chosen));
    QCOMPARE(log->lines(), logged);
}

// Right from construction, with nobody touching it, the sender announces the
// initial state on its repeating timer and logs every send.
void tst_Server::announcesEveryTick()
{
    Receiver receiver;
    QVERIFY2(receiver.bind(QHostAddress::Any), qPrintable(receiver.errorString()));

    log->clear();
    Server server(new ClientList(nullptr), nullptr);

    const QTimer *timer = server.findChild<QTimer *>();
    QVERIFY(timer);
    QVERIFY(timer->isActive());
    QVERIFY(!timer->isSingleShot());
    QCOMPARE(timer->interval(), 100);
    QVERIFY2(peerAddresses.contains(server.serverIP.toString()),
             qPrintable("own address " + server.serverIP.toString()));

    QTRY_VERIFY_WITH_TIMEOUT(receiver.received.size() >= 3, 5000);

    for (const Received &r : receiver.received) {
        QCOMPARE(r.bytes, Datagram::build(initialStatus, QByteArray()));
        QCOMPARE(r.bytes.size(), 68);
        // The limited broadcast leaves from the interface's primary address.
        bool isIPv4 = false;
        const quint32 sender = r.sender.toIPv4Address(&isIPv4);
        QVERIFY2(isIPv4, qPrintable(r.sender.toString()));
        QCOMPARE(QHostAddress(sender), NetSandbox::ownAddress);
        const Datagram::Message message = Datagram::parse(r.bytes);
        QCOMPARE(message.header, initialStatus);
        QVERIFY2(message.payload.isNull(), "an announcement carries a null payload");
    }

    // Every send is logged with its result; a send also reaches this socket,
    // so there are at least as many lines as datagrams and all succeeded.
    const QStringList sent = log->linesStartingWith("update sent:");
    QVERIFY2(sent.size() >= receiver.received.size(), qPrintable(sent.join('\n')));
    for (const QString &line : sent)
        QCOMPARE(line, QStringLiteral("update sent:  68"));
}

void tst_Server::controlStrings_data()
{
    QTest::addColumn<QStringList>("controls");
    QTest::addColumn<QString>("announced");

    QTest::newRow("none") << QStringList() << initialStatus;
    QTest::newRow("listening_yes changes field 2 only")
        << QStringList{"listening_yes"} << "update:broadcasting_no:listening_yes";
    QTest::newRow("listening_yes twice")
        << QStringList{"listening_yes", "listening_yes"} << "update:broadcasting_no:listening_yes";
    QTest::newRow("broadcasting_yes changes field 1 only")
        << QStringList{"broadcasting_yes"} << "update:broadcasting_yes:listening_no";
    QTest::newRow("both on") << QStringList{"broadcasting_yes", "listening_yes"}
                             << "update:broadcasting_yes:listening_yes";
    QTest::newRow("on and off again")
        << QStringList{"broadcasting_yes", "listening_yes", "broadcasting_no", "listening_no"}
        << initialStatus;
    QTest::newRow("no status word") << QStringList{"hello"} << initialStatus;
    QTest::newRow("empty control string") << QStringList{""} << initialStatus;
    QTest::newRow("wrong case") << QStringList{"Listening_yes", "BROADCASTING_YES"}
                                << initialStatus;
    QTest::newRow("unknown word keeps an earlier change")
        << QStringList{"listening_yes", "nonsense"} << "update:broadcasting_no:listening_yes";
    QTest::newRow("whole control string goes behind the colon")
        << QStringList{"xlistening_yesx"} << "update:broadcasting_no:xlistening_yesx";
}

// The change shows in the announcements that follow, and only there.
void tst_Server::controlStrings()
{
    QFETCH(QStringList, controls);
    QFETCH(QString, announced);

    Receiver receiver;
    QVERIFY2(receiver.bind(QHostAddress::Any), qPrintable(receiver.errorString()));
    Server server(new ClientList(nullptr), nullptr);

    for (const QString &control : controls) {
        QVERIFY(QMetaObject::invokeMethod(&server, "updateBroadcast", Qt::DirectConnection,
                                          Q_ARG(QString, control)));
    }
    // Whatever went out before the change is already queued here.
    receiver.drain();
    receiver.received.clear();

    QTRY_VERIFY_WITH_TIMEOUT(receiver.received.size() >= 2, 5000);
    for (const Received &r : receiver.received) {
        const Datagram::Message message = Datagram::parse(r.bytes);
        QCOMPARE(message.header, announced);
        QVERIFY(message.payload.isNull());
    }
}

void tst_Server::audioGoesToEveryPeerButItself_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<bool>("withOwnAddress");
    QTest::addColumn<QByteArray>("chunk");

    // Every address of veth0 is this host's own; the two on lo stand for
    // other hosts (they come after the sender looked at its own), and
    // 127.0.0.2, although it reaches this host, is never a peer's.
    const QByteArray chunk = QByteArray(8192, '\x11');
    const QStringList everyone = {"10.77.0.2", "10.78.0.2", "10.77.0.3", "10.78.0.3", "10.77.0.4",
                                  "127.0.0.2"};
    QTest::newRow("empty table") << QStringList() << true << chunk;
    QTest::newRow("own addresses and two others") << everyone << true << chunk;
    QTest::newRow("two others, newest first")
        << QStringList{"10.78.0.3", "10.78.0.2"} << true << QByteArray("\x01\x02", 2);
    QTest::newRow("no own address chosen: still none of this host's") << everyone << false << chunk;
    QTest::newRow("empty chunk") << everyone << true << QByteArray("");
}

void tst_Server::audioGoesToEveryPeerButItself()
{
    QFETCH(QStringList, rows);
    QFETCH(bool, withOwnAddress);
    QFETCH(QByteArray, chunk);

    auto *clients = new ClientList(nullptr);
    Server server(clients, nullptr);
    const QStringList others = {"10.78.0.2", "10.78.0.3"};
    struct OnLo
    {
        QStringList added;
        ~OnLo()
        {
            for (const QString &address : added)
                NetSandbox::ip({"addr", "del", address + "/32", "dev", "lo"});
        }
    } onLo;
    for (const QString &address : others) {
        const QString error = NetSandbox::ip({"addr", "add", address + "/32", "dev", "lo"});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        onLo.added.append(address);
    }

    // One socket per address, and one on the broadcast address, which would
    // catch a chunk sent to everybody.
    const QStringList listening = peerAddresses + others + QStringList{"127.0.0.2", "255.255.255.255"};
    QList<Receiver *> receivers;
    QObject owner;
    for (const QString &address : listening) {
        auto *receiver = new Receiver(&owner);
        QVERIFY2(receiver->bind(QHostAddress(address)),
                 qPrintable(address + ": " + receiver->errorString()));
        receivers.append(receiver);
    }

    const QString own = server.serverIP.toString();
    QVERIFY2(peerAddresses.contains(own), qPrintable("own address " + own));
    if (!withOwnAddress)
        server.serverIP = QHostAddress();

    // Flags differ from row to row: audio goes out whatever a peer announces.
    const QStringList states = {"update:broadcasting_no:listening_no",
                                "update:broadcasting_yes:listening_yes",
                                "update:broadcasting_no:listening_yes"};
    for (int i = 0; i < rows.size(); ++i)
        clients->processClient(rows.at(i), states.at(i % states.size()));
    QCOMPARE(clients->rowCount(), rows.size());

    server.writeDatagram(chunk);

    QUdpSocket sentinel;
    for (const QString &address : listening) {
        QCOMPARE(sentinel.writeDatagram(Datagram::build(sentinelHeader, QByteArray()),
                                        QHostAddress(address), Datagram::port),
                 qint64(Datagram::build(sentinelHeader, QByteArray()).size()));
    }
    for (Receiver *receiver : receivers)
        QTRY_VERIFY_WITH_TIMEOUT(receiver->sawSentinel(), 5000);

    for (int i = 0; i < listening.size() - 1; ++i) {
        const QString address = listening.at(i);
        const bool expected = rows.contains(address) && others.contains(address);
        const QList<Datagram::Message> audio = receivers.at(i)->audioBeforeSentinel();
        QVERIFY2(audio.size() == (expected ? 1 : 0),
                 qPrintable(QString("%1 got %2 audio datagrams, expected %3")
                                .arg(address)
                                .arg(audio.size())
                                .arg(expected ? 1 : 0)));
        if (expected)
            QCOMPARE(audio.first().payload, chunk);
    }
    QVERIFY2(receivers.last()->audioBeforeSentinel().isEmpty(), "audio went to the broadcast address");
}

// Audio goes out through sockets of its own, one per address family. Peers
// in other namespaces would be too slow to set up here: this address comes to
// this host after the sender last looked at its own, so it takes it for
// another host's.
void tst_Server::audioReachesPeersOfEitherFamily()
{
    auto *clients = new ClientList(nullptr);
    Server server(clients, nullptr);
    const QString error = NetSandbox::ip({"-6", "addr", "add", "fd00:77::2/64", "dev",
                                          NetSandbox::interfaceName, "nodad"});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QString error4 = NetSandbox::ip({"addr", "add", "10.78.0.5/32", "dev", "lo"});
    QVERIFY2(error4.isEmpty(), qPrintable(error4));
    // The second as the receiver may name a peer it heard over IPv6.
    const QList<QPair<QHostAddress, QString>> peers = {
        {QHostAddress("fd00:77::2"), QStringLiteral("fd00:77::2")},
        {QHostAddress("10.78.0.5"), QStringLiteral("::ffff:10.78.0.5")}};
    QObject owner;
    QList<Receiver *> receivers;
    for (const auto &peer : peers) {
        auto *receiver = new Receiver(&owner);
        QVERIFY2(receiver->bind(peer.first), qPrintable(peer.second + ": " + receiver->errorString()));
        receivers.append(receiver);
        clients->processClient(peer.second, QStringLiteral("update:broadcasting_no:listening_no"));
    }
    server.writeDatagram(QByteArray(100, '\x33'));
    for (int i = 0; i < receivers.size(); ++i)
        QTRY_VERIFY2_WITH_TIMEOUT(receivers.at(i)->messagesOfKind(Datagram::Kind::Audio).size() == 1,
                                  qPrintable(peers.at(i).second), 3000);
}

QTEST_GUILESS_MAIN(tst_Server)
#include "tst_server.moc"
