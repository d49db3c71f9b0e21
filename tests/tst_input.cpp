#include "input/x11input.h"
#include "linkedwindow.h"
#include "pseudoterminal.h"
#include "xserver.h"

#include <QPlainTextEdit>
#include <QProcess>
#include <QtTest>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <csignal>

Q_DECLARE_METATYPE(KeyboardEvent)

namespace {

bool invoke(MainWindow &window, const char *slot)
{
    return QMetaObject::invokeMethod(&window, slot);
}

bool sendKey(MainWindow &window, KeyboardEvent event, int key)
{
    return QMetaObject::invokeMethod(&window, "keyboardEvent", Q_ARG(KeyboardEvent, event),
                                     Q_ARG(int, key));
}

QStringList clicks(const QString &button, int count)
{
    QStringList events;
    for (int i = 0; i < count; ++i)
        events << QStringLiteral("press ") + button << QStringLiteral("release ") + button;
    return events;
}

} // namespace

class TestInput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pressesAndReleasesEachButton_data();
    void pressesAndReleasesEachButton();
    void pressesKeysByVirtualKeyCode_data();
    void pressesKeysByVirtualKeyCode();
    void sendsNothingForCodesThatAreNotKeys();
    void placesTheCursor();
    void turnsTheWheelInNotches_data();
    void turnsTheWheelInNotches();
    void carriesWheelRemainders();
    void boundsWheelTurnsOnEveryBackend();
    void releasesThePressedKeycodeAfterAKeymapChange_data();
    void releasesThePressedKeycodeAfterAKeymapChange();
    void typesKeysTheKeymapLacks();
    void releasesEverythingHeldInOrder();
    void releasingNothingSendsNothing();
    void holdsAKeyUntilItsLastHolderLetsGo_data();
    void holdsAKeyUntilItsLastHolderLetsGo();
    void instancesBindSpareKeycodesOfTheirOwn();
    void reclaimsTheBindingsOfInstancesThatAreGone_data();
    void reclaimsTheBindingsOfInstancesThatAreGone();
    void typesTextAsTheLayoutDoes_data();
    void typesTextAsTheLayoutDoes();
    void saysWhichCharactersItCannotType();
    void lendsTheSpareKeycodeUsedLongestAgo();

private:
    XServer x;
};

void TestInput::init()
{
    QVERIFY(x.isOpen());
    x.releaseEverything();
}

void TestInput::cleanup()
{
    x.releaseEverything();
}

void TestInput::pressesAndReleasesEachButton_data()
{
    // A slot of the window's, or else a line from the board.
    QTest::addColumn<QByteArray>("press");
    QTest::addColumn<QByteArray>("release");
    QTest::addColumn<int>("xButton");
    QTest::newRow("right") << QByteArray("rightPress") << QByteArray("rightRelease") << 3;
    QTest::newRow("left") << QByteArray("leftPress") << QByteArray("leftRelease") << 1;
    QTest::newRow("middle") << QByteArray("middlePress") << QByteArray("middleRelease") << 2;
    QTest::newRow("back") << QByteArray("0 9\n") << QByteArray("0 10\n") << 8;
    QTest::newRow("forward") << QByteArray("0 11\n") << QByteArray("0 12\n") << 9;
}

void TestInput::pressesAndReleasesEachButton()
{
    QFETCH(QByteArray, press);
    QFETCH(QByteArray, release);
    QFETCH(int, xButton);
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    EventRecorder recorder(x, 600, 400, 100, 100);
    QVERIFY(linked.send("0 7 650 450\n"));
    QTRY_COMPARE(x.pointer(), QPoint(650, 450));
    const auto act = [&linked](const QByteArray &what) {
        return what.endsWith('\n') ? linked.send(what) : invoke(linked.window, what);
    };
    const QString button = QString::number(xButton);

    QVERIFY(act(press));
    QTRY_COMPARE(recorder.events(), QStringList{"press " + button});
    if (xButton <= 5)
        QCOMPARE(x.buttonsDown(), QVector<int>{xButton});
    QVERIFY(act(release));
    QTRY_COMPARE(recorder.events(), QStringList({"press " + button, "release " + button}));
    QCOMPARE(x.buttonsDown(), QVector<int>());
}

void TestInput::pressesKeysByVirtualKeyCode_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<unsigned long>("keysym");
    QTest::newRow("A key") << 65 << static_cast<unsigned long>(XK_a);
    QTest::newRow("Enter") << 13 << static_cast<unsigned long>(XK_Return);
    QTest::newRow("Control") << 17 << static_cast<unsigned long>(XK_Control_L);
    QTest::newRow("right Shift") << 0xA1 << static_cast<unsigned long>(XK_Shift_R);
    QTest::newRow("F5") << 0x74 << static_cast<unsigned long>(XK_F5);
    QTest::newRow("keypad plus") << 0x6B << static_cast<unsigned long>(XK_KP_Add);
    QTest::newRow("semicolon") << 0xBA << static_cast<unsigned long>(XK_semicolon);
    // Not shift+comma, which also makes "<" on a US layout.
    QTest::newRow("102nd key") << 0xE2 << static_cast<unsigned long>(XK_less);
}

void TestInput::pressesKeysByVirtualKeyCode()
{
    QFETCH(int, code);
    QFETCH(unsigned long, keysym);
    MainWindow window(nullptr, [] { return QList<SerialPortEntry>(); });
    const int keycode = x.keycodeOf(keysym);
    QVERIFY(keycode != 0);
    if (code == 0xE2)
        QVERIFY(keycode != x.keycodeOf(XK_comma));

    QVERIFY(sendKey(window, PRESS, code));
    QTRY_COMPARE(x.keysDown(), QVector<int>{keycode});
    QVERIFY(sendKey(window, RELEASE, code));
    QTRY_COMPARE(x.keysDown(), QVector<int>());
}

void TestInput::sendsNothingForCodesThatAreNotKeys()
{
    MainWindow window(nullptr, [] { return QList<SerialPortEntry>(); });
    EventRecorder recorder(x, 600, 400, 100, 100);
    // 65601 has the A key's code in its low 16 bits; it is still not a key.
    for (const int code : {0, -1, 255, 256, 65601, -65471})
        QVERIFY(sendKey(window, PRESS, code));
    QTest::qWait(100);
    QCOMPARE(recorder.events(), QStringList());
    QCOMPARE(x.keysDown(), QVector<int>());
}

void TestInput::placesTheCursor()
{
    MainWindow window(nullptr, [] { return QList<SerialPortEntry>(); });
    QVERIFY(QMetaObject::invokeMethod(&window, "setMousePosition", Q_ARG(int, 123), Q_ARG(int, 234)));
    QTRY_COMPARE(x.pointer(), QPoint(123, 234));
    QVERIFY(QMetaObject::invokeMethod(&window, "setMousePosition", Q_ARG(int, 0), Q_ARG(int, 0)));
    QTRY_COMPARE(x.pointer(), QPoint(0, 0));
}

void TestInput::turnsTheWheelInNotches_data()
{
    // The X buttons of positive and negative amounts.
    QTest::addColumn<bool>("horizontal");
    QTest::addColumn<QString>("positive");
    QTest::addColumn<QString>("negative");
    QTest::newRow("vertical: up, down") << false << "4" << "5";
    QTest::newRow("horizontal: right, left") << true << "7" << "6";
}

void TestInput::turnsTheWheelInNotches()
{
    QFETCH(bool, horizontal);
    QFETCH(QString, positive);
    QFETCH(QString, negative);
    const auto input = createInputBackend().backend;
    const auto turn = [&](int amount) {
        horizontal ? input->turnHorizontalWheel(amount) : input->turnWheel(amount);
    };
    EventRecorder recorder(x, 600, 400, 100, 100);
    input->moveCursorTo(recorder.centre().x(), recorder.centre().y());

    turn(120);
    QTRY_COMPARE(recorder.events(), clicks(positive, 1));
    recorder.clear();
    turn(-240);
    QTRY_COMPARE(recorder.events(), clicks(negative, 2));
    recorder.clear();
    for (int i = 0; i < 4; ++i)
        turn(30);
    QTRY_COMPARE(recorder.events(), clicks(positive, 1));
    recorder.clear();

    // A runaway amount is bounded rather than clicking for minutes.
    turn(INT_MAX);
    QTRY_COMPARE(recorder.events().size(), 200);
}

// Records the wheel amounts the interface lets through to a backend.
class WheelRecorder final : public InputBackend
{
public:
    QList<int> turns;
    QList<int> sideways;
    void pressButton(MouseButton) override {}
    void releaseButton(MouseButton) override {}
    void sendKey(int, bool) override {}
    void typeCharacter(char32_t) override {}
    void releaseAllKeys() override {}

protected:
    void sendWheel(int amount) override { turns << amount; }
    void sendHorizontalWheel(int amount) override { sideways << amount; }
};

void TestInput::boundsWheelTurnsOnEveryBackend()
{
    WheelRecorder input;
    input.turnWheel(40000);
    input.turnWheel(INT_MIN);
    input.turnWheel(0);
    QCOMPARE(input.turns, QList<int>({12000, -12000}));

    // One batch, one read of the port: 400 notches between all its lines.
    input.turns.clear();
    {
        InputBatch batch(input);
        for (int i = 0; i < 3; ++i)
            input.turnWheel(15000);
        input.turnWheel(-20000);
        input.turnWheel(120);
    }
    QCOMPARE(input.turns, QList<int>({12000, 12000, 12000, -12000}));
    input.turns.clear();
    {
        InputBatch batch(input);
        input.turnWheel(-120);
    }
    QCOMPARE(input.turns, QList<int>({-120}));

    // Both wheels draw on the same 400 notches.
    input.turns.clear();
    {
        InputBatch batch(input);
        input.turnHorizontalWheel(-40000);
        for (int i = 0; i < 4; ++i)
            input.turnWheel(15000);
        input.turnHorizontalWheel(120);
    }
    QCOMPARE(input.sideways, QList<int>({-12000}));
    QCOMPARE(input.turns, QList<int>({12000, 12000, 12000}));
}

void TestInput::carriesWheelRemainders()
{
    int remainder = 0;
    QCOMPARE(X11Input::wheelClicks(60, remainder), 0);
    QCOMPARE(X11Input::wheelClicks(90, remainder), 1);
    QCOMPARE(remainder, 30);
    QCOMPARE(X11Input::wheelClicks(-130, remainder), -1);
    QCOMPARE(remainder, -10);
    QCOMPARE(X11Input::wheelClicks(-110, remainder), -1);
    QCOMPARE(remainder, 0);
    QCOMPARE(X11Input::wheelClicks(InputBackend::MaxWheelPerTurn + 119, remainder), 100);
    QCOMPARE(remainder, 119);
}

void TestInput::releasesThePressedKeycodeAfterAKeymapChange_data()
{
    QTest::addColumn<QByteArray>("release");
    QTest::newRow("release line") << QByteArray("1 1 65\n");
    QTest::newRow("Close") << QByteArray();
}

void TestInput::releasesThePressedKeycodeAfterAKeymapChange()
{
    QFETCH(QByteArray, release);
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    const int pressed = x.keycodeOf(XK_a);
    QVERIFY(linked.send("1 0 65\n"));
    QTRY_COMPARE(x.keysDown(), QVector<int>{pressed});

    // A layout switch moves the A key's keysym elsewhere while it is held.
    KeymapChange keymap(x);
    const int moved = x.emptyKeycodes().value(0);
    QVERIFY(moved != 0);
    keymap.bind(moved, XK_a);
    keymap.bind(pressed, NoSymbol);
    QTest::qWait(200); // the window sees the change

    if (release.isEmpty())
        QVERIFY(!linked.clickOpenClose());
    else
        QVERIFY(linked.send(release));
    QTRY_COMPARE(x.keysDown(), QVector<int>());
}

void TestInput::typesKeysTheKeymapLacks()
{
    const QVector<int> emptyBefore = x.emptyKeycodes();
    QList<unsigned long> wanted;
    QByteArray presses, releases;
    for (int i = 0; i < 12; ++i) {
        wanted << XK_F13 + i;
        QCOMPARE(x.keycodeOf(XK_F13 + i), 0);
        presses += "1 0 " + QByteArray::number(0x7C + i) + "\n";
        releases += "1 1 " + QByteArray::number(0x7C + i) + "\n";
    }
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());

    QVERIFY(linked.send(presses));
    QTRY_COMPARE(x.keysDown().size(), 12);
    QList<unsigned long> typed;
    for (const int keycode : x.keysDown())
        typed << x.keysymOf(keycode);
    std::sort(typed.begin(), typed.end());
    QCOMPARE(typed, wanted);
    QVERIFY(linked.send(releases));
    QTRY_COMPARE(x.keysDown(), QVector<int>());

    // Bindings last while the link does; Close leaves the keymap as it was.
    QVERIFY(linked.send("1 0 124\n"));
    QTRY_COMPARE(x.keysDown().size(), 1);
    QVERIFY(!linked.clickOpenClose());
    QTRY_COMPARE(x.keysDown(), QVector<int>());
    QCOMPARE(x.emptyKeycodes(), emptyBefore);

    // Without a spare keycode nothing is sent; no keycode in use is taken.
    {
        KeymapChange keymap(x);
        for (const int keycode : emptyBefore)
            keymap.bind(keycode, XK_VoidSymbol);
        QTest::qWait(200);
        QVERIFY(linked.clickOpenClose());
        EventRecorder recorder(x, 600, 400, 100, 100);
        QVERIFY(linked.send("1 0 124\n1 1 124\n"));
        QTest::qWait(100);
        QCOMPARE(recorder.events(), QStringList());
        QCOMPARE(x.keycodeOf(XK_F13), 0);
        QVERIFY(!linked.clickOpenClose());
    }
}

void TestInput::releasesEverythingHeldInOrder()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    EventRecorder recorder(x, 600, 400, 100, 100);
    QVERIFY(linked.send("0 7 650 450\n0 2\n0 9\n0 11\n1 0 65\n1 0 17\n1 0 0\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{1});
    QTRY_COMPARE(x.keysDown().size(), 2);
    recorder.clear();

    QVERIFY(invoke(linked.window, "releaseButtonsAndKeys"));
    const QString a = QString::number(x.keycodeOf(XK_a));
    const QString control = QString::number(x.keycodeOf(XK_Control_L));
    QTRY_COMPARE(recorder.events(),
                 QStringList({"release 1", "release 8", "release 9", "keyup " + control, "keyup " + a}));
    QCOMPARE(x.buttonsDown(), QVector<int>());
    QCOMPARE(x.keysDown(), QVector<int>());

    // Everything is recorded as released now: a second release sends nothing.
    recorder.clear();
    QVERIFY(invoke(linked.window, "releaseButtonsAndKeys"));
    QTest::qWait(100);
    QCOMPARE(recorder.events(), QStringList());
}

void TestInput::releasingNothingSendsNothing()
{
    MainWindow window(nullptr, [] { return QList<SerialPortEntry>(); });
    EventRecorder recorder(x, 600, 400, 100, 100);
    QVERIFY(invoke(window, "releaseButtonsAndKeys"));
    QTest::qWait(100);
    QCOMPARE(recorder.events(), QStringList());
}

void TestInput::holdsAKeyUntilItsLastHolderLetsGo_data()
{
    // 0: not let go on its own; all keys go up at the end.
    QTest::addColumn<int>("firstUp");
    QTest::addColumn<int>("lastUp");
    QTest::newRow("Shift up first") << 0x10 << 0xA0;
    QTest::newRow("left Shift up first") << 0xA0 << 0x10;
    QTest::newRow("all keys up") << 0 << 0;
}

void TestInput::holdsAKeyUntilItsLastHolderLetsGo()
{
    QFETCH(int, firstUp);
    QFETCH(int, lastUp);
    const auto input = createInputBackend().backend;
    EventRecorder recorder(x, 600, 400, 100, 100);
    const QString shift = QString::number(x.keycodeOf(XK_Shift_L));
    const QString a = QString::number(x.keycodeOf(XK_a));
    input->sendKey(0x10, true);
    input->sendKey(0xA0, true);
    if (firstUp)
        input->sendKey(firstUp, false);
    // A tap of A on the same connection shows whether Shift went up before it.
    input->sendKey(0x41, true);
    input->sendKey(0x41, false);
    QStringList expected{"keydown " + shift, "keydown " + a, "keyup " + a};
    QTRY_COMPARE(recorder.events(), expected);
    if (lastUp)
        input->sendKey(lastUp, false);
    else
        input->releaseAllKeys();
    expected << "keyup " + shift;
    QTRY_COMPARE(recorder.events(), expected);
}

// Two instances bind before either hears of the other's binding.
void TestInput::instancesBindSpareKeycodesOfTheirOwn()
{
    const QVector<int> emptyBefore = x.emptyKeycodes();
    X11Input first(XOpenDisplay(nullptr), true, true);
    X11Input second(XOpenDisplay(nullptr), true, true);
    first.sendKey(0x7C, true);
    second.sendKey(0x7D, true);
    QTRY_COMPARE(x.keysDown().size(), 2);
    QList<unsigned long> typed;
    for (const int keycode : x.keysDown())
        typed << x.keysymOf(keycode);
    std::sort(typed.begin(), typed.end());
    QCOMPARE(typed, QList<unsigned long>({XK_F13, XK_F14}));
    first.releaseAllKeys();
    second.releaseAllKeys();
    QTRY_COMPARE(x.keysDown(), QVector<int>());
    QCOMPARE(x.emptyKeycodes(), emptyBefore);
}

void TestInput::reclaimsTheBindingsOfInstancesThatAreGone_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("killed") << true;
    QTest::newRow("still running") << false;
}

void TestInput::reclaimsTheBindingsOfInstancesThatAreGone()
{
    QFETCH(bool, killed);
    const QVector<int> emptyBefore = x.emptyKeycodes();
    PseudoTerminal board;
    QProcess program;
    program.start(QStringLiteral(HARNELO_LINKED), {board.devicePath()});
    QVERIFY(program.waitForReadyRead(20000));
    QVERIFY(board.write("1 0 124\n"));
    QTRY_COMPARE(x.keysDown().size(), 1);
    const int bound = x.keysDown().value(0);
    QCOMPARE(x.keysymOf(bound), static_cast<unsigned long>(XK_F13));
    if (killed) {
        QCOMPARE(::kill(static_cast<pid_t>(program.processId()), SIGKILL), 0);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(x.keysymOf(bound), static_cast<unsigned long>(XK_F13));
    }

    // The next instance clears only what nobody holds any more.
    { X11Input next(XOpenDisplay(nullptr), true, true); }
    QCOMPARE(x.keysymOf(bound), killed ? NoSymbol : static_cast<unsigned long>(XK_F13));
    if (!killed) {
        program.terminate();
        QVERIFY(program.waitForFinished(10000));
    }
    QCOMPARE(x.emptyKeycodes(), emptyBefore);
}

void TestInput::typesTextAsTheLayoutDoes_data()
{
    QTest::addColumn<QString>("layout");
    // The layout's group locked, 0 for the first.
    QTest::addColumn<int>("group");
    QTest::addColumn<bool>("capsLock");
    // Virtual keys the board holds while the text is typed.
    QTest::addColumn<QList<int>>("held");
    QTest::addColumn<QString>("text");
    const auto row = [](const char *name, const char *layout, bool capsLock, QList<int> held, const char *text,
                        int group = 0) {
        QTest::newRow(name) << QString::fromLatin1(layout) << group << capsLock << held << QString::fromUtf8(text);
    };
    row("us", "us", false, {}, "Hello, World! 1+1=2 ~`\\|<>?\tx\ny");
    row("de", "de", false, {}, "Gr\u00fc\u00dfe: 1\u20ac @{[]}|~\\<> \u00c4\u00d6\u00dc ^\u00b0");
    row("fr", "fr", false, {}, "\u00e0\u00e9\u00e8\u00e7\u00f9 AZERTY 1234 @\u20ac\u00b2 \u00ea");
    row("us, Caps Lock", "us", true, {}, "abc XYZ 123 ;:");
    row("de, Caps Lock", "de", true, {}, "\u00e4\u00f6\u00fc \u00c4\u00d6\u00dc \u20ac@ \u00df?");
    row("Shift and Ctrl held", "us", false, {0x10, 0x11}, "ab AB 1!");
    row("on no layout", "us", false, {}, "\u2603 \u0175\u0174 \u2603");
    row("second layout locked", "us,ru", false, {}, "\u043f\u0440\u0438\u0432\u0435\u0442, \u042f! Hi", 1);
}

void TestInput::typesTextAsTheLayoutDoes()
{
    QFETCH(QString, layout);
    QFETCH(int, group);
    QFETCH(bool, capsLock);
    QFETCH(QList<int>, held);
    QFETCH(QString, text);
    // The backend hears of the new layout as the window does.
    const auto input = createInputBackend().backend;
    const KeyboardLayout keyboard(layout);
    QVERIFY(keyboard.isSwitched());
    x.setCapsLock(capsLock);
    x.lockGroup(group);
    QPlainTextEdit editor;
    editor.setGeometry(600, 400, 300, 200);
    editor.show();
    editor.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&editor));

    for (const int virtualKey : held)
        input->sendKey(virtualKey, true);
    for (const char32_t character : text.toUcs4())
        input->typeCharacter(character);
    for (const int virtualKey : held)
        input->sendKey(virtualKey, false);
    QTRY_COMPARE(editor.toPlainText(), text);
    QCOMPARE(x.keysDown(), QVector<int>());
    QCOMPARE(x.isCapsLockOn(), capsLock);
    QCOMPARE(input->takeError(), std::string());
    x.setCapsLock(false);
    x.lockGroup(0);
}

void TestInput::saysWhichCharactersItCannotType()
{
    KeymapChange keymap(x);
    for (const int keycode : x.emptyKeycodes())
        keymap.bind(keycode, XK_VoidSymbol);
    const auto input = createInputBackend().backend;
    EventRecorder recorder(x, 600, 400, 100, 100);
    input->typeCharacter(U'\u2603');
    input->typeCharacter(U'x');
    input->typeCharacter(U'\u2602');
    QTRY_COMPARE(recorder.events().size(), 2);
    QCOMPARE(input->takeError(), std::string("could not type U+2603: the keyboard layout has no key for it and no"
                                             " spare keycode is free (2 characters skipped)"));
    QCOMPARE(input->takeError(), std::string());
}

void TestInput::lendsTheSpareKeycodeUsedLongestAgo()
{
    const QVector<int> empty = x.emptyKeycodes();
    QVERIFY(empty.size() > 2);
    KeymapChange keymap(x);
    for (const int keycode : empty.mid(2))
        keymap.bind(keycode, XK_VoidSymbol);
    const auto input = createInputBackend().backend;
    // Characters with no keysym of their own: theirs is 0x1000000 + code point.
    for (const char32_t character : {U'\u2603', U'\U0001F600', U'\U0001F680', U'\U0001F600', U'\U0001F34E'})
        input->typeCharacter(character);
    QList<unsigned long> bound{x.keysymOf(empty[0]), x.keysymOf(empty[1])};
    std::sort(bound.begin(), bound.end());
    QCOMPARE(bound, QList<unsigned long>({0x101F34E, 0x101F600}));
    input->releaseAllKeys();
    QCOMPARE(input->takeError(), std::string());
}

QTEST_MAIN(TestInput)
#include "tst_input.moc"
