#include "input/x11keymap.h"
#include "input/x11keytable.h"

#include <QSet>
#include <QStringList>
#include <QtTest>

#include <X11/XF86keysym.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <climits>
#include <map>
#include <vector>

class TestX11KeyTable : public QObject
{
    Q_OBJECT

private slots:
    void mapsKeyToItsUnshiftedKeysym_data();
    void mapsKeyToItsUnshiftedKeysym();
    void mapsCodesThatNameNoKeyToZero_data();
    void mapsCodesThatNameNoKeyToZero();
    void everyKeysymHasAKeycodeInTheDefaultKeymap();
    void findsEachCharacterWithItsModifiers_data();
    void findsEachCharacterWithItsModifiers();
};

void TestX11KeyTable::mapsKeyToItsUnshiftedKeysym_data()
{
    QTest::addColumn<int>("virtualKey");
    QTest::addColumn<qulonglong>("keysym");

    auto row = [](const char *name, int virtualKey, unsigned long keysym) {
        QTest::newRow(name) << virtualKey << qulonglong(keysym);
    };
    row("A", 0x41, XK_a);
    row("Z", 0x5A, XK_z);
    row("0", 0x30, XK_0);
    row("9", 0x39, XK_9);
    row("F1", 0x70, XK_F1);
    row("F12", 0x7B, XK_F12);
    row("F24", 0x87, XK_F24);

    row("Backspace", 0x08, XK_BackSpace);
    row("Enter", 0x0D, XK_Return);
    row("Num Lock", 0x90, XK_Num_Lock);
    row("Pause", 0x13, XK_Pause);
    row("Print Screen", 0x2C, XK_Print);

    row("Shift", 0x10, XK_Shift_L);
    row("Control", 0x11, XK_Control_L);
    row("Alt", 0x12, XK_Alt_L);
    row("left Shift", 0xA0, XK_Shift_L);
    row("right Shift", 0xA1, XK_Shift_R);
    row("left Control", 0xA2, XK_Control_L);
    row("right Control", 0xA3, XK_Control_R);
    row("left Alt", 0xA4, XK_Alt_L);
    row("right Alt", 0xA5, XK_Alt_R);
    row("left Windows", 0x5B, XK_Super_L);
    row("right Windows", 0x5C, XK_Super_R);
    row("Apps", 0x5D, XK_Menu);

    row("Page Up", 0x21, XK_Prior);
    row("Page Down", 0x22, XK_Next);
    row("End", 0x23, XK_End);
    row("Home", 0x24, XK_Home);
    row("Down", 0x28, XK_Down);
    row("Delete", 0x2E, XK_Delete);

    row("keypad 0", 0x60, XK_KP_0);
    row("keypad 9", 0x69, XK_KP_9);
    row("keypad *", 0x6A, XK_KP_Multiply);
    row("keypad +", 0x6B, XK_KP_Add);
    row("keypad separator", 0x6C, XK_KP_Separator);
    row("keypad -", 0x6D, XK_KP_Subtract);
    row("keypad .", 0x6E, XK_KP_Decimal);
    row("keypad /", 0x6F, XK_KP_Divide);

    row(";", 0xBA, XK_semicolon);
    row("=", 0xBB, XK_equal);
    row(",", 0xBC, XK_comma);
    row("-", 0xBD, XK_minus);
    row(".", 0xBE, XK_period);
    row("/", 0xBF, XK_slash);
    row("`", 0xC0, XK_grave);
    row("[", 0xDB, XK_bracketleft);
    row("\\", 0xDC, XK_backslash);
    row("]", 0xDD, XK_bracketright);
    row("'", 0xDE, XK_apostrophe);
    row("ISO <>", 0xE2, XK_less);

    row("Browser Back", 0xA6, XF86XK_Back);
    row("Browser Refresh", 0xA8, XF86XK_Reload);
    row("Browser Home", 0xAC, XF86XK_HomePage);
    row("Volume Mute", 0xAD, XF86XK_AudioMute);
    row("Volume Up", 0xAF, XF86XK_AudioRaiseVolume);
    row("Play/Pause", 0xB3, XF86XK_AudioPlay);
    row("Launch App 2", 0xB7, XF86XK_Calculator);
    row("Sleep", 0x5F, XF86XK_Sleep);
}

void TestX11KeyTable::mapsKeyToItsUnshiftedKeysym()
{
    QFETCH(int, virtualKey);
    QFETCH(qulonglong, keysym);
    QCOMPARE(qulonglong(keysymForVirtualKey(virtualKey)), keysym);
}

void TestX11KeyTable::mapsCodesThatNameNoKeyToZero_data()
{
    QTest::addColumn<int>("code");

    QTest::newRow("0") << 0;
    QTest::newRow("left mouse button") << 0x01;
    QTest::newRow("right mouse button") << 0x02;
    QTest::newRow("middle mouse button") << 0x04;
    QTest::newRow("X button 2") << 0x06;
    QTest::newRow("reserved 0x07") << 0x07;
    QTest::newRow("IME Kana") << 0x15;
    QTest::newRow("unassigned 0x88") << 0x88;
    QTest::newRow("IME process key") << 0xE5;
    QTest::newRow("255") << 255;
    QTest::newRow("256") << 256;
    QTest::newRow("0x10041 ('A' plus 65536)") << 65601;
    QTest::newRow("-1") << -1;
    QTest::newRow("INT_MIN") << INT_MIN;
    QTest::newRow("INT_MAX") << INT_MAX;
}

void TestX11KeyTable::mapsCodesThatNameNoKeyToZero()
{
    QFETCH(int, code);
    QCOMPARE(keysymForVirtualKey(code), 0ul);
}

// Keysyms the standard "us" keymap of an X server puts on no key. A backend
// has to lend a spare keycode to these before it can press them.
static QSet<QString> keysymsMissingFromDefaultKeymap()
{
    QSet<QString> missing{"Clear", "Select", "Execute", "KP_Separator", "XF86Stop"};
    for (int n = 13; n <= 24; ++n)
        missing.insert(QStringLiteral("F%1").arg(n));
    return missing;
}

void TestX11KeyTable::everyKeysymHasAKeycodeInTheDefaultKeymap()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X server in DISPLAY");
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        QSKIP("cannot open the X display in DISPLAY");

    const QSet<QString> allowedMissing = keysymsMissingFromDefaultKeymap();
    QStringList unexpectedlyMissing;
    for (int virtualKey = 1; virtualKey <= 254; ++virtualKey) {
        const KeySym keysym = keysymForVirtualKey(virtualKey);
        if (keysym == 0 || XKeysymToKeycode(display, keysym) != 0)
            continue;
        const QString name = QString::fromLatin1(XKeysymToString(keysym));
        if (!allowedMissing.contains(name))
            unexpectedlyMissing << QStringLiteral("0x%1 %2").arg(virtualKey, 2, 16, QLatin1Char('0')).arg(name);
    }
    XCloseDisplay(display);

    QVERIFY2(unexpectedlyMissing.isEmpty(), qPrintable(unexpectedlyMissing.join(", ")));
}

// Keycodes of the made-up keymap below.
enum : int { ShiftKey = 20, LevelThreeKey = 21, ModeSwitchKey = 22, LentKey = 25, SpareKey = 30 };

void TestX11KeyTable::findsEachCharacterWithItsModifiers_data()
{
    QTest::addColumn<uint>("character");
    QTest::addColumn<bool>("capsLock");
    QTest::addColumn<int>("group");
    QTest::addColumn<bool>("onSpare");
    // The keycode, then the modifier keys held around it; empty for none.
    QTest::addColumn<QList<int>>("stroke");
    auto row = [](const char *name, char32_t character, bool capsLock, QList<int> stroke, bool onSpare = false,
                  int group = 0) { QTest::newRow(name) << uint(character) << capsLock << group << onSpare << stroke; };
    row("a", U'a', false, {10});
    row("A", U'A', false, {10, ShiftKey});
    row("a, Caps Lock", U'a', true, {10, ShiftKey});
    row("A, Caps Lock", U'A', true, {10});
    row("1, Caps Lock", U'1', true, {12});
    row("!", U'!', false, {12, ShiftKey});
    row("euro at level 3", U'\u20ac', false, {11, LevelThreeKey});
    row("euro, Caps Lock", U'\u20ac', true, {11, LevelThreeKey});
    row("backslash at level 3", U'\\', false, {13, LevelThreeKey});
    row("sharp s", U'\u00df', false, {13});
    row("sharp s, Caps Lock reaching its capital", U'\u00df', true, {});
    row("inverted ? at level 4", U'\u00bf', false, {13, LevelThreeKey, ShiftKey});
    row("o slash, Caps Lock", U'\u00f8', true, {17, LevelThreeKey, ShiftKey});
    row("next group", U'\u044f', false, {15, ModeSwitchKey});
    row("< on its own key", U'<', false, {16});
    row("bar at level 3", U'|', false, {16, LevelThreeKey});
    row("tab", U'\t', false, {23});
    row("line feed", U'\n', false, {24});
    row("control character", U'\u0001', false, {});
    row("not on the keymap", U'\u2603', false, {});
    row("only on a lent keycode", U'#', false, {});
    row("second group locked", U'\u044f', false, {15}, false, 1);
    row("second group locked, Caps Lock", U'\u044f', true, {15, ShiftKey}, false, 1);
    row("second group locked, first group's letter", U'q', false, {}, false, 1);
    row("third group locked", U'a', false, {}, false, 2);
    row("spare, second group locked", U'\u2603', false, {SpareKey}, true, 1);
    row("spare, lower case, Caps Lock", U'\u0175', true, {SpareKey, ShiftKey}, true);
    row("spare, upper case", U'\u0174', false, {SpareKey, ShiftKey}, true);
    row("spare, no case", U'\u2603', true, {SpareKey}, true);
}

void TestX11KeyTable::findsEachCharacterWithItsModifiers()
{
    QFETCH(uint, character);
    QFETCH(bool, capsLock);
    QFETCH(int, group);
    QFETCH(bool, onSpare);
    QFETCH(QList<int>, stroke);
    // As an XKB server shows its keymap to core clients.
    const std::map<int, std::vector<unsigned long>> keys{
        {10, {XK_a, XK_A, XK_a, XK_A}},
        {11, {XK_e, XK_E, XK_e, XK_E, XK_EuroSign, XK_EuroSign}},
        {12, {XK_1, XK_exclam, XK_1, XK_exclam}},
        {13, {XK_ssharp, XK_question, XK_ssharp, XK_question, XK_backslash, XK_questiondown, 0x1001e9e}},
        {15, {XK_q, XK_Q, XK_Cyrillic_ya, XK_Cyrillic_YA}},
        {16, {XK_less, XK_greater, XK_less, XK_greater, XK_bar, XK_brokenbar}},
        {17, {XK_o, XK_O, XK_o, XK_O, XK_oslash, XK_Oslash}},
        {ShiftKey, {XK_Shift_L}},
        {LevelThreeKey, {XK_ISO_Level3_Shift}},
        {ModeSwitchKey, {XK_Mode_switch}},
        {23, {XK_Tab, XK_ISO_Left_Tab}},
        {24, {XK_Return}},
        {LentKey, {XK_numbersign}},
    };
    constexpr int PerKeycode = 7;
    std::vector<unsigned long> keysyms((SpareKey - 8 + 1) * PerKeycode, NoSymbol);
    for (const auto &[keycode, symbols] : keys)
        std::copy(symbols.begin(), symbols.end(), keysyms.begin() + (keycode - 8) * PerKeycode);
    const X11Keymap keymap(8, PerKeycode, keysyms);
    const auto isLent = [](unsigned char keycode) { return keycode == LentKey; };

    const unsigned long keysym = keysymForCharacter(character);
    const KeyboardLocks locks{capsLock, group};
    const std::optional<KeyStroke> found = onSpare ? keymap.strokeOnSpare(SpareKey, keysym, locks)
                                                   : keymap.strokeFor(keysym, locks, isLent);
    QList<int> got;
    if (found) {
        got << found->keycode;
        for (const unsigned char modifier : found->modifiers) {
            if (modifier)
                got << modifier;
        }
    }
    QCOMPARE(got, stroke);
}

QTEST_APPLESS_MAIN(TestX11KeyTable)
#include "tst_x11keytable.moc"
