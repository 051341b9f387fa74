#include "net/peeraddress.h"

#include <QNetworkInterface>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace PeerAddress {

namespace {

bool isMappedIPv4(const Bytes &address)
{
    static const quint8 prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(address.data(), prefix, sizeof prefix) == 0;
}

} // namespace

Bytes bytesOf(const QHostAddress &address)
{
    Bytes bytes{};
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) {
        bytes[10] = bytes[11] = 0xFF;
        qToBigEndian<quint32>(ipv4, bytes.data() + 12);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR ipv6 = address.toIPv6Address();
        std::memcpy(bytes.data(), ipv6.c, bytes.size());
    }
    return bytes;
}

QHostAddress addressOf(const Bytes &address, quint32 scope)
{
    if (isMappedIPv4(address))
        return QHostAddress(qFromBigEndian<quint32>(address.data() + 12));
    QHostAddress host(address.data());
    if (scope != 0) {
        const QString name = QNetworkInterface::interfaceNameFromIndex(int(scope));
        host.setScopeId(name.isEmpty() ? QString::number(scope) : name);
    }
    return host;
}

bool canBePeer(const Bytes &address, const QList<Bytes> &ownLoopback)
{
    if (isMappedIPv4(address)) {
        const quint32 ipv4 = qFromBigEndian<quint32>(address.data() + 12);
        const quint32 first = ipv4 >> 24;
        // 0.0.0.0/8 is "this host on this network": a source, never a
        // destination; 224/4 is multicast, 255.255.255.255 the broadcast.
        if (first == 0 || (ipv4 >> 28) == 0xE || ipv4 == 0xFFFFFFFFu)
            return false;
        if (first == 127)
            return ownLoopback.contains(address);
        return true;
    }
    if (address[0] == 0xFF) // multicast
        return false;
    const bool zeroUpToLast = std::all_of(address.begin(), address.end() - 1,
                                          [](quint8 b) { return b == 0; });
    if (zeroUpToLast && address[15] == 0) // ::
        return false;
    if (zeroUpToLast && address[15] == 1) // ::1
        return ownLoopback.contains(address);
    return true;
}

bool canBePeer(const QHostAddress &address, const QList<Bytes> &ownLoopback)
{
    bool isIPv4 = false;
    address.toIPv4Address(&isIPv4);
    if (!isIPv4 && address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    return canBePeer(bytesOf(address), ownLoopback);
}

QList<Bytes> loopbackOf(const QList<QHostAddress> &addresses)
{
    QList<Bytes> loopback;
    for (const QHostAddress &address : addresses) {
        if (address.isLoopback())
            loopback.append(bytesOf(address));
    }
    return loopback;
}

} // namespace PeerAddress
