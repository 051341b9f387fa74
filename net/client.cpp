#include "net/client.h"

#include "audio/audiooutput.h"
#include "net/datagram.h"
#include "net/handoff.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <utility>

Client::Client(QObject *parent)
    : QObject(parent)
{
    output = new AudioOutput(this);
    socket = new QUdpSocket(this);
    listen = false;
    gatherTimer = new QTimer(this);
    gatherTimer->setSingleShot(true);
    connect(gatherTimer, &QTimer::timeout, this, &Client::reportGathered);
    heldTimer = new QTimer(this);
    heldTimer->setSingleShot(true);
    heldTimer->setTimerType(Qt::PreciseTimer);
    connect(heldTimer, &QTimer::timeout, this, &Client::readPending);
    readBuffer.resize(65536);
    bound = socket->bind(Datagram::port, QAbstractSocket::DefaultForPlatform);
    connect(socket, SIGNAL(readyRead()), this, SLOT(readDatagrams()));
}

Client::~Client()
{
    delete socket;
    delete output;
}

void Client::startListen()
{
    listen = true;
    QMetaObject::invokeMethod(this, "applyListening", Qt::QueuedConnection);
}

void Client::endListen()
{
    listen = false;
    QMetaObject::invokeMethod(this, "applyListening", Qt::QueuedConnection);
}

void Client::applyListening()
{
    output->setListening(listen);
}

void Client::setVolume(float volume)
{
    // Each move carries its own value: moves queued while this thread is busy
    // decoding are all applied and logged, in order.
    QMetaObject::invokeMethod(this, "applyVolume", Qt::QueuedConnection, Q_ARG(float, volume));
}

void Client::applyVolume(float volume)
{
    output->setVolume(volume);
}

void Client::setMuted(const QString &address, bool muted)
{
    QMetaObject::invokeMethod(this, "applyMuted", Qt::QueuedConnection, Q_ARG(QString, address),
                              Q_ARG(bool, muted));
}

void Client::applyMuted(QString address, bool muted)
{
    output->setMuted(address, muted);
}

QString Client::addressText(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4).toString() : address.toString();
}

void Client::readDatagrams()
{
    // Left unread, the socket stops waking this thread until the held read.
    const bool flooded = lastFlood.isValid() && !lastFlood.hasExpired(floodMs);
    if (!listen && !flooded && lastPass.isValid() && !lastPass.hasExpired(gatherMs)) {
        if (!heldTimer->isActive())
            heldTimer->start(int(qMax<qint64>(0, gatherMs - lastPass.elapsed())));
        return;
    }
    readPending();
}

void Client::readPending()
{
    heldTimer->stop();
    lastPass.start();
    // A held pass comes gatherMs after the last one and counts alone.
    if (!span.isValid() || span.elapsed() >= gatherMs) {
        span.start();
        spanDatagrams = 0;
        spanBytes = 0;
    }
    while (socket->hasPendingDatagrams()) {
        QHostAddress sender;
        const qint64 size = socket->readDatagram(readBuffer.data(), readBuffer.size(), &sender);
        if (size < 0)
            continue;
        ++spanDatagrams;
        spanBytes += size;
        const QByteArray datagram(readBuffer.constData(), int(size));

        const Datagram::Message message = Datagram::parse(datagram);
        switch (Datagram::classify(message.header)) {
        case Datagram::Kind::Audio:
            if (listen) {
                // What came before it is reported before it is played.
                if (!gathered.isEmpty())
                    reportGathered();
                output->writeData(addressText(sender), message.payload);
            }
            break;
        case Datagram::Kind::Announcement:
            gathered.append(qMakePair(addressText(sender), message.header));
            // A flood that keeps the socket full must not keep the peer
            // table waiting.
            if (gathered.size() >= gatherLimit)
                reportGathered();
            break;
        case Datagram::Kind::Ignored:
            break;
        }
    }
    if (spanDatagrams >= floodDatagrams || spanBytes >= floodBytes)
        lastFlood.start();
    if (gathered.isEmpty())
        return;
    // The window may end between the check and the timer's start: a
    // negative interval would not start the timer, and the announcements
    // held back would wait for the next pass.
    if (listen || !beforeLastReport.isValid() || beforeLastReport.hasExpired(gatherMs))
        reportGathered();
    else if (!gatherTimer->isActive())
        gatherTimer->start(int(qMax<qint64>(0, gatherMs - beforeLastReport.elapsed())));
}

void Client::reportGathered()
{
    gatherTimer->stop();
    const QVector<QPair<QString, QString>> ready = std::exchange(gathered, {});
    for (const auto &announcement : ready)
        emit clientBroadcastReceived(announcement.first, announcement.second);
    if (!ready.isEmpty()) {
        beforeLastReport = lastReport;
        lastReport.start();
    }
}

void Client::returnToMainThread()
{
    // A timer still running as the object moves is restarted on the main
    // thread through an event that leaks when the object goes first.
    heldTimer->stop();
    gatherTimer->stop();
    output->closeDown();
    moveToThread(QCoreApplication::instance()->thread());
    Handoff::pass();
}
