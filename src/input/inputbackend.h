#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

enum class MouseButton { Left, Right, Middle, Back, Forward };

// Injects synthetic mouse and keyboard input into the operating system.
// One implementation per platform; the window owns exactly one.
class InputBackend
{
public:
    // Wheel amounts are in 1/120 notch. One turn moves the wheel at most
    // MaxWheelPerTurn, one batch at most MaxWheelPerBatch between all its
    // turns; the rest of a runaway amount is dropped, on every platform alike.
    static constexpr int WheelNotch = 120;
    static constexpr int MaxWheelPerTurn = 100 * WheelNotch;
    static constexpr int MaxWheelPerBatch = 400 * WheelNotch;

    virtual ~InputBackend() = default;

    // Button events act at the cursor's current position.
    virtual void pressButton(MouseButton button) = 0;
    virtual void releaseButton(MouseButton button) = 0;

    // Positive amounts turn the wheel away from the user.
    void turnWheel(int amount);
    // Positive amounts turn the horizontal wheel to the right.
    void turnHorizontalWheel(int amount);

    // virtualKey is a Windows virtual-key code. Codes outside 1-254 are not
    // virtual keys: nothing is sent for them. A release lifts exactly what
    // the press pressed, whatever changed in between.
    virtual void sendKey(int virtualKey, bool down) = 0;

    // Types one character as the user's keyboard layout types it: a press
    // and release of its key, with whatever modifiers or level that takes,
    // leaving nothing held and every modifier, Caps Lock included, as it
    // was. Tab (9) types the Tab key and line feed (10) the Return key.
    // A character the layout cannot type is skipped and said through
    // takeError(), once for each character. (Windows types any character,
    // whatever the layout.)
    virtual void typeCharacter(char32_t character) = 0;

    // All keys up: releases every key this backend pressed and has not
    // released, and lets go of anything it set up to press them.
    virtual void releaseAllKeys() = 0;

    // Cursor placement in screen pixels, ordered with the other events.
    // A backend that leaves the cursor to the toolkit returns false.
    virtual bool moveCursorTo(int x, int y)
    {
        static_cast<void>(x), static_cast<void>(y);
        return false;
    }
    virtual bool moveCursorBy(int dx, int dy)
    {
        static_cast<void>(dx), static_cast<void>(dy);
        return false;
    }

    // A failure to inject since the last call, in words a user can act on;
    // empty when everything went through.
    virtual std::string takeError() { return {}; }

    // notify is called when injecting failed outside any call into the
    // backend (events it held back and wrote later), so that the owner can
    // take the error then. It must not destroy the backend.
    void whenFailingLater(std::function<void()> notify) { failing_later = std::move(notify); }

    // Inside a batch the backend may hold events back and hand them to the
    // system together when the batch ends; outside one each event goes out at
    // once. Batches nest.
    void beginBatch();
    void endBatch();

protected:
    bool inBatch() const { return batch_depth > 0; }
    // amount is already bounded.
    virtual void sendWheel(int amount) = 0;
    virtual void sendHorizontalWheel(int amount) = 0;
    // Hands what the batch held back to the system.
    virtual void flush() {}
    void failedLater()
    {
        if (failing_later)
            failing_later();
    }

private:
    std::function<void()> failing_later;
    int batch_depth = 0;
    int wheel_left_in_batch = MaxWheelPerBatch;

    int boundWheel(int amount);
};

class InputBatch
{
public:
    explicit InputBatch(InputBackend &input) : input(input) { input.beginBatch(); }
    ~InputBatch() { input.endBatch(); }
    InputBatch(const InputBatch &) = delete;
    InputBatch &operator=(const InputBatch &) = delete;

private:
    InputBackend &input;
};

inline bool isVirtualKey(int code)
{
    return code >= 1 && code <= 254;
}

// The desktop in the toolkit's pixels, as the cursor positions given to
// moveCursorTo() are.
struct DesktopArea
{
    int x = 0;
    int y = 0;
    int width = 1;
    int height = 1;
};

// The ways to inject where a platform has more than one: on Linux, XTest
// into an X server, or the kernel's uinput device below any display server.
enum class InputSystem { Automatic, X11, Uinput };

struct InputSetup
{
    std::unique_ptr<InputBackend> backend;
    // When nothing can inject: what failed and what to do. The backend then
    // drops everything it is given.
    std::string problem;
    // Which way input goes and why, for the user: said once at start.
    std::string route{};
};

// The backend for the platform the program was built for and the session it
// runs in; Automatic picks what suits the session. desktop: where a backend
// that places the cursor itself places absolute positions, for when there
// are no screens of the toolkit's to follow (no window). keyboardLayout: for
// a backend that must know the layout to type (uinput), the one to use, as
// XKB names it ("de", "fr", "de(nodeadkeys)"); empty for the session's.
InputSetup createInputBackend(InputSystem system = InputSystem::Automatic,
                              const std::optional<DesktopArea> &desktop = std::nullopt,
                              const std::string &keyboardLayout = {});

// A backend that injects nothing, for when none can.
std::unique_ptr<InputBackend> createNoInput();
