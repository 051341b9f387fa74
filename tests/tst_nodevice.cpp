// A machine without capture devices: the window warns once, then comes up
// with only "default" in the device list and works otherwise. The sound
// server is one of this program's own that has no device at all.
// Builds the sender and the receiver: runs only inside the test sandbox.
#include "lib/logcapture.h"
#include "lib/peerview.h"
#include "app/mainwindow.h"
#include "audio/sounddevices.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QBrush>
#include <QComboBox>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <mutex>
#include <QNetworkInterface>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QTableView>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons standardButtons;
    int buttonCount = 0;
    bool modal = false;
    QPointer<QWidget> parent;
    bool parentVisible = true;
};


} // namespace

class tst_NoDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void warnsOnceThenWorks();

private:
    void closeWarningBoxes();

    QList<SeenBox> boxes;
};

void tst_NoDevice::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
    QVERIFY2(SoundDevices::instance()->answering(), "the test's own sound server does not answer");
    QVERIFY2(SoundDevices::instance()->sources().isEmpty(), "the test's own sound server has a device");
    QVERIFY2(!ownAddresses().isEmpty(),
             "no IPv4 address besides loopback: run this test inside the test sandbox");
}

// Stands in for the operator: reads the box and presses its Ok button.
void tst_NoDevice::closeWarningBoxes()
{
    for (QWidget *top : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(top);
        if (!box || !box->isVisible())
            continue;
        SeenBox seen;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.standardButtons = box->standardButtons();
        seen.buttonCount = box->buttons().size();
        seen.modal = box->isModal();
        seen.parent = box->parentWidget();
        seen.parentVisible = box->parentWidget() && box->parentWidget()->isVisible();
        boxes << seen;
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->reject();
    }
}

void tst_NoDevice::warnsOnceThenWorks()
{
    QTimer operatorTimer;
    connect(&operatorTimer, &QTimer::timeout, this, &tst_NoDevice::closeWarningBoxes);
    operatorTimer.start(20);

    auto window = std::make_unique<MainWindow>();
    operatorTimer.stop();

    QCOMPARE(boxes.size(), 1);
    const SeenBox &box = boxes.first();
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text, QStringLiteral("No input device found!"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.standardButtons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.buttonCount, 1);
    QVERIFY(box.modal);
    QCOMPARE(box.parent.data(), static_cast<QWidget *>(window.get()));
    QVERIFY2(!box.parentVisible, "the box comes before the window is shown");

    // The rest of the window is built as usual, "default" standing for
    // whatever the server may offer later.
    auto *devices = window->findChild<QComboBox *>(QStringLiteral("deviceComboBox"));
    QVERIFY(devices);
    QCOMPARE(devices->count(), 1);
    QCOMPARE(devices->itemText(0), QStringLiteral("default"));
    QCOMPARE(devices->currentIndex(), 0);
    QVERIFY(devices->isEnabled());
    QCOMPARE(window->size(), QSize(321, 360));

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    auto *view = window->findChild<QTableView *>(QStringLiteral("clientListTableView"));
    QVERIFY(view);

    // It still announces itself and hears itself.
    QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 2), QColor(Qt::red), 5000);
    QCOMPARE(ownCell(view, 1), QColor(Qt::red));

    auto button = [&](const char *name) {
        return window->findChild<QPushButton *>(QLatin1String(name));
    };
    QTest::mouseClick(button("listenButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 2), QColor(Qt::green), 1000);
    // Broadcasting without a microphone is still announced.
    QTest::mouseClick(button("broadcastButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 1), QColor(Qt::green), 1000);
    QVERIFY(!devices->isEnabled());
    QVERIFY(button("endBroadcastButton")->isEnabled());
    QVERIFY(button("stopListenButton")->isEnabled());

    QTest::mouseClick(button("endBroadcastButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 1), QColor(Qt::red), 1000);
    QVERIFY(devices->isEnabled());
    QCOMPARE(boxes.size(), 1);

    LogCapture recorder;
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QVERIFY2(recorder.warnings().isEmpty(), qPrintable(recorder.warnings().join('\n')));
}

// A PulseAudio server with nothing but its socket: no sink, no source.
static bool startBareServer(QProcess &server, const QString &dir)
{
    QFile conf(dir + QStringLiteral("/pa.conf"));
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    conf.write("load-module module-native-protocol-unix socket=" + QFile::encodeName(dir)
               + "/native auth-anonymous=1\n");
    conf.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir);
    env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), dir);
    env.insert(QStringLiteral("HOME"), dir);
    server.setProcessEnvironment(env);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QStringLiteral("pulseaudio"),
                 {QStringLiteral("-n"), QStringLiteral("-F"), conf.fileName(), QStringLiteral("--daemonize=no"),
                  QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no")});
    if (!server.waitForStarted())
        return false;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000) {
        if (QFile::exists(dir + QStringLiteral("/native"))
            && QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("-s"), dir + QStringLiteral("/native"),
                                                           QStringLiteral("info")}) == 0)
            return true;
        QThread::msleep(20);
    }
    return false;
}

int main(int argc, char *argv[])
{
    QTemporaryDir dir;
    QProcess server;
    if (!dir.isValid() || !startBareServer(server, dir.path())) {
        fprintf(stderr, "the bare PulseAudio server did not come up\n");
        return 1;
    }
    qputenv("PULSE_SERVER", QFile::encodeName(QStringLiteral("unix:") + dir.path() + QStringLiteral("/native")));
    int result;
    {
        QApplication app(argc, argv);
        tst_NoDevice test;
        QTEST_SET_MAIN_SOURCE_PATH
        result = QTest::qExec(&test, argc, argv);
    }
    server.kill();
    server.waitForFinished();
    return result;
}

#include "tst_nodevice.moc"
