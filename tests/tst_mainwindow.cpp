// The main window as the operator meets it: the form, the device list, the
// buttons, the peer view filled by the window's own announcements, and a
// shutdown that leaves no thread, timer or socket behind.
// Builds the sender and the receiver: runs only inside the test sandbox.
#include "lib/logcapture.h"
#include "lib/peerview.h"
#include "app/mainwindow.h"
#include "app/screenscaling.h"
#include "audio/sounddevices.h"
#include "model/model.h"

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAccessible>
#include <QApplication>
#include <QBrush>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QFile>
#include <QFontMetrics>
#include <QHeaderView>
#include <QHostAddress>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <mutex>
#include <QNetworkInterface>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionHeader>
#include <QTableView>
#include <QToolBar>
#include <QWindow>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {


struct ButtonStates
{
    bool broadcast;
    bool endBroadcast;
    bool devices;
    bool listen;
    bool stopListen;
};

// A cell as it looks to someone who cannot tell its fill colour from the
// other one: for each pixel, only whether it is the fill colour or not.
QVector<bool> fillMask(const QImage &image, const QRect &cell, const QColor &fill)
{
    QVector<bool> mask;
    for (int y = cell.top(); y <= cell.bottom(); ++y) {
        for (int x = cell.left(); x <= cell.right(); ++x)
            mask << (image.pixel(x, y) == fill.rgb());
    }
    return mask;
}

bool related(QAccessibleInterface *from, QAccessible::Relation kind, QAccessibleInterface *to)
{
    const auto relations = from->relations(kind);
    return std::any_of(relations.cbegin(), relations.cend(),
                       [to](const auto &relation) { return relation.first == to; });
}

// Set in the process of one row of textsFitAtEveryDensity, to its density.
const char densityRowVariable[] = "TST_MAINWINDOW_DPI";

// Starts Xvfb with one screen of exactly `dpi` (five inches square, so that
// its size in whole millimetres gives that density) and returns its display
// name, or an empty one. The lock files in /tmp are shared with other
// namespaces while the display sockets are this namespace's own, so Xvfb's
// own choice of a number could collide: the number is chosen past every lock
// file, and the next one is tried if that server does not come up.
QString startXvfb(QProcess &server, int dpi)
{
    const QString side = QString::number(5 * dpi);
    const QStringList options{
        QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
        QStringLiteral("0"), side + QLatin1Char('x') + side + QStringLiteral("x24"),
        QStringLiteral("-dpi"), QString::number(dpi), QStringLiteral("-nolisten"),
        QStringLiteral("tcp"), QStringLiteral("-nolisten"), QStringLiteral("unix"),
        QStringLiteral("-noreset")};
    server.setStandardErrorFile(QProcess::nullDevice());
    for (int number = 100, tries = 0; tries < 10; ++number) {
        if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
            continue;
        ++tries;
        server.start(QStringLiteral("Xvfb"), QStringList{QStringLiteral(":%1").arg(number)} + options);
        // It writes its number once it takes clients.
        const QDeadlineTimer deadline(10000);
        while (!server.canReadLine() && server.state() != QProcess::NotRunning
               && !deadline.hasExpired())
            server.waitForReadyRead(int(deadline.remainingTime()));
        if (server.canReadLine())
            return QLatin1Char(':') + QString::fromLatin1(server.readLine()).trimmed();
        server.kill();
        server.waitForFinished();
    }
    return QString();
}

const char *const shutdownTroubles[] = {
    "QThread: Destroyed", "Timers cannot be stopped", "Socket notifiers cannot be",
    "QObject::~QObject", "killTimer", "startTimer",
};

} // namespace

Q_DECLARE_METATYPE(ButtonStates)

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void window();
    void textsFitAtEveryDensity_data();
    void textsFitAtEveryDensity();
    void formWidgets_data();
    void formWidgets();
    void labelsAndSliders();
    void keyboardFocusFollowsCreationOrder();
    void barsAreEmpty();
    void screenReadersFindNamesAndLabels_data();
    void screenReadersFindNamesAndLabels();
    void peerViewColumnsShareWidth();
    void deviceListHoldsInputDevices();

    void buttons_data();
    void buttons();
    void buttonSignals_data();
    void buttonSignals();
    void everyMoveOfOutputSliderSetsVolume();
    void choosingDeviceChangesCapture();

    void announcementReachesPeerTable();
    void ownRowShowsOwnState();
    void stateCellsDifferBeyondColour();
    void peerMenuMutesAndUnmutes();

    void shutdownIsClean();
    void shutdownWithAnnouncementsQueued();

private:
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<LogCapture> recorder;
    // A modal box in the constructor would hang the test: close any that
    // comes up, and count it.
    QTimer boxCloser;
    int boxesClosed = 0;
};

void tst_MainWindow::initTestCase()
{
    connect(&boxCloser, &QTimer::timeout, this, [this] {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(top)) {
                if (box->isVisible()) {
                    ++boxesClosed;
                    box->done(QMessageBox::Ok);
                }
            }
        }
    });
    boxCloser.start(50);
    QVERIFY2(!ownAddresses().isEmpty(),
             "no IPv4 address besides loopback: run this test inside the test sandbox");
}

// Checks that only look at the window share one: building a window probes
// every audio device, which is slow under the sanitizers.
static bool leavesWindowAsItWas(const char *testFunction)
{
    static const QSet<QByteArray> lookOnly{
        "formWidgets", "labelsAndSliders", "barsAreEmpty", "peerViewColumnsShareWidth",
        "deviceListHoldsInputDevices", "screenReadersFindNamesAndLabels"};
    return lookOnly.contains(testFunction);
}

void tst_MainWindow::init()
{
    recorder = std::make_unique<LogCapture>();
    if (!window_ || !leavesWindowAsItWas(QTest::currentTestFunction())) {
        window_.reset();
        boxesClosed = 0;
        window_ = std::make_unique<MainWindow>();
    }
}

void tst_MainWindow::cleanup()
{
    if (!leavesWindowAsItWas(QTest::currentTestFunction()))
        window_.reset();
    recorder.reset();
}

void tst_MainWindow::window()
{
    MainWindow *w = window_.get();
    QCOMPARE(w->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w->windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(w->size(), QSize(321, 360));
    QCOMPARE(w->minimumSize(), QSize(321, 360));
    QCOMPARE(w->maximumSize(), QSize(321, 360));

    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QCOMPARE(w->size(), QSize(321, 360));
    w->resize(600, 500);
    QCOMPARE(w->size(), QSize(321, 360));

    QCOMPARE(w->centralWidget(), widget<QWidget>(w, "centralWidget"));
    QCOMPARE(w->menuBar(), widget<QMenuBar>(w, "menuBar"));
    QCOMPARE(w->statusBar(), widget<QStatusBar>(w, "statusBar"));
}

void tst_MainWindow::textsFitAtEveryDensity_data()
{
    QTest::addColumn<int>("dpi");

    // 100 %, 125 %, 150 % and 200 %: a desktop's usual text sizes, and
    // screens of those densities.
    for (const int dpi : {96, 120, 144, 192})
        QTest::newRow(qPrintable(QStringLiteral("%1 dpi").arg(dpi))) << dpi;
}

// Every text of the form is whole on screen, however dense the screen or
// large the desktop's text: the window keeps its size in device-independent
// pixels and is drawn larger.
void tst_MainWindow::textsFitAtEveryDensity()
{
    QFETCH(int, dpi);

    if (qEnvironmentVariableIntValue(densityRowVariable) != dpi) {
        // The toolkit reads the screen's density once, before the application
        // object exists: the row runs in a process of its own, started as the
        // program is, on an X server whose screen has that density. Its
        // window is the only one on the port.
        window_.reset();
        QProcess server;
        const auto stopServer = qScopeGuard([&server] {
            server.kill();
            server.waitForFinished();
        });
        const QString display = startXvfb(server, dpi);
        QVERIFY2(!display.isEmpty(), "Xvfb did not start");

        QProcess row;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QLatin1String(densityRowVariable), QString::number(dpi));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("DISPLAY"), display);
        // As the program has it: no OpenGL stack, whose leaks at unload would
        // be reported under the leak checker.
        environment.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
        row.setProcessEnvironment(environment);
        row.setProcessChannelMode(QProcess::MergedChannels);
        row.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("textsFitAtEveryDensity:") + QLatin1String(QTest::currentDataTag())});
        const bool finished = row.waitForFinished(120000);
        if (!finished) {
            row.kill();
            row.waitForFinished();
        }
        const QString output = QString::fromLocal8Bit(row.readAll());
        QVERIFY2(finished, qPrintable("the row's process did not end within 120 s:\n" + output));
        QVERIFY2(row.exitStatus() == QProcess::NormalExit && row.exitCode() == 0,
                 qPrintable("the row's process failed:\n" + output));
        return;
    }

    MainWindow *w = window_.get();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QCOMPARE(w->size(), QSize(321, 360));

    QStringList cut;
    auto fits = [&cut](const QString &what, const QString &text, const QFontMetrics &metrics,
                       int room) {
        const int needed = metrics.horizontalAdvance(text);
        if (needed > room)
            cut << QStringLiteral("%1 \"%2\" needs %3 px, has %4")
                       .arg(what, text).arg(needed).arg(room);
    };
    for (const QLabel *label : w->findChildren<QLabel *>())
        fits(label->objectName(), label->text(), label->fontMetrics(), label->contentsRect().width());
    // A button's text has what its frame leaves, as the style draws it.
    for (QPushButton *button : w->findChildren<QPushButton *>()) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect room =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        fits(button->objectName(), button->text(), button->fontMetrics(), room.width());
    }
    QHeaderView *header = widget<QTableView>(w, "clientListTableView")->horizontalHeader();
    QTRY_VERIFY(header->length() >= header->viewport()->width() - 1);
    for (int section = 0; section < header->count(); ++section) {
        QStyleOptionHeader option;
        option.initFrom(header);
        option.rect = QRect(header->sectionViewportPosition(section), 0, header->sectionSize(section),
                            header->height());
        const QRect room = header->style()->subElementRect(QStyle::SE_HeaderLabel, &option, header);
        fits(QStringLiteral("header section %1").arg(section),
             header->model()->headerData(section, Qt::Horizontal).toString(), header->fontMetrics(),
             room.width());
    }
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
    // They fit because the whole window is drawn that much larger.
    QCOMPARE(w->windowHandle()->devicePixelRatio(), dpi / 96.0);
}

void tst_MainWindow::formWidgets_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<bool>("onCentralWidget");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");

    auto row = [](const char *name, const char *className, bool central, QRect geometry,
                  const char *text, bool enabled) {
        QTest::newRow(name) << QString::fromLatin1(className) << central << geometry
                            << QString::fromLatin1(text) << enabled;
    };
    // The window places the centre widget, the tool bar and the status bar itself.
    row("centralWidget", "QWidget", false, QRect(), "", true);
    row("broadcastButton", "QPushButton", true, QRect(0, 160, 121, 32), "broadcast", true);
    row("listenButton", "QPushButton", true, QRect(200, 160, 115, 32), "listen", true);
    row("outputVolumeControl", "QSlider", true, QRect(170, 250, 141, 21), "", true);
    row("deviceComboBox", "QComboBox", true, QRect(170, 220, 141, 26), "", true);
    row("stopListenButton", "QPushButton", true, QRect(200, 190, 115, 32), "stop listen", false);
    row("endBroadcastButton", "QPushButton", true, QRect(0, 190, 121, 32), "end broadcast", false);
    row("label", "QLabel", true, QRect(10, 0, 131, 16), "Network Clients", true);
    row("label_2", "QLabel", true, QRect(50, 220, 101, 21), "Input Device:", true);
    row("label_3", "QLabel", true, QRect(50, 250, 101, 20), "Output Volume:", true);
    row("label_4", "QLabel", true, QRect(50, 280, 101, 20), "Mic Volume:", true);
    row("inputVolumeControl", "QSlider", true, QRect(170, 280, 141, 21), "", true);
    row("clientListTableView", "QTableView", true, QRect(10, 20, 301, 131), "", true);
    row("menuBar", "QMenuBar", false, QRect(0, 0, 321, 22), "", true);
    row("mainToolBar", "QToolBar", false, QRect(), "", true);
    row("statusBar", "QStatusBar", false, QRect(), "", true);
}

void tst_MainWindow::formWidgets()
{
    QFETCH(QString, className);
    QFETCH(bool, onCentralWidget);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(bool, enabled);

    MainWindow *w = window_.get();
    const QByteArray name = QTest::currentDataTag();
    QWidget *found = widget<QWidget>(w, name.constData());
    QVERIFY2(found, "expected exactly one widget named " + name);
    QCOMPARE(QString::fromLatin1(found->metaObject()->className()), className);
    QWidget *expectedParent = onCentralWidget ? w->centralWidget() : w;
    QCOMPARE(found->parentWidget(), expectedParent);
    if (geometry.isValid())
        QCOMPARE(found->geometry(), geometry);
    QCOMPARE(found->isEnabled(), enabled);

    if (auto *button = qobject_cast<QAbstractButton *>(found)) {
        QCOMPARE(button->text(), text);
        QVERIFY(!button->isCheckable());
        QVERIFY(!static_cast<QPushButton *>(button)->isFlat());
    } else if (auto *label = qobject_cast<QLabel *>(found)) {
        QCOMPARE(label->text(), text);
    } else {
        QVERIFY(text.isEmpty());
    }
}

void tst_MainWindow::labelsAndSliders()
{
    MainWindow *w = window_.get();
    for (const char *name : {"label_2", "label_3", "label_4"}) {
        QLabel *label = widget<QLabel>(w, name);
        QVERIFY(label);
        QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);
    }
    QCOMPARE(widget<QLabel>(w, "label")->alignment(), Qt::AlignLeft | Qt::AlignVCenter);

    for (const char *name : {"outputVolumeControl", "inputVolumeControl"}) {
        QSlider *slider = widget<QSlider>(w, name);
        QVERIFY(slider);
        QCOMPARE(slider->value(), 80);
        QCOMPARE(slider->orientation(), Qt::Horizontal);
        QCOMPARE(slider->minimum(), 0);
        QCOMPARE(slider->maximum(), 99);
    }
}

void tst_MainWindow::keyboardFocusFollowsCreationOrder()
{
    QWidget *central = window_->centralWidget();
    QVERIFY(central);
    QStringList created;
    for (QObject *child : central->children()) {
        if (child->isWidgetType())
            created << child->objectName();
    }
    const QStringList expectedCreated{
        "broadcastButton", "listenButton", "outputVolumeControl", "deviceComboBox",
        "stopListenButton", "endBroadcastButton", "label", "label_2", "label_3", "label_4",
        "inputVolumeControl", "clientListTableView",
    };
    QCOMPARE(created, expectedCreated);

    // Tab skips the labels and the disabled buttons.
    QStringList tabOrder;
    for (QWidget *next = central->nextInFocusChain(); next != central;
         next = next->nextInFocusChain()) {
        if (next->parentWidget() == central && next->isEnabled()
            && (next->focusPolicy() & Qt::TabFocus))
            tabOrder << next->objectName();
    }
    const QStringList expectedTabOrder{
        "broadcastButton", "listenButton", "outputVolumeControl", "deviceComboBox",
        "inputVolumeControl", "clientListTableView",
    };
    QCOMPARE(tabOrder, expectedTabOrder);
}

void tst_MainWindow::barsAreEmpty()
{
    MainWindow *w = window_.get();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));

    QMenuBar *menuBar = widget<QMenuBar>(w, "menuBar");
    QVERIFY(menuBar);
    QVERIFY(menuBar->actions().isEmpty());

    QToolBar *toolBar = widget<QToolBar>(w, "mainToolBar");
    QVERIFY(toolBar);
    QCOMPARE(w->toolBarArea(toolBar), Qt::TopToolBarArea);
    QVERIFY(toolBar->actions().isEmpty());

    QStatusBar *statusBar = widget<QStatusBar>(w, "statusBar");
    QVERIFY(statusBar);
    QVERIFY(statusBar->currentMessage().isEmpty());
    // Operating the controls never writes to it.
    QTest::mouseClick(widget<QPushButton>(w, "broadcastButton"), Qt::LeftButton);
    QTest::mouseClick(widget<QPushButton>(w, "listenButton"), Qt::LeftButton);
    QVERIFY(statusBar->currentMessage().isEmpty());
}

void tst_MainWindow::screenReadersFindNamesAndLabels_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("pointsBackToLabel");

    // The table view answers for its name only; it names no label of its own.
    QTest::newRow("peer view") << "label" << "clientListTableView" << "Network Clients" << false;
    // On this desktop a list is named by its current entry; its label reaches
    // a screen reader through the relation.
    QTest::newRow("device list") << "label_2" << "deviceComboBox" << "" << true;
    QTest::newRow("output volume") << "label_3" << "outputVolumeControl" << "Output Volume" << true;
    QTest::newRow("mic volume") << "label_4" << "inputVolumeControl" << "Mic Volume" << true;
}

// What a screen reader gets through the toolkit's accessibility bridge.
void tst_MainWindow::screenReadersFindNamesAndLabels()
{
    QFETCH(QString, label);
    QFETCH(QString, control);
    QFETCH(QString, name);
    QFETCH(bool, pointsBackToLabel);

    MainWindow *w = window_.get();
    QLabel *labelWidget = widget<QLabel>(w, label.toLatin1().constData());
    QWidget *controlWidget = widget<QWidget>(w, control.toLatin1().constData());
    QVERIFY(labelWidget && controlWidget);
    QCOMPARE(labelWidget->buddy(), controlWidget);

    QAccessibleInterface *labelFace = QAccessible::queryAccessibleInterface(labelWidget);
    QAccessibleInterface *controlFace = QAccessible::queryAccessibleInterface(controlWidget);
    QVERIFY(labelFace && controlFace);
    if (!name.isEmpty())
        QCOMPARE(controlFace->text(QAccessible::Name), name);
    QVERIFY2(related(labelFace, QAccessible::Labelled, controlFace),
             qPrintable(label + " does not say that it labels " + control));
    if (pointsBackToLabel)
        QVERIFY2(related(controlFace, QAccessible::Label, labelFace),
                 qPrintable(control + " does not say that " + label + " labels it"));
}

void tst_MainWindow::peerViewColumnsShareWidth()
{
    MainWindow *w = window_.get();
    QTableView *view = widget<QTableView>(w, "clientListTableView");
    QVERIFY(view);
    QVERIFY(view->model());
    QHeaderView *header = view->horizontalHeader();
    QCOMPARE(header->count(), 3);
    for (int section = 0; section < 3; ++section)
        QCOMPARE(header->sectionResizeMode(section), QHeaderView::Stretch);
    QCOMPARE(view->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("IP"));

    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_VERIFY(header->length() >= header->viewport()->width() - 1);
    const int first = header->sectionSize(0);
    for (int section = 1; section < 3; ++section)
        QVERIFY2(qAbs(header->sectionSize(section) - first) <= 1,
                 qPrintable(QStringLiteral("section %1 is %2 px wide, section 0 %3 px")
                                .arg(section).arg(header->sectionSize(section)).arg(first)));
}

void tst_MainWindow::deviceListHoldsInputDevices()
{
    // The server's own sources under its descriptions, after "default", each
    // holding the server's name for it.
    const QList<SoundDevices::Source> sources = SoundDevices::instance()->sources();
    QVERIFY2(!sources.isEmpty(), "the test's PulseAudio server offers no capture device");

    QComboBox *list = widget<QComboBox>(window_.get(), "deviceComboBox");
    QVERIFY(list);
    QCOMPARE(list->count(), sources.size() + 1);
    QCOMPARE(list->currentIndex(), 0);
    QCOMPARE(list->itemText(0), QStringLiteral("default"));
    for (int i = 0; i < sources.size(); ++i) {
        const SoundDevices::Source &source = sources.at(i);
        QCOMPARE(list->itemText(i + 1), source.description);
        const QVariant data = list->itemData(i + 1, Qt::UserRole);
        QCOMPARE(data.userType(), int(QMetaType::QByteArray));
        QCOMPARE(data.toByteArray(), source.name);
        if (i > 0)
            QVERIFY2(!sources.at(i - 1).monitor || source.monitor, "a microphone after a monitor");
    }
    // There are devices, so no warning box came up.
    QCOMPARE(boxesClosed, 0);
}

void tst_MainWindow::buttons_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<ButtonStates>("states");

    // broadcast, end broadcast, device list, listen, stop listen
    QTest::newRow("at start") << QStringList{} << ButtonStates{true, false, true, true, false};
    QTest::newRow("broadcast") << QStringList{"broadcastButton"}
                               << ButtonStates{false, true, false, true, false};
    QTest::newRow("broadcast, end")
        << QStringList{"broadcastButton", "endBroadcastButton"}
        << ButtonStates{true, false, true, true, false};
    QTest::newRow("listen") << QStringList{"listenButton"}
                            << ButtonStates{true, false, true, false, true};
    QTest::newRow("listen, stop") << QStringList{"listenButton", "stopListenButton"}
                                  << ButtonStates{true, false, true, true, false};
    QTest::newRow("broadcast, listen") << QStringList{"broadcastButton", "listenButton"}
                                       << ButtonStates{false, true, false, false, true};
    QTest::newRow("listen, broadcast, stop listen")
        << QStringList{"listenButton", "broadcastButton", "stopListenButton"}
        << ButtonStates{false, true, false, true, false};
    QTest::newRow("broadcast, listen, end broadcast")
        << QStringList{"broadcastButton", "listenButton", "endBroadcastButton"}
        << ButtonStates{true, false, true, false, true};
    QTest::newRow("disabled buttons do nothing")
        << QStringList{"endBroadcastButton", "stopListenButton"}
        << ButtonStates{true, false, true, true, false};
    QTest::newRow("second broadcast click does nothing")
        << QStringList{"broadcastButton", "broadcastButton"}
        << ButtonStates{false, true, false, true, false};
    QTest::newRow("twice round both")
        << QStringList{"broadcastButton", "listenButton", "endBroadcastButton",
                       "stopListenButton", "listenButton", "broadcastButton"}
        << ButtonStates{false, true, false, false, true};
}

void tst_MainWindow::buttons()
{
    QFETCH(QStringList, clicks);
    QFETCH(ButtonStates, states);

    MainWindow *w = window_.get();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    for (const QString &name : qAsConst(clicks)) {
        QPushButton *button = widget<QPushButton>(w, name.toLatin1().constData());
        QVERIFY(button);
        QTest::mouseClick(button, Qt::LeftButton);
    }

    QCOMPARE(widget<QPushButton>(w, "broadcastButton")->isEnabled(), states.broadcast);
    QCOMPARE(widget<QPushButton>(w, "endBroadcastButton")->isEnabled(), states.endBroadcast);
    QCOMPARE(widget<QComboBox>(w, "deviceComboBox")->isEnabled(), states.devices);
    QCOMPARE(widget<QPushButton>(w, "listenButton")->isEnabled(), states.listen);
    QCOMPARE(widget<QPushButton>(w, "stopListenButton")->isEnabled(), states.stopListen);
    QVERIFY(widget<QSlider>(w, "outputVolumeControl")->isEnabled());
    QVERIFY(widget<QSlider>(w, "inputVolumeControl")->isEnabled());
}

void tst_MainWindow::buttonSignals_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("emitted");

    QTest::newRow("broadcast") << "broadcastButton"
                               << QStringList{"sendControlString broadcasting_yes", "startAudio"};
    QTest::newRow("end broadcast")
        << "endBroadcastButton" << QStringList{"sendControlString broadcasting_no", "endAudio"};
    QTest::newRow("listen") << "listenButton" << QStringList{"sendControlString listening_yes"};
    QTest::newRow("stop listen")
        << "stopListenButton" << QStringList{"sendControlString listening_no"};
}

void tst_MainWindow::buttonSignals()
{
    QFETCH(QString, button);
    QFETCH(QStringList, emitted);

    MainWindow *w = window_.get();
    // Bring the button under test into its enabled state first.
    if (button == QLatin1String("endBroadcastButton"))
        widget<QPushButton>(w, "broadcastButton")->click();
    if (button == QLatin1String("stopListenButton"))
        widget<QPushButton>(w, "listenButton")->click();

    QStringList seen;
    connect(w, &MainWindow::sendControlString, this,
            [&seen](const QString &word) { seen << "sendControlString " + word; });
    connect(w, &MainWindow::startAudio, this, [&seen] { seen << "startAudio"; });
    connect(w, &MainWindow::endAudio, this, [&seen] { seen << "endAudio"; });
    connect(w, &MainWindow::deviceChanged, this, [&seen] { seen << "deviceChanged"; });

    widget<QPushButton>(w, button.toLatin1().constData())->click();
    QCOMPARE(seen, emitted);
    disconnect(w, nullptr, this, nullptr);
}

void tst_MainWindow::everyMoveOfOutputSliderSetsVolume()
{
    MainWindow *w = window_.get();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QSlider *output = widget<QSlider>(w, "outputVolumeControl");
    QVERIFY(output);
    auto volumeLines = [this] {
        QStringList lines;
        for (const QString &line : recorder->debugLines()) {
            if (line.startsWith(QLatin1String("output volume set to:")))
                lines << line;
        }
        return lines;
    };

    // Each way a person moves the slider. The position divided by ten reaches
    // playback on the receiver's thread, once per move; the initial position
    // is never sent.
    output->setFocus();
    QTest::keyClick(output, Qt::Key_Left);
    QCOMPARE(output->value(), 79);

    // One notch of the wheel: three steps up.
    const QPoint middle = output->rect().center();
    QWheelEvent notch(middle, output->mapToGlobal(middle), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(output, &notch);
    QCOMPARE(output->value(), 82);

    // Beside the handle, at the left end of the groove: one page down.
    QTest::mouseClick(output, Qt::LeftButton, Qt::NoModifier, QPoint(3, output->height() / 2));
    QCOMPARE(output->value(), 72);

    // A drag, as the handle reports it.
    output->setSliderDown(true);
    output->setSliderPosition(5);
    output->setSliderDown(false);
    QCOMPARE(output->value(), 5);

    // The keyboard again, to the end: a move applied twice on the way would
    // show before this one.
    QTest::keyClick(output, Qt::Key_End);
    QCOMPARE(output->value(), 99);

    const QStringList expected{
        "output volume set to: 7.9", "output volume set to: 8.2", "output volume set to: 7.2",
        "output volume set to: 0.5", "output volume set to: 9.9"};
    QTRY_COMPARE(volumeLines(), expected);
}

void tst_MainWindow::choosingDeviceChangesCapture()
{
    MainWindow *w = window_.get();
    QComboBox *list = widget<QComboBox>(w, "deviceComboBox");
    QVERIFY(list);
    if (list->count() < 2)
        QSKIP("needs two capture devices");
    QSignalSpy changed(w, &MainWindow::deviceChanged);
    recorder->clear();

    list->setCurrentIndex(1);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toByteArray(), list->itemData(1).toByteArray());
    // Capture restarts on the sender's thread.
    QTRY_VERIFY(recorder->debugLines().contains(QStringLiteral("device started")));

    // Choosing the entry that is already current does nothing.
    list->setCurrentIndex(1);
    QCOMPARE(changed.count(), 1);

    // The capture object replaced goes home to this thread to be stopped and
    // destroyed there: let that happen, then nothing may have gone wrong.
    list->setCurrentIndex(0);
    QTRY_COMPARE(recorder->debugLines().count(QStringLiteral("device started")), 2);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const LogCapture::Message &message : recorder->messages())
        QVERIFY2(message.type == QtDebugMsg || message.type == QtInfoMsg, qPrintable(message.text));
}

void tst_MainWindow::announcementReachesPeerTable()
{
    MainWindow *w = window_.get();
    QTableView *view = widget<QTableView>(w, "clientListTableView");
    QAbstractItemModel *model = view->model();
    QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);

    // As the receiver delivers it: the sender's address first, then the status string.
    QVERIFY(QMetaObject::invokeMethod(w, "processBroadcast",
                                      Q_ARG(QString, QStringLiteral("10.99.0.7")),
                                      Q_ARG(QString, QStringLiteral("update:broadcasting_yes:listening_no"))));

    QVERIFY(inserted.count() >= 1);
    int row = -1;
    for (int r = 0; r < model->rowCount(); ++r) {
        if (model->index(r, 0).data().toString() == QLatin1String("10.99.0.7"))
            row = r;
    }
    QVERIFY(row >= 0);
    QCOMPARE(model->index(row, 1).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(Qt::green));
    QCOMPARE(model->index(row, 2).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(Qt::red));
    QVERIFY(recorder->debugLines().contains(
        QStringLiteral(R"(control string:  "update:broadcasting_yes:listening_no")")));
}

void tst_MainWindow::ownRowShowsOwnState()
{
    MainWindow *w = window_.get();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTableView *view = widget<QTableView>(w, "clientListTableView");
    QSignalSpy removed(view->model(), &QAbstractItemModel::rowsRemoved);

    // The window hears its own announcements: its row appears, red and red.
    QTRY_VERIFY_WITH_TIMEOUT(ownRow(view) >= 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 1), QColor(Qt::red), 1000);
    QCOMPARE(ownCell(view, 2), QColor(Qt::red));

    QTest::mouseClick(widget<QPushButton>(w, "listenButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 2), QColor(Qt::green), 1000);
    QCOMPARE(ownCell(view, 1), QColor(Qt::red));

    QTest::mouseClick(widget<QPushButton>(w, "broadcastButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 1), QColor(Qt::green), 1000);
    QCOMPARE(ownCell(view, 2), QColor(Qt::green));

    QTest::mouseClick(widget<QPushButton>(w, "stopListenButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 2), QColor(Qt::red), 1000);
    QCOMPARE(ownCell(view, 1), QColor(Qt::green));

    QTest::mouseClick(widget<QPushButton>(w, "endBroadcastButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 1), QColor(Qt::red), 1000);

    // Announced ten times a second, the own row is never forgotten, and it
    // is the only one: nothing else is on this network.
    QCOMPARE(removed.count(), 0);
    QCOMPARE(view->model()->rowCount(), 1);
}

void tst_MainWindow::stateCellsDifferBeyondColour()
{
    MainWindow *w = window_.get();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTableView *view = widget<QTableView>(w, "clientListTableView");
    QAbstractItemModel *model = view->model();
    QVERIFY(QMetaObject::invokeMethod(w, "processBroadcast",
                                      Q_ARG(QString, QStringLiteral("10.99.0.7")),
                                      Q_ARG(QString, QStringLiteral("update:broadcasting_yes:listening_no"))));
    QVERIFY(QMetaObject::invokeMethod(w, "processBroadcast",
                                      Q_ARG(QString, QStringLiteral("10.99.0.8")),
                                      Q_ARG(QString, QStringLiteral("update:broadcasting_no:listening_yes"))));
    // The view lays the new rows out.
    QCoreApplication::processEvents();
    const int first = rowOf(model, {QStringLiteral("10.99.0.7")});
    const int second = rowOf(model, {QStringLiteral("10.99.0.8")});
    QVERIFY(first >= 0 && second >= 0);
    const QImage shot = view->viewport()->grab().toImage();

    // On and off in the same column: cells of one size and place across, so
    // the same drawing on both would give the same mask.
    struct Cells { int column; int on; int off; };
    for (const Cells &cells : {Cells{1, first, second}, Cells{2, second, first}}) {
        const QRect on = view->visualRect(model->index(cells.on, cells.column));
        const QRect off = view->visualRect(model->index(cells.off, cells.column));
        QVERIFY(!on.isEmpty());
        QCOMPARE(on.size(), off.size());
        QVERIFY2(shot.rect().contains(on) && shot.rect().contains(off), "a cell is out of sight");
        const QVector<bool> onMask = fillMask(shot, on, Qt::green);
        const QVector<bool> offMask = fillMask(shot, off, Qt::red);
        const QByteArray column = QByteArray::number(cells.column);
        QVERIFY2(onMask.contains(true) && offMask.contains(true),
                 "column " + column + ": a cell is not filled with its colour");
        QVERIFY2(onMask.contains(false), "column " + column + ": the on cell is only green");
        QVERIFY2(offMask.contains(false), "column " + column + ": the off cell is only red");
        QVERIFY2(onMask != offMask,
                 "column " + column + ": on and off cells look the same without their colours");
    }

    // And a screen reader reads them out.
    QAccessibleInterface *table = QAccessible::queryAccessibleInterface(view);
    QVERIFY(table && table->tableInterface());
    auto spoken = [table](int row, int column) {
        QAccessibleInterface *cell = table->tableInterface()->cellAt(row, column);
        return cell ? cell->text(QAccessible::Name) : QString();
    };
    QCOMPARE(spoken(first, 1), QStringLiteral("broadcasting"));
    QCOMPARE(spoken(first, 2), QStringLiteral("not listening"));
    QCOMPARE(spoken(second, 1), QStringLiteral("not broadcasting"));
    QCOMPARE(spoken(second, 2), QStringLiteral("listening"));
}

void tst_MainWindow::peerMenuMutesAndUnmutes()
{
    MainWindow *w = window_.get();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTableView *view = widget<QTableView>(w, "clientListTableView");
    QAbstractItemModel *model = view->model();
    QTRY_VERIFY_WITH_TIMEOUT(ownRow(view) >= 0, 5000);

    // Peers that announce themselves as real ones do, until told to stop.
    const QString peer = QStringLiteral("10.99.0.7");
    const QString newcomer = QStringLiteral("10.99.0.8");
    QStringList present{peer};
    auto announce = [w, &present] {
        for (const QString &address : qAsConst(present))
            QMetaObject::invokeMethod(w, "processBroadcast", Q_ARG(QString, address),
                                      Q_ARG(QString, QStringLiteral("update:broadcasting_no:listening_no")));
    };
    QTimer announcer;
    connect(&announcer, &QTimer::timeout, this, announce);
    announce();
    announcer.start(100);

    auto row = [model](const QString &address) { return rowOf(model, {address}); };
    auto menuAt = [view, model](int row, int column) {
        const QPoint at = view->visualRect(model->index(row, column)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &event);
        return QPointer<QMenu>(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
    };
    auto offered = [](QMenu *menu) {
        QStringList texts;
        for (const QAction *action : menu->actions())
            texts << action->text();
        return texts;
    };
    // As a person does it: a click on the entry, which closes the menu.
    auto pick = [](QMenu *menu) {
        QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier,
                          menu->actionGeometry(menu->actions().first()).center());
    };
    // What a screen reader hears of a peer's address cell: its name, then
    // its description. Without a reader attached the toolkit does not tell
    // the accessible table that rows moved, and its cells stay on the rows
    // first asked for: a table made afresh reads as an attached one would.
    auto spoken = [view, &row](const QString &address) {
        if (QAccessibleInterface *stale = QAccessible::queryAccessibleInterface(view))
            QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(stale));
        QAccessibleInterface *table = QAccessible::queryAccessibleInterface(view);
        QAccessibleInterface *cell =
            table && table->tableInterface() ? table->tableInterface()->cellAt(row(address), 0) : nullptr;
        return cell ? QStringList{cell->text(QAccessible::Name), cell->text(QAccessible::Description)}
                    : QStringList();
    };
    auto looks = [view, model](int row) {
        QCoreApplication::processEvents();
        const QRect cell = view->visualRect(model->index(row, 0));
        return view->viewport()->grab().toImage().copy(cell);
    };
    // Where the first dark pixel is, from the left: where a cell's drawing begins.
    auto firstInk = [](const QImage &image) {
        for (int x = 0; x < image.width(); ++x) {
            for (int y = 0; y < image.height(); ++y) {
                if (qGray(image.pixel(x, y)) < 128)
                    return x;
            }
        }
        return image.width();
    };
    auto mutedLines = [this, &peer](const QString &word) {
        return recorder->debugLines().count(word + QStringLiteral(": ") + peer);
    };

    // This instance's own row has nothing to offer, in any column.
    for (int column = 0; column < 3; ++column)
        QVERIFY2(!menuAt(ownRow(view), column), qPrintable(QStringLiteral("column %1").arg(column)));

    QVERIFY(row(peer) >= 0);
    const QImage unmuted = looks(row(peer));
    QCOMPARE(spoken(peer), (QStringList{peer, QString()}));

    // A newcomer takes the top row while the menu is open: the peer chosen
    // is the one clicked, not whoever holds its row by then.
    QPointer<QMenu> menu = menuAt(row(peer), 1);
    present << newcomer;
    announce();
    QVERIFY(row(newcomer) >= 0);
    QVERIFY(menu);
    QCOMPARE(offered(menu), QStringList{QStringLiteral("Mute")});
    pick(menu);
    QTRY_VERIFY(!QApplication::activePopupWidget());
    QVERIFY(model->index(row(peer), 0).data(ClientList::MutedRole).toBool());
    QVERIFY(!model->index(row(newcomer), 0).data(ClientList::MutedRole).toBool());
    QVERIFY(!model->index(ownRow(view), 0).data(ClientList::MutedRole).toBool());
    QCOMPARE(model->index(row(peer), 0).data(Qt::DisplayRole).toString(), peer);
    QCOMPARE(spoken(peer), (QStringList{peer, QStringLiteral("muted")}));
    QCOMPARE(spoken(newcomer), (QStringList{newcomer, QString()}));
    QCOMPARE(mutedLines("peer muted"), 1);
    QVERIFY2(firstInk(looks(row(peer))) < firstInk(unmuted),
             "nothing is drawn before a muted peer's address");

    // Gone for a moment and back: still muted, here and at the receiver.
    present.removeAll(peer);
    QTRY_VERIFY_WITH_TIMEOUT(row(peer) < 0, 2000);
    present << peer;
    QTRY_VERIFY_WITH_TIMEOUT(row(peer) >= 0, 2000);
    QVERIFY(model->index(row(peer), 0).data(ClientList::MutedRole).toBool());
    QCOMPARE(spoken(peer), (QStringList{peer, QStringLiteral("muted")}));
    QCOMPARE(mutedLines("peer muted"), 2);

    menu = menuAt(row(peer), 0);
    QVERIFY(menu);
    QCOMPARE(offered(menu), QStringList{QStringLiteral("Unmute")});
    pick(menu);
    QTRY_VERIFY(!QApplication::activePopupWidget());
    QVERIFY(!model->index(row(peer), 0).data(ClientList::MutedRole).toBool());
    QCOMPARE(spoken(peer), (QStringList{peer, QString()}));
    QCOMPARE(mutedLines("peer unmuted"), 1);
    QVERIFY2(looks(row(peer)) == unmuted, "an unmuted peer's address still bears a mark");

    // Unmuted stays unmuted across a return too.
    present.removeAll(peer);
    QTRY_VERIFY_WITH_TIMEOUT(row(peer) < 0, 2000);
    present << peer;
    QTRY_VERIFY_WITH_TIMEOUT(row(peer) >= 0, 2000);
    QVERIFY(!model->index(row(peer), 0).data(ClientList::MutedRole).toBool());
    QCOMPARE(mutedLines("peer muted"), 2);
    menu = menuAt(row(peer), 2);
    QVERIFY(menu);
    QCOMPARE(offered(menu), QStringList{QStringLiteral("Mute")});
    menu->close();
}

void tst_MainWindow::shutdownIsClean()
{
    window_.reset();
    for (int round = 1; round <= 3; ++round) {
        auto w = std::make_unique<MainWindow>();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QTableView *view = widget<QTableView>(w.get(), "clientListTableView");
        // Each new window binds the port again and hears itself: the previous
        // one let go of everything.
        QTRY_VERIFY2_WITH_TIMEOUT(ownRow(view) >= 0, qPrintable(QStringLiteral("round %1").arg(round)),
                                  5000);
        // Both activities running: the capture and playback paths are live.
        QTest::mouseClick(widget<QPushButton>(w.get(), "broadcastButton"), Qt::LeftButton);
        QTest::mouseClick(widget<QPushButton>(w.get(), "listenButton"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(ownCell(view, 2), QColor(Qt::green), 5000);

        recorder->clear();
        w.reset();
        // Deferred deletions and late deliveries run too.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();

        for (const LogCapture::Message &message : recorder->messages()) {
            const QString where = QStringLiteral("round %1: %2").arg(round).arg(message.text);
            QVERIFY2(message.type == QtDebugMsg || message.type == QtInfoMsg, qPrintable(where));
            for (const char *trouble : shutdownTroubles)
                QVERIFY2(!message.text.contains(QLatin1String(trouble)), qPrintable(where));
        }
    }
}

void tst_MainWindow::shutdownWithAnnouncementsQueued()
{
    // The audio backends spin the event loop in their destructors. With
    // announcements still queued for the window, that must not deliver one
    // after the sender has taken the peer table with it (AddressSanitizer
    // reports the use after free; without it the process may just crash).
    // After a device change the capture object is the sender thread's own and
    // goes with that thread, so the first spin on this thread is playback's,
    // after the table is gone.
    MainWindow *w = window_.get();
    QComboBox *list = widget<QComboBox>(w, "deviceComboBox");
    QVERIFY(list);
    if (list->count() < 2)
        QSKIP("needs two capture devices");
    recorder->clear();
    list->setCurrentIndex(1);
    QTRY_VERIFY(recorder->debugLines().contains(QStringLiteral("device started")));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();

    for (int i = 0; i < 20; ++i) {
        QVERIFY(QMetaObject::invokeMethod(w, "processBroadcast", Qt::QueuedConnection,
                                          Q_ARG(QString, QStringLiteral("10.99.0.%1").arg(i)),
                                          Q_ARG(QString, QStringLiteral("update:broadcasting_no:listening_no"))));
    }
    window_.reset();
    QCoreApplication::processEvents();
}

// QTEST_MAIN but where a row of textsFitAtEveryDensity runs: that one starts
// as the program does, and without the fonts fixed at 96 dpi whatever the
// screen says (Qt::AA_Use96Dpi), which would hide what density does to them.
int main(int argc, char *argv[])
{
    const bool densityRow = qEnvironmentVariableIsSet(densityRowVariable);
    if (densityRow)
        scaleWithScreen();
    QApplication app(argc, argv);
    if (!densityRow)
        app.setAttribute(Qt::AA_Use96Dpi, true);
    tst_MainWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
