#ifndef SOUNDDEVICES_H
#define SOUNDDEVICES_H

#include "audio/pulsestream.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <mutex>

struct pa_context;
struct pa_threaded_mainloop;
struct pa_time_event;

// The process's one connection to the sound server: whether the server
// answers, which capture devices it has and what it calls them, which is its
// default, and when any of these changes. Opens the streams on that
// connection. One per process, on the main thread.
class SoundDevices : public QObject
{
    Q_OBJECT

public:
    struct Source
    {
        QByteArray name;
        QString description;
        // A monitor of an output rather than a microphone.
        bool monitor = false;

        bool operator==(const Source &other) const
        {
            return name == other.name && description == other.description && monitor == other.monitor;
        }
    };

    // Made on first use, which must be on the main thread; it goes as the
    // application object begins to go.
    static SoundDevices *instance();
    ~SoundDevices() override;

    // Callable from any thread. The server answers, and its devices and its
    // default are known.
    bool answering() const;
    // The server's sources, microphones before monitors; empty while no
    // server answers.
    QList<Source> sources() const;
    // What the server calls the device; its internal name where no server
    // answers or the server does not know it.
    QString description(const QByteArray &name) const;
    // The server's default source now; empty while no server answers.
    QByteArray defaultSource() const;

    // Where capture goes for the operator's choice: the device chosen while
    // the server lists it; otherwise, and for "default" or nothing, the
    // server's default, as an empty name.
    static QByteArray captureDevice(const QByteArray &chosen, const QList<Source> &listed);
    QByteArray captureDevice(const QByteArray &chosen) const;

    // A stream on this connection, owned by the caller; nullptr while no
    // server answers, or when it refuses the stream at once.
    PulseStream *openStream(const PulseStream::Options &options);

signals:
    void answeringChanged(bool answering);
    void sourcesChanged();
    void defaultSourceChanged();

private slots:
    // Queued from the connection's event thread.
    void deliverAnswering();
    void deliverSources();
    void deliverDefault();

private:
    explicit SoundDevices(QObject *parent);

    // On the connection's event thread, with its lock held.
    void connectToServer();
    void dropContext();
    void retryLater();
    void requestSources();
    void requestServerInfo();
    void contextStateChanged();
    void becomeReadyOnceKnown();
    friend struct SoundServerCallbacks;

    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_time_event *retry = nullptr;
    bool settled() const;

    // Below, what the connection's event thread shares: under sourcesLock.
    bool firstAttempt = true;
    // The list being gathered from the server, replaced whole when complete.
    QList<Source> gathering;
    bool listing = false;
    bool listAgain = false;
    bool listed = false;
    bool defaultKnown = false;

    std::atomic<bool> serverAnswers{false};
    bool answeringShown = true;
    bool lossLogged = false;
    mutable std::mutex sourcesLock;
    QList<Source> known;
    QByteArray knownDefault;
    // The default the main thread last told of.
    QByteArray defaultShown;
};

#endif // SOUNDDEVICES_H
