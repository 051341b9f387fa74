#ifndef AUDIOOUTPUT_H
#define AUDIOOUTPUT_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include "audio/mixer.h"

class KeptStream;
class QTimer;

// Plays what the peers send, mixed, on the server's default output device.
class AudioOutput : public QObject
{
    Q_OBJECT

public:
    explicit AudioOutput(QObject *parent);
    ~AudioOutput() override;

    void setVolume(float volume);
    void setMuted(const QString &sender, bool muted);
    // Corked while nobody listens: a playback stream left running keeps the
    // sound server's graph cycling and the sound card awake all day.
    void setListening(bool listening);
    // At shutdown, on this object's thread: no timer may still run when the
    // object moves to the thread that deletes it (the toolkit would queue
    // their restart there, and leak it when the object goes first).
    void closeDown();

public slots:
    // A chunk of the peer at `sender`, as the peer table keys it.
    void writeData(QString sender, QByteArray data);
    void writeData(QByteArray data);

private slots:
    // Hands the stream what is due of the mix, and comes again when due.
    void play();

private:
    void streamChanged();
    void streamDropped();
    void playInto(Mixer::Stream &frames);

    QTimer *player = nullptr;
    KeptStream *kept = nullptr;
    Mixer mixer;
    QElapsedTimer clock;
    bool listening = false;
};

#endif // AUDIOOUTPUT_H
