#pragma once

#include "inputbackend.h"

#include <linux/input.h>

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct libevdev_uinput;

// The desktop in the toolkit's pixels, as the cursor positions given to
// moveCursorTo() are.
struct DesktopArea
{
    int x = 0;
    int y = 0;
    int width = 1;
    int height = 1;
};

// Splits wheel turns in 1/120 notch into whole notches. REL_WHEEL_HI_RES
// carries each turn as it is; REL_WHEEL carries the notches, so the two agree
// however finely the turns come.
class WheelNotches
{
public:
    // The notches this turn completes with what earlier turns left over.
    // Turning back drops what was left over from the other direction.
    int turn(int amount);

private:
    int remainder = 0;
};

// Desktop pixels to the values of the absolute pointer's axes, which run
// from 0 to AxisMax across the desktop.
class AbsolutePlacement
{
public:
    static constexpr int AxisMax = 65535;
    struct Values
    {
        int x;
        int y;
    };

    explicit AbsolutePlacement(const DesktopArea &area);
    void setArea(const DesktopArea &area);
    // Positions off the desktop are clamped onto its edge. The kernel drops
    // an axis value that did not change, yet the relative pointer may have
    // moved the cursor since: placing the cursor where it was placed last
    // takes another value inside the same pixel.
    Values place(int x, int y);

private:
    DesktopArea area;
    Values last{-1, -1};
};

// Events held back for the kernel, per device. Runs of consecutive events
// for one device are written together; the order across devices is kept.
class EventQueue
{
public:
    struct Run
    {
        int device;
        std::size_t begin;
        std::size_t end;
    };

    void add(int device, unsigned short type, unsigned short code, int value);
    // Ends one line's events with SYN_REPORT.
    void endFrame(int device);
    const std::vector<input_event> &events() const { return queued; }
    const std::vector<Run> &runs() const { return device_runs; }
    std::size_t size() const { return queued.size(); }
    void clear();

private:
    std::vector<input_event> queued;
    std::vector<Run> device_runs;
};

// Injects input below the display server through the kernel's uinput
// device, so it reaches Wayland and console sessions alike. Three virtual
// devices carry it: a relative pointer with the buttons and the wheel, a
// keyboard with every key the virtual-key table maps, and an absolute
// pointer that places the cursor.
class UinputInput final : public InputBackend
{
public:
    // Creates the three devices through devicePath. On failure returns
    // nullptr and sets error to what failed, in words a user can act on,
    // such as "/dev/uinput: Permission denied".
    static std::unique_ptr<UinputInput> create(const DesktopArea &area, std::string &error,
                                               const std::string &devicePath = "/dev/uinput");
    ~UinputInput() override;
    UinputInput(const UinputInput &) = delete;
    UinputInput &operator=(const UinputInput &) = delete;

    void pressButton(MouseButton button) override;
    void releaseButton(MouseButton button) override;
    void sendKey(int virtualKey, bool down) override;
    void releaseAllKeys() override;
    bool moveCursorTo(int x, int y) override;
    bool moveCursorBy(int dx, int dy) override;

    // The first write the kernel refused since the last call, in words, and
    // how many writes failed in all; empty when every write went through.
    std::string takeError() override;

    // Absolute positions are mapped onto the desktop currentArea gives at
    // the time, so they stay right when screens come, go or change size.
    void followDesktop(std::function<DesktopArea()> currentArea);

    // A batch holds at most this many events; more are written before the
    // batch ends, so that memory stays bounded.
    static constexpr std::size_t MaxQueuedEvents = 4096;

protected:
    void sendWheel(int amount) override;
    void flush() override;

private:
    enum Device { Pointer, Keyboard, Tablet, DeviceCount };

    explicit UinputInput(const DesktopArea &area);
    void add(Device device, unsigned short type, unsigned short code, int value);
    void endFrame(Device device);
    void writeQueued();
    void setKeyState(int evdevKey, bool down);

    std::array<libevdev_uinput *, DeviceCount> devices{};
    EventQueue queue;
    WheelNotches wheel;
    AbsolutePlacement placement;
    std::function<DesktopArea()> current_area;
    // The evdev key each virtual key pressed, and how many virtual keys hold
    // each evdev key down (16 and 160 both hold left Shift).
    std::array<unsigned short, 256> held_key{};
    std::vector<unsigned char> holders;
    std::string first_error;
    int failed_writes = 0;
};
