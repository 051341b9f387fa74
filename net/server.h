#ifndef SERVER_H
#define SERVER_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QElapsedTimer>
#include <QString>
#include <QVector>

#include <sys/socket.h>

#include <mutex>
#include <vector>

class AudioInput;
class ClientList;
class QTimer;
class QUdpSocket;

// The sending half: announces this instance every 100 ms and sends every
// captured chunk to every peer in the table but itself.
class Server : public QObject
{
    Q_OBJECT

public:
    static constexpr int announceIntervalMs = 100;
    // The longest one chunk's sends may hold up the thread that captured it
    // (the sound library's, which also feeds playback); peers not reached by
    // then miss that chunk, the newest rows first.
    static constexpr int fanOutMs = 2;

    Server(ClientList *clients, QObject *parent);
    ~Server() override;

    // Callable from any thread; applied on the sender's own thread.
    void setVolume(float volume);

    // The last IPv4 address that is neither 127.0.0.1 nor ends in ".1";
    // every one that qualifies is logged.
    static QHostAddress chooseLocalAddress(const QList<QHostAddress> &addresses);

    // Sends one chunk of audio to every peer but this host. Callable from any
    // thread: captured audio comes here on the sound library's thread, so
    // that no thread wakes for it but the one that captured it.
    void writeDatagram(QByteArray data);

public slots:
    void startAudioSend();
    void endAudioSend();
    // The sound server's name for the capture device, or "default".
    void changeDevice(QByteArray device);

signals:
    // The chosen input device is not there: capture goes on from the default.
    void inputDeviceMissing(QString device);

private slots:
    void sendUpdate();
    void updateBroadcast(QString data);
    void applyVolume(float volume);
    // Shutdown, on this object's thread: stop, release what this thread made,
    // and move back to the main thread to be destroyed there.
    void returnToMainThread();

private:
    void refreshAddresses();
    // Where a chunk goes, rebuilt when the rows or this host's addresses change.
    struct Target
    {
        sockaddr_storage address;
        socklen_t length;
    };
    void rebuildTargets(const QVector<QHostAddress> &rows, const QList<QHostAddress> &own);
    int sendToAll(int through, const std::vector<Target> &targets, const QByteArray &datagram,
                  const QElapsedTimer &since);

    QUdpSocket *socket = nullptr;
    QTimer *broadcastTimer = nullptr;
    AudioInput *input = nullptr;
    QString broadcastStatus;
    QString listeningStatus;
    // Every address this host has now: a host with several (a second network,
    // a VPN tunnel) hears its own broadcast from one of them, and its own
    // audio must go to none.
    QList<QHostAddress> localAddresses;
    // Guards localAddresses, which the sound library's thread reads.
    std::mutex addressesLock;
    quint64 addressesGeneration = 0;
    // The fan-out's own state; held while a chunk goes out.
    std::mutex fanOutLock;
    quint64 targetsGeneration = ~0ull;
    quint64 targetsAddressesGeneration = ~0ull;
    std::vector<Target> targets4;
    std::vector<Target> targets6;
    bool fellBehindLogged = false;
    bool sendingAudio = false;
    // While audio goes out, the host's addresses are looked at again after
    // this many announcements.
    static constexpr int addressesEvery = 10;
    int announcementsSinceAddresses = 0;
    // The audio's own sockets, used from the sound library's thread, where
    // the toolkit's sockets must not be touched; -1 when the system has none
    // of that family.
    int audioSocket4 = -1;
    int audioSocket6 = -1;

public:
    ClientList *clientList = nullptr;
    QHostAddress serverIP;
};

#endif // SERVER_H
