#pragma once

#include "inputbackend.h"
#include "uinputlayout.h"

#include <linux/input.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct libevdev_uinput;

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

// Events held back for the kernel, in frames: the events of one line up to
// their SYN_REPORT, which go to the kernel whole. Frames of one device that
// follow each other lie next to each other, so they can be written together.
class EventQueue
{
public:
    struct Frame
    {
        int device;
        std::size_t begin; // positions among all events ever added
        std::size_t end;
    };

    void add(unsigned short type, unsigned short code, int value);
    // Ends one line's events with SYN_REPORT: they make a frame for device.
    void endFrame(int device);
    // Whole frames, oldest first.
    const std::deque<Frame> &frames() const { return whole_frames; }
    const input_event *eventsOf(const Frame &frame) const { return queued.data() + (frame.begin - erased); }
    // Forgets the oldest count frames.
    void drop(std::size_t count);
    // Events held, of whole frames and of one still being built.
    std::size_t size() const { return erased + queued.size() - heldFrom(); }

private:
    std::size_t heldFrom() const { return whole_frames.empty() ? open_frame : whole_frames.front().begin; }

    std::vector<input_event> queued;
    std::deque<Frame> whole_frames;
    std::size_t erased = 0;     // events dropped from the front of queued
    std::size_t open_frame = 0; // where the frame being built begins
};

// Lets events out in slices: in each slice a device takes at most its share,
// and its next slice opens a pause after the slice opened, and not before a
// quarter of the pause after its last write ended: a writer held up in a
// write still leaves a reader time before the next.
class EventPacing
{
public:
    using Clock = std::chrono::steady_clock;

    EventPacing(std::vector<std::size_t> sharePerDevice, Clock::duration pause);
    // Whether a frame of events may go out for device at now; counts it in
    // when it may. A frame larger than the share goes out alone.
    bool admit(int device, std::size_t events, Clock::time_point now);
    // Counts events in that go out whatever the pacing says.
    void countAnyway(int device, std::size_t events, Clock::time_point now);
    // A write of what was counted in for device ended at ended.
    void wrote(int device, Clock::time_point ended);
    // When device may take more than its current slice allows.
    Clock::time_point nextSlice(int device) const;

private:
    struct Slice
    {
        std::size_t events = 0;
        Clock::time_point next;
    };
    Slice &sliceAt(int device, Clock::time_point now);

    std::vector<std::size_t> shares;
    Clock::duration pause;
    std::vector<Slice> slices;
};

// Injects input below the display server through the kernel's uinput
// device, so it reaches Wayland and console sessions alike. Three virtual
// devices carry it: a relative pointer with the five buttons and both
// wheels, a keyboard with every key the virtual-key table maps and the Caps
// Lock and Num Lock lights, and an absolute pointer that places the cursor.
//
// The kernel knows key positions only: the keyboard layout given to
// useLayout() says which key types a letter, a digit or a text character,
// as the desktop will read it.
//
// Events go to the kernel paced (see PacingPause in the source): a line
// goes out at once, a burst in slices, whole frames in their order across
// the devices. What cannot go out yet waits in a queue for the scheduler
// given to whenWaiting(); without one the backend sleeps until it may go on.
class UinputInput final : public InputBackend
{
public:
    using Clock = EventPacing::Clock;

    // Creates the three devices through devicePath. On failure returns
    // nullptr and sets error to what failed, in words a user can act on,
    // such as "/dev/uinput: Permission denied".
    static std::unique_ptr<UinputInput> create(const DesktopArea &area, std::string &error,
                                               const std::string &devicePath = "/dev/uinput");
    // Writes out what is still queued, paced, so that the kernel is left
    // holding nothing pressed.
    ~UinputInput() override;
    UinputInput(const UinputInput &) = delete;
    UinputInput &operator=(const UinputInput &) = delete;

    void pressButton(MouseButton button) override;
    void releaseButton(MouseButton button) override;
    void sendKey(int virtualKey, bool down) override;
    void typeCharacter(char32_t character) override;
    // Releases queue behind what waits, so every key is up once that is out.
    void releaseAllKeys() override;
    bool moveCursorTo(int x, int y) override;
    bool moveCursorBy(int dx, int dy) override;

    // The first write the kernel refused since the last call, in words, and
    // how many writes failed in all; empty when every write went through.
    std::string takeError() override;

    // Letters, digits and text follow layout from now on. Without one, keys
    // go by their US position and text types only Tab and Return.
    void useLayout(std::shared_ptr<const KeyboardLayout> layout);
    // Keeps helper (such as what calls useLayout() when the layout changes)
    // as long as the backend lives.
    void keep(std::shared_ptr<void> helper);
    // Caps Lock and Num Lock as the desktop last lit them on the keyboard.
    KeyboardLayout::Locks locks() const { return lights; }

    // Absolute positions are mapped onto the desktop currentArea gives at
    // the time, so they stay right when screens come, go or change size.
    void followDesktop(std::function<DesktopArea()> currentArea);

    // schedule(at) asks to have writeDue() called at the time given or soon
    // after; a later request replaces an earlier one. It is kept as long as
    // the backend lives, and destroyed with it.
    void whenWaiting(std::function<void(Clock::time_point at)> schedule);
    // Writes what may go out at now, and asks for the next call if events
    // still wait. A write that fails here is told through failedLater().
    void writeDue(Clock::time_point now = Clock::now());
    // Whether events wait for a later writeDue().
    bool hasWaitingEvents() const { return !queue.frames().empty(); }

    // Beyond this many queued events the oldest go out at once, unpaced, so
    // that memory and delay stay bounded; about a second of typing at the
    // keyboard's pace.
    static constexpr std::size_t MaxQueuedEvents = 8192;

protected:
    void sendWheel(int amount) override;
    void sendHorizontalWheel(int amount) override;
    void flush() override;

private:
    enum Device { Pointer, Keyboard, Tablet, DeviceCount };

    explicit UinputInput(const DesktopArea &area);
    void endFrame(Device device);
    void writeAllowed(Clock::time_point now);
    void writeOverflow(Clock::time_point now);
    void writeFrames(std::size_t count, Clock::time_point now);
    void write(const EventQueue::Frame &first, const EventQueue::Frame &last);
    void askForNextWrite();
    void drain();
    void setKeyState(int evdevKey, bool down);
    void emitKey(int evdevKey, bool down);
    int keyForVirtualKey(int virtualKey) const;
    void typeKeystroke(const KeyboardLayout::Keystroke &keystroke);
    void tapCapsLock(int key);
    void skip(char32_t character);
    void readLights();
    void takeLight(int code, bool lit);

    std::array<libevdev_uinput *, DeviceCount> devices{};
    EventQueue queue;
    EventPacing pacing;
    std::function<void(Clock::time_point)> schedule_write;
    WheelNotches wheel;
    WheelNotches horizontal_wheel;
    std::shared_ptr<const KeyboardLayout> layout;
    std::vector<std::shared_ptr<void>> helpers;
    KeyboardLayout::Locks lights;
    Clock::time_point lights_read{};
    // Characters skipped and said, so that each is said once.
    std::set<char32_t> said_skipped;
    std::string skipped_error;
    AbsolutePlacement placement;
    std::function<DesktopArea()> current_area;
    // The evdev key each virtual key pressed, and how many virtual keys hold
    // each evdev key down (16 and 160 both hold left Shift).
    std::array<unsigned short, 256> held_key{};
    std::vector<unsigned char> holders;
    std::string first_error;
    int failed_writes = 0;
    std::size_t unpaced_events = 0;
};
