#include "net/client.h"

#include "audio/audiooutput.h"
#include "net/datagram.h"
#include "net/handoff.h"

#include <QCoreApplication>
#include <QDebug>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <QtEndian>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <utility>

namespace {

// The slot one datagram of a batch is read into: a datagram that does not
// fit is longer than any peer sends.
constexpr int slotSize = (Datagram::maxDatagramSize + 63) / 64 * 64;

void fromSystemAddress(const sockaddr_storage &from, PeerAddress::Bytes &bytes, quint32 &scope)
{
    bytes.fill(0);
    scope = 0;
    if (from.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&from);
        bytes[10] = bytes[11] = 0xFF;
        std::memcpy(bytes.data() + 12, &in->sin_addr, 4);
    } else if (from.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&from);
        std::memcpy(bytes.data(), &in6->sin6_addr, 16);
        scope = in6->sin6_scope_id;
    }
}

quint32 scopeIndex(const QHostAddress &address)
{
    const QString scope = address.scopeId();
    if (scope.isEmpty())
        return 0;
    bool isNumber = false;
    const uint index = scope.toUInt(&isNumber);
    return isNumber ? index : quint32(QNetworkInterface::interfaceIndexFromName(scope));
}

SenderBudget::Key keyOf(const PeerAddress::Bytes &bytes, quint32 scope)
{
    SenderBudget::Key key;
    key.high = qFromBigEndian<quint64>(bytes.data());
    key.low = qFromBigEndian<quint64>(bytes.data() + 8);
    key.scope = scope;
    return key;
}

} // namespace

Client::Client(QObject *parent)
    : QObject(parent)
{
    output = new AudioOutput(this);
    socket = new QUdpSocket(this);
    listen = false;
    gatherTimer = new QTimer(this);
    gatherTimer->setSingleShot(true);
    connect(gatherTimer, &QTimer::timeout, this, &Client::reportGathered);
    heldTimer = new QTimer(this);
    heldTimer->setSingleShot(true);
    heldTimer->setTimerType(Qt::PreciseTimer);
    connect(heldTimer, &QTimer::timeout, this, &Client::readPending);
    readBuffer.resize(65536);
    batchBuffer.resize(batchSize * slotSize);
    clock.start();
    ownLoopback = PeerAddress::loopbackOf(QNetworkInterface::allAddresses());
    bound = socket->bind(Datagram::port, QAbstractSocket::DefaultForPlatform);
    // The system's default buffer holds some 250 of the smallest datagrams,
    // or three of the largest: one flooding host's burst fills it between
    // two passes and the peers' announcements are dropped with the rest.
    // The system caps what is asked at its own limit, still twice that.
    if (bound)
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBufferBytes);
    connect(socket, SIGNAL(readyRead()), this, SLOT(readDatagrams()));
}

Client::~Client()
{
    delete socket;
    delete output;
}

void Client::startListen()
{
    listen = true;
    QMetaObject::invokeMethod(this, "applyListening", Qt::QueuedConnection);
}

void Client::endListen()
{
    listen = false;
    QMetaObject::invokeMethod(this, "applyListening", Qt::QueuedConnection);
}

void Client::applyListening()
{
    output->setListening(listen);
    // Audio is read as it comes from now on, not at the next timed pass.
    if (polling)
        readPending();
}

void Client::setVolume(float volume)
{
    // Each move carries its own value: moves queued while this thread is busy
    // decoding are all applied and logged, in order.
    QMetaObject::invokeMethod(this, "applyVolume", Qt::QueuedConnection, Q_ARG(float, volume));
}

void Client::applyVolume(float volume)
{
    output->setVolume(volume);
}

void Client::setMuted(const QString &address, bool muted)
{
    QMetaObject::invokeMethod(this, "applyMuted", Qt::QueuedConnection, Q_ARG(QString, address),
                              Q_ARG(bool, muted));
}

void Client::applyMuted(QString address, bool muted)
{
    output->setMuted(address, muted);
}

QString Client::addressText(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4).toString() : address.toString();
}

int Client::holdMs() const
{
    const bool flooded = lastFlood.isValid() && !lastFlood.hasExpired(floodMs);
    // Flooded, a pass per datagram would cost a wake-up each: a millisecond's
    // worth is taken at once instead, well within what the socket holds.
    return !flooded ? (listen ? 0 : gatherMs) : listen ? floodPassMs : floodHoldMs();
}

void Client::readDatagrams()
{
    // Left unread, the socket stops waking this thread until the held read.
    const int holdMs = this->holdMs();
    if (holdMs > 0 && lastPass.isValid() && !lastPass.hasExpired(holdMs)) {
        if (!heldTimer->isActive())
            heldTimer->start(int(qMax<qint64>(0, holdMs - lastPass.elapsed())));
        return;
    }
    readPending();
}

void Client::readPending()
{
    heldTimer->stop();
    lastPass.start();
    // A held pass comes gatherMs after the last one and counts alone.
    if (!span.isValid() || span.elapsed() >= gatherMs) {
        if (span.isValid()) {
            lastSpanDatagrams = spanDatagrams;
            lastSpanBytes = spanBytes;
            lastSpanMs = span.elapsed();
        }
        span.start();
        spanDatagrams = 0;
        spanBytes = 0;
    }
    // Woken by the socket, the first datagram goes through the toolkit: its
    // read is what arms the socket's notifier again, and it answers whether
    // one is there without a system call of its own. The rest come a batch
    // per system call.
    int read = 0;
    bool cut = false;
    if (!polling && readThroughToolkit())
        ++read;
    if (polling || read > 0) {
        const int fd = int(socket->socketDescriptor());
        sockaddr_storage names[batchSize];
        iovec rooms[batchSize];
        mmsghdr batch[batchSize];
        for (;;) {
            if (lastPass.elapsed() >= passMs) {
                cut = true;
                break;
            }
            for (int i = 0; i < batchSize; ++i) {
                rooms[i].iov_base = batchBuffer.data() + i * slotSize;
                rooms[i].iov_len = slotSize;
                std::memset(&batch[i], 0, sizeof batch[i]);
                batch[i].msg_hdr.msg_name = &names[i];
                batch[i].msg_hdr.msg_namelen = sizeof names[i];
                batch[i].msg_hdr.msg_iov = &rooms[i];
                batch[i].msg_hdr.msg_iovlen = 1;
            }
            const int count = ::recvmmsg(fd, batch, batchSize, MSG_DONTWAIT, nullptr);
            if (count <= 0)
                break;
            read += count;
            const qint64 nowMs = clock.elapsed();
            for (int i = 0; i < count; ++i) {
                PeerAddress::Bytes from;
                quint32 scope = 0;
                fromSystemAddress(names[i], from, scope);
                handle(from, scope, batchBuffer.constData() + i * slotSize, batch[i].msg_len,
                       (batch[i].msg_hdr.msg_flags & MSG_TRUNC) != 0, nowMs);
            }
            if (count < batchSize)
                break;
        }
    }
    if (spanDatagrams >= floodDatagrams || spanBytes >= floodBytes)
        lastFlood.start();
    // Datagrams that come faster than passes would wake this thread once for
    // the socket and once more for the held pass: the next pass is timed
    // instead, and the socket is left to wake it only once a pass finds
    // little. Reading through the toolkit, even nothing, arms its notifier.
    const int holdMs = this->holdMs();
    if (holdMs > 0 && (cut || read >= pollDatagrams)) {
        polling = true;
        heldTimer->start(cut ? 0 : holdMs);
    } else if (polling) {
        polling = false;
        readThroughToolkit();
    }
    if (gathered.isEmpty())
        return;
    // The window may end between the check and the timer's start: a
    // negative interval would not start the timer, and the announcements
    // held back would wait for the next pass.
    if (listen || !beforeLastReport.isValid() || beforeLastReport.hasExpired(gatherMs))
        reportGathered();
    else if (!gatherTimer->isActive())
        gatherTimer->start(int(qMax<qint64>(0, gatherMs - beforeLastReport.elapsed())));
}

bool Client::readThroughToolkit()
{
    QHostAddress sender;
    const qint64 size = socket->readDatagram(readBuffer.data(), readBuffer.size(), &sender);
    if (size < 0)
        return false;
    handle(PeerAddress::bytesOf(sender), scopeIndex(sender), readBuffer.constData(), size, false,
           clock.elapsed());
    return true;
}

void Client::handle(const PeerAddress::Bytes &from, quint32 scope, const char *data, qint64 size,
                    bool truncated, qint64 nowMs)
{
    ++spanDatagrams;
    spanBytes += size;
    // Charged at what it may inflate to, before it is inflated.
    const qint64 declared = size >= 4 ? qFromBigEndian<quint32>(data) : 0;
    const qint64 cost = qMax(size, qMin<qint64>(declared, Datagram::maxBodySize));
    const SenderBudget::Verdict verdict = budget.admit(keyOf(from, scope), nowMs, cost);
    if (verdict != SenderBudget::Verdict::Admit) {
        if (verdict == SenderBudget::Verdict::RefuseFirst) {
            const QString who = budget.sharedRefused()
                ? QStringLiteral("more than %1 senders").arg(SenderBudget::maxSenders)
                : PeerAddress::addressOf(from, scope).toString();
            qWarning().noquote() << QStringLiteral("too many datagrams from %1: dropping them")
                                        .arg(who);
        }
        return;
    }
    if (truncated || size > Datagram::maxDatagramSize || declared > Datagram::maxBodySize)
        return;
    if (!PeerAddress::canBePeer(from, ownLoopback))
        return;

    const Datagram::Message message
        = Datagram::parse(QByteArray::fromRawData(data, int(size)));
    switch (Datagram::classify(message.header)) {
    case Datagram::Kind::Audio:
        if (listen) {
            // What came before it is reported before it is played.
            if (!gathered.isEmpty())
                reportGathered();
            output->writeData(PeerAddress::addressOf(from, scope).toString(), message.payload);
        }
        break;
    case Datagram::Kind::Announcement:
        gathered.append(qMakePair(PeerAddress::addressOf(from, scope).toString(), message.header));
        // A flood that keeps the socket full must not keep the peer
        // table waiting.
        if (gathered.size() >= gatherLimit)
            reportGathered();
        break;
    case Datagram::Kind::Ignored:
        break;
    }
}

int Client::floodHoldMs() const
{
    // Long enough for about floodDatagrams or floodBytes at the last span's
    // pace, whichever comes first.
    qint64 hold = gatherMs;
    if (lastSpanDatagrams > 0)
        hold = qMin(hold, floodDatagrams * lastSpanMs / lastSpanDatagrams);
    if (lastSpanBytes > 0)
        hold = qMin(hold, floodBytes * lastSpanMs / lastSpanBytes);
    return int(qMax<qint64>(floodPassMs, hold));
}

void Client::reportGathered()
{
    gatherTimer->stop();
    const Announcements ready = std::exchange(gathered, {});
    if (!ready.isEmpty()) {
        bool first = false;
        {
            std::lock_guard<std::mutex> guard(reportedLock);
            first = reported.isEmpty();
            reported += ready;
        }
        if (first)
            emit announcementsReady();
    }
    for (const auto &announcement : ready)
        emit clientBroadcastReceived(announcement.first, announcement.second);
    if (!ready.isEmpty()) {
        beforeLastReport = lastReport;
        lastReport.start();
    }
}

Announcements Client::takeAnnouncements()
{
    std::lock_guard<std::mutex> guard(reportedLock);
    return std::exchange(reported, {});
}

void Client::returnToMainThread()
{
    // A timer still running as the object moves is restarted on the main
    // thread through an event that leaks when the object goes first.
    heldTimer->stop();
    gatherTimer->stop();
    output->closeDown();
    moveToThread(QCoreApplication::instance()->thread());
    Handoff::pass();
}
