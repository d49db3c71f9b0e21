#pragma once

#include "eventline.h"
#include "input/inputbackend.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

class LineTrace;

// What the board's lines do to the mouse and keyboard, and the record of
// every button and key the board holds down, so that all of them can be
// released when the board stops talking.
class RemoteInput
{
public:
    explicit RemoteInput(std::unique_ptr<InputBackend> backend);
    ~RemoteInput();
    RemoteInput(const RemoteInput &) = delete;
    RemoteInput &operator=(const RemoteInput &) = delete;

    // Acts on one event line; a line that is not a valid event does nothing.
    void handleLine(std::string_view line);
    // Every line handled is told to trace from now on; null: to nothing.
    void traceTo(LineTrace *trace) { this->trace = trace; }
    void apply(const EventLine &event);

    // Cursor placement in the toolkit's screen coordinates.
    void setMousePosition(int x, int y);
    // For when no desktop is known to place the cursor on: absolute
    // positions then do nothing, and the first one says so on standard error.
    void ignoreAbsolutePositions() { absolute_positions_ignored = true; }
    void moveMouseBy(int dx, int dy);
    // The button is named by its press code: RIGHT_PRESS, LEFT_PRESS,
    // MIDDLE_PRESS, BACK_PRESS or FORWARD_PRESS.
    void setButton(MouseEvent button, bool down);
    // Sends the key; records nothing. Code 0 sends nothing.
    void keyboardEvent(KeyboardEvent event, int key);
    void releaseButtonsAndKeys();

    // A failure to inject since the last call, in words a user can act on,
    // or empty. Each new kind of failure is also written to standard error.
    std::string takeFailure();

    InputBackend &backend() { return *input; }
    bool isHeld(MouseEvent button) const { return mouse_event_state.at(button); }
    bool isKeyHeld(std::uint32_t key) const;

private:
    void recordKey(int key, bool held);

    std::unique_ptr<InputBackend> input;
    std::map<MouseEvent, bool> mouse_event_state;
    std::map<std::uint32_t, bool> keyboard_event_state;
    std::string last_failure;
    bool absolute_positions_ignored = false;
    bool said_positions_ignored = false;
    LineTrace *trace = nullptr;
};
