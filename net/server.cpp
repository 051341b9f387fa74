#include "net/server.h"

#include "audio/audioinput.h"
#include "model/model.h"
#include "net/datagram.h"
#include "net/handoff.h"
#include "net/peeraddress.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// Never blocks: a datagram the system cannot take now is dropped, as the
// toolkit's socket would drop it, and the sound library's thread goes on.
int audioSocket(int family)
{
    return ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// The system's form of a peer's address on the audio port; its length, or 0
// for an address of neither family.
socklen_t toSystemAddress(const QHostAddress &address, sockaddr_storage &to)
{
    std::memset(&to, 0, sizeof to);
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) {
        auto *in = reinterpret_cast<sockaddr_in *>(&to);
        in->sin_family = AF_INET;
        in->sin_port = htons(Datagram::port);
        in->sin_addr.s_addr = htonl(ipv4);
        return sizeof *in;
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return 0;
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&to);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(Datagram::port);
    const Q_IPV6ADDR ipv6 = address.toIPv6Address();
    std::memcpy(&in6->sin6_addr, ipv6.c, sizeof in6->sin6_addr);
    // A link-local peer is reached through the interface it was heard on.
    const QString scope = address.scopeId();
    if (!scope.isEmpty()) {
        bool isNumber = false;
        const uint index = scope.toUInt(&isNumber);
        in6->sin6_scope_id = isNumber ? index : if_nametoindex(scope.toLocal8Bit().constData());
    }
    return sizeof *in6;
}

} // namespace

Server::Server(ClientList *clients, QObject *parent)
    : QObject(parent)
{
    socket = new QUdpSocket(this);
    broadcastStatus = QStringLiteral(":broadcasting_no");
    listeningStatus = QStringLiteral(":listening_no");
    clientList = clients;

    broadcastTimer = new QTimer(this);
    connect(broadcastTimer, SIGNAL(timeout()), this, SLOT(sendUpdate()));
    broadcastTimer->start(announceIntervalMs);

    localAddresses = QNetworkInterface::allAddresses();
    serverIP = chooseLocalAddress(localAddresses);
    audioSocket4 = audioSocket(AF_INET);
    audioSocket6 = audioSocket(AF_INET6);

    input = new AudioInput(QByteArrayLiteral("default"), this);
    connect(input, &AudioInput::dataReady, this, &Server::writeDatagram, Qt::DirectConnection);
    connect(input, &AudioInput::deviceMissing, this, &Server::inputDeviceMissing);
}

Server::~Server()
{
    // Capture first: until it has stopped, audio may come to writeDatagram.
    delete input;
    delete socket;
    delete broadcastTimer;
    if (audioSocket4 >= 0)
        ::close(audioSocket4);
    if (audioSocket6 >= 0)
        ::close(audioSocket6);
    delete clientList;
}

QHostAddress Server::chooseLocalAddress(const QList<QHostAddress> &addresses)
{
    QHostAddress chosen;
    const QHostAddress localHost(QHostAddress::LocalHost);
    for (const QHostAddress &address : addresses) {
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        if (address == localHost)
            continue;
        if (address.toString().section(".", -1, -1) == "1")
            continue;
        qDebug() << address.toString();
        chosen = address;
    }
    return chosen;
}

void Server::sendUpdate()
{
    if (!socket)
        return;
    // Addresses come and go (a tunnel brought up, a new lease); while audio
    // goes out the sender looks at the current ones once a second. Asking
    // the system for them costs a dozen system calls, a fifth of what an
    // idle instance spends: none is asked while nothing is sent.
    if (sendingAudio && ++announcementsSinceAddresses >= addressesEvery)
        refreshAddresses();
    const QString status = "update" + broadcastStatus + listeningStatus;
    const QByteArray datagram = Datagram::build(status, QByteArray());
    const qint64 sent = socket->writeDatagram(datagram, QHostAddress(QHostAddress::Broadcast),
                                              Datagram::port);
    if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug() << "update sent: " << sent;
}

void Server::writeDatagram(QByteArray data)
{
    const QByteArray datagram = Datagram::build(Datagram::audioHeader, data);
    // The rows are asked for every chunk (peers come and go on the main
    // thread while this runs, and each chunk goes to those present as it is
    // sent), and copied only when they changed.
    // When this host's addresses changed, the rows are asked for whole again.
    std::lock_guard<std::mutex> fanOut(fanOutLock);
    bool addressesChanged = false;
    {
        std::lock_guard<std::mutex> guard(addressesLock);
        addressesChanged = addressesGeneration != targetsAddressesGeneration;
    }
    const ClientList::Destinations rows
        = clientList->destinations(addressesChanged ? ~0ull : targetsGeneration);
    if (addressesChanged || rows.generation != targetsGeneration) {
        std::lock_guard<std::mutex> guard(addressesLock);
        targetsGeneration = rows.generation;
        targetsAddressesGeneration = addressesGeneration;
        rebuildTargets(rows.addresses, localAddresses);
    }
    QElapsedTimer since;
    since.start();
    const int wanted = int(targets4.size() + targets6.size());
    int reached = sendToAll(audioSocket4, targets4, datagram, since);
    if (reached == int(targets4.size()))
        reached += sendToAll(audioSocket6, targets6, datagram, since);
    if (reached < wanted && !fellBehindLogged) {
        fellBehindLogged = true;
        qWarning().noquote() << "audio fan-out fell behind: a chunk reached" << reached << "of"
                             << wanted << "peers within" << fanOutMs << "ms";
    }
}

void Server::rebuildTargets(const QVector<QHostAddress> &rows, const QList<QHostAddress> &own)
{
    targets4.clear();
    targets6.clear();
    for (const QHostAddress &address : rows) {
        // A loopback row, even this host's own, only ever reaches this host.
        if (address.isNull() || address == serverIP || own.contains(address)
            || !PeerAddress::canBePeer(address, {}))
            continue;
        Target target;
        target.length = toSystemAddress(address, target.address);
        if (target.length == 0)
            continue;
        (target.address.ss_family == AF_INET ? targets4 : targets6).push_back(target);
    }
}

int Server::sendToAll(int through, const std::vector<Target> &targets, const QByteArray &datagram,
                      const QElapsedTimer &since)
{
    if (targets.empty())
        return 0;
    if (through < 0)
        return int(targets.size());
    // Small enough that the time is looked at often: a send to a peer can
    // cost tens of microseconds where the system delivers it itself.
    constexpr int batchSize = 16;
    iovec payload;
    payload.iov_base = const_cast<char *>(datagram.constData());
    payload.iov_len = size_t(datagram.size());
    mmsghdr batch[batchSize];
    size_t next = 0;
    while (next < targets.size()) {
        if (next > 0 && since.elapsed() >= fanOutMs)
            return int(next);
        const int count = int(qMin<size_t>(batchSize, targets.size() - next));
        for (int i = 0; i < count; ++i) {
            std::memset(&batch[i], 0, sizeof batch[i]);
            batch[i].msg_hdr.msg_name = const_cast<sockaddr_storage *>(&targets[next + i].address);
            batch[i].msg_hdr.msg_namelen = targets[next + i].length;
            batch[i].msg_hdr.msg_iov = &payload;
            batch[i].msg_hdr.msg_iovlen = 1;
        }
        // A datagram the system cannot take now is lost for that peer alone.
        const int sent = ::sendmmsg(through, batch, unsigned(count), 0);
        next += sent > 0 ? size_t(sent) : 1;
    }
    return int(next);
}

void Server::refreshAddresses()
{
    announcementsSinceAddresses = 0;
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    std::lock_guard<std::mutex> guard(addressesLock);
    if (addresses != localAddresses) {
        localAddresses = addresses;
        ++addressesGeneration;
    }
}

void Server::startAudioSend()
{
    sendingAudio = true;
    refreshAddresses();
    input->startAudio();
}

void Server::endAudioSend()
{
    sendingAudio = false;
    input->stopAudio();
}

void Server::changeDevice(QByteArray device)
{
    input->changeDevice(device);
}

void Server::updateBroadcast(QString data)
{
    if (data.contains("broadcasting_yes", Qt::CaseSensitive))
        broadcastStatus = ":" + data;
    if (data.contains("broadcasting_no", Qt::CaseSensitive))
        broadcastStatus = ":" + data;
    if (data.contains("listening_yes", Qt::CaseSensitive))
        listeningStatus = ":" + data;
    if (data.contains("listening_no", Qt::CaseSensitive))
        listeningStatus = ":" + data;
}

void Server::setVolume(float volume)
{
    // Each move carries its own value: moves queued while this thread is busy
    // are all applied, in order.
    QMetaObject::invokeMethod(this, "applyVolume", Qt::QueuedConnection, Q_ARG(float, volume));
}

void Server::applyVolume(float volume)
{
    input->setVolume(volume);
}

void Server::returnToMainThread()
{
    broadcastTimer->stop();
    input->closeDown();
    moveToThread(QCoreApplication::instance()->thread());
    Handoff::pass();
}
