#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/statemarkdelegate.h"
#include "audio/sounddevices.h"
#include "model/model.h"
#include "net/client.h"
#include "net/datagram.h"
#include "net/handoff.h"
#include "net/server.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QHostAddress>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QThread>

#include <algorithm>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    ui = new Ui::MainWindow;
    clients = new ClientList(this);
    serverThread = new QThread(this);
    clientThread = new QThread(this);
    // The system shows these names per thread (top -H, /proc/PID/task/*/comm),
    // where both would otherwise read "QThread".
    serverThread->setObjectName(QStringLiteral("sender"));
    clientThread->setObjectName(QStringLiteral("receiver"));
    ui->setupUi(this);
    setFixedSize(size());
    SoundDevices *devices = SoundDevices::instance();
    getDeviceInfo();
    connect(devices, &SoundDevices::sourcesChanged, this, &MainWindow::refreshDevices);
    connect(devices, &SoundDevices::answeringChanged, this, &MainWindow::showSoundServer);
    if (!devices->answering())
        showSoundServer(false);

    server = new Server(clients, nullptr);
    connect(this, SIGNAL(startAudio()), server, SLOT(startAudioSend()));
    connect(this, SIGNAL(endAudio()), server, SLOT(endAudioSend()));
    connect(this, SIGNAL(sendControlString(QString)), server, SLOT(updateBroadcast(QString)));
    connect(this, SIGNAL(deviceChanged(QByteArray)), server, SLOT(changeDevice(QByteArray)));
    connect(server, &Server::inputDeviceMissing, this, &MainWindow::showInputDeviceMissing);

    client = new Client(nullptr);
    if (!client->portBound())
        showPortInUse();
    connect(client, &Client::announcementsReady, this, &MainWindow::processBroadcasts);

    server->moveToThread(serverThread);
    client->moveToThread(clientThread);
    serverThread->start(QThread::InheritPriority);
    clientThread->start(QThread::InheritPriority);

    ui->clientListTableView->setModel(clients);
    ui->clientListTableView->setItemDelegate(new StateMarkDelegate(ui->clientListTableView));
    QHeaderView *header = ui->clientListTableView->horizontalHeader();
    for (int section = 0; section < header->count(); ++section)
        header->setSectionResizeMode(section, QHeaderView::Stretch);

    ui->clientListTableView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->clientListTableView, &QWidget::customContextMenuRequested, this,
            &MainWindow::offerPeerMenu);
    connect(clients, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { remuteReturningPeers(first, last); });
}

MainWindow::~MainWindow()
{
    // Sender and receiver go home to this thread and both threads end before
    // anything is released: a running thread's objects cannot be deleted.
    bringHome(server, serverThread);
    bringHome(client, clientThread);
    // Objects left for deletion later (a closed menu, say): the event loop
    // that would have deleted them has ended.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // An announcement still queued for this window must not reach the peer
    // table once the sender has taken it with it.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);

    delete ui;
    delete serverThread;
    delete clientThread;
    delete server;
    delete client;
}

void MainWindow::bringHome(QObject *worker, QThread *thread)
{
    if (thread->isRunning()) {
        QMetaObject::invokeMethod(worker, "returnToMainThread", Qt::BlockingQueuedConnection);
        thread->quit();
        thread->wait();
    }
    Handoff::pass();
}

void MainWindow::getDeviceInfo()
{
    // A server that answers with no source at all: a machine without capture
    // devices. Where none answers yet, "default" stands until one does.
    SoundDevices *devices = SoundDevices::instance();
    if (devices->answering() && devices->sources().isEmpty()) {
        QMessageBox::warning(this, tr("Error"), tr("No input device found!"), QMessageBox::Ok,
                             QMessageBox::NoButton);
    }
    fillDeviceList();
}

void MainWindow::refreshDevices()
{
    SoundDevices *devices = SoundDevices::instance();
    // While no server answers (restarting, say) the list stays as the server
    // last had it: it is about to come back.
    if (devices->sources().isEmpty() && ui->deviceComboBox->count() > 1)
        return;
    fillDeviceList();
    if (!deviceMissingMessage.isEmpty() && devices->captureDevice(chosenDevice) == chosenDevice) {
        deviceMissingMessage.clear();
        showLasting();
    }
}

void MainWindow::fillDeviceList()
{
    QComboBox *list = ui->deviceComboBox;
    // Rebuilding is no choice of the operator's.
    const QSignalBlocker quiet(list);
    list->clear();
    // The server's own names as item data, under its descriptions.
    list->addItem(QStringLiteral("default"), QByteArrayLiteral("default"));
    for (const SoundDevices::Source &source : SoundDevices::instance()->sources())
        list->addItem(source.description, source.name);
    QStringList names;
    for (int i = 0; i < list->count(); ++i)
        names << QString::fromUtf8(list->itemData(i).toByteArray());
    // The choice shows again once the server offers it again.
    list->setCurrentIndex(qMax(0, names.indexOf(QString::fromUtf8(chosenDevice))));
    qDebug() << "input devices:" << names;
}

void MainWindow::offerPeerMenu(const QPoint &position)
{
    const QModelIndex index = ui->clientListTableView->indexAt(position);
    if (!index.isValid())
        return;
    // By address, not by row: peers come and go above it while the menu is open.
    const QString address = clients->index(index.row(), 0).data(Qt::DisplayRole).toString();
    if (address.isEmpty() || isOwnAddress(address))
        return;
    const bool muted = clients->isMuted(address);
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction *action = menu->addAction(muted ? tr("Unmute") : tr("Mute"));
    connect(action, &QAction::triggered, this,
            [this, address, muted] { setPeerMuted(address, !muted); });
    menu->popup(ui->clientListTableView->viewport()->mapToGlobal(position));
}

void MainWindow::setPeerMuted(const QString &address, bool muted)
{
    if (muted)
        mutedPeers.insert(address);
    else
        mutedPeers.remove(address);
    clients->setMuted(address, muted);
    client->setMuted(address, muted);
    qDebug().noquote() << (muted ? "peer muted:" : "peer unmuted:") << address;
}

void MainWindow::remuteReturningPeers(int first, int last)
{
    for (int row = first; row <= last; ++row) {
        const QString address = clients->index(row, 0).data(Qt::DisplayRole).toString();
        // Sent to the receiver again too, so that its mute never depends on
        // whether it forgot the peer meanwhile.
        if (mutedPeers.contains(address))
            setPeerMuted(address, true);
    }
}

// Asked of the system, not of the sender: its list lives on its thread, and
// a right-click is rare enough to pay for the look-up.
bool MainWindow::isOwnAddress(const QString &address) const
{
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.cbegin(), own.cend(), [&address](const QHostAddress &ownAddress) {
        return Client::addressText(ownAddress) == address;
    });
}

void MainWindow::showSoundServer(bool answering)
{
    if (answering)
        showLasting();
    else
        ui->statusBar->showMessage(tr("No sound server: retrying"));
}

void MainWindow::showPortInUse()
{
    lastingMessage = tr("UDP port %1 is in use: no peers can be heard").arg(Datagram::port);
    qWarning().noquote() << lastingMessage;
    showLasting();
}

void MainWindow::showLasting()
{
    // The device missing is said first: it ends, the port taken does not.
    if (!deviceMissingMessage.isEmpty())
        ui->statusBar->showMessage(deviceMissingMessage);
    else if (!lastingMessage.isEmpty())
        ui->statusBar->showMessage(lastingMessage);
    else
        ui->statusBar->clearMessage();
}

void MainWindow::showInputDeviceMissing(QString device)
{
    deviceMissingMessage = tr("Input device %1 not found: using the default").arg(device);
    showLasting();
}

void MainWindow::processBroadcast(QString address, QString controlString)
{
    clients->processClient(address, controlString);
}

void MainWindow::processBroadcasts()
{
    const Announcements announcements = client->takeAnnouncements();
    for (const auto &announcement : announcements)
        processBroadcast(announcement.first, announcement.second);
}

void MainWindow::on_broadcastButton_clicked()
{
    ui->deviceComboBox->setEnabled(false);
    ui->broadcastButton->setEnabled(false);
    ui->endBroadcastButton->setEnabled(true);
    emit sendControlString("broadcasting_yes");
    emit startAudio();
}

void MainWindow::on_endBroadcastButton_clicked()
{
    ui->deviceComboBox->setEnabled(true);
    ui->broadcastButton->setEnabled(true);
    ui->endBroadcastButton->setEnabled(false);
    emit sendControlString("broadcasting_no");
    emit endAudio();
}

void MainWindow::on_listenButton_clicked()
{
    ui->listenButton->setEnabled(false);
    ui->stopListenButton->setEnabled(true);
    emit sendControlString("listening_yes");
    client->startListen();
}

void MainWindow::on_stopListenButton_clicked()
{
    ui->listenButton->setEnabled(true);
    ui->stopListenButton->setEnabled(false);
    emit sendControlString("listening_no");
    client->endListen();
}

// On every change of value, not only on a drag: the keyboard, the wheel and a
// click beside the handle move a slider without dragging it, and the volume
// must be the one the slider shows. A drag changes the value once per step
// too, so no move is applied twice. The form sets the initial position
// before these are connected, so it is not applied.
void MainWindow::on_outputVolumeControl_valueChanged(int position)
{
    client->setVolume(float(position) / 10.0f);
}

void MainWindow::on_inputVolumeControl_valueChanged(int position)
{
    server->setVolume(float(position) / 10.0f);
}

void MainWindow::on_deviceComboBox_currentIndexChanged(int index)
{
    Q_UNUSED(index)
    const int current = ui->deviceComboBox->currentIndex();
    chosenDevice = ui->deviceComboBox->itemData(current, Qt::UserRole).toByteArray();
    if (!deviceMissingMessage.isEmpty()) {
        deviceMissingMessage.clear();
        showLasting();
    }
    emit deviceChanged(chosenDevice);
}
