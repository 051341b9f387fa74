// libFuzzer target for the receive path: whatever arrives on port 8002 goes
// through the same decode and classification the receiver runs.
//
// zlib and Qt are not instrumented, so mutations of the raw bytes rarely get
// past the Adler-32 check. The input is therefore also wrapped as a body in a
// valid container and decoded again, which hands arbitrary bodies to the
// stream reader.
#include "net/datagram.h"

#include <QtEndian>

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// No datagram on the wire is larger than this.
constexpr size_t maxDatagramSize = 65507;

// A container whose zlib stream holds the body in stored (uncompressed)
// blocks: valid for any inflater, and far cheaper to make than qCompress,
// whose deflate set-up alone costs most of a millisecond per input.
QByteArray storedContainer(const QByteArray &body)
{
    QByteArray out;
    char length[4];
    qToBigEndian<quint32>(quint32(body.size()), length);
    out.append(length, 4);
    out.append("\x78\x01", 2);
    int offset = 0;
    do {
        const int blockSize = qMin(body.size() - offset, 65535);
        const bool last = offset + blockSize == body.size();
        out.append(char(last ? 1 : 0));
        out.append(char(blockSize & 0xFF));
        out.append(char(blockSize >> 8));
        out.append(char(~blockSize & 0xFF));
        out.append(char((~blockSize >> 8) & 0xFF));
        out.append(body.constData() + offset, blockSize);
        offset += blockSize;
    } while (offset < body.size());
    char check[4];
    qToBigEndian<quint32>(quint32(adler32(1, reinterpret_cast<const Bytef *>(body.constData()),
                                          uInt(body.size()))),
                          check);
    out.append(check, 4);
    return out;
}

void receive(const QByteArray &datagram)
{
    // The decoder must never hand out more than its cap, whatever it is fed.
    if (Datagram::inflateBody(datagram).size() > Datagram::maxBodySize)
        std::abort();

    const Datagram::Message message = Datagram::parse(datagram);
    if (Datagram::classify(message.header) == Datagram::Kind::Audio
        && message.header != Datagram::audioHeader)
        std::abort();
    if (message.payload.size() > Datagram::maxBodySize)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > maxDatagramSize)
        return 0;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     int(size));
    receive(input);

    const QByteArray wrapped = storedContainer(input);
    // Every body within the cap must come back unchanged, as it does from
    // qUncompress (safe here: the declared length is the true one).
    if (qUncompress(wrapped) != input || Datagram::inflateBody(wrapped) != input)
        std::abort();
    receive(wrapped);
    return 0;
}
