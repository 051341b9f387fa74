// The peer record and the peer table: what the peer view shows, what the log
// says, when peers are forgotten, and the sender's read from its own thread.
#include "lib/logcapture.h"
#include "model/model.h"

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QElapsedTimer>
#include <QHostAddress>
#include <mutex>
#include <QPointer>
#include <QSet>
#include <QSignalSpy>
#include <QStringList>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {


const QString announcement = QStringLiteral("update:broadcasting_yes:listening_no");

QBrush green()
{
    return QBrush(Qt::green, Qt::SolidPattern);
}

QBrush red()
{
    return QBrush(Qt::red, Qt::SolidPattern);
}

QBrush background(const ClientList &model, int row, int column)
{
    const QVariant value = model.data(model.index(row, column), Qt::BackgroundRole);
    return value.value<QBrush>();
}

QString addressAt(const ClientList &model, int row)
{
    return model.data(model.index(row, 0), Qt::DisplayRole).toString();
}

QList<ClientInfo *> records(const ClientList &model)
{
    return model.findChildren<ClientInfo *>(QString(), Qt::FindDirectChildrenOnly);
}

ClientInfo *recordFor(const ClientList &model, const QString &address)
{
    for (ClientInfo *record : records(model)) {
        if (record->getAddress() == address)
            return record;
    }
    return nullptr;
}

// Announces the given peers every 100 ms, as live instances do.
class KeepAlive
{
public:
    KeepAlive(ClientList *model, const QStringList &addresses)
    {
        QObject::connect(&timer, &QTimer::timeout, [model, addresses] {
            for (const QString &address : addresses)
                model->processClient(address, announcement);
        });
        timer.start(100);
    }

private:
    QTimer timer;
};

} // namespace

class tst_Model : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void recordLogsCreationWithoutAddress();
    void recordKeepsAddressText_data();
    void recordKeepsAddressText();
    void recordExpiresWithItsAddress();

    void emptyTable();
    void headers_data();
    void headers();
    void firstAnnouncement();
    void newPeerGoesToRowZero();
    void repeatedAnnouncementAddsNoRow();
    void addressesAreComparedExactly();
    void firstAnnouncementWithTwoFieldsStillAddsPeer();
    void statusString_data();
    void statusString();
    void cellRoles_data();
    void cellRoles();
    void stateCellsSayTheirState_data();
    void stateCellsSayTheirState();
    void getAddressAtIgnoresColumn();

    void announcedPeerNeverExpires();
    void silentPeerExpires();
    void restartPushesExpiryBack();
    void expiryMovesRowsBelowUp();
    void peerIsAddedAfreshAfterExpiry();
    void timeoutForUnknownAddressDoesNothing();
    void destroyingTableDestroysRecordsSilently();

    void rowGoneBeforeSenderReadsIt();
    void tableStopsAtItsCap();
    void senderThreadReadsWhilePeersComeAndGo();

private:
    ClientList *makeModel();

    std::unique_ptr<LogCapture> log;
    std::unique_ptr<ClientList> model;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

void tst_Model::init()
{
    log = std::make_unique<LogCapture>();
}

void tst_Model::cleanup()
{
    tester.reset();
    model.reset();
    log.reset();
}

ClientList *tst_Model::makeModel()
{
    model = std::make_unique<ClientList>(nullptr);
    tester = std::make_unique<QAbstractItemModelTester>(
        model.get(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    return model.get();
}

void tst_Model::recordLogsCreationWithoutAddress()
{
    ClientInfo record(nullptr, QStringLiteral("10.0.0.2"));
    QCOMPARE(log->lines(), QStringList{"Client Created"});
}

void tst_Model::recordKeepsAddressText_data()
{
    QTest::addColumn<QString>("address");

    QTest::newRow("IPv4") << "10.0.0.2";
    QTest::newRow("IPv4 mapped into IPv6") << "::ffff:10.0.0.2";
    QTest::newRow("leading zero") << "10.0.0.02";
    QTest::newRow("upper-case IPv6") << "FE80::1";
    QTest::newRow("scoped IPv6") << "fe80::1%veth0";
    QTest::newRow("not an address") << "somewhere";
    QTest::newRow("empty") << "";
}

void tst_Model::recordKeepsAddressText()
{
    QFETCH(QString, address);

    ClientInfo record(nullptr, address);
    QCOMPARE(record.getAddress(), address);

    // The table shows the text it was given, untouched.
    ClientList *table = makeModel();
    table->processClient(address, announcement);
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(addressAt(*table, 0), address);
}

void tst_Model::recordExpiresWithItsAddress()
{
    ClientInfo record(nullptr, QStringLiteral("10.0.0.2"));
    QSignalSpy expired(&record, SIGNAL(clientTimeout(QString)));
    QVERIFY(expired.isValid());

    QTRY_COMPARE_WITH_TIMEOUT(expired.count(), 1, 5000);
    QCOMPARE(expired.at(0).at(0).toString(), QStringLiteral("10.0.0.2"));
    QCOMPARE(log->linesStartingWith("Client Timeout:"),
             QStringList{R"(Client Timeout: "10.0.0.2")"});
}

void tst_Model::emptyTable()
{
    ClientList *table = makeModel();

    QCOMPARE(table->rowCount(), 0);
    QCOMPARE(table->columnCount(), 3);
    QVERIFY(!table->index(0, 0).isValid());
    for (int role : {int(Qt::DisplayRole), int(Qt::BackgroundRole), int(Qt::ToolTipRole)}) {
        QVERIFY(!table->data(QModelIndex(), role).isValid());
        QVERIFY(!table->data(table->index(0, 0), role).isValid());
    }
    QVERIFY(table->getAddressAt(QModelIndex()).isNull());
    QVERIFY(table->getAddressAt(table->index(0, 0)).isNull());
    QVERIFY(!table->hasAddress(QStringLiteral("10.0.0.2")));
    QVERIFY(log->lines().isEmpty());
}

void tst_Model::headers_data()
{
    QTest::addColumn<int>("section");
    QTest::addColumn<Qt::Orientation>("orientation");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("IP") << 0 << Qt::Horizontal << int(Qt::DisplayRole) << QVariant("IP");
    QTest::newRow("Broadcasting")
        << 1 << Qt::Horizontal << int(Qt::DisplayRole) << QVariant("Broadcasting");
    QTest::newRow("Listening")
        << 2 << Qt::Horizontal << int(Qt::DisplayRole) << QVariant("Listening");
    QTest::newRow("no fourth column") << 3 << Qt::Horizontal << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("negative section") << -1 << Qt::Horizontal << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("tool tip") << 0 << Qt::Horizontal << int(Qt::ToolTipRole) << QVariant();
    QTest::newRow("vertical 0") << 0 << Qt::Vertical << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("vertical 1") << 1 << Qt::Vertical << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("vertical 2") << 2 << Qt::Vertical << int(Qt::DisplayRole) << QVariant();
}

void tst_Model::headers()
{
    QFETCH(int, section);
    QFETCH(Qt::Orientation, orientation);
    QFETCH(int, role);
    QFETCH(QVariant, expected);

    ClientList *table = makeModel();
    QCOMPARE(table->headerData(section, orientation, role), expected);

    // Rows carry no labels, with peers present too.
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    QCOMPARE(table->headerData(section, orientation, role), expected);
}

void tst_Model::firstAnnouncement()
{
    ClientList *table = makeModel();
    QSignalSpy changed(table, &QAbstractItemModel::dataChanged);
    connect(table, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex &parent, int first, int last) {
                log->note(QStringLiteral("about to insert %1 %2 %3")
                              .arg(parent.isValid()).arg(first).arg(last));
            });
    connect(table, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &parent, int first, int last) {
                log->note(QStringLiteral("inserted %1 %2 %3")
                              .arg(parent.isValid()).arg(first).arg(last));
            });
    connect(table, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &topLeft, const QModelIndex &bottomRight) {
                log->note(QStringLiteral("changed %1,%2 %3,%4")
                              .arg(topLeft.row()).arg(topLeft.column())
                              .arg(bottomRight.row()).arg(bottomRight.column()));
            });

    table->processClient(QStringLiteral("10.0.0.2"), announcement);

    const QStringList expected{
        "about to insert 0 0 0",
        "Client Created",
        "inserted 0 0 0",
        "Client Added, size:  1",
        R"(control string:  "update:broadcasting_yes:listening_no")",
        // Listening was red already: only the broadcasting cell changed.
        "changed 0,1 0,1",
    };
    QCOMPARE(log->lines(), expected);

    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(addressAt(*table, 0), QStringLiteral("10.0.0.2"));
    QCOMPARE(background(*table, 0, 1), green());
    QCOMPARE(background(*table, 0, 2), red());
    QCOMPARE(table->getAddressAt(table->index(0, 0)), QHostAddress(QStringLiteral("10.0.0.2")));

    QCOMPARE(changed.count(), 1);
    for (const QList<QVariant> &emission : qAsConst(changed))
        QVERIFY2(emission.at(2).value<QVector<int>>().isEmpty(), "a status cell changes as a whole");
}

void tst_Model::newPeerGoesToRowZero()
{
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.2"), "update:broadcasting_yes:listening_no");
    log->clear();
    QSignalSpy inserted(table, &QAbstractItemModel::rowsInserted);

    table->processClient(QStringLiteral("10.0.0.3"), "update:broadcasting_no:listening_yes");

    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(1).toInt(), 0);
    QCOMPARE(inserted.at(0).at(2).toInt(), 0);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(addressAt(*table, 0), QStringLiteral("10.0.0.3"));
    QCOMPARE(addressAt(*table, 1), QStringLiteral("10.0.0.2"));
    // Each row keeps its own flags after the move.
    QCOMPARE(background(*table, 0, 1), red());
    QCOMPARE(background(*table, 0, 2), green());
    QCOMPARE(background(*table, 1, 1), green());
    QCOMPARE(background(*table, 1, 2), red());
    QCOMPARE(log->linesStartingWith("Client Added"), QStringList{"Client Added, size:  2"});
}

void tst_Model::repeatedAnnouncementAddsNoRow()
{
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.3"), announcement);
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    log->clear();
    QSignalSpy inserted(table, &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(table, &QAbstractItemModel::dataChanged);

    table->processClient(QStringLiteral("10.0.0.3"), announcement);

    QCOMPARE(inserted.count(), 0);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(log->lines(),
             QStringList{R"(control string:  "update:broadcasting_yes:listening_no")"});
    // Nothing changed, so the view is told nothing and repaints nothing.
    QCOMPARE(changed.count(), 0);
    QCOMPARE(records(*table).size(), 2);
}

void tst_Model::addressesAreComparedExactly()
{
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("fe80::1"), announcement);
    table->processClient(QStringLiteral("FE80::1"), announcement);
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    table->processClient(QStringLiteral("::ffff:10.0.0.2"), announcement);

    QCOMPARE(table->rowCount(), 4);
    QCOMPARE(log->linesStartingWith("Client Created").size(), 4);
}

void tst_Model::firstAnnouncementWithTwoFieldsStillAddsPeer()
{
    ClientList *table = makeModel();
    QSignalSpy changed(table, &QAbstractItemModel::dataChanged);

    table->processClient(QStringLiteral("10.0.0.2"), QStringLiteral("update:broadcasting_yes"));

    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(changed.count(), 0);
    const QStringList expected{
        "Client Created",
        "Client Added, size:  1",
        R"(control string:  "update:broadcasting_yes")",
    };
    QCOMPARE(log->lines(), expected);
    // Not yet told otherwise, the peer shows as neither broadcasting nor listening.
    QCOMPARE(background(*table, 0, 1), red());
    QCOMPARE(background(*table, 0, 2), red());
}

void tst_Model::statusString_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("controlString");
    QTest::addColumn<bool>("broadcasting");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QList<int>>("changedColumns");

    const QString yesYes = QStringLiteral("update:broadcasting_yes:listening_yes");
    const QString noNo = QStringLiteral("update:broadcasting_no:listening_no");
    const QString yesNo = QStringLiteral("update:broadcasting_yes:listening_no");
    const QString noYes = QStringLiteral("update:broadcasting_no:listening_yes");

    QTest::newRow("both flip") << noYes << yesNo << true << false << QList<int>{1, 2};
    QTest::newRow("both flip back") << yesNo << noYes << false << true << QList<int>{1, 2};
    QTest::newRow("unchanged not reported") << yesYes << yesYes << true << true << QList<int>{};
    QTest::newRow("one flag changes") << yesYes << yesNo << true << false << QList<int>{2};
    QTest::newRow("two fields") << yesYes << "update:broadcasting_no" << true << true
                                << QList<int>{};
    QTest::newRow("one field") << yesYes << "update" << true << true << QList<int>{};
    QTest::newRow("empty string") << yesYes << "" << true << true << QList<int>{};
    QTest::newRow("four fields") << yesYes << "update:broadcasting_no:listening_no:extra" << true
                                 << true << QList<int>{};
    QTest::newRow("only colons") << yesYes << ":::" << true << true << QList<int>{};
    QTest::newRow("empty fields skipped") << noNo << "update::broadcasting_yes:listening_yes:"
                                          << true << true << QList<int>{1, 2};
    QTest::newRow("leading colon") << noNo << ":update:broadcasting_yes:listening_yes" << true
                                   << true << QList<int>{1, 2};
    QTest::newRow("first field not examined") << noNo << "hello:broadcasting_yes:listening_yes"
                                              << true << true << QList<int>{1, 2};
    QTest::newRow("capitalised broadcasting word")
        << noNo << "update:Broadcasting_yes:listening_yes" << false << true << QList<int>{2};
    QTest::newRow("capitalised word leaves flag set")
        << yesNo << "update:Broadcasting_no:listening_yes" << true << true << QList<int>{2};
    QTest::newRow("upper-case listening word")
        << noNo << "update:broadcasting_yes:LISTENING_YES" << true << false << QList<int>{1};
    QTest::newRow("swapped fields") << noNo << "update:listening_yes:broadcasting_yes" << false
                                    << false << QList<int>{};
    QTest::newRow("swapped fields leave flags set")
        << yesYes << "update:listening_no:broadcasting_no" << true << true << QList<int>{};
    QTest::newRow("unknown words") << yesYes << "update:broadcasting_maybe:listening_perhaps"
                                   << true << true << QList<int>{};
    QTest::newRow("word inside a longer field")
        << noNo << "update:xbroadcasting_yesx:--listening_yes--" << true << true
        << QList<int>{1, 2};
    QTest::newRow("both broadcasting words")
        << yesNo << "update:broadcasting_yes broadcasting_no:listening_no" << false << false
        << QList<int>{1};
    QTest::newRow("both broadcasting words, no first")
        << yesNo << "update:broadcasting_no broadcasting_yes:listening_no" << false << false
        << QList<int>{1};
    QTest::newRow("both broadcasting words, flag already off")
        << noNo << "update:broadcasting_yes broadcasting_no:listening_no" << false << false
        << QList<int>{};
    QTest::newRow("both listening words")
        << noYes << "update:broadcasting_no:listening_yes+listening_no" << false << false
        << QList<int>{2};
}

void tst_Model::statusString()
{
    QFETCH(QString, before);
    QFETCH(QString, controlString);
    QFETCH(bool, broadcasting);
    QFETCH(bool, listening);
    QFETCH(QList<int>, changedColumns);

    const QString address = QStringLiteral("10.0.0.2");
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.9"), QStringLiteral("update:broadcasting_no:listening_no"));
    table->processClient(address, before);
    // The peer under test sits in row 0, another one below it.
    QCOMPARE(addressAt(*table, 0), address);
    log->clear();
    QSignalSpy changed(table, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(table, &QAbstractItemModel::rowsInserted);

    table->processClient(address, controlString);

    QCOMPARE(inserted.count(), 0);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(log->lines(), QStringList{"control string:  \"" + controlString + '"'});
    QCOMPARE(background(*table, 0, 1), broadcasting ? green() : red());
    QCOMPARE(background(*table, 0, 2), listening ? green() : red());
    // The other peer is never touched.
    QCOMPARE(background(*table, 1, 1), red());
    QCOMPARE(background(*table, 1, 2), red());

    QList<int> columns;
    for (const QList<QVariant> &emission : qAsConst(changed)) {
        const QModelIndex topLeft = emission.at(0).toModelIndex();
        const QModelIndex bottomRight = emission.at(1).toModelIndex();
        QCOMPARE(topLeft, bottomRight);
        QCOMPARE(topLeft.row(), 0);
        QVERIFY(emission.at(2).value<QVector<int>>().isEmpty());
        columns << topLeft.column();
    }
    QCOMPARE(columns, changedColumns);
}

void tst_Model::cellRoles_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("address") << 0 << int(Qt::DisplayRole) << QVariant("10.0.0.2");
    QTest::newRow("broadcasting colour") << 1 << int(Qt::BackgroundRole) << QVariant::fromValue(green());
    QTest::newRow("listening colour") << 2 << int(Qt::BackgroundRole) << QVariant::fromValue(red());
    QTest::newRow("address has no colour") << 0 << int(Qt::BackgroundRole) << QVariant();
    QTest::newRow("broadcasting has no text") << 1 << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("listening has no text") << 2 << int(Qt::DisplayRole) << QVariant();
    QTest::newRow("no edit text") << 0 << int(Qt::EditRole) << QVariant();
    QTest::newRow("no tool tip") << 0 << int(Qt::ToolTipRole) << QVariant();
    QTest::newRow("no foreground") << 1 << int(Qt::ForegroundRole) << QVariant();
    QTest::newRow("no alignment") << 2 << int(Qt::TextAlignmentRole) << QVariant();
    QTest::newRow("no font") << 0 << int(Qt::FontRole) << QVariant();
}

void tst_Model::cellRoles()
{
    QFETCH(int, column);
    QFETCH(int, role);
    QFETCH(QVariant, expected);

    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.2"), announcement);

    const QVariant value = table->data(table->index(0, column), role);
    QCOMPARE(value.isValid(), expected.isValid());
    if (expected.userType() == qMetaTypeId<QBrush>())
        QCOMPARE(value.value<QBrush>(), expected.value<QBrush>());
    else
        QCOMPARE(value, expected);
    // Cells can be selected, not edited.
    QCOMPARE(table->flags(table->index(0, column)),
             Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren);
}

void tst_Model::stateCellsSayTheirState_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("broadcasting");
    QTest::addColumn<QString>("listening");

    QTest::newRow("broadcasting, not listening")
        << announcement << "broadcasting" << "not listening";
    QTest::newRow("listening, not broadcasting")
        << "update:broadcasting_no:listening_yes" << "not broadcasting" << "listening";
}

// What a tooltip shows and a screen reader reads instead of the colour.
void tst_Model::stateCellsSayTheirState()
{
    QFETCH(QString, status);
    QFETCH(QString, broadcasting);
    QFETCH(QString, listening);

    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.2"), status);

    for (const int role : {int(Qt::ToolTipRole), int(Qt::AccessibleTextRole)}) {
        QVERIFY2(!table->data(table->index(0, 0), role).isValid(),
                 qPrintable(QStringLiteral("the address cell answers role %1").arg(role)));
        QCOMPARE(table->data(table->index(0, 1), role).toString(), broadcasting);
        QCOMPARE(table->data(table->index(0, 2), role).toString(), listening);
    }
}

void tst_Model::getAddressAtIgnoresColumn()
{
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    table->processClient(QStringLiteral("10.0.0.3"), announcement);

    for (int column = 0; column < 3; ++column) {
        QCOMPARE(table->getAddressAt(table->index(0, column)), QHostAddress("10.0.0.3"));
        QCOMPARE(table->getAddressAt(table->index(1, column)), QHostAddress("10.0.0.2"));
    }
    // Only reachable when a row goes between the sender's count and its read.
    QVERIFY(table->getAddressAt(table->index(2, 0)).isNull());
    QVERIFY(table->getAddressAt(QModelIndex()).isNull());
}

void tst_Model::announcedPeerNeverExpires()
{
    ClientList *table = makeModel();
    QSignalSpy removed(table, &QAbstractItemModel::rowsRemoved);
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    QElapsedTimer sinceAnnouncement;
    auto alive = std::make_unique<KeepAlive>(table, QStringList{QStringLiteral("10.0.0.2")});

    // Three full expiry intervals with an announcement every 100 ms.
    QTest::qWait(1500);

    QCOMPARE(removed.count(), 0);
    QCOMPARE(table->rowCount(), 1);
    QVERIFY(log->linesStartingWith("Client Timeout:").isEmpty());
    QVERIFY(log->linesStartingWith("Client Removed").isEmpty());

    // Looked at again and again while it announced, it is still forgotten
    // 500 ms after its last announcement, neither before nor much after.
    alive.reset();
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    sinceAnnouncement.start();
    qint64 silence = -1;
    connect(table, &QAbstractItemModel::rowsRemoved, this,
            [&] { silence = sinceAnnouncement.elapsed(); });
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 5000);
    QVERIFY2(silence >= ClientInfo::expiryMs - 1 && silence < ClientInfo::expiryMs + 100,
             qPrintable(QStringLiteral("forgotten %1 ms after its last announcement").arg(silence)));
}

void tst_Model::silentPeerExpires()
{
    ClientList *table = makeModel();
    QSignalSpy removed(table, &QAbstractItemModel::rowsRemoved);
    QElapsedTimer sinceAnnouncement;
    sinceAnnouncement.start();
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    log->clear();

    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 5000);
    const qint64 silence = sinceAnnouncement.elapsed();
    QVERIFY2(silence >= 450, qPrintable(QStringLiteral("forgotten after %1 ms").arg(silence)));
    QCOMPARE(table->rowCount(), 0);
    const QStringList expected{
        R"(Client Timeout: "10.0.0.2")",
        "Client Removed, size:  0",
    };
    QCOMPARE(log->lines(), expected);

    // A forgotten peer is reported once only, however long the table lives on.
    QTest::qWait(1200);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(log->lines(), expected);
}

void tst_Model::restartPushesExpiryBack()
{
    ClientList *table = makeModel();
    QSignalSpy removed(table, &QAbstractItemModel::rowsRemoved);
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    QTest::qWait(350);
    QCOMPARE(removed.count(), 0);

    QElapsedTimer sinceAnnouncement;
    sinceAnnouncement.start();
    table->processClient(QStringLiteral("10.0.0.2"), announcement);

    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 5000);
    const qint64 silence = sinceAnnouncement.elapsed();
    QVERIFY2(silence >= 450,
             qPrintable(QStringLiteral("forgotten %1 ms after its last announcement").arg(silence)));
    QCOMPARE(log->linesStartingWith("Client Timeout:").size(), 1);
}

void tst_Model::expiryMovesRowsBelowUp()
{
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.1"), "update:broadcasting_yes:listening_yes");
    table->processClient(QStringLiteral("10.0.0.2"), "update:broadcasting_no:listening_no");
    table->processClient(QStringLiteral("10.0.0.3"), "update:broadcasting_no:listening_yes");
    QCOMPARE(addressAt(*table, 2), QStringLiteral("10.0.0.1"));
    QSignalSpy removed(table, &QAbstractItemModel::rowsRemoved);
    QPointer<ClientInfo> silent = recordFor(*table, QStringLiteral("10.0.0.2"));
    QVERIFY(silent);
    log->clear();

    QTimer keepAlive;
    connect(&keepAlive, &QTimer::timeout, table, [table] {
        table->processClient(QStringLiteral("10.0.0.1"), "update:broadcasting_yes:listening_yes");
        table->processClient(QStringLiteral("10.0.0.3"), "update:broadcasting_no:listening_yes");
    });
    keepAlive.start(100);

    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 5000);
    keepAlive.stop();
    QCOMPARE(removed.at(0).at(0).toModelIndex(), QModelIndex());
    QCOMPARE(removed.at(0).at(1).toInt(), 1);
    QCOMPARE(removed.at(0).at(2).toInt(), 1);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(addressAt(*table, 0), QStringLiteral("10.0.0.3"));
    QCOMPARE(addressAt(*table, 1), QStringLiteral("10.0.0.1"));
    QCOMPARE(background(*table, 1, 1), green());
    QCOMPARE(background(*table, 1, 2), green());
    QCOMPARE(log->linesStartingWith("Client Timeout:"), QStringList{R"(Client Timeout: "10.0.0.2")"});
    QCOMPARE(log->linesStartingWith("Client Removed"), QStringList{"Client Removed, size:  2"});
    // The sender's copy lost the same row, and is still oldest first.
    QCOMPARE(table->destinations().addresses,
             (QVector<QHostAddress>{QHostAddress("10.0.0.1"), QHostAddress("10.0.0.3")}));

    // The expired record goes once the event loop has run, and with it its timer.
    QTRY_VERIFY(silent.isNull());
    QCOMPARE(records(*table).size(), 2);
}

void tst_Model::peerIsAddedAfreshAfterExpiry()
{
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.2"), "update:broadcasting_yes:listening_yes");
    QPointer<ClientInfo> first = recordFor(*table, QStringLiteral("10.0.0.2"));
    QVERIFY(first);
    QSignalSpy removed(table, &QAbstractItemModel::rowsRemoved);
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 5000);
    QTRY_VERIFY(first.isNull());

    table->processClient(QStringLiteral("10.0.0.3"), announcement);
    log->clear();
    QSignalSpy inserted(table, &QAbstractItemModel::rowsInserted);
    table->processClient(QStringLiteral("10.0.0.2"), "update:broadcasting_no:listening_yes");

    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(1).toInt(), 0);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(addressAt(*table, 0), QStringLiteral("10.0.0.2"));
    QCOMPARE(background(*table, 0, 1), red());
    QCOMPARE(background(*table, 0, 2), green());
    const QStringList expected{
        "Client Created",
        "Client Added, size:  2",
        R"(control string:  "update:broadcasting_no:listening_yes")",
    };
    QCOMPARE(log->lines(), expected);

    // The new record has its own full expiry interval.
    QPointer<ClientInfo> second = recordFor(*table, QStringLiteral("10.0.0.2"));
    QVERIFY(second);
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 3, 5000);
    QCOMPARE(log->linesStartingWith("Client Timeout:").size(), 2);
    QTRY_VERIFY(second.isNull());
}

void tst_Model::timeoutForUnknownAddressDoesNothing()
{
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    log->clear();
    QSignalSpy removed(table, &QAbstractItemModel::rowsRemoved);

    QVERIFY(QMetaObject::invokeMethod(table, "clientTimeout", Qt::DirectConnection,
                                      Q_ARG(QString, QStringLiteral("10.0.0.3"))));
    QVERIFY(QMetaObject::invokeMethod(table, "clientTimeout", Qt::DirectConnection,
                                      Q_ARG(QString, QStringLiteral("::ffff:10.0.0.2"))));

    QCOMPARE(removed.count(), 0);
    QCOMPARE(table->rowCount(), 1);
    QVERIFY(log->lines().isEmpty());

    ClientList *empty = makeModel();
    QVERIFY(QMetaObject::invokeMethod(empty, "clientTimeout", Qt::DirectConnection,
                                      Q_ARG(QString, QStringLiteral("10.0.0.2"))));
    QCOMPARE(empty->rowCount(), 0);
    QVERIFY(log->lines().isEmpty());
}

void tst_Model::destroyingTableDestroysRecordsSilently()
{
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    table->processClient(QStringLiteral("10.0.0.3"), announcement);
    QList<QPointer<ClientInfo>> held;
    for (ClientInfo *record : records(*table))
        held << record;
    QCOMPARE(held.size(), 2);
    log->clear();

    tester.reset();
    model.reset();

    for (const QPointer<ClientInfo> &record : qAsConst(held))
        QVERIFY(record.isNull());
    // Their timers went with them: nothing fires later.
    QTest::qWait(700);
    QVERIFY(log->lines().isEmpty());
}

void tst_Model::rowGoneBeforeSenderReadsIt()
{
    ClientList *table = makeModel();
    table->processClient(QStringLiteral("10.0.0.2"), announcement);
    table->processClient(QStringLiteral("10.0.0.3"), announcement);
    // The sender has counted two rows and made its index for the second...
    const QModelIndex second = table->index(1, 0);
    QVERIFY(second.isValid());
    KeepAlive alive(table, {QStringLiteral("10.0.0.3")});
    QSignalSpy removed(table, &QAbstractItemModel::rowsRemoved);
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 5000);
    QCOMPARE(table->rowCount(), 1);

    // ...and reads it only after that row has gone.
    QVERIFY(table->getAddressAt(second).isNull());
    QCOMPARE(table->getAddressAt(table->index(0, 0)), QHostAddress("10.0.0.3"));
}

void tst_Model::tableStopsAtItsCap()
{
    ClientList *table = makeModel();
    for (int i = 0; i < ClientList::maxRows; ++i)
        table->processClient(QStringLiteral("10.1.%1.%2").arg(i / 200).arg(i % 200 + 1), announcement);
    QCOMPARE(table->rowCount(), ClientList::maxRows);
    QCOMPARE(table->destinations().addresses.size(), ClientList::maxRows);
    QVERIFY(log->warnings().isEmpty());

    KeepAlive alive(table, {QStringLiteral("10.1.0.1")});
    for (int i = 0; i < 20; ++i)
        table->processClient(QStringLiteral("10.2.0.%1").arg(i + 1), announcement);
    QCOMPARE(table->rowCount(), ClientList::maxRows);
    QCOMPARE(log->warnings().size(), 1);
    QVERIFY(!table->hasAddress(QStringLiteral("10.2.0.1")));

    // A row that expires makes room for the next newcomer.
    QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 1, 5000);
    table->processClient(QStringLiteral("10.2.0.1"), announcement);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(addressAt(*table, 0), QStringLiteral("10.2.0.1"));
    QCOMPARE(log->warnings().size(), 1);
}

void tst_Model::senderThreadReadsWhilePeersComeAndGo()
{
    ClientList *table = makeModel();
    QSet<QString> known;
    for (int host = 1; host <= 40; ++host)
        known.insert(QHostAddress(QStringLiteral("10.0.1.%1").arg(host)).toString());
    QSignalSpy removed(table, &QAbstractItemModel::rowsRemoved);

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::atomic<int> addressesSeen{0};
    std::atomic<int> strangers{0};
    // What the sender does for every captured chunk, from its own thread.
    std::thread sender([&] {
        quint64 seen = ~0ull;
        while (!stop.load()) {
            // As the sender asks: a copy only when the rows changed.
            const ClientList::Destinations destinations = table->destinations(seen);
            if (destinations.generation == seen)
                continue;
            seen = destinations.generation;
            ++reads;
            for (const QHostAddress &address : destinations.addresses) {
                ++addressesSeen;
                if (!known.contains(address.toString()))
                    ++strangers;
            }
        }
    });

    // Each address comes back every 600 ms, after its 500 ms expiry: rows are
    // inserted and removed all the time.
    int next = 0;
    QTimer announcer;
    connect(&announcer, &QTimer::timeout, table, [&] {
        table->processClient(QStringLiteral("10.0.1.%1").arg(next % 40 + 1), announcement);
        ++next;
    });
    announcer.start(15);
    QTRY_VERIFY_WITH_TIMEOUT(removed.count() >= 80, 20000);
    announcer.stop();
    QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 0, 5000);

    stop = true;
    sender.join();

    QCOMPARE(strangers.load(), 0);
    QVERIFY(reads.load() > 0);
    QVERIFY(addressesSeen.load() > 0);
}

QTEST_MAIN(tst_Model)
#include "tst_model.moc"
