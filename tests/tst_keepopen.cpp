// The link kept open across losses, what the status bar says about it, and
// the remembered port selected when it appears.

#include "mainwindow.h"
#include "pseudoterminal.h"
#include "xserver.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// A board behind a name that stays while the device changes, as
// /dev/ttyACM0 comes back after a replug: a link to a pseudo-terminal.
struct PluggableBoard
{
    void plugIn()
    {
        terminal = std::make_unique<PseudoTerminal>();
        QFile::link(terminal->devicePath(), name);
    }
    void unplug()
    {
        terminal->hangUp();
        QFile::remove(name);
    }
    PortLister lister() const
    {
        return [this] {
            const SerialPortEntry entry{name, QStringLiteral("Arduino Uno"), QString()};
            return QFileInfo::exists(name) ? QList<SerialPortEntry>{entry} : QList<SerialPortEntry>();
        };
    }
    bool send(const QByteArray &lines)
    {
        return terminal->write(lines) && QTest::qWaitFor([this] { return terminal->unreadBytes() == 0; });
    }

    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("ttyBOARD"));
    std::unique_ptr<PseudoTerminal> terminal;
};

void showContent(MainWindow &window)
{
    window.show();
    QMetaObject::invokeMethod(&window, "showContentApp");
}

// In full: the label may shorten it to fit the window.
QString stateOf(const MainWindow &window)
{
    return window.findChild<QLabel *>(QStringLiteral("link_state_label"))->toolTip();
}

void clickOpenClose(const MainWindow &window)
{
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("open_close_pb")), Qt::LeftButton);
}

} // namespace

class TestKeepOpen : public QObject
{
    Q_OBJECT

private slots:
    void keepsTheLinkAcrossReplugsUntilClosed();
    void retriesABusyPortAtMostOnceASecond();
    void selectsTheRememberedPortWhenItAppears_data();
    void selectsTheRememberedPortWhenItAppears();

private:
    XServer x;
};

void TestKeepOpen::keepsTheLinkAcrossReplugsUntilClosed()
{
    x.releaseEverything();
    PluggableBoard board;
    MainWindow window(nullptr, board.lister(), createInputBackend(), {{board.name, 115200}, true, nullptr});
    const QString reading = "Reading " + board.name + " at 115200 baud";
    showContent(window);
    QCOMPARE(stateOf(window), "Waiting for " + board.name);
    board.plugIn();
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(window), reading, 5000);

    for (int replug = 0; replug < 2; ++replug) {
        QVERIFY(board.send("0 2\n1 0 17\n1 0 65\n"));
        // The middle button stays down from the round before.
        QTRY_COMPARE(x.buttonsDown(), (replug == 0 ? QVector<int>{1} : QVector<int>{1, 2}));
        QTRY_COMPARE(x.keysDown().size(), 2);
        board.unplug();
        QTRY_COMPARE(stateOf(window), "Lost " + board.name + " (reopening)");
        QTRY_COMPARE(x.buttonsDown(), QVector<int>());
        QTRY_COMPARE(x.keysDown(), QVector<int>());

        board.plugIn();
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(window), reading, 5000);
        QVERIFY(board.send("0 7 300 200\n0 4\n"));
        QTRY_COMPARE(x.pointer(), QPoint(300, 200));
        QTRY_COMPARE(x.buttonsDown(), QVector<int>{2});
    }

    // The user's Close wins until the user opens again.
    clickOpenClose(window);
    QCOMPARE(stateOf(window), QStringLiteral("Closed"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>());
    board.unplug();
    board.plugIn();
    QTest::qWait(2500);
    QCOMPARE(stateOf(window), QStringLiteral("Closed"));
    clickOpenClose(window);
    QCOMPARE(stateOf(window), reading);
    board.unplug();
    board.plugIn();
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(window), reading, 5000);
}

void TestKeepOpen::retriesABusyPortAtMostOnceASecond()
{
    PluggableBoard board;
    board.plugIn();
    QProcess other;
    other.start(QStringLiteral(HARNELO_LINKED), {board.name});
    QVERIFY(other.waitForReadyRead(10000));
    QCOMPARE(other.readAllStandardOutput(), QByteArray("open\n"));

    MainWindow window(nullptr, board.lister(), createInputBackend(), {{board.name, {}}, true, nullptr});
    int attempts = 0;
    // Every open begins by clearing the port's last error.
    connect(window.findChild<QSerialPort *>(), &QSerialPort::errorOccurred, this,
            [&attempts](QSerialPort::SerialPortError error) { attempts += error == QSerialPort::NoError; });
    QElapsedTimer elapsed;
    elapsed.start();
    showContent(window);
    QCOMPARE(stateOf(window), board.name + ": Permission error while locking the device (retrying)");
    const auto *label = window.findChild<QLabel *>(QStringLiteral("link_state_label"));
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
    QTest::qWait(3500);
    const qint64 seconds = elapsed.elapsed() / 1000;
    QVERIFY2(attempts >= 2 && attempts <= 1 + seconds, qPrintable(QString::number(attempts) + " attempts"));
    QVERIFY(!window.findChild<QMessageBox *>());

    other.terminate();
    QVERIFY(other.waitForFinished(10000));
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(window), "Reading " + board.name + " at 50 baud", 5000);
}

void TestKeepOpen::selectsTheRememberedPortWhenItAppears_data()
{
    QTest::addColumn<bool>("userPicks");
    QTest::newRow("nobody picks") << false;
    QTest::newRow("the user picks another first") << true;
}

void TestKeepOpen::selectsTheRememberedPortWhenItAppears()
{
    QFETCH(bool, userPicks);
    PluggableBoard board;
    const PortLister boardOnly = board.lister();
    const auto lister = [&] { return QList<SerialPortEntry>{{"ttyS0", {}, {}}, {"ttyS1", {}, {}}} + boardOnly(); };
    MainWindow window(nullptr, lister, createInputBackend(), {{board.name, 115200}, false, nullptr});
    showContent(window);
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("port_cb"));
    QCOMPARE(ports->currentIndex(), 0);
    QCOMPARE(window.findChild<QComboBox *>(QStringLiteral("baud_rate_cb"))->currentText(),
             QStringLiteral("115200   Baud"));
    if (userPicks)
        QTest::keyClick(ports, Qt::Key_Down);

    board.plugIn();
    QTRY_COMPARE_WITH_TIMEOUT(ports->count(), 3, 2500);
    QCOMPARE(ports->currentIndex(), userPicks ? 1 : 2);
}

QTEST_MAIN(TestKeepOpen)
#include "tst_keepopen.moc"
