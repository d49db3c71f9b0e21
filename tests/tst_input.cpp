#include "input/x11input.h"
#include "linkedwindow.h"
#include "xserver.h"

#include <QtTest>

#include <X11/keysym.h>

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
    void turnsTheWheelInNotches();
    void carriesWheelRemainders();
    void releasesEverythingHeldInOrder();
    void releasingNothingSendsNothing();

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
    QTest::addColumn<QByteArray>("press");
    QTest::addColumn<QByteArray>("release");
    QTest::addColumn<int>("xButton");
    QTest::newRow("right") << QByteArray("rightPress") << QByteArray("rightRelease") << 3;
    QTest::newRow("left") << QByteArray("leftPress") << QByteArray("leftRelease") << 1;
    QTest::newRow("middle") << QByteArray("middlePress") << QByteArray("middleRelease") << 2;
}

void TestInput::pressesAndReleasesEachButton()
{
    QFETCH(QByteArray, press);
    QFETCH(QByteArray, release);
    QFETCH(int, xButton);
    MainWindow window(nullptr, [] { return QList<SerialPortEntry>(); });

    QVERIFY(invoke(window, press));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{xButton});
    QVERIFY(invoke(window, release));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>());
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
    QVERIFY(sendKey(window, PRESS, 0x7C)); // F13 has no key in this keymap
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

void TestInput::turnsTheWheelInNotches()
{
    const auto input = createInputBackend();
    EventRecorder recorder(x, 600, 400, 100, 100);
    input->moveCursorTo(recorder.centre().x(), recorder.centre().y());

    input->turnWheel(120);
    QTRY_COMPARE(recorder.events(), clicks("4", 1));
    recorder.clear();
    input->turnWheel(-240);
    QTRY_COMPARE(recorder.events(), clicks("5", 2));
    recorder.clear();
    for (int i = 0; i < 4; ++i)
        input->turnWheel(30);
    QTRY_COMPARE(recorder.events(), clicks("4", 1));
    recorder.clear();

    // A runaway amount is bounded rather than clicking for minutes.
    input->turnWheel(INT_MAX);
    QTRY_COMPARE(recorder.events().size(), 200);
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
    QCOMPARE(X11Input::wheelClicks(INT_MIN, remainder), -100);
    QCOMPARE(X11Input::wheelClicks(INT_MAX, remainder), 100);
}

void TestInput::releasesEverythingHeldInOrder()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    EventRecorder recorder(x, 600, 400, 100, 100);
    QVERIFY(linked.send("0 7 650 450\n0 2\n1 0 65\n1 0 17\n1 0 0\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{1});
    QCOMPARE(x.keysDown().size(), 2);
    recorder.clear();

    QVERIFY(invoke(linked.window, "releaseButtonsAndKeys"));
    const QString a = QString::number(x.keycodeOf(XK_a));
    const QString control = QString::number(x.keycodeOf(XK_Control_L));
    QTRY_COMPARE(recorder.events(),
                 QStringList({"release 1", "keyup " + control, "keyup " + a}));
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

QTEST_MAIN(TestInput)
#include "tst_input.moc"
