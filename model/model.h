#ifndef MODEL_H
#define MODEL_H

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QVector>

#include <mutex>

class QTimer;

// One peer heard from: its address, its two status flags and the timer that
// forgets it when its announcements stop.
class ClientInfo : public QObject
{
    Q_OBJECT

public:
    static constexpr int expiryMs = 500;
    // How close to its deadline the record's timer turns precise.
    static constexpr int preciseMs = 100;

    ClientInfo(QObject *parent, QString clientAddress);
    ~ClientInfo() override;

    void restartTimer();
    QString getAddress() const;
    // The same address parsed once: the audio's sender needs it for every
    // peer and every chunk, a hundred times a second.
    QHostAddress getHostAddress() const;

signals:
    void clientTimeout(QString cAddress);

private slots:
    void timerExpired();

private:
    QTimer *timer = nullptr;
    // The last announcement: the timer runs until 500 ms after it.
    QElapsedTimer lastRestart;
    QString address;
    // Never changes once made: the audio's sender copies it from its own
    // thread.
    const QHostAddress hostAddress;

public:
    // Red until an announcement says otherwise.
    bool isListening = false;
    bool isBroadcasting = false;
    // Set from the window only; a record made anew starts unmuted.
    bool isMuted = false;
    // The status words last read into the flags; null before the first.
    QString lastAnnouncement;
};

// The peers heard from, newest first: the model of the peer view and the
// audio sender's list of destinations.
class ClientList : public QAbstractTableModel
{
    Q_OBJECT

public:
    // Whether a status cell is on (bool), for the view's mark beside the colour.
    static constexpr int StateRole = Qt::UserRole;
    // Whether the peer is left out of what is played (bool, on the address
    // cell), for the view's mark.
    static constexpr int MutedRole = Qt::UserRole + 1;

    // No segment this intercom runs on comes near this many instances; past
    // it a new address waits until a row expires, so that announcements
    // forged from ever new addresses cannot grow the table and the audio's
    // fan-out without end.
    static constexpr int maxRows = 256;

    // Every row's address, oldest first, and a number that changes whenever
    // they do: the audio's sender asks once per chunk.
    struct Destinations
    {
        quint64 generation = 0;
        QVector<QHostAddress> addresses;
    };

    explicit ClientList(QObject *parent);
    ~ClientList() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Safe to call from the thread that sends the audio while peers come and
    // go here: a row that has gone meanwhile gives the null address.
    QHostAddress getAddressAt(const QModelIndex &index) const;
    bool hasAddress(QString address);
    // Main thread only; an address not in the table is left alone.
    void setMuted(const QString &address, bool muted);
    bool isMuted(const QString &address) const;
    // Callable from any thread. The addresses are copied only when the
    // number differs from `known`, and then deeply: a copy that shared the
    // table's buffer would be read while the main thread writes it.
    Destinations destinations(quint64 known = ~0ull) const;

public slots:
    void processClient(QString clientAddress, QString controlString);

private slots:
    void clientTimeout(QString cAddress);

private:
    QList<ClientInfo *> clients;
    // The same records by address, beside the rows: an announcement finds its
    // peer without comparing the address of every row. Main thread only.
    QHash<QString, ClientInfo *> clientsByAddress;
    // The list is changed only on the main thread, under this lock; the
    // audio's sender reads its size and addresses from its thread under it too.
    mutable std::mutex clientsLock;
    // The rows' addresses as the sender wants them, under the same lock.
    Destinations sendTo;
    // When a new address was last turned away from a full table.
    QElapsedTimer lastTurnedAway;
};

#endif // MODEL_H
