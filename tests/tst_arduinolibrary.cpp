// The Arduino library's own source, built for this computer against a
// stand-in core, must send what the program's own decoder reads.

#include "Harnelo.h"
#include "eventline.h"

#include <QtTest>

#include <climits>
#include <functional>
#include <vector>

using Events = std::vector<std::optional<EventLine>>;

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

} // namespace

class TestArduinoLibrary : public QObject
{
    Q_OBJECT

private slots:
    void eachCallSendsOneLineTheProgramDecodes();
    void sendsOnThePortItIsGiven();
    void sendsShortcutsModifiersFirstReleasedLast();
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

QTEST_APPLESS_MAIN(TestArduinoLibrary)
#include "tst_arduinolibrary.moc"
