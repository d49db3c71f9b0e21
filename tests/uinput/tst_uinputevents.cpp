#include "input/uinputinput.h"
#include "input/uinputkeytable.h"
#include "input/uinputlayout.h"
#include "input/x11keytable.h"

#include <QtTest>

#include <climits>
#include <map>

class TestUinputEvents : public QObject
{
    Q_OBJECT

private slots:
    void mapsKeysToTheirPositions();
    void genericModifiersAreTheLeftOnes();
    void mapsTheKeysTheX11TableMapsAndNoOthers();
    void everyKeyHasOneVirtualKeyBesidesGenericModifiers();
    void wheelNotchesFollowTheHighResolutionAmounts();
    void placementLandsInsideTheAskedPixel();
    void placementClampsOntoTheDesktop();
    void readsLayoutNames_data();
    void readsLayoutNames();
};

void TestUinputEvents::mapsKeysToTheirPositions()
{
    const std::map<int, int> expected = {
        {'A', KEY_A},         {'Q', KEY_Q},           {'Z', KEY_Z},         {'0', KEY_0},
        {'1', KEY_1},         {'9', KEY_9},           {0x70, KEY_F1},       {0x7B, KEY_F12},
        {0x7C, KEY_F13},      {0x87, KEY_F24},        {0x60, KEY_KP0},      {0x67, KEY_KP7},
        {0x6B, KEY_KPPLUS},   {0x0D, KEY_ENTER},      {0x2C, KEY_SYSRQ},    {0x5D, KEY_COMPOSE},
        {0x5B, KEY_LEFTMETA}, {0xA3, KEY_RIGHTCTRL},  {0xA5, KEY_RIGHTALT}, {0xE2, KEY_102ND},
        {0xBA, KEY_SEMICOLON}, {0xDE, KEY_APOSTROPHE}, {0xB3, KEY_PLAYPAUSE}, {0xAD, KEY_MUTE},
    };
    for (const auto &[virtualKey, evdevKey] : expected)
        QCOMPARE(evdevKeyForVirtualKey(virtualKey), evdevKey);
    for (int code : {0, 1, 2, 7, 0x88, 0xE5, 255, 256, -1, INT_MIN, INT_MAX})
        QCOMPARE(evdevKeyForVirtualKey(code), 0);
}

void TestUinputEvents::genericModifiersAreTheLeftOnes()
{
    QCOMPARE(evdevKeyForVirtualKey(0x10), evdevKeyForVirtualKey(0xA0));
    QCOMPARE(evdevKeyForVirtualKey(0x11), evdevKeyForVirtualKey(0xA2));
    QCOMPARE(evdevKeyForVirtualKey(0x12), evdevKeyForVirtualKey(0xA4));
    QCOMPARE(evdevKeyForVirtualKey(0x10), KEY_LEFTSHIFT);
}

void TestUinputEvents::mapsTheKeysTheX11TableMapsAndNoOthers()
{
    for (int virtualKey = 0; virtualKey < 256; ++virtualKey) {
        QVERIFY2((keysymForVirtualKey(virtualKey) != 0) == (evdevKeyForVirtualKey(virtualKey) != 0),
                 qPrintable(QString::number(virtualKey, 16)));
    }
}

void TestUinputEvents::everyKeyHasOneVirtualKeyBesidesGenericModifiers()
{
    std::map<int, int> virtualKeyOf;
    for (int virtualKey = 1; virtualKey < 255; ++virtualKey) {
        const int evdevKey = evdevKeyForVirtualKey(virtualKey);
        if (evdevKey == 0 || (virtualKey >= 0x10 && virtualKey <= 0x12))
            continue;
        const auto [entry, added] = virtualKeyOf.emplace(evdevKey, virtualKey);
        QVERIFY2(added, qPrintable(QStringLiteral("0x%1 and 0x%2").arg(entry->second, 0, 16).arg(virtualKey, 0, 16)));
    }
    std::vector<int> mapped;
    for (const auto &entry : virtualKeyOf)
        mapped.push_back(entry.first);
    QCOMPARE(mappedEvdevKeys(), mapped);
}

void TestUinputEvents::wheelNotchesFollowTheHighResolutionAmounts()
{
    WheelNotches wheel;
    QCOMPARE(wheel.turn(120), 1);
    QCOMPARE(wheel.turn(-240), -2);
    QCOMPARE(wheel.turn(30), 0);
    QCOMPARE(wheel.turn(30), 0);
    QCOMPARE(wheel.turn(30), 0);
    QCOMPARE(wheel.turn(30), 1);
    QCOMPARE(wheel.turn(150), 1);
    QCOMPARE(wheel.turn(90), 1);
    // Turning back forgets the 90 left over, then -60 twice is one notch down.
    QCOMPARE(wheel.turn(90), 0);
    QCOMPARE(wheel.turn(-60), 0);
    QCOMPARE(wheel.turn(-60), -1);
    QCOMPARE(wheel.turn(-InputBackend::MaxWheelPerTurn), -100);
}

// A compositor maps an axis value onto the desktop as value * extent
// divided by either the axis's size or its maximum; both must give the pixel.
static void verifyLandsIn(int value, int extent, int pixel)
{
    QCOMPARE(static_cast<int>(value * static_cast<long long>(extent) / (AbsolutePlacement::AxisMax + 1)), pixel);
    QCOMPARE(static_cast<int>(value * static_cast<long long>(extent) / AbsolutePlacement::AxisMax), pixel);
}

void TestUinputEvents::placementLandsInsideTheAskedPixel()
{
    AbsolutePlacement placement({-1920, 0, 3200, 1080});
    for (int x : {-1920, -1, 0, 1, 640, 1279}) {
        for (int repeat = 0; repeat < 3; ++repeat) {
            const AbsolutePlacement::Values values = placement.place(x, 1079);
            verifyLandsIn(values.x, 3200, x + 1920);
            verifyLandsIn(values.y, 1080, 1079);
        }
    }
    const AbsolutePlacement::Values first = placement.place(5, 5);
    const AbsolutePlacement::Values again = placement.place(5, 5);
    QVERIFY(first.x != again.x);
    QCOMPARE(placement.place(5, 5).x, first.x);
}

void TestUinputEvents::placementClampsOntoTheDesktop()
{
    AbsolutePlacement placement({0, 0, 1280, 1024});
    const AbsolutePlacement::Values farOff = placement.place(INT_MIN, INT_MAX);
    verifyLandsIn(farOff.x, 1280, 0);
    verifyLandsIn(farOff.y, 1024, 1023);
    const AbsolutePlacement::Values corner = placement.place(1280, -1);
    verifyLandsIn(corner.x, 1280, 1279);
    verifyLandsIn(corner.y, 1024, 0);
}

// From --layout or from /etc/default/keyboard; a name no layout may have
// gives none.
void TestUinputEvents::readsLayoutNames_data()
{
    QTest::addColumn<bool>("fromSettings");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("names"); // model, layout, variant, options; empty: none
    QTest::newRow("layout") << false << "de" << QStringList{"", "de", "", ""};
    QTest::newRow("variant") << false << "de(nodeadkeys)" << QStringList{"", "de", "nodeadkeys", ""};
    QTest::newRow("two layouts") << false << "us,de(nodeadkeys)" << QStringList{"", "us,de", ",nodeadkeys", ""};
    QTest::newRow("empty") << false << "" << QStringList{};
    QTest::newRow("open variant") << false << "de(nodeadkeys" << QStringList{};
    QTest::newRow("empty layout in a list") << false << "us,,de" << QStringList{};
    QTest::newRow("path") << false << "../../etc/passwd" << QStringList{};
    QTest::newRow("Debian's file")
        << true
        << "# KEYBOARD CONFIGURATION FILE\n\n# Consult the keyboard(5) manual page.\n\nXKBMODEL=\"pc105\"\n"
           "XKBLAYOUT=\"fr\"\nXKBVARIANT=\"azerty\"\nXKBOPTIONS=\"compose:ralt\"\n\nBACKSPACE=\"guess\"\n"
        << QStringList{"pc105", "fr", "azerty", "compose:ralt"};
    QTest::newRow("other quotes") << true << "XKBLAYOUT=de\n  XKBVARIANT='nodeadkeys'  \r\n"
                                  << QStringList{"", "de", "nodeadkeys", ""};
    QTest::newRow("no layout") << true << "XKBMODEL=\"pc105\"\nXKBLAYOUT=\"\"\n#XKBLAYOUT=fr\n" << QStringList{};
}

void TestUinputEvents::readsLayoutNames()
{
    QFETCH(bool, fromSettings);
    QFETCH(QString, text);
    QFETCH(QStringList, names);
    const std::optional<LayoutNames> read = fromSettings ? layoutNamesFromKeyboardSettings(text.toStdString())
                                                         : layoutNamesFromArgument(text.toStdString());
    QCOMPARE(read.has_value(), !names.isEmpty());
    if (!read)
        return;
    QCOMPARE((QStringList{QString::fromStdString(read->model), QString::fromStdString(read->layout),
                          QString::fromStdString(read->variant), QString::fromStdString(read->options)}),
             names);
    if (!fromSettings)
        QCOMPARE(QString::fromStdString(layoutArgument(*read)), text);
}

QTEST_APPLESS_MAIN(TestUinputEvents)
#include "tst_uinputevents.moc"
