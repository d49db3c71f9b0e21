#include "uinputinput.h"

#include "uinputkeytable.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

const char *const deviceNames[] = {"pointer", "keyboard", "absolute pointer"};

// The kernel keeps, for each reader of a device's event node, a ring of
// events sized from what the device can send: 64 events for our keyboard,
// 128 for either pointer (eight of the largest frame the device declares,
// rounded up to a power of two, at least 64). A writer that outruns a reader
// fills its ring; the kernel then throws away everything the reader had not
// read and tells it only that it did (SYN_DROPPED). libinput resyncs the keys
// that are down, but the taps and moves in between are gone.
//
// So each device gets a share of its readers' ring per slice, and its next
// slice opens a pause later. A reader that emptied its ring loses nothing
// while it falls less than (ring - share) / pace behind. The pace has to be
// at least 4 events a millisecond for 100 taps (400 events) to take under
// 100 ms; at 8 a millisecond, a quarter of the ring every 2 ms leaves a reader
// 6 ms, half of it every 4 ms only 4 ms, and an eighth every 1 ms would
// double the wake-ups for 7 ms, with timers that keep whole milliseconds.
// Measured: with the toolkit's timers (bench_uinput) 100 taps take 57-60 ms
// and 200 moves 47-54 ms, lines coming one by one are never held back; in
// the kernel test a reader that reads when woken lost nothing of either
// burst, waiting at most 0.6 ms for an event, where the same bursts unpaced
// overflowed it.
constexpr std::chrono::milliseconds PacingPause{2};
constexpr std::size_t ReaderRing[] = {128, 64, 128}; // pointer, keyboard, absolute pointer
constexpr std::size_t SliceOfRing = 4;

int evdevButton(MouseButton button)
{
    switch (button) {
    case MouseButton::Right:
        return BTN_RIGHT;
    case MouseButton::Middle:
        return BTN_MIDDLE;
    case MouseButton::Back:
        return BTN_SIDE;
    case MouseButton::Forward:
        return BTN_EXTRA;
    case MouseButton::Left:
        break;
    }
    return BTN_LEFT;
}

// The axis value at the first or third quarter of a pixel, so that either
// lands inside that pixel whatever way a compositor rounds.
int axisValue(int pixel, int origin, int extent, bool thirdQuarter)
{
    const long long offset = std::clamp<long long>(static_cast<long long>(pixel) - origin, 0, extent - 1);
    const long long quarters = offset * 4 + (thirdQuarter ? 3 : 1);
    return static_cast<int>(quarters * (AbsolutePlacement::AxisMax + 1LL) / (4LL * extent));
}

void enableCodes(libevdev *device, unsigned int type, const std::vector<int> &codes)
{
    libevdev_enable_event_type(device, type);
    for (int code : codes)
        libevdev_enable_event_code(device, type, static_cast<unsigned int>(code), nullptr);
}

void describePointer(libevdev *device)
{
    enableCodes(device, EV_REL, {REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES, REL_HWHEEL, REL_HWHEEL_HI_RES});
    enableCodes(device, EV_KEY, {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_SIDE, BTN_EXTRA});
}

// With the lights the desktop sets the lock state on every keyboard, and
// the kernel passes it back to us.
void describeKeyboard(libevdev *device)
{
    enableCodes(device, EV_KEY, mappedEvdevKeys());
    enableCodes(device, EV_LED, {LED_NUML, LED_CAPSL});
}

// Keys that change what other keys type, lifted while text is typed.
constexpr int ModifierKeys[] = {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL,
                                KEY_LEFTALT,   KEY_RIGHTALT,   KEY_LEFTMETA, KEY_RIGHTMETA};
// Skipped characters remembered as said; past that many, they are forgotten
// and may be said again.
constexpr std::size_t MaxSaidSkipped = 256;
constexpr std::size_t MaxSkippedError = 1024;
// Lights read this recently still hold: a line's characters come together.
constexpr std::chrono::milliseconds LightsFresh{1};

bool isLetterOrDigit(int virtualKey)
{
    return (virtualKey >= 'A' && virtualKey <= 'Z') || (virtualKey >= '0' && virtualKey <= '9');
}

std::string utf8(char32_t character)
{
    if (character < 0x20 || character == 0x7f || (character >= 0xd800 && character < 0xe000) || character > 0x10ffff)
        return "\xef\xbf\xbd"; // U+FFFD: the character itself would not show
    std::string text;
    if (character < 0x80) {
        text += static_cast<char>(character);
    } else if (character < 0x800) {
        text += static_cast<char>(0xc0 | (character >> 6));
        text += static_cast<char>(0x80 | (character & 0x3f));
    } else if (character < 0x10000) {
        text += static_cast<char>(0xe0 | (character >> 12));
        text += static_cast<char>(0x80 | ((character >> 6) & 0x3f));
        text += static_cast<char>(0x80 | (character & 0x3f));
    } else {
        text += static_cast<char>(0xf0 | (character >> 18));
        text += static_cast<char>(0x80 | ((character >> 12) & 0x3f));
        text += static_cast<char>(0x80 | ((character >> 6) & 0x3f));
        text += static_cast<char>(0x80 | (character & 0x3f));
    }
    return text;
}

std::string skippedMessage(const KeyboardLayout *layout, char32_t character)
{
    char code[16];
    std::snprintf(code, sizeof(code), "U+%04X", static_cast<unsigned>(character));
    const std::string shown = "\"" + utf8(character) + "\" (" + code + ")";
    if (!layout)
        return "No keyboard layout is known, so " + shown + " was skipped.";
    return "The keyboard layout \"" + layout->name() + "\" cannot type " + shown + "; it was skipped.";
}

// Absolute axes with a button are what desktops take for a pointer that
// jumps to where it is told, like a virtual machine's tablet.
void describeTablet(libevdev *device)
{
    input_absinfo axis{};
    axis.maximum = AbsolutePlacement::AxisMax;
    libevdev_enable_event_type(device, EV_ABS);
    libevdev_enable_event_code(device, EV_ABS, ABS_X, &axis);
    libevdev_enable_event_code(device, EV_ABS, ABS_Y, &axis);
    enableCodes(device, EV_KEY, {BTN_LEFT});
}

void destroyDevice(libevdev_uinput *device)
{
    if (!device)
        return;
    const int fd = libevdev_uinput_get_fd(device);
    libevdev_uinput_destroy(device);
    close(fd);
}

} // namespace

int WheelNotches::turn(int amount)
{
    if ((amount > 0 && remainder < 0) || (amount < 0 && remainder > 0))
        remainder = 0;
    const long long total = static_cast<long long>(remainder) + amount;
    const long long notches = total / InputBackend::WheelNotch;
    remainder = static_cast<int>(total - notches * InputBackend::WheelNotch);
    return static_cast<int>(notches);
}

AbsolutePlacement::AbsolutePlacement(const DesktopArea &desktop)
{
    setArea(desktop);
}

void AbsolutePlacement::setArea(const DesktopArea &desktop)
{
    const DesktopArea bounded{desktop.x, desktop.y, std::max(desktop.width, 1), std::max(desktop.height, 1)};
    if (bounded.x == area.x && bounded.y == area.y && bounded.width == area.width
        && bounded.height == area.height)
        return;
    area = bounded;
    last = {-1, -1};
}

AbsolutePlacement::Values AbsolutePlacement::place(int x, int y)
{
    Values values{axisValue(x, area.x, area.width, false), axisValue(y, area.y, area.height, false)};
    if (values.x == last.x && values.y == last.y)
        values.x = axisValue(x, area.x, area.width, true);
    last = values;
    return values;
}

void EventQueue::add(unsigned short type, unsigned short code, int value)
{
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    queued.push_back(event);
}

void EventQueue::endFrame(int device)
{
    add(EV_SYN, SYN_REPORT, 0);
    const std::size_t end = erased + queued.size();
    whole_frames.push_back({device, open_frame, end});
    open_frame = end;
}

void EventQueue::drop(std::size_t count)
{
    const auto dropped = static_cast<std::ptrdiff_t>(std::min(count, whole_frames.size()));
    whole_frames.erase(whole_frames.begin(), whole_frames.begin() + dropped);
    // What went out is erased once it is at least half of what is stored,
    // so that each event is moved a bounded number of times.
    const std::size_t gone = heldFrom() - erased;
    if (gone > 0 && gone >= queued.size() / 2) {
        queued.erase(queued.begin(), queued.begin() + static_cast<std::ptrdiff_t>(gone));
        erased += gone;
    }
}

EventPacing::EventPacing(std::vector<std::size_t> sharePerDevice, Clock::duration pause)
    : shares(std::move(sharePerDevice)), pause(pause), slices(shares.size())
{
}

EventPacing::Slice &EventPacing::sliceAt(int device, Clock::time_point now)
{
    Slice &slice = slices[static_cast<std::size_t>(device)];
    if (now >= slice.next)
        slice = {0, now + pause};
    return slice;
}

bool EventPacing::admit(int device, std::size_t events, Clock::time_point now)
{
    Slice &slice = sliceAt(device, now);
    if (slice.events > 0 && slice.events + events > shares[static_cast<std::size_t>(device)])
        return false;
    slice.events += events;
    return true;
}

void EventPacing::countAnyway(int device, std::size_t events, Clock::time_point now)
{
    sliceAt(device, now).events += events;
}

void EventPacing::wrote(int device, Clock::time_point ended)
{
    Slice &slice = slices[static_cast<std::size_t>(device)];
    slice.next = std::max(slice.next, ended + pause / 4);
}

EventPacing::Clock::time_point EventPacing::nextSlice(int device) const
{
    return slices[static_cast<std::size_t>(device)].next;
}

UinputInput::UinputInput(const DesktopArea &area)
    : pacing({ReaderRing[Pointer] / SliceOfRing, ReaderRing[Keyboard] / SliceOfRing, ReaderRing[Tablet] / SliceOfRing},
             PacingPause),
      placement(area), holders(KEY_CNT, 0)
{
}

std::unique_ptr<UinputInput> UinputInput::create(const DesktopArea &area, std::string &error,
                                                 const std::string &devicePath)
{
    std::unique_ptr<UinputInput> input(new UinputInput(area));
    void (*const describe[])(libevdev *) = {describePointer, describeKeyboard, describeTablet};
    for (int device = 0; device < DeviceCount; ++device) {
        const int fd = open(devicePath.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            error = devicePath + ": " + std::strerror(errno);
            return nullptr;
        }
        libevdev *description = libevdev_new();
        libevdev_set_name(description, (std::string("Harnelo ") + deviceNames[device]).c_str());
        libevdev_set_id_bustype(description, BUS_VIRTUAL);
        libevdev_set_id_product(description, device + 1);
        describe[device](description);
        const int result = libevdev_uinput_create_from_device(description, fd, &input->devices[device]);
        libevdev_free(description);
        if (result < 0) {
            close(fd);
            error = devicePath + ": cannot create the virtual " + deviceNames[device] + ": "
                    + std::strerror(-result);
            return nullptr;
        }
    }
    return input;
}

UinputInput::~UinputInput()
{
    // No timer may call back now: every write waits its turn here.
    schedule_write = nullptr;
    releaseAllKeys();
    drain();
    for (libevdev_uinput *device : devices)
        destroyDevice(device);
}

void UinputInput::pressButton(MouseButton button)
{
    queue.add(EV_KEY, static_cast<unsigned short>(evdevButton(button)), 1);
    endFrame(Pointer);
}

void UinputInput::releaseButton(MouseButton button)
{
    queue.add(EV_KEY, static_cast<unsigned short>(evdevButton(button)), 0);
    endFrame(Pointer);
}

void UinputInput::sendWheel(int amount)
{
    const int notches = wheel.turn(amount);
    if (notches != 0)
        queue.add(EV_REL, REL_WHEEL, notches);
    queue.add(EV_REL, REL_WHEEL_HI_RES, amount);
    endFrame(Pointer);
}

void UinputInput::sendKey(int virtualKey, bool down)
{
    if (!isVirtualKey(virtualKey))
        return;
    unsigned short &held = held_key[static_cast<std::size_t>(virtualKey)];
    if (down && !held) {
        const int evdevKey = keyForVirtualKey(virtualKey);
        if (evdevKey == 0)
            return;
        held = static_cast<unsigned short>(evdevKey);
        setKeyState(evdevKey, true);
    } else if (!down && held) {
        setKeyState(held, false);
        held = 0;
    }
}

void UinputInput::releaseAllKeys()
{
    for (unsigned short &held : held_key) {
        if (held)
            setKeyState(held, false);
        held = 0;
    }
}

// A key goes down with its first holder and up with its last.
void UinputInput::setKeyState(int evdevKey, bool down)
{
    unsigned char &count = holders[static_cast<std::size_t>(evdevKey)];
    count = static_cast<unsigned char>(down ? count + 1 : count - 1);
    if (count == (down ? 1 : 0))
        emitKey(evdevKey, down);
}

void UinputInput::emitKey(int evdevKey, bool down)
{
    queue.add(EV_KEY, static_cast<unsigned short>(evdevKey), down ? 1 : 0);
    endFrame(Keyboard);
}

// Letters and digits press the key that types them in the layout, as on
// Windows; other keys, and letters the layout lacks, go by position.
int UinputInput::keyForVirtualKey(int virtualKey) const
{
    if (layout && isLetterOrDigit(virtualKey)) {
        if (const int key = layout->keyOfSymbol(virtualKey))
            return key;
    }
    return evdevKeyForVirtualKey(virtualKey);
}

void UinputInput::useLayout(std::shared_ptr<const KeyboardLayout> newLayout)
{
    layout = std::move(newLayout);
    said_skipped.clear();
}

void UinputInput::keep(std::shared_ptr<void> helper)
{
    helpers.push_back(std::move(helper));
}

void UinputInput::followDesktop(std::function<DesktopArea()> currentArea)
{
    current_area = std::move(currentArea);
}

bool UinputInput::moveCursorTo(int x, int y)
{
    if (current_area)
        placement.setArea(current_area());
    const AbsolutePlacement::Values values = placement.place(x, y);
    queue.add(EV_ABS, ABS_X, values.x);
    queue.add(EV_ABS, ABS_Y, values.y);
    endFrame(Tablet);
    return true;
}

bool UinputInput::moveCursorBy(int dx, int dy)
{
    if (dx == 0 && dy == 0)
        return true;
    if (dx != 0)
        queue.add(EV_REL, REL_X, dx);
    if (dy != 0)
        queue.add(EV_REL, REL_Y, dy);
    endFrame(Pointer);
    return true;
}

std::string UinputInput::takeError()
{
    std::string error = first_error;
    if (failed_writes > 1)
        error += " (" + std::to_string(failed_writes) + " writes failed)";
    if (unpaced_events > 0) {
        error += (error.empty() ? "" : "; ")
                 + std::string("input came faster than the desktop is known to keep up with: ")
                 + std::to_string(unpaced_events) + " events went out unpaced, and programs may have missed some";
    }
    if (!skipped_error.empty())
        error += (error.empty() ? "" : "; ") + skipped_error;
    skipped_error.clear();
    first_error.clear();
    failed_writes = 0;
    unpaced_events = 0;
    return error;
}

void UinputInput::whenWaiting(std::function<void(Clock::time_point)> schedule)
{
    schedule_write = std::move(schedule);
}

void UinputInput::writeDue(Clock::time_point now)
{
    const int failedBefore = failed_writes;
    writeAllowed(now);
    askForNextWrite();
    if (failed_writes != failedBefore)
        failedLater();
}

void UinputInput::flush()
{
    writeAllowed(Clock::now());
    askForNextWrite();
}

void UinputInput::endFrame(Device device)
{
    queue.endFrame(device);
    const Clock::time_point now = Clock::now();
    if (queue.size() > MaxQueuedEvents)
        writeOverflow(now);
    if (!inBatch()) {
        writeAllowed(now);
        askForNextWrite();
    }
}

void UinputInput::askForNextWrite()
{
    if (queue.frames().empty())
        return;
    if (schedule_write)
        schedule_write(pacing.nextSlice(queue.frames().front().device));
    else
        drain();
}

void UinputInput::drain()
{
    while (!queue.frames().empty()) {
        writeAllowed(Clock::now());
        if (!queue.frames().empty())
            std::this_thread::sleep_until(pacing.nextSlice(queue.frames().front().device));
    }
}

// The frames the pacing admits, in order: the first it refuses holds back
// all after it, whatever their device.
void UinputInput::writeAllowed(Clock::time_point now)
{
    std::size_t admitted = 0;
    for (const EventQueue::Frame &frame : queue.frames()) {
        if (!pacing.admit(frame.device, frame.end - frame.begin, now))
            break;
        ++admitted;
    }
    writeFrames(admitted, now);
}

// The oldest frames, down to half the most the queue holds.
void UinputInput::writeOverflow(Clock::time_point now)
{
    const std::size_t excess = queue.size() - MaxQueuedEvents / 2;
    std::size_t frames = 0, events = 0;
    for (const EventQueue::Frame &frame : queue.frames()) {
        if (events >= excess)
            break;
        pacing.countAnyway(frame.device, frame.end - frame.begin, now);
        events += frame.end - frame.begin;
        ++frames;
    }
    unpaced_events += events;
    writeFrames(frames, now);
}

// The oldest count frames, one write per run of frames for one device.
void UinputInput::writeFrames(std::size_t count, Clock::time_point now)
{
    const std::deque<EventQueue::Frame> &frames = queue.frames();
    for (std::size_t first = 0, last = 0; first < count; first = last) {
        while (last < count && frames[last].device == frames[first].device)
            ++last;
        write(frames[first], frames[last - 1]);
        pacing.wrote(frames[first].device, std::max(now, Clock::now()));
    }
    queue.drop(count);
}

void UinputInput::write(const EventQueue::Frame &first, const EventQueue::Frame &last)
{
    const std::size_t bytes = (last.end - first.begin) * sizeof(input_event);
    const int fd = libevdev_uinput_get_fd(devices[static_cast<std::size_t>(first.device)]);
    ssize_t written;
    do
        written = ::write(fd, queue.eventsOf(first), bytes);
    while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(bytes))
        return;
    const std::string reason = written < 0 ? std::strerror(errno)
                                           : "the kernel took " + std::to_string(written) + " of "
                                                 + std::to_string(bytes) + " bytes";
    if (failed_writes++ == 0)
        first_error = std::string("writing to the virtual ") + deviceNames[first.device] + ": " + reason;
}

void UinputInput::typeCharacter(char32_t character)
{
    if (character == U'\t' || character == U'\n') {
        typeKeystroke({character == U'\t' ? KEY_TAB : KEY_ENTER, {}});
        return;
    }
    readLights();
    const std::optional<KeyboardLayout::Keystroke> keystroke =
        layout ? layout->keystroke(character, lights) : std::nullopt;
    if (keystroke)
        typeKeystroke(*keystroke);
    else
        skip(character);
}

// What the board holds is lifted meanwhile and pressed again after: a held
// Shift must not make "a" an "A", and a held key could not go down again.
void UinputInput::typeKeystroke(const KeyboardLayout::Keystroke &keystroke)
{
    std::vector<int> lifted;
    const auto liftIfHeld = [&](int key) {
        if (holders[static_cast<std::size_t>(key)] && std::find(lifted.begin(), lifted.end(), key) == lifted.end())
            lifted.push_back(key);
    };
    for (const int key : ModifierKeys)
        liftIfHeld(key);
    for (const int key : keystroke.modifiers)
        liftIfHeld(key);
    liftIfHeld(keystroke.key);
    for (const int key : lifted)
        emitKey(key, false);
    tapCapsLock(keystroke.capsLockKey);
    for (const int key : keystroke.modifiers)
        emitKey(key, true);
    emitKey(keystroke.key, true);
    emitKey(keystroke.key, false);
    for (auto key = keystroke.modifiers.rbegin(); key != keystroke.modifiers.rend(); ++key)
        emitKey(*key, false);
    tapCapsLock(keystroke.capsLockKey);
    for (const int key : lifted)
        emitKey(key, true);
}

void UinputInput::tapCapsLock(int key)
{
    if (!key || holders[static_cast<std::size_t>(key)])
        return;
    emitKey(key, true);
    emitKey(key, false);
}

void UinputInput::skip(char32_t character)
{
    if (said_skipped.size() >= MaxSaidSkipped)
        said_skipped.clear();
    if (!said_skipped.insert(character).second)
        return;
    // Until taken, the messages stay within a few lines.
    if (skipped_error.size() < MaxSkippedError)
        skipped_error += (skipped_error.empty() ? "" : " ") + skippedMessage(layout.get(), character);
}

// The kernel hands the lights the desktop sets back to the device's
// creator; they wait unread until text needs them, and are read once for
// the characters of a line.
void UinputInput::readLights()
{
    const Clock::time_point now = Clock::now();
    if (now - lights_read < LightsFresh)
        return;
    lights_read = now;
    const int fd = libevdev_uinput_get_fd(devices[Keyboard]);
    pollfd waiting{fd, POLLIN, 0};
    input_event events[16]{};
    for (int reads = 0; reads < 16 && poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN); ++reads) {
        const ssize_t got = read(fd, events, sizeof(events));
        if (got <= 0)
            return;
        for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof(input_event); ++i) {
            if (events[i].type == EV_LED)
                takeLight(events[i].code, events[i].value != 0);
        }
    }
}

void UinputInput::takeLight(int code, bool lit)
{
    if (code == LED_CAPSL)
        lights.capsLock = lit;
    else if (code == LED_NUML)
        lights.numLock = lit;
}

void UinputInput::sendHorizontalWheel(int amount)
{
    const int notches = horizontal_wheel.turn(amount);
    if (notches != 0)
        queue.add(EV_REL, REL_HWHEEL, notches);
    queue.add(EV_REL, REL_HWHEEL_HI_RES, amount);
    endFrame(Pointer);
}
