// The Arduino library's own source, built for this computer against a
// stand-in core, must send what the program's own decoder reads.

#include "Harnelo.h"
#include "HarneloKeyboard.h"
#include "HarneloMouse.h"
#include "eventline.h"
#include "uinputkeytable.h"
#include "x11keytable.h"

#include <QtTest>

#include <climits>
#include <functional>
#include <set>
#include <vector>

using Events = std::vector<std::optional<EventLine>>;
using SketchCall = std::function<size_t()>;
Q_DECLARE_METATYPE(SketchCall)

namespace {

// What the program makes of the bytes: one entry per line, empty for a line
// it ignores. Bytes after the last line feed make no entry.
Events received(const std::string &bytes)
{
    Events events;
    LineFramer framer;
    framer.feed(bytes, [&](std::string_view line) { events.push_back(decodeEventLine(line)); });
    return events;
}

EventLine mouse(int event, int arg1 = 0, int arg2 = 0) { return {MOUSE, event, arg1, arg2}; }
EventLine key(int event, int code) { return {KEYBOARD, event, code, 0}; }

std::string tap(int code)
{
    return "1 0 " + std::to_string(code) + "\r\n1 1 " + std::to_string(code) + "\r\n";
}
std::string shifted(int code) { return "1 0 160\r\n" + tap(code) + "1 1 160\r\n"; }

// A text line as the characters it types, any other line as its numbers.
QString shown(const std::optional<EventLine> &event)
{
    if (!event)
        return "[ignored]";
    if (event->device == TEXT)
        return QString::fromUcs4(event->text.view().data(), qsizetype(event->text.view().size()));
    return QString("[%1 %2 %3]").arg(event->device).arg(event->event).arg(event->arg1);
}

} // namespace

class TestArduinoLibrary : public QObject
{
    Q_OBJECT

private slots:
    void eachCallSendsOneLineTheProgramDecodes();
    void sendsOnThePortItIsGiven();
    void sendsShortcutsModifiersFirstReleasedLast();
    void standardKeyboardAndMouseSendLinesTheProgramDecodes();
    void printTypesTextAsWritten_data();
    void printTypesTextAsWritten();
    void beginStartsSerialUnlessTheSketchDid();
    void everyKeyTheKeyboardSendsIsOneTheProgramMaps();
};

void TestArduinoLibrary::eachCallSendsOneLineTheProgramDecodes()
{
    const std::vector<std::pair<std::function<void(Harnelo &)>, EventLine>> calls = {
        {[](Harnelo &h) { h.moveBy(10, -5); }, mouse(MOVE, 10, -5)},
        {[](Harnelo &h) { h.moveBy(INT32_MIN, INT32_MAX); }, mouse(MOVE, INT_MIN, INT_MAX)},
        {[](Harnelo &h) { h.moveTo(1919, 0); }, mouse(POSITION, 1919, 0)},
        {[](Harnelo &h) { h.turnWheel(-Harnelo::WheelNotch); }, mouse(SCROLL, -120)},
        {[](Harnelo &h) { h.pressButton(Harnelo::RightButton); }, mouse(RIGHT_PRESS)},
        {[](Harnelo &h) { h.releaseButton(Harnelo::RightButton); }, mouse(RIGHT_RELEASE)},
        {[](Harnelo &h) { h.pressButton(Harnelo::LeftButton); }, mouse(LEFT_PRESS)},
        {[](Harnelo &h) { h.releaseButton(Harnelo::LeftButton); }, mouse(LEFT_RELEASE)},
        {[](Harnelo &h) { h.pressButton(Harnelo::MiddleButton); }, mouse(MIDDLE_PRESS)},
        {[](Harnelo &h) { h.releaseButton(Harnelo::MiddleButton); }, mouse(MIDDLE_RELEASE)},
        {[](Harnelo &h) { h.pressButton(Harnelo::BackButton); }, mouse(BACK_PRESS)},
        {[](Harnelo &h) { h.releaseButton(Harnelo::ForwardButton); }, mouse(FORWARD_RELEASE)},
        {[](Harnelo &h) { h.turnHorizontalWheel(-30); }, mouse(HORIZONTAL_SCROLL, -30)},
        {[](Harnelo &h) { h.pressKey('A'); }, key(PRESS, 65)},
        {[](Harnelo &h) { h.releaseKey(Vk::LeftShift); }, key(RELEASE, 160)},
    };
    for (const auto &[send, expected] : calls) {
        CapturingPort port;
        Harnelo harnelo(port);
        send(harnelo);
        const char *sent = port.bytes.c_str();
        QVERIFY2(port.writes == 1 && !port.bytes.empty() && port.bytes.back() == '\n', sent);
        QVERIFY2(received(port.bytes) == Events{expected}, sent);
    }
}

void TestArduinoLibrary::sendsOnThePortItIsGiven()
{
    Serial.bytes.clear();
    CapturingPort port;
    Harnelo(port).moveBy(10, -5);
    QCOMPARE(port.bytes, "0 8 10 -5\r\n");
    QVERIFY(Serial.bytes.empty());

    Harnelo().pressKey('A');
    QCOMPARE(Serial.bytes, "1 0 65\r\n");
}

void TestArduinoLibrary::sendsShortcutsModifiersFirstReleasedLast()
{
    CapturingPort port;
    Harnelo harnelo(port);
    const uint8_t shortcut[] = {Vk::Control, Vk::Shift, 'C'};
    harnelo.typeShortcut(shortcut, 0);
    QVERIFY(port.bytes.empty());
    harnelo.typeShortcut(shortcut, 3);
    harnelo.tapKey(Vk::Enter);
    QVERIFY(received(port.bytes)
            == Events({key(PRESS, 17), key(PRESS, 16), key(PRESS, 67), key(RELEASE, 67),
                       key(RELEASE, 16), key(RELEASE, 17), key(PRESS, 13), key(RELEASE, 13)}));
}

void TestArduinoLibrary::standardKeyboardAndMouseSendLinesTheProgramDecodes()
{
    struct Case
    {
        const char *name;
        std::function<size_t()> call;
        size_t result;
        std::string sent;
    };
    const Case cases[] = {
        {"text", [] { return Keyboard.print("Hello, World! 123\n"); }, 18,
         "2 72 101 108 108 111 44 32 87 111 114 108 100 33 32 49 50 51 10\r\n"},
        {"println", [] { return Keyboard.println("~"); }, 3, "2 126\r\n2 10\r\n"},
        {"nothing to type", [] { return Keyboard.write(0x19) + Keyboard.print("\x7F"); }, 0, ""},
        {"keys in text", [] { return Keyboard.print("\x1B\b"); }, 2, tap(27) + tap(8)},
        {"shortcut", [] { Keyboard.press(KEY_LEFT_CTRL); return Keyboard.write('C') + Keyboard.print("\xC3\xA9\t"); },
         4, "1 0 162\r\n" + shifted('C') + "2 233\r\n" + tap(9)},
        {"KEY_ code", [] { return Keyboard.write(KEY_F13); }, 1, "1 0 124\r\n1 1 124\r\n"},
        {"key runs", [] { return Keyboard.write(KEY_F12) + Keyboard.write(KEY_F24) + Keyboard.write(KEY_KP_1)
                              + Keyboard.write(KEY_KP_0) + Keyboard.write(KEY_RIGHT_GUI) + Keyboard.write('{'); },
         6, tap(123) + tap(135) + tap(97) + tap(96) + tap(92) + "2 123\r\n"},
        {"releaseAll", [] { Keyboard.press(KEY_LEFT_CTRL); Keyboard.press('c'); return size_t(Keyboard.releaseAll()); },
         2, "1 0 162\r\n1 0 67\r\n1 1 67\r\n1 1 162\r\n"},
        {"seventh key", [] { for (char c : std::string("abcdef")) Keyboard.press(c); return Keyboard.press('g'); },
         0, "1 0 65\r\n1 0 66\r\n1 0 67\r\n1 0 68\r\n1 0 69\r\n1 0 70\r\n"},
        {"move", [] { Mouse.move(5, -3, 2); return size_t(0); }, 0, "0 8 5 -3\r\n0 6 240\r\n"},
        {"pan", [] { Mouse.move(0, 0, 0, -1); return size_t(0); }, 0, "0 13 -120\r\n"},
        {"buttons", [] { Mouse.press(MOUSE_ALL); Mouse.release(MOUSE_RIGHT); Mouse.click(MOUSE_RIGHT);
             return size_t(Mouse.isPressed(MOUSE_ALL) && !Mouse.isPressed(MOUSE_RIGHT)); },
         1, "0 2\r\n0 0\r\n0 4\r\n0 9\r\n0 11\r\n0 1\r\n0 0\r\n0 1\r\n"},
        {"back and forward", [] { Mouse.click(MOUSE_BACK); Mouse.press(MOUSE_NEXT); Mouse.end();
             return size_t(Mouse.isPressed(MOUSE_FORWARD)); },
         0, "0 9\r\n0 10\r\n0 11\r\n0 12\r\n"},
    };
    for (const Case &c : cases) {
        Keyboard.releaseAll();
        Mouse.end();
        Serial.bytes.clear();
        Serial.writes = 0;
        const size_t result = c.call();
        const QByteArray context =
            QByteArray(c.name) + " sent " + QByteArray::fromStdString(Serial.bytes).replace("\r\n", " | ");
        QVERIFY2(result == c.result && Serial.bytes == c.sent, context);
        const Events events = received(Serial.bytes);
        // Key and mouse lines go out in one write each; text lines fill as they go.
        const bool typesText = Serial.bytes.find("2 ") != std::string::npos;
        QVERIFY2(typesText || Serial.writes == int(events.size()), context);
        QVERIFY2(std::find(events.begin(), events.end(), std::nullopt) == events.end(), context);
    }
}

void TestArduinoLibrary::printTypesTextAsWritten_data()
{
    QTest::addColumn<SketchCall>("call");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("lines");

    const std::string aLine = std::string(84, 'a') + '\t'; // "2 97 ... 97 9": 255 bytes and CR
    QTest::newRow("ASCII") << SketchCall([] { return Keyboard.print("Hi, you!"); }) << 8 << QStringList{"Hi, you!"};
    QTest::newRow("Grüße") << SketchCall([] { return Keyboard.print("Grüße"); }) << 7 << QStringList{"Grüße"};
    QTest::newRow("euro, emoji") << SketchCall([] { return Keyboard.print("€😀!"); }) << 8 << QStringList{"€😀!"};
    QTest::newRow("flash") << SketchCall([] { return Keyboard.println(F("Grüße")); }) << 9
                           << QStringList{"Grüße", "\n"};
    QTest::newRow("line ends and controls")
        << SketchCall([] { return Keyboard.print("a\tb\r\nc\x01" "d\x7F"); }) << 7 << QStringList{"a\tb\ncd"};
    QTest::newRow("several lines")
        << SketchCall([aLine] { return Keyboard.print((aLine + std::string(85, 'b')).c_str()); }) << 170
        << QStringList{QString::fromStdString(aLine), QString(84, 'b'), "b"};
    // A stray byte, characters cut short, a surrogate, an overlong '/', a stray
    // continuation byte; the bytes of a character begun count while it waits.
    QTest::newRow("not UTF-8")
        << SketchCall([] { return Keyboard.print("a\xFF" "b\xC3" "c\xE2\x82" "d\xED\xA0\x80" "e\xC0\xAF" "f\x80"); })
        << 12 << QStringList{"abcdef"};
    QTest::newRow("split across writes")
        << SketchCall([] {
               return Keyboard.write("Gr\xC3", 3) + Keyboard.write(0xBC) + Keyboard.write("\xC3", 1)
                   + Keyboard.write("\x9F" "e", 2);
           })
        << 7 << QStringList{"Gr", "ü", "ße"};
    QTest::newRow("KEY_ code cuts a character short")
        << SketchCall([] { return Keyboard.write("\xC3", 1) + Keyboard.write(KEY_F1) + Keyboard.write(0xBC); })
        << 2 << QStringList{"[1 0 112]", "[1 1 112]"};
    QTest::newRow("Harnelo, then another line")
        << SketchCall([] {
               Harnelo harnelo;
               harnelo.typeText("x€");
               harnelo.typeCharacter('y');
               harnelo.pressKey('A');
               return size_t(harnelo.typeCharacter(0xD800) + harnelo.typeCharacter(0x110000));
           })
        << 0 << QStringList{"x€", "y", "[1 0 65]"};
}

// What a sketch prints comes out as the program's decoder reads it back.
void TestArduinoLibrary::printTypesTextAsWritten()
{
    QFETCH(SketchCall, call);
    QFETCH(int, result);
    QFETCH(QStringList, lines);

    Keyboard.releaseAll();
    Serial.bytes.clear();
    QCOMPARE(int(call()), result);
    QStringList received;
    for (const auto &event : ::received(Serial.bytes))
        received << shown(event);
    QCOMPARE(received, lines);
    QVERIFY(Serial.bytes.empty() || Serial.bytes.back() == '\n');
}

void TestArduinoLibrary::beginStartsSerialUnlessTheSketchDid()
{
    Serial.baudRate = 0;
    uartControl = 1 << TXEN0; // as a boot loader may leave it
    Keyboard.begin();
    QCOMPARE(Serial.baudRate, 115200ul);

    uartControl = 0;
    Serial.begin(9600);
    Mouse.begin();
    Keyboard.begin(KeyboardLayout_de_DE);
    QCOMPARE(Serial.baudRate, 9600ul);
}

void TestArduinoLibrary::everyKeyTheKeyboardSendsIsOneTheProgramMaps()
{
    // While a modifier is held, characters go as keys too.
    std::set<int> sent;
    for (const bool controlHeld : {false, true}) {
        Keyboard.releaseAll();
        Serial.bytes.clear();
        if (controlHeld)
            Keyboard.press(KEY_LEFT_CTRL);
        size_t accepted = 0;
        for (int code = 0; code < 256; ++code)
            accepted += Keyboard.write(uint8_t(code));
        // 95 printable characters, \b \t \n \r and Escape, 8 modifiers and 60 other KEY_ codes.
        QCOMPARE(accepted, size_t(168));
        for (const auto &event : received(Serial.bytes)) {
            QVERIFY(event);
            if (event->device == KEYBOARD)
                sent.insert(event->arg1);
        }
    }
    QCOMPARE(sent.count('Z'), size_t(1));
    for (int virtualKey : sent)
        QVERIFY2(keysymForVirtualKey(virtualKey) != 0 && evdevKeyForVirtualKey(virtualKey) != 0,
                 qPrintable(QString::number(virtualKey)));
}

QTEST_APPLESS_MAIN(TestArduinoLibrary)
#include "tst_arduinolibrary.moc"
