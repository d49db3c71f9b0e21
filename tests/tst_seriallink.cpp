#include "linkedwindow.h"
#include "xserver.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <X11/keysym.h>

class TestSerialLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void decodesLinesAsTheyArrive();
    void clickLandsWhereTheMoveBefore();
    void ignoresTextThatIsNotEvents();
    void keepsPortLabelsCurrent();
    void keepsTheChosenPortWhenOthersComeAndGo();
    void rebuildsWhileOpenButStaysLocked();
    void opensClosesAndReopensThePort();
    void showsTheErrorWhenOpenFails();
    void doesNothingWithoutPorts();
    void hangUpClosesTheLinkAndReleasesInput();
    void releasesHeldKeysAmongThousandsOfCodes();
    void hangUpAfterThePortVanishedStillShowsClosed();
    void closesWhenThePortLeftTheList();
    void keepsALinkOpenUntilClosed();
    void opensAPortByTheNameItWasChosenBy();

private:
    XServer x;
};

void TestSerialLink::init()
{
    QVERIFY(x.isOpen());
    x.releaseEverything();
}

void TestSerialLink::cleanup()
{
    x.releaseEverything();
}

void TestSerialLink::decodesLinesAsTheyArrive()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());

    QVERIFY(linked.send("0 7 100 10"));
    QVERIFY(linked.send("0\n"));
    QTRY_COMPARE(x.pointer(), QPoint(100, 100));

    QVERIFY(linked.send("0 8 10 -5\r\n0 8 1 1\r\n0 8 -1 -1\r\n"));
    QTRY_COMPARE(x.pointer(), QPoint(110, 95));

    // Several lines in one write, applied in order.
    QVERIFY(linked.send("1 0 65\n1 1 65\n1 0 66\n0 4\n0 7 0 0\n"));
    QTRY_COMPARE(x.pointer(), QPoint(0, 0));
    QCOMPARE(x.keysDown(), QVector<int>{x.keycodeOf(XK_b)});
    QCOMPARE(x.buttonsDown(), QVector<int>{2});

    // Moves beyond the screen stop at its edge, even past the 32-bit range.
    QVERIFY(linked.send("0 8 -2147483648 -5\n0 8 2147483647 2147483647\n"));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QTRY_COMPARE(x.pointer(), screen.bottomRight());
}

void TestSerialLink::clickLandsWhereTheMoveBefore()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send("0 7 5 400\n"));
    EventRecorder recorder(x, 600, 400, 100, 100);

    // Move and click in one delivery: the click must happen over the recorder.
    QVERIFY(linked.send("0 7 650 450\n0 2\n0 3\n0 8 5 5\n0 0\n0 1\n"));
    QTRY_COMPARE(recorder.events(), QStringList({"press 1", "release 1", "press 3", "release 3"}));
    QCOMPARE(x.pointer(), QPoint(655, 455));
}

void TestSerialLink::ignoresTextThatIsNotEvents()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send("0 7 650 450\n"));
    EventRecorder recorder(x, 600, 400, 100, 100);

    QVERIFY(linked.send("hello world\nBooting v1.2...\n1 x 65\n0  2\n1 0\n0 6 120 1\n0 14\n"));
    QByteArray overlong(5000, '0');
    overlong.replace(1, 1, " ");
    QVERIFY(linked.send(overlong + "\n" + overlong.left(300)));
    QVERIFY(linked.send("\n0 2\n0 3\n"));
    QTRY_COMPARE(recorder.events(), QStringList({"press 1", "release 1"}));
    QCOMPARE(x.keysDown(), QVector<int>());
}

void TestSerialLink::keepsPortLabelsCurrent()
{
    LinkedWindow linked;
    const QString pty = linked.board.devicePath();
    QCOMPARE(linked.portSelector()->itemText(0), pty + "    -    Arduino Uno");

    // Same number of ports, another board: the label must follow.
    linked.ports = {{pty, QStringLiteral("USB-Serial Controller"), QStringLiteral("Prolific Technology Inc.")}};
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->itemText(0), pty + "    -    Unknown", 2500);
    // Only the manufacturer, read a little after the device, names the board.
    linked.ports = {{pty, QStringLiteral("0043"), QStringLiteral("Arduino (www.arduino.cc)")}};
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->itemText(0), pty + "    -    Arduino", 2500);
    linked.ports.append({QStringLiteral("ttyACM7"), QStringLiteral("Arduino Leonardo"), QStringLiteral("Arduino LLC")});
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->count(), 2, 2500);
    QCOMPARE(linked.portSelector()->itemText(1), QStringLiteral("ttyACM7    -    Arduino Leonardo"));
    linked.ports.clear();
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->count(), 0, 2500);
}

void TestSerialLink::keepsTheChosenPortWhenOthersComeAndGo()
{
    LinkedWindow linked;
    const SerialPortEntry board = linked.ports.first();
    const SerialPortEntry other{QStringLiteral("ttyS0"), QString(), QString()};
    linked.ports = {other, board};
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->count(), 2, 2500);
    linked.portSelector()->setCurrentIndex(1);

    // A device plugged in ahead of the chosen one does not steal the choice.
    linked.ports = {{QStringLiteral("ttyACM0"), QStringLiteral("Arduino Uno"), QString()}, other, board};
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->count(), 3, 2500);
    QCOMPARE(linked.portSelector()->currentIndex(), 2);

    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.clickOpenClose() == false);

    // Once the chosen port is gone the first entry is selected.
    linked.ports = {other};
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->count(), 1, 2500);
    QCOMPARE(linked.portSelector()->currentIndex(), 0);
}

void TestSerialLink::rebuildsWhileOpenButStaysLocked()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(!linked.portSelector()->isEnabled());
    QVERIFY(!linked.rateSelector()->isEnabled());

    linked.ports.append({QStringLiteral("ttyUSB3"), QStringLiteral("Arduino Nano"), QString()});
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->count(), 2, 2500);
    QVERIFY(!linked.portSelector()->isEnabled());
    QVERIFY(!linked.rateSelector()->isEnabled());
    QCOMPARE(linked.button()->text(), QStringLiteral("Close"));
    QCOMPARE(linked.portSelector()->currentIndex(), 0);
}

void TestSerialLink::opensClosesAndReopensThePort()
{
    LinkedWindow linked;
    linked.showContent();
    linked.rateSelector()->setCurrentIndex(linked.rateSelector()->count() - 1);
    for (int round = 0; round < 4; ++round) {
        QVERIFY(linked.clickOpenClose());
        QCOMPARE(linked.button()->text(), QStringLiteral("Close"));
        QVERIFY(!linked.portSelector()->isEnabled());
        QVERIFY(linked.send("1 0 65\n"));
        QTRY_VERIFY(x.isKeyDown(XK_a));
        QVERIFY(linked.send("1 1 65\n"));
        QTRY_VERIFY(!x.isKeyDown(XK_a));

        QVERIFY(!linked.clickOpenClose());
        QCOMPARE(linked.button()->text(), QStringLiteral("Open"));
        QVERIFY(linked.portSelector()->isEnabled());
        QVERIFY(linked.rateSelector()->isEnabled());
    }
    // Lines written while the link is closed do nothing.
    QVERIFY(linked.board.write("0 2\n"));
    QTest::qWait(100);
    QCOMPARE(x.buttonsDown(), QVector<int>());
}

void TestSerialLink::showsTheErrorWhenOpenFails()
{
    LinkedWindow linked;
    linked.ports = {{QStringLiteral("/dev/harnelo-no-such-port"), QStringLiteral("Arduino Uno"), QString()}};
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->itemText(0).startsWith("/dev/harnelo"), true, 2500);
    linked.showContent();

    QString title, text;
    QTimer::singleShot(300, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        title = box->windowTitle();
        text = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    QVERIFY(!linked.clickOpenClose());
    QCOMPARE(title, QStringLiteral("Error"));
    QVERIFY(!text.isEmpty());
    QCOMPARE(linked.button()->text(), QStringLiteral("Open"));
    QVERIFY(linked.portSelector()->isEnabled());
}

void TestSerialLink::doesNothingWithoutPorts()
{
    LinkedWindow linked;
    linked.ports.clear();
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->count(), 0, 2500);
    linked.showContent();
    QVERIFY(!linked.clickOpenClose());
    QCOMPARE(linked.button()->text(), QStringLiteral("Open"));
}

void TestSerialLink::hangUpClosesTheLinkAndReleasesInput()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send("0 2\n1 0 17\n1 0 67\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{1});

    linked.board.hangUp();
    QTRY_VERIFY(!linked.isLinkOpen());
    QCOMPARE(linked.button()->text(), QStringLiteral("Open"));
    QVERIFY(linked.portSelector()->isEnabled());
    QVERIFY(linked.rateSelector()->isEnabled());
    QTRY_COMPARE(x.buttonsDown(), QVector<int>());
    QTRY_COMPARE(x.keysDown(), QVector<int>());
}

void TestSerialLink::releasesHeldKeysAmongThousandsOfCodes()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    // The key record stays small however many codes a board names, but it
    // must never forget a key that is really down.
    QByteArray lines = "1 0 65\n1 0 66\n1 1 66\n";
    for (int code = 1000; code < 5000; ++code)
        lines += "1 0 " + QByteArray::number(code) + "\n1 1 -" + QByteArray::number(code) + "\n";
    lines += "1 0 17\n";
    QVERIFY(linked.send(lines));
    QTRY_COMPARE(x.keysDown().size(), 2);

    QVERIFY(!linked.clickOpenClose());
    QTRY_COMPARE(x.keysDown(), QVector<int>());
}

void TestSerialLink::hangUpAfterThePortVanishedStillShowsClosed()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send("0 0\n"));
    linked.ports.clear();
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->count(), 0, 2500);

    linked.board.hangUp();
    QTRY_VERIFY(!linked.isLinkOpen());
    QCOMPARE(linked.button()->text(), QStringLiteral("Open"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>());
}

void TestSerialLink::closesWhenThePortLeftTheList()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send("0 2\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{1});
    linked.ports.clear();
    QTRY_COMPARE_WITH_TIMEOUT(linked.portSelector()->count(), 0, 2500);

    QVERIFY(!linked.clickOpenClose());
    QCOMPARE(linked.button()->text(), QStringLiteral("Open"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>());
}

namespace {

void showContent(MainWindow &window)
{
    window.show();
    QMetaObject::invokeMethod(&window, "showContentApp");
}

QPushButton *buttonOf(const MainWindow &window)
{
    return window.findChild<QPushButton *>(QStringLiteral("open_close_pb"));
}

QString stateOf(const MainWindow &window)
{
    return window.findChild<QLabel *>(QStringLiteral("link_state_label"))->toolTip();
}

} // namespace

void TestSerialLink::keepsALinkOpenUntilClosed()
{
    PluggableBoard board;
    const LinkChoice choice{board.stableName(), 115200, {}};
    MainWindow window(nullptr, board.lister(), createInputBackend(), {choice, true, nullptr});
    showContent(window);
    board.plugIn();
    QTRY_COMPARE_WITH_TIMEOUT(buttonOf(window)->property("open"), QVariant(true), 3000);
    QVERIFY(board.send("0 2\n1 0 65\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{1});

    // Lost: released, and still Close, for the link is kept.
    board.unplug();
    QTRY_COMPARE(x.buttonsDown(), QVector<int>());
    QTRY_COMPARE(x.keysDown(), QVector<int>());
    QCOMPARE(buttonOf(window)->text(), QStringLiteral("Close"));
    QCOMPARE(stateOf(window), "Lost " + board.stableName() + " (reopening)");
    board.plugIn();
    QTRY_COMPARE_WITH_TIMEOUT(buttonOf(window)->property("open"), QVariant(true), 3000);
    QVERIFY(board.send("0 4\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{2});

    // The user's Close wins until the user opens again, which keeps it again.
    QTest::mouseClick(buttonOf(window), Qt::LeftButton);
    QCOMPARE(buttonOf(window)->text(), QStringLiteral("Open"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>());
    QTest::mouseClick(buttonOf(window), Qt::LeftButton);
    QTRY_COMPARE(buttonOf(window)->property("open"), QVariant(true));
    board.unplug();
    board.plugIn();
    QTRY_COMPARE_WITH_TIMEOUT(stateOf(window), "Reading " + board.stableName() + " at 115200 baud", 3000);
}

void TestSerialLink::opensAPortByTheNameItWasChosenBy()
{
    PluggableBoard board;
    board.plugIn();
    QTemporaryDir folder;
    QSettings memory(folder.filePath(QStringLiteral("harnelo.conf")), QSettings::IniFormat);
    MainWindow window(nullptr, board.lister(), createInputBackend(), {{board.stableName(), 9600, {}}, false, &memory});
    showContent(window);
    for (int round = 0; round < 2; ++round) {
        QTest::mouseClick(buttonOf(window), Qt::LeftButton);
        QCOMPARE(stateOf(window), "Reading " + board.stableName() + " at 9600 baud");
        QCOMPARE(recallLinkChoice(memory).port, board.stableName());
        QTest::mouseClick(buttonOf(window), Qt::LeftButton);
    }
}

QTEST_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
