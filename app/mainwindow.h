#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <QPoint>
#include <QSet>
#include <QString>

class Client;
class ClientList;
class Server;
class QThread;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

signals:
    void startAudio();
    void endAudio();
    // The sound server's name for the capture device chosen, or "default".
    void deviceChanged(QByteArray device);
    void sendControlString(QString data);

private slots:
    void getDeviceInfo();
    void refreshDevices();
    void showSoundServer(bool answering);
    void showInputDeviceMissing(QString device);
    void processBroadcast(QString address, QString controlString);
    void processBroadcasts();

    void on_listenButton_clicked();
    void on_broadcastButton_clicked();
    void on_stopListenButton_clicked();
    void on_endBroadcastButton_clicked();
    void on_outputVolumeControl_valueChanged(int position);
    void on_inputVolumeControl_valueChanged(int position);
    void on_deviceComboBox_currentIndexChanged(int index);

private:
    void fillDeviceList();
    void offerPeerMenu(const QPoint &position);
    void setPeerMuted(const QString &address, bool muted);
    void remuteReturningPeers(int first, int last);
    bool isOwnAddress(const QString &address) const;
    void showPortInUse();
    // What the status bar shows when nothing newer is to be said.
    void showLasting();
    void bringHome(QObject *worker, QThread *thread);

    Ui::MainWindow *ui = nullptr;
    Client *client = nullptr;
    Server *server = nullptr;
    ClientList *clients = nullptr;
    QThread *serverThread = nullptr;
    QThread *clientThread = nullptr;
    // Outlives the peers' rows while the program runs: a peer that drops out
    // for a moment must not come back at full volume.
    QSet<QString> mutedPeers;
    // A fault that lasts as long as the program: said again once a passing
    // message is over.
    QString lastingMessage;
    // The operator's choice, kept while the server does not offer it, and
    // what the status bar says meanwhile.
    QByteArray chosenDevice = QByteArrayLiteral("default");
    QString deviceMissingMessage;
};

#endif // MAINWINDOW_H
