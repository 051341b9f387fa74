#ifndef AUDIOFORMAT_H
#define AUDIOFORMAT_H

#include <QAudioFormat>

// Capture and playback agree on the format only by both using this; no
// datagram describes it.
namespace AudioFormat {

constexpr int bufferBytes = 8192;

QAudioFormat pcm();

} // namespace AudioFormat

#endif // AUDIOFORMAT_H
