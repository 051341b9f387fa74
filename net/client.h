#ifndef CLIENT_H
#define CLIENT_H

#include "net/peeraddress.h"
#include "net/senderbudget.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVector>

#include <atomic>
#include <mutex>

class AudioOutput;
class QHostAddress;

// Announcements as (sender address, whole header string), oldest first.
using Announcements = QVector<QPair<QString, QString>>;
class QTimer;
class QUdpSocket;

// The receiving half: decodes every datagram on port 8002, reports
// announcements and plays audio while listening.
class Client : public QObject
{
    Q_OBJECT

public:
    explicit Client(QObject *parent);
    ~Client() override;

    // Callable from any thread; a change takes effect from the next datagram.
    void startListen();
    void endListen();
    void setVolume(float volume);
    // Leaves the peer at this address (as the peer table keys it) out of
    // what is played, or brings it back. Callable from any thread.
    void setMuted(const QString &address, bool muted);
    // Every announcement reported since the last call, oldest first.
    // Callable from any thread.
    Announcements takeAnnouncements();

    // Text of a sender address as the peer table keys it: plain IPv4 for an
    // IPv4 sender, even when the dual-stack socket reports it mapped.
    static QString addressText(const QHostAddress &address);

    // Whether the constructor got port 8002: another program may hold it.
    bool portBound() const { return bound; }

    // The announcements read at one go are reported together, in order. While
    // not listening, once two reports went out in the last gatherMs, what
    // comes next is held back until that window ends and then reported
    // together (at once when gatherLimit are waiting): each report wakes the
    // main thread, and fifty peers announce five hundred times a second,
    // while a few peers never fill the window and wait for nothing.
    // Listening, they go at once, and always before any audio read after
    // them.
    static constexpr int gatherMs = 20;
    static constexpr int gatherLimit = 100;

    // While not listening the socket is read at most once every gatherMs:
    // each read is a wake-up of this thread, and what waits meanwhile is
    // only announcements and audio dropped unplayed. A pass that finds
    // floodDatagrams or floodBytes waiting means the socket's buffer could
    // overflow within such a wait and drop the peers' announcements with
    // the rest: for floodMs after it, every datagram is read at once. The
    // same is counted over every gatherMs while reading at once, so that a
    // flood that goes on keeps them read at once: a wait of gatherMs after
    // each floodMs would overflow the buffer all the same.
    static constexpr int floodDatagrams = 32;
    static constexpr qint64 floodBytes = 32 * 1024;
    static constexpr int floodMs = 1000;
    // While flooded, passes come at most this often, and while not listening
    // as seldom as lets about floodDatagrams or floodBytes wait in between
    // (at most gatherMs): a pass that takes two announcements costs a wake-up
    // for each.
    static constexpr int floodPassMs = 1;

    // A pass over the socket gives way to the thread's other events (the
    // playback's timers, queued volume changes) after this long, however
    // much is still waiting; the socket wakes it again at once.
    static constexpr int passMs = 3;
    // Datagrams taken from the system in one call.
    static constexpr int batchSize = 32;
    // While passes are held, one that finds this many waiting times the next
    // pass itself, until one finds fewer: the socket's wake-up would only
    // start the wait for the held pass.
    static constexpr int pollDatagrams = 4;
    // Asked of the system for the socket's receive buffer, in bytes.
    static constexpr int receiveBufferBytes = 1024 * 1024;

signals:
    void clientBroadcastReceived(QString clientAddress, QString controlString);
    // The same announcements wait in takeAnnouncements(), those reported
    // together behind one signal: each hand-off wakes the receiving thread,
    // and 200 peers announce 2,000 times a second. Emitted when the first
    // comes in after the last take.
    void announcementsReady();

private slots:
    void readDatagrams();
    void readPending();
    void reportGathered();
    void applyListening();
    void applyVolume(float volume);
    void applyMuted(QString address, bool muted);
    // Shutdown, on this object's thread: move back to the main thread to be
    // destroyed there, beside the playback backend made there.
    void returnToMainThread();

private:
    // How long passes are held apart now; 0 while each goes at once.
    int holdMs() const;
    int floodHoldMs() const;
    // One datagram through the toolkit, which arms the socket's notifier
    // again even when there is none; whether there was one.
    bool readThroughToolkit();
    // Judges one datagram read from `from`; `truncated` when it was longer
    // than the room it was read into.
    void handle(const PeerAddress::Bytes &from, quint32 scope, const char *data, qint64 size,
                bool truncated, qint64 nowMs);

    AudioOutput *output = nullptr;
    QUdpSocket *socket = nullptr;
    // Every datagram is read into this, of the largest size one can have:
    // asking the size of each first costs a system call more per datagram.
    QByteArray readBuffer;
    // Room for a batch of the largest datagrams a peer sends.
    QByteArray batchBuffer;
    SenderBudget budget;
    QElapsedTimer clock;
    QList<PeerAddress::Bytes> ownLoopback;
    QTimer *heldTimer = nullptr;
    QElapsedTimer lastPass;
    // Passes come off heldTimer alone, and the socket's notifier is off.
    bool polling = false;
    QElapsedTimer lastFlood;
    // What was read since the span began, gatherMs at most.
    QElapsedTimer span;
    int spanDatagrams = 0;
    qint64 spanBytes = 0;
    // What the last whole span read, and how long it lasted.
    int lastSpanDatagrams = 0;
    qint64 lastSpanBytes = 0;
    qint64 lastSpanMs = 0;
    std::atomic<bool> listen{false};
    // Announcements held back, oldest first, and when they go.
    Announcements gathered;
    // Reported and not yet taken. The batch moves between threads under
    // this lock, not by a copy shared through the event queue, whose
    // order ThreadSanitizer cannot see.
    std::mutex reportedLock;
    Announcements reported;
    QTimer *gatherTimer = nullptr;
    QElapsedTimer lastReport;
    QElapsedTimer beforeLastReport;
    bool bound = false;
};

#endif // CLIENT_H
