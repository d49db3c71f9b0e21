// The uinput backend against /dev/uinput faked under umockdev: run it under
// umockdev-wrapper, on the offscreen platform with the two screens of
// screens.json.

#include "fakeuinput.h"
#include "pseudoterminal.h"
#include "windowlessbridge.h"
#include "input/uinputinput.h"
#include "input/uinputkeytable.h"
#include "input/uinputlayout.h"

#include <QtTest>

#include <xkbcommon/xkbcommon.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <optional>

namespace {

const DesktopArea desktop{0, 0, 1280, 1024};

struct Event
{
    int type;
    int code;
    int value;
    bool operator==(const Event &other) const
    {
        return type == other.type && code == other.code && value == other.value;
    }
};

char *toString(const std::vector<Event> &events)
{
    QStringList shown;
    for (const Event &event : events)
        shown << QStringLiteral("%1:%2:%3").arg(event.type).arg(event.code).arg(event.value);
    return QTest::toString(shown.join(' '));
}

// The events a device passed on, SYN_REPORTs left out, optionally of one type.
std::vector<Event> delivered(const FakeUinput::Device &device, std::optional<int> type = {})
{
    std::vector<Event> events;
    for (const input_event &event : device.delivered) {
        if (event.type != EV_SYN && (!type || event.type == *type))
            events.push_back({event.type, event.code, event.value});
    }
    return events;
}

// Every write holds whole frames: each ends with SYN_REPORT, and a frame
// holds at most the two axes of one line.
bool writesHoldWholeFrames(const FakeUinput::Device &device)
{
    for (const auto &write : device.writes) {
        int sinceReport = 0;
        for (const input_event &event : write) {
            const bool report = event.type == EV_SYN && event.code == SYN_REPORT;
            if ((report && sinceReport == 0) || (!report && ++sinceReport > 2))
                return false;
            if (report)
                sinceReport = 0;
        }
        if (sinceReport != 0)
            return false;
    }
    return true;
}

// A letter per frame the devices took, in the order they were written.
std::string framesInWriteOrder(const FakeUinput &kernel)
{
    std::map<int, std::string> writes;
    for (const FakeUinput::Device &device : kernel.devices()) {
        for (std::size_t write = 0; write < device.writes.size(); ++write) {
            for (const input_event &event : device.writes[write])
                writes[device.write_order[write]] += event.type == EV_SYN ? device.name.substr(8, 1) : "";
        }
    }
    std::string frames;
    for (const auto &entry : writes)
        frames += entry.second;
    return frames;
}

int pixel(const Event &event, int extent)
{
    return static_cast<int>(event.value * static_cast<long long>(extent) / (AbsolutePlacement::AxisMax + 1));
}

} // namespace

class TestUinputDevice : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void createsThreeDevicesWithWhatTheyNeed();
    void batchGoesOutInOneWritePerDevice();
    void eachEventOutsideABatchGoesOutAtOnce();
    void batchKeepsTheOrderAcrossDevices();
    void buttonsAndKeysGoDownAndUp();
    void keySharedByTwoVirtualKeysStaysDownWhileEitherHoldsIt();
    void everyMappedKeyReachesTheKernel();
    void wheelSendsNotchesAndHighResolution();
    void placesAndMovesTheCursor();
    void releaseAllKeysLiftsEveryHeldKey();
    void burstGoesOutPacedInWholeFramesAndInOrder();
    void programPacesFromItsEventLoopAndDrainsWhenClosed();
    void backlogBeyondTheBoundGoesOutAtOnceAndIsTold();
    void absolutePointerCoversEveryScreenAsTheyChange();
    void closingReleasesKeysAndDestroysTheDevices_data();
    void closingReleasesKeysAndDestroysTheDevices();
    void bridgeWithoutAWindowDrivesTheKernel();
    void failedWriteIsReported();
    void missingDeviceIsReported();
    void refusedDeviceIsReported();

    // Keyboard layouts, text and the whole mouse.
    void typesTextAsTheLayoutReadsIt_data();
    void typesTextAsTheLayoutReadsIt();
    void letterAndDigitKeysFollowTheLayout_data();
    void letterAndDigitKeysFollowTheLayout();
    void sideButtonsAndHorizontalWheel();
    void programSaysAndUsesTheLayoutItTypesWith();

private:
    std::unique_ptr<FakeUinput> kernel;
    std::unique_ptr<UinputInput> input;
};

void TestUinputDevice::init()
{
    kernel = std::make_unique<FakeUinput>();
    std::string error;
    input = UinputInput::create(desktop, error);
    QVERIFY2(input, error.c_str());
}

void TestUinputDevice::cleanup()
{
    input.reset();
    kernel.reset();
}

void TestUinputDevice::createsThreeDevicesWithWhatTheyNeed()
{
    QCOMPARE(kernel->devices().size(), 3u);
    const FakeUinput::Device pointer = kernel->device("Harnelo pointer");
    for (int code : {REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES})
        QVERIFY(pointer.codes.count({EV_REL, code}));
    for (int code : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE})
        QVERIFY(pointer.codes.count({EV_KEY, code}));
    std::vector<int> keys;
    for (const auto &[type, code] : kernel->device("Harnelo keyboard").codes) {
        if (type == EV_KEY)
            keys.push_back(code);
    }
    QCOMPARE(keys, mappedEvdevKeys());
    const FakeUinput::Device tablet = kernel->device("Harnelo absolute pointer");
    QCOMPARE(tablet.axes.size(), 2u);
    QCOMPARE(tablet.axes.at(ABS_X).maximum, AbsolutePlacement::AxisMax);
    QCOMPARE(tablet.axes.at(ABS_Y).maximum, AbsolutePlacement::AxisMax);
    for (const FakeUinput::Device &device : kernel->devices())
        QVERIFY(device.created);
}

void TestUinputDevice::batchGoesOutInOneWritePerDevice()
{
    {
        InputBatch batch(*input);
        input->moveCursorBy(3, -4);
        input->moveCursorBy(0, 7);
        input->turnWheel(120);
        input->pressButton(MouseButton::Left);
        input->sendKey('A', true);
        input->sendKey('A', false);
        QVERIFY(kernel->device("Harnelo pointer").writes.empty());
    }
    const FakeUinput::Device pointer = kernel->device("Harnelo pointer");
    QCOMPARE(pointer.writes.size(), 1u);
    QCOMPARE(pointer.writes[0].size(), 10u);
    QVERIFY(writesHoldWholeFrames(pointer));
    const FakeUinput::Device keyboard = kernel->device("Harnelo keyboard");
    QCOMPARE(keyboard.writes.size(), 1u);
    QCOMPARE(keyboard.writes[0].size(), 4u);
    QVERIFY(writesHoldWholeFrames(keyboard));
}

void TestUinputDevice::eachEventOutsideABatchGoesOutAtOnce()
{
    input->moveCursorBy(1, 1);
    QCOMPARE(kernel->device("Harnelo pointer").writes.size(), 1u);
    input->moveCursorBy(1, 0);
    input->moveCursorBy(0, 0); // moves nothing, so writes nothing
    QCOMPARE(kernel->device("Harnelo pointer").writes.size(), 2u);
    QVERIFY(writesHoldWholeFrames(kernel->device("Harnelo pointer")));
}

// Control-click: the click must reach the kernel between Control's press
// and release, though they are on different devices.
void TestUinputDevice::batchKeepsTheOrderAcrossDevices()
{
    {
        InputBatch batch(*input);
        input->sendKey(0x11, true);
        input->pressButton(MouseButton::Left);
        input->releaseButton(MouseButton::Left);
        input->sendKey(0x11, false);
    }
    const FakeUinput::Device keyboard = kernel->device("Harnelo keyboard");
    const FakeUinput::Device pointer = kernel->device("Harnelo pointer");
    QCOMPARE(keyboard.write_order.size(), 2u);
    QCOMPARE(pointer.write_order.size(), 1u);
    QVERIFY(keyboard.write_order[0] < pointer.write_order[0]);
    QVERIFY(pointer.write_order[0] < keyboard.write_order[1]);
}

void TestUinputDevice::buttonsAndKeysGoDownAndUp()
{
    input->pressButton(MouseButton::Left);
    input->pressButton(MouseButton::Right);
    input->releaseButton(MouseButton::Left);
    input->pressButton(MouseButton::Middle);
    input->releaseButton(MouseButton::Middle);
    input->releaseButton(MouseButton::Right);
    const std::vector<Event> buttons = {{EV_KEY, BTN_LEFT, 1},   {EV_KEY, BTN_RIGHT, 1}, {EV_KEY, BTN_LEFT, 0},
                                        {EV_KEY, BTN_MIDDLE, 1}, {EV_KEY, BTN_MIDDLE, 0}, {EV_KEY, BTN_RIGHT, 0}};
    QCOMPARE(delivered(kernel->device("Harnelo pointer")), buttons);

    input->sendKey('Q', false); // never pressed: nothing to release
    input->sendKey('Q', true);
    input->sendKey('Q', true);
    input->sendKey(0x70, true);
    input->sendKey('Q', false);
    input->sendKey(0x70, false);
    input->sendKey(0x07, true); // names no key
    input->sendKey(300, true);
    const std::vector<Event> keys = {{EV_KEY, KEY_Q, 1}, {EV_KEY, KEY_F1, 1}, {EV_KEY, KEY_Q, 0}, {EV_KEY, KEY_F1, 0}};
    QCOMPARE(delivered(kernel->device("Harnelo keyboard")), keys);
    QCOMPARE(kernel->device("Harnelo keyboard").writes.size(), 4u);
}

void TestUinputDevice::keySharedByTwoVirtualKeysStaysDownWhileEitherHoldsIt()
{
    input->sendKey(0x10, true);
    input->sendKey(0xA0, true);
    input->sendKey(0x10, false);
    QCOMPARE(kernel->device("Harnelo keyboard").keys_down, std::set<int>{KEY_LEFTSHIFT});
    input->sendKey(0xA0, false);
    QVERIFY(kernel->device("Harnelo keyboard").keys_down.empty());
}

// The kernel drops keys a device did not declare without saying so.
void TestUinputDevice::everyMappedKeyReachesTheKernel()
{
    {
        InputBatch batch(*input);
        for (int virtualKey = 1; virtualKey < 255; ++virtualKey)
            input->sendKey(virtualKey, true);
    }
    const std::vector<int> mapped = mappedEvdevKeys();
    const std::set<int> down = kernel->device("Harnelo keyboard").keys_down;
    QCOMPARE(std::vector<int>(down.begin(), down.end()), mapped);
}

void TestUinputDevice::wheelSendsNotchesAndHighResolution()
{
    input->turnWheel(120);
    input->turnWheel(-240);
    for (int i = 0; i < 4; ++i)
        input->turnWheel(30);
    const std::vector<Event> expected = {
        {EV_REL, REL_WHEEL, 1},         {EV_REL, REL_WHEEL_HI_RES, 120}, {EV_REL, REL_WHEEL, -2},
        {EV_REL, REL_WHEEL_HI_RES, -240}, {EV_REL, REL_WHEEL_HI_RES, 30},  {EV_REL, REL_WHEEL_HI_RES, 30},
        {EV_REL, REL_WHEEL_HI_RES, 30},  {EV_REL, REL_WHEEL, 1},           {EV_REL, REL_WHEEL_HI_RES, 30},
    };
    QCOMPARE(delivered(kernel->device("Harnelo pointer")), expected);
    QCOMPARE(kernel->device("Harnelo pointer").writes.size(), 6u);
}

void TestUinputDevice::placesAndMovesTheCursor()
{
    QVERIFY(input->moveCursorTo(640, 512));
    QVERIFY(input->moveCursorBy(-5, 9));
    QVERIFY(input->moveCursorTo(640, 512)); // back where it was placed: must still reach the kernel
    QVERIFY(input->moveCursorTo(5000, -20));
    const std::vector<Event> moves = delivered(kernel->device("Harnelo absolute pointer"));
    QCOMPARE(moves.size(), 5u);
    QCOMPARE(pixel(moves[0], 1280), 640);
    QCOMPARE(pixel(moves[1], 1024), 512);
    QCOMPARE(moves[2].code, ABS_X);
    QCOMPARE(pixel(moves[2], 1280), 640);
    QCOMPARE(pixel(moves[3], 1280), 1279);
    QCOMPARE(pixel(moves[4], 1024), 0);
    const std::vector<Event> relative = {{EV_REL, REL_X, -5}, {EV_REL, REL_Y, 9}};
    QCOMPARE(delivered(kernel->device("Harnelo pointer")), relative);
}

void TestUinputDevice::releaseAllKeysLiftsEveryHeldKey()
{
    for (int virtualKey : {0x10, 0xA0, int('A'), 0x74, 0xA5, 0xE2})
        input->sendKey(virtualKey, true);
    input->sendKey('A', false);
    input->releaseAllKeys();
    QVERIFY(kernel->device("Harnelo keyboard").keys_down.empty());
    input->sendKey(0x10, false); // released already: nothing more
    QCOMPARE(delivered(kernel->device("Harnelo keyboard")).size(), 10u);
    input->sendKey(0xA0, true); // no longer marked held: goes down anew, and up
    QCOMPARE(kernel->device("Harnelo keyboard").keys_down, std::set<int>{KEY_LEFTSHIFT});
    input->sendKey(0xA0, false);
    QVERIFY(kernel->device("Harnelo keyboard").keys_down.empty());
}

// Control held over 40 rounds of A down, a move, A up, then all released:
// more than a reader's ring holds. A slice gives a device at most a quarter
// of a reader's ring (16 of 64 events, 32 of 128), nothing goes before the
// pause ends, and the frames arrive whole, in the order they were made.
void TestUinputDevice::burstGoesOutPacedInWholeFramesAndInOrder()
{
    std::optional<UinputInput::Clock::time_point> asked;
    input->whenWaiting([&](UinputInput::Clock::time_point at) { asked = at; });
    std::string frames = "k";
    {
        InputBatch batch(*input);
        input->sendKey(0x11, true);
        for (int round = 0; round < 40; ++round, frames += "kpk") {
            input->sendKey('A', true);
            input->moveCursorBy(1, -1);
            input->sendKey('A', false);
        }
        // In the batch too: each slice is then written by one call, however
        // slow this machine.
        input->releaseAllKeys();
    }
    const auto written = [&](const char *name) { return kernel->device(name).delivered.size(); };
    for (std::size_t keys = 0, moves = 0, slices = 0; asked && slices < 100; ++slices) {
        QVERIFY(written("Harnelo keyboard") - keys <= 16 && written("Harnelo pointer") - moves <= 32);
        keys = written("Harnelo keyboard");
        moves = written("Harnelo pointer");
        const UinputInput::Clock::time_point at = *asked;
        asked.reset();
        input->writeDue(at - std::chrono::microseconds(1));
        QCOMPARE(written("Harnelo keyboard") + written("Harnelo pointer"), keys + moves);
        input->writeDue(at);
    }
    QCOMPARE(framesInWriteOrder(*kernel), frames + "k");
    QVERIFY(kernel->device("Harnelo keyboard").keys_down.empty());
    QVERIFY(writesHoldWholeFrames(kernel->device("Harnelo keyboard")));
    QVERIFY(writesHoldWholeFrames(kernel->device("Harnelo pointer")));
}

// The program's backend: a burst goes on from the event loop, a failure
// there is told, and closing writes out what waits and releases all.
void TestUinputDevice::programPacesFromItsEventLoopAndDrainsWhenClosed()
{
    input.reset();
    InputSetup setup = createInputBackend(InputSystem::Uinput);
    bool toldLater = false;
    setup.backend->whenFailingLater([&] { toldLater = true; });
    const auto tapBurst = [&] {
        InputBatch batch(*setup.backend);
        for (int line = 0; line < 200; ++line)
            setup.backend->sendKey('A' + line / 2 % 26, line % 2 == 0);
    };
    const auto keys = [&] { return delivered(kernel->device("Harnelo keyboard")); };
    tapBurst();
    QVERIFY(keys().size() < 200);
    QTRY_COMPARE(keys().size(), 200u);
    tapBurst();
    kernel->failWrites(EIO);
    QTRY_VERIFY(toldLater);
    QVERIFY(setup.backend->takeError().find("keyboard: Input/output error") != std::string::npos);
    kernel->failWrites(0);
    setup.backend->sendKey(0x10, true);
    tapBurst();
    setup.backend.reset();
    QCOMPARE(keys()[keys().size() - 202], (Event{EV_KEY, KEY_LEFTSHIFT, 1}));
    QCOMPARE(keys().back(), (Event{EV_KEY, KEY_LEFTSHIFT, 0}));
    QTest::qWait(20); // no timer is left to call the closed backend
}

void TestUinputDevice::backlogBeyondTheBoundGoesOutAtOnceAndIsTold()
{
    input->whenWaiting([](UinputInput::Clock::time_point) {}); // the event loop never comes
    for (int move = 0; move < 3000; ++move)
        input->moveCursorBy(1, 1);
    QVERIFY(delivered(kernel->device("Harnelo pointer")).size() > UinputInput::MaxQueuedEvents / 3);
    QVERIFY(input->takeError().find("events went out unpaced") != std::string::npos);
}

// Positions map onto the desktop as it is at each move: the one given here,
// then the program's, two screens side by side (screens.json).
void TestUinputDevice::absolutePointerCoversEveryScreenAsTheyChange()
{
    DesktopArea area{0, 0, 1280, 1024};
    input->followDesktop([&] { return area; });
    input->moveCursorTo(1000, 500);
    area = {-1920, 0, 3200, 1080};
    input->moveCursorTo(-1000, 500);
    QCOMPARE(QGuiApplication::screens().size(), 2);
    createInputBackend(InputSystem::Uinput).backend->moveCursorTo(3000, 1050);
    const std::vector<Event> ours = delivered(kernel->devices()[2]);
    const std::vector<Event> programs = delivered(kernel->device("Harnelo absolute pointer"));
    const std::vector<int> pixels{pixel(ours[0], 1280), pixel(ours[2], 3200), pixel(programs[0], 3200),
                                  pixel(programs[1], 1080)};
    QCOMPARE(pixels, (std::vector<int>{1000, 920, 3000, 1050}));
}

void TestUinputDevice::closingReleasesKeysAndDestroysTheDevices_data()
{
    QTest::addColumn<bool>("keyHeld");
    QTest::newRow("a key held") << true;
    // Nothing to release, but the last click still waits for its slice.
    QTest::newRow("clicks waiting, no key held") << false;
}

void TestUinputDevice::closingReleasesKeysAndDestroysTheDevices()
{
    QFETCH(bool, keyHeld);
    input->whenWaiting([](UinputInput::Clock::time_point) {}); // the event loop never comes
    if (keyHeld) {
        input->sendKey('K', true);
    } else {
        InputBatch batch(*input);
        // Two moves of three events: the pointer's first slice ends after a press.
        input->moveCursorBy(1, 1);
        input->moveCursorBy(1, 1);
        for (int click = 0; click < 40; ++click) {
            input->pressButton(MouseButton::Left);
            input->releaseButton(MouseButton::Left);
        }
    }
    input.reset();
    QVERIFY(kernel->device("Harnelo keyboard").keys_down.empty());
    QVERIFY(kernel->device("Harnelo pointer").keys_down.empty());
    QCOMPARE(delivered(kernel->device("Harnelo pointer"), EV_KEY).size(), keyHeld ? 0u : 80u);
    for (const FakeUinput::Device &device : kernel->devices())
        QVERIFY(device.destroyed);
}

// The bridge without a window: the board's lines reach the kernel, absolute
// positions land on the desktop given or nowhere, and stopping releases all.
void TestUinputDevice::bridgeWithoutAWindowDrivesTheKernel()
{
    input.reset();
    PluggableBoard board;
    board.plugIn();
    for (const bool desktopGiven : {true, false}) {
        const std::optional<DesktopArea> desktop = desktopGiven ? std::optional(DesktopArea{0, 0, 1000, 500}) : std::nullopt;
        WindowlessBridge bridge({board.stableName(), 115200, {}},
                                createInputBackend(InputSystem::Uinput, desktop).backend, nullptr, board.lister());
        if (!desktopGiven)
            bridge.ignoreAbsolutePositions();
        QTRY_COMPARE(bridge.state(), LinkKeeper::State::Open);
        QVERIFY(board.send("1 0 65\n0 2\n0 7 400 250\n"));
        // This bridge's pointer, keyboard and absolute pointer, the last three opened.
        const std::size_t opened = kernel->devices().size();
        const auto device = [&](std::size_t which) { return kernel->devices()[opened - 3 + which]; };
        QTRY_VERIFY(device(1).keys_down.count(KEY_A) && device(0).keys_down.count(BTN_LEFT));
        if (desktopGiven) {
            QTRY_COMPARE(delivered(device(2)).size(), 2u);
            QCOMPARE(pixel(delivered(device(2))[0], 1000), 400);
        } else {
            QCOMPARE(delivered(device(2)).size(), 0u);
        }
        bridge.stop();
        QVERIFY(device(0).keys_down.empty() && device(1).keys_down.empty());
    }
}

void TestUinputDevice::failedWriteIsReported()
{
    QCOMPARE(input->takeError(), std::string());
    kernel->failWrites(ENODEV);
    input->pressButton(MouseButton::Left);
    input->sendKey('A', true);
    kernel->failWrites(0);
    QCOMPARE(input->takeError(), std::string("writing to the virtual pointer: No such device (2 writes failed)"));
    QCOMPARE(input->takeError(), std::string());
    input->sendKey('B', true);
    QCOMPARE(input->takeError(), std::string());
}

void TestUinputDevice::missingDeviceIsReported()
{
    const std::string missing = kernel->rootDir() + "/no/uinput";
    std::string error;
    QVERIFY(!UinputInput::create(desktop, error, missing));
    QCOMPARE(error, missing + ": No such file or directory");
}

// Root may open anything, so as root a child that gave that up tries.
// The node is a plain file in the test bed; its mode refuses the open.
void TestUinputDevice::refusedDeviceIsReported()
{
    QCOMPARE(chmod(kernel->rootDir().c_str(), 0755), 0);
    QCOMPARE(chmod(kernel->nodePath().c_str(), 0), 0);
    // umockdev reaches its socket even for an open() that failed.
    QCOMPARE(chmod((kernel->rootDir() + "/ioctl/dev/uinput").c_str(), 0777), 0);
    int pipeEnds[2];
    QCOMPARE(pipe(pipeEnds), 0);
    const pid_t child = fork();
    if (child == 0) {
        std::string error = "created";
        if (getuid() != 0 || setuid(65534) == 0)
            UinputInput::create(desktop, error);
        ssize_t written = write(pipeEnds[1], error.data(), error.size());
        _exit(written < 0);
    }
    close(pipeEnds[1]);
    char error[200] = {};
    QVERIFY(read(pipeEnds[0], error, sizeof(error) - 1) > 0);
    close(pipeEnds[0]);
    waitpid(child, nullptr, 0);
    QCOMPARE(std::string(error), std::string("/dev/uinput: Permission denied"));
    QCOMPARE(kernel->devices().size(), 3u);
}

// What a desktop reading the keyboard's events through layout types: the
// text of each press, with Caps Lock on or off before the first.
static QString typedText(const FakeUinput::Device &keyboard, const QString &layout, bool capsLock)
{
    const std::optional<LayoutNames> names = layoutNamesFromArgument(layout.toStdString());
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    const xkb_rule_names rules{"evdev", "", names->layout.c_str(), names->variant.c_str(), ""};
    xkb_keymap *keymap = xkb_keymap_new_from_names(context, &rules, XKB_KEYMAP_COMPILE_NO_FLAGS);
    xkb_state *state = xkb_state_new(keymap);
    const auto update = [&](int key, bool down) {
        xkb_state_update_key(state, static_cast<xkb_keycode_t>(key) + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    };
    if (capsLock)
        update(KEY_CAPSLOCK, true), update(KEY_CAPSLOCK, false);
    QString text;
    for (const Event &event : delivered(keyboard, EV_KEY)) {
        if (event.value) {
            char typed[16];
            xkb_state_key_get_utf8(state, static_cast<xkb_keycode_t>(event.code) + 8, typed, sizeof(typed));
            text += QString::fromUtf8(typed).replace('\r', '\n');
        }
        update(event.code, event.value);
    }
    xkb_state_unref(state);
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    return text;
}

static std::shared_ptr<const KeyboardLayout> layoutNamed(const QString &name)
{
    return compileKeyboardLayout(*layoutNamesFromArgument(name.toStdString()));
}

void TestUinputDevice::typesTextAsTheLayoutReadsIt_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<bool>("capsLock");
    QTest::addColumn<int>("heldKey");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("error");
    const QString us = "Hello, World! 1+1=2 ~`|\"{}<>?\t\n";
    const QString de = QString::fromUtf8("Grüße aus Zürich: 10€ @{[]}\\|~ yz YZ ÄÖÜ");
    const QString fr = QString::fromUtf8("àéèçù AZERTY azerty 1234567890 €@#|");
    const QString caps = QString::fromUtf8("azAZ1é!");
    QTest::newRow("us") << "us" << false << 0 << us << us << "";
    QTest::newRow("de") << "de" << false << 0 << de << de << "";
    QTest::newRow("fr") << "fr" << false << 0 << fr << fr << "";
    QTest::newRow("fr, Caps Lock on") << "fr" << true << 0 << caps << caps << "";
    QTest::newRow("us, Shift held by a key line") << "us" << false << 0x10 << "aB" << "aB" << "";
    const QString skipped = QString::fromUtf8("aжb\U0001F600ж");
    QTest::newRow("fr, characters it lacks") << "fr" << false << 0 << skipped << "ab"
        << QString::fromUtf8("The keyboard layout \"fr\" cannot type \"ж\" (U+0436); it was skipped. "
                             "The keyboard layout \"fr\" cannot type \"\U0001F600\" (U+1F600); it was skipped.");
    const QString pangram = "The quick brown fox jumps over the lazy dog. ";
    QTest::newRow("us, a burst paced") << "us" << false << 0 << pangram.repeated(8) << pangram.repeated(8) << "";
}

// The text goes in one batch, as one line's does.
void TestUinputDevice::typesTextAsTheLayoutReadsIt()
{
    QFETCH(QString, layout);
    QFETCH(bool, capsLock);
    QFETCH(int, heldKey);
    QFETCH(QString, text);
    input->useLayout(layoutNamed(layout));
    kernel->setLight("Harnelo keyboard", LED_CAPSL, capsLock);
    if (heldKey)
        input->sendKey(heldKey, true);
    {
        InputBatch batch(*input);
        for (const char32_t character : text.toStdU32String())
            input->typeCharacter(character);
    }
    const FakeUinput::Device keyboard = kernel->device("Harnelo keyboard");
    QTEST(typedText(keyboard, layout, capsLock), "typed");
    QTEST(QString::fromStdString(input->takeError()), "error");
    QVERIFY(writesHoldWholeFrames(keyboard));
    const std::set<int> held = heldKey ? std::set<int>{evdevKeyForVirtualKey(heldKey)} : std::set<int>{};
    QCOMPARE(keyboard.keys_down, held);
}

void TestUinputDevice::letterAndDigitKeysFollowTheLayout_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("virtualKey");
    QTest::addColumn<int>("key");
    QTest::newRow("A on us") << "us" << int('A') << KEY_A;
    QTest::newRow("A on fr") << "fr" << int('A') << KEY_Q;
    QTest::newRow("M on fr") << "fr" << int('M') << KEY_SEMICOLON;
    QTest::newRow("1 on fr, shifted") << "fr" << int('1') << KEY_1;
    QTest::newRow("Z on de") << "de" << int('Z') << KEY_Y;
    QTest::newRow("F1 on fr, by position") << "fr" << 0x70 << KEY_F1;
    QTest::newRow("A on ru, by position") << "ru" << int('A') << KEY_A;
}

// The release lifts the key the press pressed, though the layout changed.
void TestUinputDevice::letterAndDigitKeysFollowTheLayout()
{
    QFETCH(QString, layout);
    QFETCH(int, virtualKey);
    QFETCH(int, key);
    input->useLayout(layoutNamed(layout));
    input->sendKey(virtualKey, true);
    QCOMPARE(kernel->device("Harnelo keyboard").keys_down, std::set<int>{key});
    input->useLayout(layoutNamed("us"));
    input->sendKey(virtualKey, false);
    QVERIFY(kernel->device("Harnelo keyboard").keys_down.empty());
}

void TestUinputDevice::sideButtonsAndHorizontalWheel()
{
    input->pressButton(MouseButton::Back);
    input->pressButton(MouseButton::Forward);
    input->releaseButton(MouseButton::Back);
    input->releaseButton(MouseButton::Forward);
    input->turnHorizontalWheel(120);
    input->turnHorizontalWheel(60);
    input->turnHorizontalWheel(60);
    input->turnHorizontalWheel(-240);
    const std::vector<Event> expected = {
        {EV_KEY, BTN_SIDE, 1},          {EV_KEY, BTN_EXTRA, 1},          {EV_KEY, BTN_SIDE, 0},
        {EV_KEY, BTN_EXTRA, 0},         {EV_REL, REL_HWHEEL, 1},         {EV_REL, REL_HWHEEL_HI_RES, 120},
        {EV_REL, REL_HWHEEL_HI_RES, 60}, {EV_REL, REL_HWHEEL, 1},         {EV_REL, REL_HWHEEL_HI_RES, 60},
        {EV_REL, REL_HWHEEL, -2},       {EV_REL, REL_HWHEEL_HI_RES, -240},
    };
    QCOMPARE(delivered(kernel->device("Harnelo pointer")), expected);
}

void TestUinputDevice::programSaysAndUsesTheLayoutItTypesWith()
{
    input.reset();
    const InputSetup chosen = createInputBackend(InputSystem::Uinput, std::nullopt, "de");
    QVERIFY2(QString::fromStdString(chosen.route).endsWith(" Keyboard layout de (from --layout)."),
             chosen.route.c_str());
    chosen.backend->sendKey('Z', true);
    QCOMPARE(kernel->device("Harnelo keyboard").keys_down, std::set<int>{KEY_Y});
    // Whatever the session's is, it is said.
    const InputSetup session = createInputBackend(InputSystem::Uinput);
    qInfo("%s", session.route.c_str());
    QVERIFY2(session.route.find(" Keyboard layout ") != std::string::npos, session.route.c_str());
}

QTEST_MAIN(TestUinputDevice)
#include "tst_uinputdevice.moc"
