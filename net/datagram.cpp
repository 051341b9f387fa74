#include "net/datagram.h"

#include <QDataStream>
#include <QtEndian>

#include <zlib.h>

namespace Datagram {

QByteArray body(const QString &header, const QByteArray &payload)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(streamVersion);
    stream << header << payload;
    return bytes;
}

QByteArray build(const QString &header, const QByteArray &payload)
{
    return qCompress(body(header, payload), -1);
}

QByteArray inflateBody(const QByteArray &datagram)
{
    if (datagram.size() < 4)
        return QByteArray();
    const auto declared = qFromBigEndian<quint32>(datagram.constData());
    if (declared > quint32(maxBodySize))
        return QByteArray();

    // qUncompress would trust the declared length and keep doubling its
    // buffer; here the output can never grow past the cap, whatever the
    // stream claims or holds.
    QByteArray out(maxBodySize, Qt::Uninitialized);
    uLongf outLength = maxBodySize;
    const int result = ::uncompress(reinterpret_cast<Bytef *>(out.data()), &outLength,
                                    reinterpret_cast<const Bytef *>(datagram.constData()) + 4,
                                    uLong(datagram.size() - 4));
    if (result != Z_OK)
        return QByteArray();
    out.truncate(int(outLength));
    return out;
}

// QDataStream reserves up to a megabyte for a value before it finds the value
// cut short; a length that cannot fit in what is left is refused first.
static bool valueFits(const QByteArray &bytes, qint64 offset)
{
    const qint64 left = bytes.size() - offset;
    if (left < 4)
        return false;
    const auto length = qFromBigEndian<quint32>(bytes.constData() + offset);
    return length == 0xFFFFFFFFu || qint64(length) <= left - 4;
}

Message parse(const QByteArray &datagram)
{
    Message message;
    const QByteArray bytes = inflateBody(datagram);
    if (!valueFits(bytes, 0))
        return message;
    QDataStream stream(bytes);
    stream.setVersion(streamVersion);
    // A value cut short reads as empty; the stream status does not matter.
    stream >> message.header;
    if (stream.status() == QDataStream::Ok && valueFits(bytes, stream.device()->pos()))
        stream >> message.payload;
    return message;
}

Kind classify(const QString &header)
{
    if (header.compare(audioHeader, Qt::CaseSensitive) == 0)
        return Kind::Audio;
    if (header.contains(updateWord, Qt::CaseSensitive))
        return Kind::Announcement;
    return Kind::Ignored;
}

} // namespace Datagram
