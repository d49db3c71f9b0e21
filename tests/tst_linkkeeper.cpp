// The link kept open across losses, without a window: pseudo-terminals that
// come and go under a stable name, a port list that follows them, and the
// states the keeper goes through.

#include "link/linkkeeper.h"
#include "pseudoterminal.h"

#include <QSettings>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using State = LinkKeeper::State;

Q_DECLARE_METATYPE(BoardIdentity)

namespace {

const BoardIdentity Uno{QStringLiteral("75833353035351B0F1B1"), 0x2341, 0x0043, QStringLiteral("1-2:1.0")};
const BoardIdentity Clone{QString(), 0x1a86, 0x7523, QStringLiteral("1-2:1.0")};

// The keeper as the window drives it: the link's errors reach it, and the
// port list is read again every 50 ms (every second in the window).
struct KeptLink
{
    explicit KeptLink(const PluggableBoard &board)
    {
        QObject::connect(&link, &SerialLink::errorOccurred, &keeper, &LinkKeeper::handleError);
        QObject::connect(&link, &SerialLink::readyRead, [this] {
            link.readLines([this](std::string_view line) { lines << QByteArray(line.data(), qsizetype(line.size())); });
        });
        QObject::connect(&refresh, &QTimer::timeout, [this, list = board.lister()] { keeper.setPorts(list()); });
        refresh.start(50);
    }

    QTemporaryDir folder;
    QSettings memory{folder.filePath(QStringLiteral("harnelo.conf")), QSettings::IniFormat};
    SerialLink link;
    LinkKeeper keeper{link, &memory};
    QTimer refresh;
    QByteArrayList lines;
};

} // namespace

class TestLinkKeeper : public QObject
{
    Q_OBJECT

private slots:
    void reopensOnlyTheBoardItKeeps_data();
    void reopensOnlyTheBoardItKeeps();
    void startsOnlyWithTheRememberedBoard();
    void retriesABusyPortAtMostOnceASecond();
    void readingNothingIsNotALoss_data();
    void readingNothingIsNotALoss();
};

void TestLinkKeeper::reopensOnlyTheBoardItKeeps_data()
{
    QTest::addColumn<BoardIdentity>("first");
    QTest::addColumn<BoardIdentity>("described"); // by the port list once open
    QTest::addColumn<BoardIdentity>("second");
    QTest::addColumn<State>("then");
    const BoardIdentity otherUno{QStringLiteral("9573"), 0x2341, 0x0043, Uno.location};
    QTest::newRow("the same board back") << Uno << Uno << Uno << State::Open;
    QTest::newRow("a clone back in its socket") << Clone << Clone << Clone << State::Open;
    QTest::newRow("a port never described, by name") << BoardIdentity() << BoardIdentity() << Uno << State::Open;
    // Opened before udev described it, described while open.
    QTest::newRow("a board described once open, back") << BoardIdentity() << Uno << Uno << State::Open;
    QTest::newRow("another board where one described once open was")
        << BoardIdentity() << Uno << otherUno << State::OtherDevice;
    QTest::newRow("another board under its name") << Uno << Uno << otherUno << State::OtherDevice;
    QTest::newRow("its boot loader") << Uno << Uno << BoardIdentity{Uno.serialNumber, 0x2341, 0x0036, Uno.location}
                                     << State::OtherDevice;
    QTest::newRow("a clone in another socket")
        << Clone << Clone << BoardIdentity{QString(), 0x1a86, 0x7523, QStringLiteral("1-3:1.0")} << State::OtherDevice;
    // Plugged in a moment ago: the system has not described it yet.
    QTest::newRow("a device not described yet") << Uno << Uno << BoardIdentity() << State::Lost;
    QTest::newRow("closed while reopening") << Clone << Clone << Clone << State::Closed;
}

void TestLinkKeeper::reopensOnlyTheBoardItKeeps()
{
    QFETCH(BoardIdentity, first);
    QFETCH(BoardIdentity, described);
    QFETCH(BoardIdentity, second);
    QFETCH(State, then);
    PluggableBoard board;
    KeptLink kept(board);
    const QString name = board.stableName();
    kept.keeper.keep({name, 115200, {}});
    QCOMPARE(kept.keeper.describe(), "Waiting for " + name);
    board.plugIn(first);
    QTRY_COMPARE(kept.keeper.state(), State::Open);
    board.describeAs(described);
    // Remembered by the stable name it was kept by, with the board found there.
    QTRY_COMPARE(recallLinkChoice(kept.memory), (LinkChoice{name, 115200, described}));

    board.unplug();
    QTRY_COMPARE(kept.keeper.state(), State::Lost);
    QCOMPARE(kept.keeper.describe(), "Lost " + name + " (reopening)");
    if (then == State::Closed)
        kept.keeper.close();
    board.plugIn(second);
    if (then == State::Open) {
        QTRY_COMPARE_WITH_TIMEOUT(kept.keeper.state(), State::Open, 3000);
        QVERIFY(board.send("1 0 65\n"));
        QTRY_COMPARE(kept.lines, QByteArrayList{"1 0 65"});
        return;
    }
    QTest::qWait(1500);
    QCOMPARE(kept.keeper.state(), then);
    QVERIFY(!kept.link.isOpen());
    if (then == State::OtherDevice) {
        QCOMPARE(kept.keeper.describe(), name + " is now another device");
        // Closing and opening again takes the new device knowingly.
        kept.keeper.close();
        kept.keeper.keep({name, 115200, {}});
    } else if (then == State::Lost) {
        board.describeAs(described);
    } else {
        QCOMPARE(kept.keeper.describe(), QStringLiteral("Closed"));
        return;
    }
    QTRY_COMPARE(kept.keeper.state(), State::Open);
}

void TestLinkKeeper::startsOnlyWithTheRememberedBoard()
{
    PluggableBoard board;
    KeptLink kept(board);
    board.plugIn(Clone);
    kept.keeper.keep({board.stableName(), 9600, Uno});
    QTRY_COMPARE(kept.keeper.state(), State::OtherDevice);
    board.unplug();
    QTRY_COMPARE(kept.keeper.state(), State::Waiting);
    board.plugIn(Uno);
    QTRY_COMPARE(kept.keeper.state(), State::Open);
}

void TestLinkKeeper::retriesABusyPortAtMostOnceASecond()
{
    PluggableBoard board;
    board.plugIn();
    SerialLink other;
    QVERIFY(other.open(board.stableName(), 9600));
    KeptLink kept(board);
    int attempts = 0;
    // Every open begins by clearing the port's last error.
    connect(&kept.link, &SerialLink::errorOccurred, this,
            [&attempts](QSerialPort::SerialPortError error) { attempts += error == QSerialPort::NoError; });
    QElapsedTimer elapsed;
    elapsed.start();
    kept.keeper.keep({board.stableName(), 9600, {}});
    QTRY_COMPARE(kept.keeper.state(), State::Failing);
    QCOMPARE(kept.keeper.describe(), board.stableName() + ": Permission error while locking the device (retrying)");
    QTest::qWait(3500);
    const qint64 seconds = elapsed.elapsed() / 1000;
    QVERIFY2(attempts >= 2 && attempts <= 1 + seconds, qPrintable(QString::number(attempts) + " attempts"));

    other.close();
    QTRY_COMPARE_WITH_TIMEOUT(kept.keeper.state(), State::Open, 3000);
    QCOMPARE(kept.keeper.describe(), "Reading " + board.stableName() + " at 9600 baud");
}

void TestLinkKeeper::readingNothingIsNotALoss_data()
{
    QTest::addColumn<bool>("hungUp");
    QTest::addColumn<State>("then");
    // Another program took what there was, and the port says so as an error.
    QTest::newRow("nothing read, the port still there") << false << State::Open;
    QTest::newRow("the board hung up") << true << State::Lost;
}

void TestLinkKeeper::readingNothingIsNotALoss()
{
    QFETCH(bool, hungUp);
    QFETCH(State, then);
    PluggableBoard board;
    KeptLink kept(board);
    QStringList notices;
    connect(&kept.keeper, &LinkKeeper::notice, this, [&notices](const QString &text) { notices << text; });
    board.plugIn();
    kept.keeper.keep({board.stableName(), 115200, {}});
    QTRY_COMPARE(kept.keeper.state(), State::Open);
    if (hungUp)
        board.unplug();
    auto *port = kept.link.findChild<QSerialPort *>();
    emit port->errorOccurred(QSerialPort::ReadError);
    // Where errno held EAGAIN, the port stops watching for input, then tells.
    if (!hungUp)
        port->findChild<QSocketNotifier *>()->setEnabled(false);
    emit port->errorOccurred(QSerialPort::ResourceError);
    QTRY_COMPARE(kept.keeper.state(), then);
    if (hungUp)
        return;
    QCOMPARE(notices, QStringList{"Another program is also reading " + kept.link.portName()
                                  + "; some input may be lost"});
    QVERIFY(board.send("1 0 65\n"));
    QTRY_COMPARE(kept.lines, QByteArrayList{"1 0 65"});
}

QTEST_GUILESS_MAIN(TestLinkKeeper)
#include "tst_linkkeeper.moc"
