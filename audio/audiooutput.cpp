#include "audio/audiooutput.h"

#include "audio/audioformat.h"

#include <QAudioOutput>
#include <QDebug>
#include <QtEndian>

#include <cmath>

AudioOutput::AudioOutput(QObject *parent)
    : QObject(parent)
{
    const QAudioFormat format = AudioFormat::pcm();
    audio = new QAudioOutput(format, this);
    audio->setBufferSize(AudioFormat::bufferBytes);
    audio->setVolume(1.0);
    device = audio->start();
    if (!device)
        qDebug() << "audio playback could not start";
}

void AudioOutput::writeData(QByteArray data)
{
    qint64 written = 0;
    if (device) {
        if (volume < 1.0f)
            scaleSamples(data, volume);
        written = device->write(data.constData(), data.size());
    }
    qDebug() << "wrote: " << written << " down from: " << data.size();
}

void AudioOutput::setVolume(float volume)
{
    qDebug() << "output volume set to:" << volume;
    // Clamped as the toolkit clamps its own volume.
    this->volume = std::isnan(volume) ? 1.0f : qBound(0.0f, volume, 1.0f);
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
