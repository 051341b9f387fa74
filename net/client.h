#ifndef CLIENT_H
#define CLIENT_H

#include <QObject>
#include <QString>

#include <atomic>

class AudioOutput;
class QHostAddress;
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

    // Text of a sender address as the peer table keys it: plain IPv4 for an
    // IPv4 sender, even when the dual-stack socket reports it mapped.
    static QString addressText(const QHostAddress &address);

signals:
    void clientBroadcastReceived(QString clientAddress, QString controlString);

private slots:
    void readDatagrams();
    void applyVolume(float volume);
    // Shutdown, on this object's thread: move back to the main thread to be
    // destroyed there, beside the playback backend made there.
    void returnToMainThread();

private:
    AudioOutput *output = nullptr;
    QUdpSocket *socket = nullptr;
    std::atomic<bool> listen{false};
};

#endif // CLIENT_H
