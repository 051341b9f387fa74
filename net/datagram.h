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

// The largest chunk capture hands over, and the body it makes: "audio" and
// two counts. Nothing a peer sends is larger; anything that claims or
// inflates to more is dropped, the claim before any inflating.
constexpr int maxChunkSize = 8192;
constexpr int maxBodySize = 4 + 10 + 4 + maxChunkSize;
// The most zlib can make of such a body (its compressBound) behind the
// 4-byte length: a longer datagram is dropped unread.
constexpr int maxDatagramSize = 4 + maxBodySize + (maxBodySize >> 12) + (maxBodySize >> 14)
                                + (maxBodySize >> 25) + 13;

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
