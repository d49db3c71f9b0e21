// /init of a small virtual machine: loads the kernel's evdev and uinput
// modules, drives the real uinput backend and reads what the kernel made of
// it from the event nodes. Prints a PASS or FAIL line per check, then a
// summary line, and powers the machine off.

#include "input/uinputinput.h"
#include "input/uinputkeytable.h"

#include <fcntl.h>
#include <linux/kd.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string &what)
{
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    ++(ok ? passed : failed);
}

bool loadModule(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    const bool loaded = fd >= 0 && (syscall(SYS_finit_module, fd, "", 0) == 0 || errno == EEXIST);
    if (fd >= 0)
        close(fd);
    return loaded;
}

// Opens the event node of the input device called name, for reading (and
// for writing lights, as a desktop does, with O_RDWR).
int openEventNode(const std::string &name, int access = O_RDONLY)
{
    for (int node = 0; node < 64; ++node) {
        std::ifstream file("/sys/class/input/event" + std::to_string(node) + "/device/name");
        std::string found;
        if (std::getline(file, found) && found == name)
            return open(("/dev/input/event" + std::to_string(node)).c_str(), access | O_NONBLOCK | O_CLOEXEC);
    }
    return -1;
}

// What a node has to read, as "type code value" triples; SYN_REPORT is "|",
// SYN_DROPPED "!".
std::string readEvents(int fd)
{
    std::string events;
    input_event event;
    while (read(fd, &event, sizeof(event)) == static_cast<ssize_t>(sizeof(event))) {
        if (event.type == EV_SYN)
            events += event.code == SYN_DROPPED ? "!" : "|";
        else
            events += " " + std::to_string(event.type) + ":" + std::to_string(event.code) + ":" + std::to_string(event.value);
    }
    return events;
}

void expectEvents(int fd, const std::string &expected, const std::string &what)
{
    const std::string got = readEvents(fd);
    check(got == expected, what + (got == expected ? "" : " (read" + got + " instead of" + expected + ")"));
}

std::string triple(int type, int code, int value)
{
    return " " + std::to_string(type) + ":" + std::to_string(code) + ":" + std::to_string(value);
}

int pixel(int axisValue, int extent)
{
    return static_cast<int>(axisValue * static_cast<long long>(extent) / (AbsolutePlacement::AxisMax + 1));
}

// The console's keyboard in medium raw mode: a byte per key change, the
// evdev key code with 0x80 added on release. It reads the kernel's own
// keyboard handler, which sees what a vanished device released, where the
// device's event node only reports it gone.
int openConsoleKeys()
{
    const int fd = open("/dev/tty1", O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (fd < 0 || tcgetattr(fd, &raw) != 0)
        return -1;
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    ioctl(fd, KDSKBMODE, K_MEDIUMRAW);
    return fd;
}

// Bytes from fd until they end with expected; the console hands key bytes
// on from a work queue, so they may come a little later.
std::string readUntil(int fd, const std::string &expected)
{
    std::string got;
    pollfd waiting{fd, POLLIN, 0};
    char buffer[64];
    while (got.size() < expected.size() || got.compare(got.size() - expected.size(), expected.size(), expected) != 0) {
        if (poll(&waiting, 1, 5000) <= 0)
            break;
        const ssize_t count = read(fd, buffer, sizeof(buffer));
        if (count <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(count));
    }
    return got;
}

std::string keyBytes(std::initializer_list<int> changes)
{
    std::string bytes;
    for (int change : changes)
        bytes += static_cast<char>(change < 0 ? -change | 0x80 : change);
    return bytes;
}

// The buttons held in the latest 3-byte PS/2 packet of the kernel's mouse
// multiplexer: left, right and middle are the low bits of its first byte.
int latestButtons(int mice)
{
    pollfd waiting{mice, POLLIN, 0};
    char packet[3];
    int buttons = -1;
    if (poll(&waiting, 1, 5000) == 1) {
        while (read(mice, packet, sizeof(packet)) == 3)
            buttons = packet[0] & 7;
    }
    return buttons;
}

bool nodeIsGone(int fd)
{
    char buffer[sizeof(input_event)];
    return read(fd, buffer, sizeof(buffer)) < 0 && errno == ENODEV;
}

void checkLinesReachTheKernel(int console)
{
    std::string error;
    auto input = UinputInput::create({0, 0, 1280, 1024}, error);
    check(input != nullptr, "creates the devices" + (error.empty() ? "" : ": " + error));
    if (!input)
        return;
    const int pointer = openEventNode("Harnelo pointer");
    const int keyboard = openEventNode("Harnelo keyboard");
    const int tablet = openEventNode("Harnelo absolute pointer");
    check(pointer >= 0 && keyboard >= 0 && tablet >= 0, "finds the three event nodes");

    {
        InputBatch batch(*input);
        input->moveCursorBy(10, -5);
        input->turnWheel(120);
        input->turnWheel(-240);
        input->pressButton(MouseButton::Left);
        input->releaseButton(MouseButton::Left);
    }
    expectEvents(pointer,
                 triple(EV_REL, REL_X, 10) + triple(EV_REL, REL_Y, -5) + "|" + triple(EV_REL, REL_WHEEL, 1)
                     + triple(EV_REL, REL_WHEEL_HI_RES, 120) + "|" + triple(EV_REL, REL_WHEEL, -2)
                     + triple(EV_REL, REL_WHEEL_HI_RES, -240) + "|" + triple(EV_KEY, BTN_LEFT, 1) + "|"
                     + triple(EV_KEY, BTN_LEFT, 0) + "|",
                 "a batch of moves, wheel turns and a click arrives line by line");

    for (int i = 0; i < 4; ++i)
        input->turnWheel(30);
    const std::string quarter = triple(EV_REL, REL_WHEEL_HI_RES, 30) + "|";
    expectEvents(pointer, quarter + quarter + quarter + triple(EV_REL, REL_WHEEL, 1) + quarter,
                 "four quarter turns make one notch");

    input->sendKey(0x10, true);
    input->sendKey('A', true);
    input->sendKey('A', false);
    input->sendKey(0x10, false);
    expectEvents(keyboard,
                 triple(EV_KEY, KEY_LEFTSHIFT, 1) + "|" + triple(EV_KEY, KEY_A, 1) + "|" + triple(EV_KEY, KEY_A, 0)
                     + "|" + triple(EV_KEY, KEY_LEFTSHIFT, 0) + "|",
                 "Shift+A goes down and up on the keyboard");

    // Without a layout (this init has no xkbcommon) text types Tab and
    // Return only, but reads the lights first, as the kernel passes them back.
    const int lights = openEventNode("Harnelo keyboard", O_RDWR);
    input_event capsLock[2]{};
    capsLock[0].type = EV_LED;
    capsLock[0].code = LED_CAPSL;
    capsLock[0].value = 1;
    capsLock[1].type = EV_SYN;
    capsLock[1].code = SYN_REPORT;
    const bool lit = write(lights, capsLock, sizeof(capsLock)) == static_cast<ssize_t>(sizeof(capsLock));
    {
        InputBatch batch(*input);
        for (const char32_t character : U"\tx\n")
            input->typeCharacter(character);
    }
    check(lit && input->locks().capsLock, "the Caps Lock light a desktop sets is read back before typing");
    check(input->takeError().find("U+0078") != std::string::npos, "a character it cannot type is said");
    expectEvents(keyboard,
                 triple(EV_LED, LED_CAPSL, 1) + "|" + triple(EV_KEY, KEY_TAB, 1) + "|" + triple(EV_KEY, KEY_TAB, 0) + "|"
                     + triple(EV_KEY, KEY_ENTER, 1) + "|" + triple(EV_KEY, KEY_ENTER, 0) + "|",
                 "a text line's keys arrive whole, in order");
    close(lights);

    input->moveCursorTo(640, 512);
    input->moveCursorBy(3, 3);
    input->moveCursorTo(640, 512);
    input_absinfo x{}, y{};
    ioctl(tablet, EVIOCGABS(ABS_X), &x);
    ioctl(tablet, EVIOCGABS(ABS_Y), &y);
    const std::string placed = readEvents(tablet);
    check(pixel(x.value, 1280) == 640 && pixel(y.value, 1024) == 512, "the absolute pointer stands at (640, 512)");
    check(std::count(placed.begin(), placed.end(), '|') == 2, "placing the cursor twice at one spot reaches the kernel twice");

    readUntil(console, keyBytes({KEY_LEFTSHIFT, KEY_A, -KEY_A, -KEY_LEFTSHIFT, KEY_TAB, -KEY_TAB, KEY_ENTER, -KEY_ENTER}));
    input->sendKey('K', true);
    input.reset();
    check(readUntil(console, keyBytes({KEY_K, -KEY_K})) == keyBytes({KEY_K, -KEY_K}),
          "closing the backend releases the keys it held");
    check(nodeIsGone(keyboard) && nodeIsGone(pointer) && nodeIsGone(tablet), "closing the backend removes its devices");
    for (int fd : {pointer, keyboard, tablet})
        close(fd);
}

// What the nodes called names give a reader that reads each as soon as it
// has events, on a thread of its own, while write() runs.
std::vector<std::string> readPromptlyWhile(const std::vector<std::string> &names, const std::function<void()> &write)
{
    std::vector<pollfd> waiting;
    for (const std::string &name : names)
        waiting.push_back({openEventNode(name), POLLIN, 0});
    std::vector<std::string> seen(names.size());
    std::atomic<bool> reading{false}, written{false};
    std::thread reader([&] {
        for (bool last = false; !last; reading = true) {
            last = written;
            poll(waiting.data(), waiting.size(), 10);
            for (std::size_t node = 0; node < waiting.size(); ++node)
                seen[node] += readEvents(waiting[node].fd);
        }
    });
    while (!reading)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    write();
    written = true;
    reader.join();
    for (const pollfd &node : waiting)
        close(node.fd);
    return seen;
}

// Bursts far larger than a reader's ring of 64 or 128 events reach a reader
// that reads when woken whole, without SYN_DROPPED ("!").
void checkBurstsReachAPromptReaderWhole(int console)
{
    std::string error, taps, moves;
    auto input = UinputInput::create({0, 0, 1280, 1024}, error);
    if (!input)
        return check(false, "creates the devices for the bursts: " + error);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::string> seen = readPromptlyWhile({"Harnelo keyboard", "Harnelo pointer"}, [&] {
        InputBatch batch(*input);
        for (int tap = 0; tap < 100; ++tap) {
            const int virtualKey = 'A' + tap % 26, key = evdevKeyForVirtualKey(virtualKey);
            input->sendKey(virtualKey, true);
            input->sendKey(virtualKey, false);
            taps += triple(EV_KEY, key, 1) + "|" + triple(EV_KEY, key, 0) + "|";
        }
        for (int move = 0; move < 200; ++move) {
            input->moveCursorBy(move % 2 ? 3 : -3, 1);
            moves += triple(EV_REL, REL_X, move % 2 ? 3 : -3) + triple(EV_REL, REL_Y, 1) + "|";
        }
    });
    std::printf("INFO: 100 taps, then 200 moves, went out in %lld ms\n",
                static_cast<long long>((std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1)));
    const auto arrivedWhole = [](const std::string &got, const std::string &sent, const std::string &what) {
        const auto dropped = std::count(got.begin(), got.end(), '!');
        check(got == sent, what + (got == sent ? "" : " (" + std::to_string(dropped) + " SYN_DROPPED)"));
    };
    arrivedWhole(seen[0], taps, "a prompt reader receives every event of 100 taps in one batch");
    arrivedWhole(seen[1], moves, "a prompt reader receives every event of 200 moves in one batch");
    const int lastKey = evdevKeyForVirtualKey('A' + 99 % 26);
    readUntil(console, keyBytes({lastKey, -lastKey}));
}

// A process killed while it holds keys and a button leaves nothing stuck:
// the kernel releases what a device held when the device goes away.
void checkKilledHolderLeavesNothingDown(int console)
{
    int created[2], pressed[2];
    if (pipe(created) != 0 || pipe(pressed) != 0)
        return check(false, "pipes for the killed holder");
    const pid_t child = fork();
    if (child == 0) {
        std::string error;
        auto input = UinputInput::create({0, 0, 1280, 1024}, error);
        char go = 0;
        if (write(created[1], "c", 1) != 1 || read(pressed[0], &go, 1) != 1 || !input)
            _exit(1);
        input->sendKey(0xA2, true);
        input->sendKey('B', true);
        input->pressButton(MouseButton::Right);
        if (write(created[1], "p", 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char step = 0;
    const bool made = read(created[0], &step, 1) == 1;
    const int keyboard = openEventNode("Harnelo keyboard");
    const int mice = open("/dev/input/mice", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const bool pressedAll = made && write(pressed[1], "g", 1) == 1 && read(created[0], &step, 1) == 1;
    const std::string down = readUntil(console, keyBytes({KEY_LEFTCTRL, KEY_B}));
    check(pressedAll && down == keyBytes({KEY_LEFTCTRL, KEY_B}) && latestButtons(mice) == 2,
          "a child holds Control, B and the right button");

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    check(nodeIsGone(keyboard), "the killed child's devices are gone");
    check(readUntil(console, keyBytes({-KEY_LEFTCTRL, -KEY_B})) == keyBytes({-KEY_LEFTCTRL, -KEY_B}),
          "the kernel released its keys");
    check(latestButtons(mice) == 0, "the kernel released its button");
    close(mice);
    close(keyboard);
}

} // namespace

int main()
{
    mkdir("/proc", 0755);
    mkdir("/sys", 0755);
    mkdir("/dev", 0755);
    mount("proc", "/proc", "proc", 0, nullptr);
    mount("sysfs", "/sys", "sysfs", 0, nullptr);
    mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
    check(loadModule("/evdev.ko") && loadModule("/uinput.ko"), "loads evdev.ko and uinput.ko");

    const int console = openConsoleKeys();
    check(console >= 0, "reads the console's keyboard");
    checkLinesReachTheKernel(console);
    checkBurstsReachAPromptReaderWhole(console);
    checkKilledHolderLeavesNothingDown(console);

    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    sync();
    reboot(RB_POWER_OFF);
    return 0;
}
