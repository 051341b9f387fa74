#include "app/singleinstance.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>
#include <QX11Info>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// How long a later start waits for the first instance to take its call and
// hang up; one that is stuck is left as it is.
constexpr int answerMs = 2000;

QString serverName()
{
    // Per network namespace too: the port is the namespace's, and instances
    // in two of them (containers, test sandboxes) are two hosts to the network.
    QString name = QStringLiteral("intercom-%1").arg(::getuid());
    struct stat network;
    if (::stat("/proc/self/ns/net", &network) == 0)
        name += QStringLiteral("-net%1").arg(network.st_ino);
    // The session's own directory where there is one: only its user reaches
    // into it, and it is emptied at logout. Otherwise the temporary one.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? name : runtime + QLatin1Char('/') + name;
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
    , name(serverName())
{
    server = new QLocalServer(this);
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::answer);
}

bool SingleInstance::claim()
{
    if (raiseRunning())
        return false;
    if (server->listen(name))
        return true;
    if (server->serverError() == QAbstractSocket::AddressInUseError) {
        // Another start may have got there since; otherwise the socket was
        // left by an instance that crashed.
        if (raiseRunning())
            return false;
        QLocalServer::removeServer(name);
        if (server->listen(name))
            return true;
    }
    // This instance runs all the same; later starts will not find it.
    qWarning().noquote() << "cannot listen for later starts at" << name + ":"
                         << server->errorString();
    return true;
}

void SingleInstance::setWindow(QWidget *window)
{
    this->window = window;
}

bool SingleInstance::raiseRunning() const
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(answerMs))
        return false;
    // The first instance hangs up once its window is forward.
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(answerMs);
    return true;
}

void SingleInstance::answer()
{
    while (QLocalSocket *caller = server->nextPendingConnection()) {
        // A call during start-up, before the window exists, is answered all
        // the same: the window is about to appear anyway.
        if (window) {
            // Qt stamps its focus request with the time of the last event it
            // saw, and the X server ignores a request older than the last focus
            // change: the window the user took the focus to since would keep it.
            if (QX11Info::isPlatformX11())
                QX11Info::setAppTime(QX11Info::getTimestamp());
            window->showNormal();
            window->raise();
            window->activateWindow();
        }
        caller->disconnectFromServer();
        caller->deleteLater();
    }
}
