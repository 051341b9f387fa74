#ifndef SOUNDDEVICES_H
#define SOUNDDEVICES_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <mutex>

struct pa_context;
struct pa_mainloop_api;
struct timeval;
struct pa_threaded_mainloop;
struct pa_time_event;

// The sound system as a whole: whether a sound server answers, which capture
// devices it has and what it calls them, and when either changes. One per
// process, on the main thread; the capture and playback streams open on its
// connection.
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

    // Callable from any thread.
    bool answering() const;
    // The server's sources, microphones before monitors; empty while no
    // server answers.
    QList<Source> sources() const;
    bool hasSource(const QByteArray &name) const;
    // What the server calls the device; its internal name where no server
    // answers or the server does not know it.
    QString description(const QByteArray &name) const;

    // For the streams: the connection's event thread and, under its lock,
    // the connection itself, or nullptr while no server answers.
    pa_threaded_mainloop *mainloop() const { return loop; }
    pa_context *readyContext() const;

    // On the main thread, before the program ends (at aboutToQuit, which
    // calls it by itself): has the server drop the toolkit's own connection
    // and waits, at most a second, until the toolkit has heard. The toolkit
    // tears that connection down at exit without its thread's lock, while
    // that thread may be handling a message from the server: the streams
    // closing at shutdown send it several, and the race crashed the program
    // in about one exit in twenty.
    void dropToolkitConnection();

signals:
    void answeringChanged(bool answering);
    void sourcesChanged();

private slots:
    // Queued from the connection's event thread.
    void deliverAnswering();
    void deliverSources();

private:
    explicit SoundDevices(QObject *parent);

    // On the connection's event thread, with its lock held.
    void connectToServer();
    void dropContext();
    void retryLater();
    void requestSources();
    void contextStateChanged();
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

    std::atomic<bool> serverAnswers{false};
    bool answeringShown = true;
    bool lossLogged = false;
    mutable std::mutex sourcesLock;
    QList<Source> known;
    // The toolkit's own connections, as the server lists them, and whether
    // the server agreed to drop one.
    QVector<uint32_t> toolkitClients;
    bool toolkitDropped = false;
};

// Holds the sound library's event-thread lock for a scope.
class SoundLoopLock
{
public:
    explicit SoundLoopLock(pa_threaded_mainloop *loop);
    ~SoundLoopLock();
    SoundLoopLock(const SoundLoopLock &) = delete;
    SoundLoopLock &operator=(const SoundLoopLock &) = delete;

private:
    pa_threaded_mainloop *loop;
};

#endif // SOUNDDEVICES_H
