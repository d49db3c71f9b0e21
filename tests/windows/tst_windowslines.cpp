// Runs on Windows (here under Wine): event lines go through the window's line
// handling, the code readData hands each line to, and low-level hooks show
// what reached Windows input.

#include "input/heldinputguard.h"
#include "input/windowsinput.h"
#include "inputhooks.h"
#include "mainwindow.h"
#include "remoteinput.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <cstring>
#include <memory>
#include <windows.h>

namespace {

bool refuseInput = false;

// Fails as SendInput does when Windows will not take input at all.
unsigned sendUnlessRefused(unsigned count, INPUT *inputs, int size)
{
    if (!refuseInput)
        return SendInput(count, inputs, size);
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

QPoint cursorPosition()
{
    POINT point{};
    GetCursorPos(&point);
    return {point.x, point.y};
}

} // namespace

class TestWindowsLines : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void clicksWhereAPositionPutTheCursor();
    void pressesEachButton_data();
    void pressesEachButton();
    void pressesKeysByVirtualKeyCode_data();
    void pressesKeysByVirtualKeyCode();
    void sendsAltAsASystemKey();
    void sendsKeysWithTheirScanCodes_data();
    void sendsKeysWithTheirScanCodes();
    void keepsAKeyWhoseReleaseWasRefusedHeld();
    void typesText_data();
    void typesText();
    void saysWhenInputIsRefused();
    void judgesIntegrityLevels_data();
    void judgesIntegrityLevels();
    void sendsNothingForLinesThatAreNotKeys();
    void turnsTheWheelBothWays();
    void keepsARunawayWheelTurnPositive();
    void closingTheWindowReleasesEverything();
    void opensAndClosesAComPort();
    void watchesAProgramBeingKilled();

private:
    void send(const QByteArray &lines);

    InputHooks hooks;
    std::unique_ptr<MainWindow> window;
};

void TestWindowsLines::initTestCase()
{
    QVERIFY(hooks.isInstalled());
}

void TestWindowsLines::init()
{
    window = std::make_unique<MainWindow>(nullptr, [] { return QList<SerialPortEntry>(); });
    hooks.take();
}

void TestWindowsLines::cleanup()
{
    window.reset();
    hooks.take();
}

void TestWindowsLines::send(const QByteArray &lines)
{
    for (const QByteArray &line : lines.split('\n'))
        window->handleLine(std::string_view(line.constData(), line.size()));
}

void TestWindowsLines::clicksWhereAPositionPutTheCursor()
{
    send("0 7 100 100\n0 2\n0 3");
    QCOMPARE(cursorPosition(), QPoint(100, 100));
    const auto events = hooks.take();
    QCOMPARE(events.size(), 2);
    for (const InputHooks::Event &event : events) {
        QVERIFY(event.injected);
        QCOMPARE(event.position, QPoint(100, 100));
    }
    QCOMPARE(events[0].what, QStringLiteral("WM_LBUTTONDOWN"));
    QCOMPARE(events[1].what, QStringLiteral("WM_LBUTTONUP"));

    send("0 8 10 -5\n0 0\n0 1");
    QCOMPARE(cursorPosition(), QPoint(110, 95));
    QCOMPARE(hooks.take().value(0).position, QPoint(110, 95));
}

void TestWindowsLines::pressesEachButton_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("right") << QByteArray("0 0\n0 1") << QStringList{"WM_RBUTTONDOWN", "WM_RBUTTONUP"};
    QTest::newRow("middle") << QByteArray("0 4\n0 5") << QStringList{"WM_MBUTTONDOWN", "WM_MBUTTONUP"};
    QTest::newRow("extra fields") << QByteArray("0 2 now\n0 3 99") << QStringList{"WM_LBUTTONDOWN", "WM_LBUTTONUP"};
    QTest::newRow("back") << QByteArray("0 9\n0 10") << QStringList{"WM_XBUTTONDOWN 1", "WM_XBUTTONUP 1"};
    QTest::newRow("forward") << QByteArray("0 11\n0 12") << QStringList{"WM_XBUTTONDOWN 2", "WM_XBUTTONUP 2"};
}

void TestWindowsLines::pressesEachButton()
{
    QFETCH(QByteArray, lines);
    QFETCH(QStringList, events);
    send(lines);
    QCOMPARE(hooks.takeNames(), events);
}

void TestWindowsLines::pressesKeysByVirtualKeyCode_data()
{
    QTest::addColumn<int>("key");
    for (const int key : {65, VK_RETURN, VK_CONTROL, VK_LSHIFT, VK_OEM_1, VK_F13})
        QTest::addRow("%d", key) << key;
}

void TestWindowsLines::pressesKeysByVirtualKeyCode()
{
    QFETCH(int, key);
    const QByteArray code = QByteArray::number(key);
    send("1 0 " + code + "\n1 1 " + code);
    QCOMPARE(hooks.takeNames(), QStringList({"WM_KEYDOWN " + code, "WM_KEYUP " + code}));
}

void TestWindowsLines::sendsAltAsASystemKey()
{
    send("1 0 18\n1 1 18");
    const QStringList events = hooks.takeNames();
    QCOMPARE(events.value(0), QStringLiteral("WM_SYSKEYDOWN 18"));
    QVERIFY(events.value(1).endsWith(QLatin1String("KEYUP 18")));
}

void TestWindowsLines::sendsKeysWithTheirScanCodes_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<unsigned>("scanCode");
    QTest::addColumn<bool>("extended");
    QTest::newRow("A") << 65 << 0x1Eu << false;
    QTest::newRow("left arrow") << VK_LEFT << 0x4Bu << true;
    QTest::newRow("Insert") << VK_INSERT << 0x52u << true;
    QTest::newRow("right Ctrl") << VK_RCONTROL << 0x1Du << true;
    QTest::newRow("Ctrl, the left one") << VK_CONTROL << 0x1Du << false;
}

void TestWindowsLines::sendsKeysWithTheirScanCodes()
{
    QFETCH(int, key);
    QFETCH(unsigned, scanCode);
    QFETCH(bool, extended);
    const QByteArray code = QByteArray::number(key);
    send("1 0 " + code + "\n1 1 " + code);
    const auto events = hooks.take();
    QCOMPARE(events.size(), 2);
    for (const InputHooks::Event &event : events) {
        QCOMPARE(event.scanCode, scanCode);
        QCOMPARE(event.extended, extended);
    }
}

void TestWindowsLines::keepsAKeyWhoseReleaseWasRefusedHeld()
{
    WindowsInput input(sendUnlessRefused);
    input.sendKey(VK_RCONTROL, true);
    refuseInput = true;
    input.sendKey(VK_RCONTROL, false);
    input.sendKey(65, true);
    refuseInput = false;
    QVERIFY(QString::fromStdString(input.takeError()).contains(QLatin1String("error 5")));
    QCOMPARE(hooks.takeNames(), QStringList({"WM_KEYDOWN 163"}));

    input.releaseAllKeys();
    QCOMPARE(hooks.takeNames(), QStringList({"WM_KEYUP 163"}));
    input.releaseAllKeys();
    QCOMPARE(hooks.takeNames(), QStringList());
}

void TestWindowsLines::typesText_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QString>("layout"); // a layout to type under, none for the current one
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("arrives"); // in a line edit with the focus
    const auto typed = [](std::initializer_list<const char *> units) {
        QStringList events;
        for (const char *unit : units)
            events << QStringLiteral("WM_KEYDOWN U+") + QLatin1String(unit)
                   << QStringLiteral("WM_KEYUP U+") + QLatin1String(unit);
        return events;
    };
    QTest::newRow("ASCII") << QByteArray("2 72 105") << QString() << typed({"0048", "0069"}) << QStringLiteral("Hi");
    QTest::newRow("accents and euro") << QByteArray("2 233 8364") << QString() << typed({"00E9", "20AC"})
                                      << QStringLiteral("\u00e9\u20ac");
    QTest::newRow("beyond 16 bits, as a surrogate pair")
        << QByteArray("2 128512") << QString() << typed({"D83D", "DE00"}) << QStringLiteral("\U0001F600");
    // The hooks keep keys from the line edit.
    QTest::newRow("Tab and Return as keys")
        << QByteArray("2 9 10") << QString()
        << QStringList{"WM_KEYDOWN 9", "WM_KEYUP 9", "WM_KEYDOWN 13", "WM_KEYUP 13"} << QString();
    // Keys that the German layout moves or puts on another level.
    QTest::newRow("German layout") << QByteArray("2 121 122 64") << QStringLiteral("00000407")
                                   << typed({"0079", "007A", "0040"}) << QStringLiteral("yz@");
}

void TestWindowsLines::typesText()
{
    QFETCH(QByteArray, lines);
    QFETCH(QString, layout);
    QFETCH(QStringList, events);
    QFETCH(QString, arrives);
    QLineEdit edit;
    edit.show();
    edit.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&edit));
    const HKL previous = GetKeyboardLayout(0);
    if (!layout.isEmpty()) {
        const HKL chosen = LoadKeyboardLayoutW(reinterpret_cast<LPCWSTR>(layout.utf16()), KLF_ACTIVATE);
        if (!chosen || GetKeyboardLayout(0) != chosen)
            QSKIP("this system does not switch to that layout");
    }
    hooks.letTypedCharactersThrough(true);
    send(lines);
    const QStringList names = hooks.takeNames();
    hooks.letTypedCharactersThrough(false);
    ActivateKeyboardLayout(previous, 0);
    QCOMPARE(names, events);
    QTRY_COMPARE(edit.text(), arrives);
}

void TestWindowsLines::saysWhenInputIsRefused()
{
    WindowsInput input(sendUnlessRefused);
    refuseInput = true;
    input.typeCharacter(U'\u00e9');
    input.pressButton(MouseButton::Back);
    input.turnHorizontalWheel(120);
    refuseInput = false;
    const std::string error = input.takeError();
    QVERIFY2(error.rfind("Windows did not take a typed character (error 5)", 0) == 0, error.c_str());
    QCOMPARE(hooks.takeNames(), QStringList());
}

void TestWindowsLines::judgesIntegrityLevels_data()
{
    QTest::addColumn<unsigned long>("own");
    QTest::addColumn<int>("result");
    QTest::addColumn<unsigned long>("level");
    QTest::addColumn<bool>("blocked");
    constexpr int level = int(IntegrityProbe::Result::Level);
    constexpr int denied = int(IntegrityProbe::Result::Denied);
    constexpr int unknown = int(IntegrityProbe::Result::Unknown);
    const unsigned long low = SECURITY_MANDATORY_LOW_RID, medium = SECURITY_MANDATORY_MEDIUM_RID,
                        high = SECURITY_MANDATORY_HIGH_RID, system = SECURITY_MANDATORY_SYSTEM_RID;
    QTest::newRow("administrator's window") << medium << level << high << true;
    QTest::newRow("system's window from an administrator") << high << level << system << true;
    QTest::newRow("a peer") << medium << level << medium << false;
    QTest::newRow("a lower one") << high << level << low << false;
    QTest::newRow("one that may not be looked at") << medium << denied << 0ul << true;
    QTest::newRow("one the system may not look at") << system << denied << 0ul << false;
    QTest::newRow("one that is gone") << medium << unknown << 0ul << false;
}

void TestWindowsLines::judgesIntegrityLevels()
{
    QFETCH(unsigned long, own);
    QFETCH(int, result);
    QFETCH(unsigned long, level);
    QFETCH(bool, blocked);
    QCOMPARE(integrityBlocksInput(own, {IntegrityProbe::Result(result), level}), blocked);
}

void TestWindowsLines::sendsNothingForLinesThatAreNotKeys()
{
    send("1 0 0\n1 0 255\n1 0 256\n1 0 -1\n1 0 65601\n1 0\n0 14\nhello world\n0 6 120 1\n0 13 120 1\n"
         "2\n2 65 55296\n2 65 x\n2 13\n2 1114112");
    QCOMPARE(hooks.takeNames(), QStringList());
}

void TestWindowsLines::turnsTheWheelBothWays()
{
    send("0 6 120\n0 6 -240\n0 6 30\n0 13 120\n0 13 -240");
    QCOMPARE(hooks.takeNames(), QStringList({"WM_MOUSEWHEEL 120", "WM_MOUSEWHEEL -240", "WM_MOUSEWHEEL 30",
                                             "WM_MOUSEHWHEEL 120", "WM_MOUSEHWHEEL -240"}));
}

void TestWindowsLines::keepsARunawayWheelTurnPositive()
{
    // 40000 does not fit the wheel's 16-bit delta and would arrive as -25536.
    send("0 6 40000\n0 6 2147483647\n0 6 -2147483648\n0 13 -40000");
    QCOMPARE(hooks.takeNames(), QStringList({"WM_MOUSEWHEEL 12000", "WM_MOUSEWHEEL 12000", "WM_MOUSEWHEEL -12000",
                                             "WM_MOUSEHWHEEL -12000"}));
}

void TestWindowsLines::closingTheWindowReleasesEverything()
{
    send("0 2\n0 0\n0 4\n0 9\n0 11\n1 0 65\n1 0 17");
    QCOMPARE(hooks.take().size(), 7);
    window->close();
    QCOMPARE(hooks.takeNames(), QStringList({"WM_RBUTTONUP", "WM_LBUTTONUP", "WM_MBUTTONUP", "WM_XBUTTONUP 1",
                                             "WM_XBUTTONUP 2", "WM_KEYUP 17", "WM_KEYUP 65"}));
}

// HARNELO_TEST_PORT names a COM port whose other end the calling test
// watches; it checks that the port was opened at 1200 baud.
void TestWindowsLines::opensAndClosesAComPort()
{
    const QString port = qEnvironmentVariable("HARNELO_TEST_PORT");
    if (port.isEmpty())
        QSKIP("HARNELO_TEST_PORT names no COM port to open");
    window.reset();
    MainWindow listed; // with the system's own port list
    listed.show();
    QMetaObject::invokeMethod(&listed, "showContentApp");
    auto *ports = listed.findChild<QComboBox *>(QStringLiteral("port_cb"));
    auto *rates = listed.findChild<QComboBox *>(QStringLiteral("baud_rate_cb"));
    auto *button = listed.findChild<QPushButton *>(QStringLiteral("open_close_pb"));

    const int index = ports->findText(port + QStringLiteral("    -    "), Qt::MatchStartsWith);
    QVERIFY2(index >= 0, qPrintable(port + " is not listed"));
    QCOMPARE(ports->itemText(index), port + QStringLiteral("    -    Unknown"));
    QCOMPARE(rates->itemText(0), QStringLiteral("110   Baud"));
    ports->setCurrentIndex(index);
    rates->setCurrentIndex(rates->findText(QStringLiteral("1200   Baud")));
    QVERIFY(rates->currentIndex() > 0);

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), QStringLiteral("Close"));
    QVERIFY(!ports->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), QStringLiteral("Open"));
    QVERIFY(ports->isEnabled());
}

// Run alone by the Wine test, which kills the program once this says it is
// ready: first the virtual keys HARNELO_EXPECTED_HELD lists (mouse buttons
// are keys 1, 2, 4, ...) must be down, then the releases
// HARNELO_EXPECTED_RELEASES lists, split by commas, must come through.
void TestWindowsLines::watchesAProgramBeingKilled()
{
    const QString ready = qEnvironmentVariable("HARNELO_WATCHER_READY");
    if (ready.isEmpty())
        QSKIP("only the Wine test runs this, beside a program it kills");
    const auto held = [] {
        QStringList down;
        for (int virtualKey = 1; virtualKey < 255; ++virtualKey) {
            if (GetAsyncKeyState(virtualKey) & 0x8000)
                down << QString::number(virtualKey);
        }
        return down.join(QLatin1Char(' '));
    };
    QTRY_COMPARE(held(), qEnvironmentVariable("HARNELO_EXPECTED_HELD"));
    hooks.take();
    QFile readiness(ready);
    QVERIFY(readiness.open(QIODevice::WriteOnly));
    readiness.close();

    QStringList expected = qEnvironmentVariable("HARNELO_EXPECTED_RELEASES").split(QLatin1Char(','));
    expected.sort();
    QStringList seen;
    const auto collect = [&] {
        for (const InputHooks::Event &event : hooks.take())
            seen << event.what + (event.extended ? QStringLiteral(" extended") : QString());
        seen.sort();
        return seen.size() >= expected.size();
    };
    QTRY_VERIFY_WITH_TIMEOUT(collect(), 60000);
    QCOMPARE(seen, expected);
}

// The Wine test also runs this program as one it kills: with HARNELO_HOLD
// set it presses what those lines (split by commas) press, with a guard,
// which is this program again with --guard, says so by making the file
// HARNELO_HOLDING names and waits to be killed. The program itself, which
// would do the same, reads its lines from a serial port that Wine never lets
// it read from a pseudo-terminal.
[[noreturn]] void holdUntilKilled()
{
    RemoteInput input(std::make_unique<WindowsInput>());
    for (const QByteArray &line : qgetenv("HARNELO_HOLD").split(','))
        input.handleLine(std::string_view(line.constData(), line.size()));
    QFile holding(qEnvironmentVariable("HARNELO_HOLDING"));
    static_cast<void>(holding.open(QIODevice::WriteOnly));
    holding.close();
    for (;;)
        Sleep(INFINITE);
}

int main(int argc, char **argv)
{
    const bool holds = qEnvironmentVariableIsSet("HARNELO_HOLD");
    if (holds || (argc > 1 && std::strcmp(argv[1], "--guard") == 0)) {
        if (const std::optional<int> guardStatus = HeldInputGuard::start(argc, argv))
            return *guardStatus;
    }
    QApplication app(argc, argv);
    if (holds)
        holdUntilKilled();
    TestWindowsLines test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_windowslines.moc"
