#include "audio/audioformat.h"

#include <QtEndian>

#include <cmath>

float boundedVolume(float volume)
{
    return std::isnan(volume) ? 1.0f : qBound(0.0f, volume, 1.0f);
}

void scaleSamples(QByteArray &pcm, float volume)
{
    char *bytes = pcm.data();
    const int samples = pcm.size() / 2;
    for (int i = 0; i < samples; ++i) {
        const auto sample = qFromLittleEndian<qint16>(bytes + 2 * i);
        const long scaled = qBound(-32768L, std::lround(float(sample) * volume), 32767L);
        qToLittleEndian<qint16>(qint16(scaled), bytes + 2 * i);
    }
}
