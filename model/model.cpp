#include "model/model.h"

#include <QBrush>
#include <QDebug>
#include <QLoggingCategory>
#include <QTimer>

ClientInfo::ClientInfo(QObject *parent, QString clientAddress)
    : QObject(parent)
    , hostAddress(clientAddress)
{
    qDebug() << "Client Created";
    address = clientAddress;
    timer = new QTimer(this);
    // A coarse timer may fire up to 5% early; a peer is forgotten 500 ms
    // after its last announcement, not 475.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, SIGNAL(timeout()), this, SLOT(timerExpired()));
    timer->start(expiryMs);
    lastRestart.start();
}

ClientInfo::~ClientInfo()
{
    delete timer;
}

void ClientInfo::restartTimer()
{
    // Ten announcements a second from every peer: moving the timer each time
    // costs the event loop a re-sorting of every peer's timer. The deadline
    // is kept instead, and the timer, when it fires, waits out what is left.
    lastRestart.start();
    if (!timer->isActive())
        timer->start(expiryMs);
}

QString ClientInfo::getAddress() const
{
    return address;
}

QHostAddress ClientInfo::getHostAddress() const
{
    return hostAddress;
}

void ClientInfo::timerExpired()
{
    const qint64 left = expiryMs - lastRestart.elapsed();
    if (left > 0) {
        // A peer that goes on announcing only needs looking at again before
        // its deadline: a coarse timer, which never comes more than 5% late,
        // lets the event loop wake once for many peers' looks. The last
        // stretch before a deadline is timed to the millisecond.
        if (left > preciseMs) {
            timer->setTimerType(Qt::CoarseTimer);
            timer->start(int(left - left / 5));
        } else {
            timer->setTimerType(Qt::PreciseTimer);
            timer->start(int(left));
        }
        return;
    }
    // The table drops this record and deletes it later; a repeating timer must
    // not report the same peer twice meanwhile.
    timer->stop();
    qDebug() << "Client Timeout:" << address;
    emit clientTimeout(address);
}

ClientList::ClientList(QObject *parent)
    : QAbstractTableModel(parent)
{
}

ClientList::~ClientList() = default;

int ClientList::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    std::lock_guard<std::mutex> guard(clientsLock);
    return clients.size();
}

int ClientList::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 3;
}

static QBrush stateBrush(bool on)
{
    return QBrush(on ? Qt::green : Qt::red, Qt::SolidPattern);
}

// A status cell says in words what its colour says, for tooltips and screen
// readers, and tells the view whether it is on, for a mark of its own: red
// and green look alike to many.
static QVariant stateCell(int role, bool on, const QString &onText, const QString &offText)
{
    switch (role) {
    case Qt::BackgroundRole:
        return stateBrush(on);
    case Qt::ToolTipRole:
    case Qt::AccessibleTextRole:
        return on ? onText : offText;
    case ClientList::StateRole:
        return on;
    }
    return QVariant();
}

QVariant ClientList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= clients.size())
        return QVariant();
    const ClientInfo *client = clients.at(index.row());
    switch (index.column()) {
    case 0:
        switch (role) {
        case Qt::DisplayRole:
            return client->getAddress();
        case MutedRole:
            return client->isMuted;
        // The address stays the cell's name; a screen reader says "muted"
        // after it, and a tooltip names the glyph.
        case Qt::AccessibleDescriptionRole:
        case Qt::ToolTipRole:
            if (client->isMuted)
                return QStringLiteral("muted");
            break;
        }
        break;
    case 1:
        return stateCell(role, client->isBroadcasting, QStringLiteral("broadcasting"),
                         QStringLiteral("not broadcasting"));
    case 2:
        return stateCell(role, client->isListening, QStringLiteral("listening"),
                         QStringLiteral("not listening"));
    }
    return QVariant();
}

QVariant ClientList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0:
        return QStringLiteral("IP");
    case 1:
        return QStringLiteral("Broadcasting");
    case 2:
        return QStringLiteral("Listening");
    }
    return QVariant();
}

QHostAddress ClientList::getAddressAt(const QModelIndex &index) const
{
    std::lock_guard<std::mutex> guard(clientsLock);
    const int row = index.row();
    if (row < 0 || row >= clients.size())
        return QHostAddress();
    return clients.at(row)->getHostAddress();
}

// The flag a status field leaves: set by the word `yes`, cleared by the word
// `no` (which wins when the field holds both), kept when it holds neither.
static bool flagFromField(const QString &field, const QString &yes, const QString &no,
                          bool current)
{
    bool flag = current;
    if (field.contains(yes, Qt::CaseSensitive))
        flag = true;
    if (field.contains(no, Qt::CaseSensitive))
        flag = false;
    return flag;
}

bool ClientList::hasAddress(QString address)
{
    ClientInfo *client = clientsByAddress.value(address);
    if (!client)
        return false;
    client->restartTimer();
    return true;
}

void ClientList::setMuted(const QString &address, bool muted)
{
    ClientInfo *client = clientsByAddress.value(address);
    if (!client || client->isMuted == muted)
        return;
    client->isMuted = muted;
    const int row = clients.indexOf(client);
    if (row < 0)
        return;
    const QModelIndex cell = createIndex(row, 0);
    emit dataChanged(cell, cell, {MutedRole, Qt::AccessibleDescriptionRole, Qt::ToolTipRole});
}

bool ClientList::isMuted(const QString &address) const
{
    const ClientInfo *client = clientsByAddress.value(address);
    return client && client->isMuted;
}

ClientList::Destinations ClientList::destinations(quint64 known) const
{
    Destinations copy;
    std::lock_guard<std::mutex> guard(clientsLock);
    copy.generation = sendTo.generation;
    if (copy.generation != known) {
        copy.addresses.reserve(sendTo.addresses.size());
        for (const QHostAddress &address : sendTo.addresses)
            copy.addresses.append(address);
    }
    return copy;
}

void ClientList::processClient(QString clientAddress, QString controlString)
{
    ClientInfo *client = clientsByAddress.value(clientAddress);
    if (client) {
        client->restartTimer();
    } else {
        if (clients.size() >= maxRows) {
            // One line for a flood of newcomers, not one per address.
            if (!lastTurnedAway.isValid() || lastTurnedAway.hasExpired(10000))
                qWarning().noquote() << "peer table full at" << maxRows
                                     << "rows: new peers wait until a row expires";
            lastTurnedAway.start();
            return;
        }
        beginInsertRows(QModelIndex(), 0, 0);
        client = new ClientInfo(this, clientAddress);
        {
            std::lock_guard<std::mutex> guard(clientsLock);
            clients.insert(0, client);
            sendTo.addresses.append(client->getHostAddress());
            ++sendTo.generation;
        }
        clientsByAddress.insert(clientAddress, client);
        connect(client, SIGNAL(clientTimeout(QString)), this, SLOT(clientTimeout(QString)));
        endInsertRows();
        qDebug() << "Client Added, size: " << clients.size();
    }

    // Formatted only when someone reads it: 2,000 a second with 200 peers.
    if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug() << "control string: " << controlString;

    // A peer says the same ten times a second, and the same words leave the
    // flags as they are: they are read only when they change.
    if (controlString == client->lastAnnouncement)
        return;
    client->lastAnnouncement = controlString;
    const QStringList fields = controlString.split(":", Qt::SkipEmptyParts, Qt::CaseSensitive);
    if (fields.size() != 3)
        return;

    const bool broadcasting = flagFromField(fields.at(1), QStringLiteral("broadcasting_yes"),
                                            QStringLiteral("broadcasting_no"), client->isBroadcasting);
    const bool listening = flagFromField(fields.at(2), QStringLiteral("listening_yes"),
                                         QStringLiteral("listening_no"), client->isListening);
    // Every peer says the same ten times a second, and the view repaints what
    // it is told has changed: only a flag that really changes is reported.
    if (broadcasting == client->isBroadcasting && listening == client->isListening)
        return;

    // Addresses are unique, so the one row that holds this address is the
    // record's own; finding it by pointer is far cheaper than by address.
    const int row = clients.indexOf(client);
    if (row < 0)
        return;
    if (broadcasting != client->isBroadcasting) {
        client->isBroadcasting = broadcasting;
        const QModelIndex cell = createIndex(row, 1);
        emit dataChanged(cell, cell);
    }
    if (listening != client->isListening) {
        client->isListening = listening;
        const QModelIndex cell = createIndex(row, 2);
        emit dataChanged(cell, cell);
    }
}

void ClientList::clientTimeout(QString cAddress)
{
    const int row = clients.indexOf(clientsByAddress.value(cAddress));
    if (row < 0)
        return;
    clientsByAddress.remove(cAddress);

    beginRemoveRows(QModelIndex(), row, row);
    ClientInfo *client = nullptr;
    {
        std::lock_guard<std::mutex> guard(clientsLock);
        client = clients.takeAt(row);
        // Oldest first: the row counted from the end.
        sendTo.addresses.remove(clients.size() - row);
        ++sendTo.generation;
    }
    // This runs inside the record's own timer emission: let the event loop
    // destroy it once that emission has returned.
    client->disconnect(this);
    client->deleteLater();
    endRemoveRows();
    qDebug() << "Client Removed, size: " << clients.size();
}
