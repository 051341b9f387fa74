// Writes a few valid datagrams, built by the program's own encoder, as the
// starting corpus of the fuzz target.
#include "net/datagram.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>

namespace {

bool writeSeed(const QString &dir, const QString &name, const QByteArray &bytes)
{
    QFile file(dir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        return false;
    }
    return true;
}

QByteArray ramp(int size)
{
    QByteArray pcm(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        pcm[i] = char(i * 7);
    return pcm;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    ok &= writeSeed(dir, "announce_initial",
                    Datagram::build("update:broadcasting_no:listening_no", QByteArray()));
    ok &= writeSeed(dir, "announce_both_yes",
                    Datagram::build("update:broadcasting_yes:listening_yes", QByteArray()));
    ok &= writeSeed(dir, "audio_small", Datagram::build(Datagram::audioHeader, ramp(64)));
    ok &= writeSeed(dir, "audio_full_chunk", Datagram::build(Datagram::audioHeader, ramp(8192)));
    ok &= writeSeed(dir, "audio_empty_chunk", Datagram::build(Datagram::audioHeader, QByteArray("")));
    ok &= writeSeed(dir, "ignored_header", Datagram::build("Audio", QByteArray("x")));
    return ok ? 0 : 1;
}
