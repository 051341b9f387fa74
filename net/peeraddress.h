#ifndef PEERADDRESS_H
#define PEERADDRESS_H

#include <QHostAddress>
#include <QList>

#include <array>

// Which source addresses can be a peer's. An announcement from anywhere else
// (an unspecified, multicast or broadcast address, a loopback address this
// host does not have) cannot have come from an instance that can be sent to:
// sending to most of them reaches this very host, which would then play its
// own microphone.
namespace PeerAddress {

// An address as 16 bytes, IPv4 in its mapped form (::ffff:a.b.c.d).
using Bytes = std::array<quint8, 16>;

Bytes bytesOf(const QHostAddress &address);
// The reverse, in the toolkit's own form (plain IPv4, the scope by interface
// name), so that a peer reads the same whichever way its datagram was taken.
QHostAddress addressOf(const Bytes &address, quint32 scope);
// `ownLoopback` holds the loopback addresses this host has (127.0.0.1, ::1).
bool canBePeer(const Bytes &address, const QList<Bytes> &ownLoopback);
bool canBePeer(const QHostAddress &address, const QList<Bytes> &ownLoopback);
// The loopback addresses among `addresses`.
QList<Bytes> loopbackOf(const QList<QHostAddress> &addresses);

} // namespace PeerAddress

#endif // PEERADDRESS_H
