#ifndef DATAGRAM_H
#define DATAGRAM_H

#include <QByteArray>
#include <QString>

// The one UDP payload of the intercom: a 4-byte big-endian body length, then
// the zlib-compressed body, a QDataStream (version 15) of a header string and
// a payload byte array.
namespace Datagram {

constexpr quint16 port = 8002;
constexpr int streamVersion = 15;

// No legitimate body comes near this (an 8192-byte chunk makes 8210 bytes);
// anything claiming or inflating to more is dropped unread.
constexpr int maxBodySize = 65536;

const QString audioHeader = QStringLiteral("audio");
const QString updateWord = QStringLiteral("update");

enum class Kind { Audio, Announcement, Ignored };

struct Message
{
    QString header;
    QByteArray payload;
};

QByteArray body(const QString &header, const QByteArray &payload);
// The same bytes as qCompress(data, -1), without its cost per call.
QByteArray compress(const QByteArray &data);
QByteArray build(const QString &header, const QByteArray &payload);

// Bounded replacement for qUncompress on network input: empty on any failure.
QByteArray inflateBody(const QByteArray &datagram);
Message parse(const QByteArray &datagram);
Kind classify(const QString &header);

} // namespace Datagram

#endif // DATAGRAM_H
