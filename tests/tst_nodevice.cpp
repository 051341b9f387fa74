// A machine without capture devices: the window warns once, then comes up
// with an empty device list and works otherwise.
// Qt's audio plugins always offer some capture device here, so this program
// hides them: it searches no plugin directory at all, and finds the offscreen
// platform through QT_QPA_PLATFORM_PLUGIN_PATH instead.
// Builds the sender and the receiver: runs only inside the test sandbox.
#include "lib/logcapture.h"
#include "lib/peerview.h"
#include "app/mainwindow.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QAudioDeviceInfo>
#include <QBrush>
#include <QComboBox>
#include <QLibraryInfo>
#include <QMessageBox>
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
    QVERIFY2(QAudioDeviceInfo::availableDevices(QAudio::AudioInput).isEmpty(),
             "Qt's audio plugins are still within reach: the test cannot take the devices away");
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

    // The rest of the window is built as usual, with an empty device list.
    auto *devices = window->findChild<QComboBox *>(QStringLiteral("deviceComboBox"));
    QVERIFY(devices);
    QCOMPARE(devices->count(), 0);
    QCOMPARE(devices->currentIndex(), -1);
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

int main(int argc, char *argv[])
{
    // The platform plugin is looked for there first; every other plugin
    // directory, the audio plugins' included, is dropped below.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM_PLUGIN_PATH")) {
        qputenv("QT_QPA_PLATFORM_PLUGIN_PATH",
                QFile::encodeName(QLibraryInfo::location(QLibraryInfo::PluginsPath)
                                  + QStringLiteral("/platforms")));
    }
    QCoreApplication::setLibraryPaths(QStringList());
    // Nor does a sound server answer, which would offer its own devices.
    qputenv("PULSE_SERVER", "unix:/nonexistent/native");
    QApplication app(argc, argv);
    tst_NoDevice test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_nodevice.moc"
