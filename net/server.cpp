#include "net/server.h"

#include "audio/audioinput.h"
#include "model/model.h"
#include "net/datagram.h"
#include "net/handoff.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkInterface>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

Server::Server(ClientList *clients, QObject *parent)
    : QObject(parent)
{
    socket = new QUdpSocket(this);
    broadcastStatus = QStringLiteral(":broadcasting_no");
    listeningStatus = QStringLiteral(":listening_no");
    clientList = clients;

    broadcastTimer = new QTimer(this);
    connect(broadcastTimer, SIGNAL(timeout()), this, SLOT(sendUpdate()));
    broadcastTimer->start(announceIntervalMs);

    localAddresses = QNetworkInterface::allAddresses();
    serverIP = chooseLocalAddress(localAddresses);

    input = new AudioInput(QAudioDeviceInfo::defaultInputDevice(), this);
    connect(input, SIGNAL(dataReady(QByteArray)), this, SLOT(writeDatagram(QByteArray)));
    connect(input, &AudioInput::deviceMissing, this, &Server::inputDeviceMissing);
}

Server::~Server()
{
    delete socket;
    delete broadcastTimer;
    delete input;
    delete clientList;
}

QHostAddress Server::chooseLocalAddress(const QList<QHostAddress> &addresses)
{
    QHostAddress chosen;
    const QHostAddress localHost(QHostAddress::LocalHost);
    for (const QHostAddress &address : addresses) {
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        if (address == localHost)
            continue;
        if (address.toString().section(".", -1, -1) == "1")
            continue;
        qDebug() << address.toString();
        chosen = address;
    }
    return chosen;
}

void Server::sendUpdate()
{
    if (!socket)
        return;
    // Addresses come and go (a tunnel brought up, a new lease); while audio
    // goes out the sender checks against the current ones at the
    // announcement pace. Asking the system for them costs a dozen system
    // calls, a fifth of what an idle instance spends: none is asked while
    // nothing is sent.
    if (sendingAudio)
        localAddresses = QNetworkInterface::allAddresses();
    const QString status = "update" + broadcastStatus + listeningStatus;
    const QByteArray datagram = Datagram::build(status, QByteArray());
    const qint64 sent = socket->writeDatagram(datagram, QHostAddress(QHostAddress::Broadcast),
                                              Datagram::port);
    qDebug() << "update sent: " << sent;
}

void Server::writeDatagram(QByteArray data)
{
    if (!socket)
        return;
    const QByteArray datagram = Datagram::build(Datagram::audioHeader, data);
    // The row count is read afresh for every row: peers come and go on the
    // main thread while this runs, and a row gone meanwhile reads as null.
    for (int i = 0; i < clientList->rowCount(QModelIndex()); ++i) {
        const QHostAddress address = clientList->getAddressAt(clientList->index(i, 0));
        if (address.isNull() || address == serverIP || localAddresses.contains(address))
            continue;
        socket->writeDatagram(datagram, address, Datagram::port);
    }
}

void Server::startAudioSend()
{
    sendingAudio = true;
    localAddresses = QNetworkInterface::allAddresses();
    input->startAudio();
}

void Server::endAudioSend()
{
    sendingAudio = false;
    input->stopAudio();
}

void Server::changeDevice(QAudioDeviceInfo devinfo)
{
    input->changeDevice(devinfo);
}

void Server::changeDeviceName(QByteArray name)
{
    input->changeDeviceName(name);
}

void Server::updateBroadcast(QString data)
{
    if (data.contains("broadcasting_yes", Qt::CaseSensitive))
        broadcastStatus = ":" + data;
    if (data.contains("broadcasting_no", Qt::CaseSensitive))
        broadcastStatus = ":" + data;
    if (data.contains("listening_yes", Qt::CaseSensitive))
        listeningStatus = ":" + data;
    if (data.contains("listening_no", Qt::CaseSensitive))
        listeningStatus = ":" + data;
}

void Server::setVolume(float volume)
{
    // Each move carries its own value: moves queued while this thread is busy
    // are all applied, in order.
    QMetaObject::invokeMethod(this, "applyVolume", Qt::QueuedConnection, Q_ARG(float, volume));
}

void Server::applyVolume(float volume)
{
    input->setVolume(volume);
}

void Server::returnToMainThread()
{
    broadcastTimer->stop();
    input->closeDown();
    moveToThread(QCoreApplication::instance()->thread());
    Handoff::pass();
}
