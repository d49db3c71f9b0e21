#include "uinputinput.h"

#include "uinputkeytable.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char *const deviceNames[] = {"pointer", "keyboard", "absolute pointer"};

int evdevButton(MouseButton button)
{
    switch (button) {
    case MouseButton::Right:
        return BTN_RIGHT;
    case MouseButton::Middle:
        return BTN_MIDDLE;
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
    enableCodes(device, EV_REL, {REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES});
    enableCodes(device, EV_KEY, {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE});
}

void describeKeyboard(libevdev *device)
{
    enableCodes(device, EV_KEY, mappedEvdevKeys());
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

void EventQueue::add(int device, unsigned short type, unsigned short code, int value)
{
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    if (device_runs.empty() || device_runs.back().device != device)
        device_runs.push_back({device, queued.size(), queued.size()});
    queued.push_back(event);
    device_runs.back().end = queued.size();
}

void EventQueue::endFrame(int device)
{
    add(device, EV_SYN, SYN_REPORT, 0);
}

void EventQueue::clear()
{
    queued.clear();
    device_runs.clear();
}

UinputInput::UinputInput(const DesktopArea &area)
    : placement(area), holders(KEY_CNT, 0)
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
    releaseAllKeys();
    writeQueued();
    for (libevdev_uinput *device : devices)
        destroyDevice(device);
}

void UinputInput::pressButton(MouseButton button)
{
    add(Pointer, EV_KEY, static_cast<unsigned short>(evdevButton(button)), 1);
    endFrame(Pointer);
}

void UinputInput::releaseButton(MouseButton button)
{
    add(Pointer, EV_KEY, static_cast<unsigned short>(evdevButton(button)), 0);
    endFrame(Pointer);
}

void UinputInput::sendWheel(int amount)
{
    const int notches = wheel.turn(amount);
    if (notches != 0)
        add(Pointer, EV_REL, REL_WHEEL, notches);
    add(Pointer, EV_REL, REL_WHEEL_HI_RES, amount);
    endFrame(Pointer);
}

void UinputInput::sendKey(int virtualKey, bool down)
{
    if (!isVirtualKey(virtualKey))
        return;
    unsigned short &held = held_key[static_cast<std::size_t>(virtualKey)];
    if (down && !held) {
        const int evdevKey = evdevKeyForVirtualKey(virtualKey);
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
    if (count != (down ? 1 : 0))
        return;
    add(Keyboard, EV_KEY, static_cast<unsigned short>(evdevKey), down ? 1 : 0);
    endFrame(Keyboard);
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
    add(Tablet, EV_ABS, ABS_X, values.x);
    add(Tablet, EV_ABS, ABS_Y, values.y);
    endFrame(Tablet);
    return true;
}

bool UinputInput::moveCursorBy(int dx, int dy)
{
    if (dx == 0 && dy == 0)
        return true;
    if (dx != 0)
        add(Pointer, EV_REL, REL_X, dx);
    if (dy != 0)
        add(Pointer, EV_REL, REL_Y, dy);
    endFrame(Pointer);
    return true;
}

std::string UinputInput::takeError()
{
    std::string error = first_error;
    if (failed_writes > 1)
        error += " (" + std::to_string(failed_writes) + " writes failed)";
    first_error.clear();
    failed_writes = 0;
    return error;
}

void UinputInput::flush()
{
    writeQueued();
}

void UinputInput::add(Device device, unsigned short type, unsigned short code, int value)
{
    queue.add(device, type, code, value);
}

void UinputInput::endFrame(Device device)
{
    queue.endFrame(device);
    if (!inBatch() || queue.size() >= MaxQueuedEvents)
        writeQueued();
}

void UinputInput::writeQueued()
{
    for (const EventQueue::Run &run : queue.runs()) {
        const std::size_t bytes = (run.end - run.begin) * sizeof(input_event);
        const int fd = libevdev_uinput_get_fd(devices[static_cast<std::size_t>(run.device)]);
        ssize_t written;
        do
            written = write(fd, queue.events().data() + run.begin, bytes);
        while (written < 0 && errno == EINTR);
        if (written == static_cast<ssize_t>(bytes))
            continue;
        const std::string reason = written < 0 ? std::strerror(errno)
                                               : "the kernel took " + std::to_string(written) + " of "
                                                     + std::to_string(bytes) + " bytes";
        if (failed_writes++ == 0)
            first_error = std::string("writing to the virtual ") + deviceNames[run.device] + ": " + reason;
    }
    queue.clear();
}
