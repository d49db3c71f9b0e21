#include "windowsinput.h"

#include <windows.h>

#include <string>
#include <utility>

static_assert(InputBackend::MaxWheelPerTurn <= 32767, "a wheel turn fits the 16-bit wheel delta");

namespace {

// MOUSEEVENTF_MOVE is never set, so button events act where the cursor is;
// the coordinates (1, 1) are then ignored.
void sendButton(DWORD buttonFlag)
{
    mouse_event(MOUSEEVENTF_ABSOLUTE | buttonFlag, 1, 1, 0, 0);
}

DWORD downFlag(MouseButton button)
{
    switch (button) {
    case MouseButton::Right:
        return MOUSEEVENTF_RIGHTDOWN;
    case MouseButton::Middle:
        return MOUSEEVENTF_MIDDLEDOWN;
    case MouseButton::Left:
        break;
    }
    return MOUSEEVENTF_LEFTDOWN;
}

DWORD upFlag(MouseButton button)
{
    switch (button) {
    case MouseButton::Right:
        return MOUSEEVENTF_RIGHTUP;
    case MouseButton::Middle:
        return MOUSEEVENTF_MIDDLEUP;
    case MouseButton::Left:
        break;
    }
    return MOUSEEVENTF_LEFTUP;
}

} // namespace

void WindowsInput::pressButton(MouseButton button)
{
    sendButton(downFlag(button));
}

void WindowsInput::releaseButton(MouseButton button)
{
    sendButton(upFlag(button));
}

void WindowsInput::sendWheel(int amount)
{
    // The delta travels as a DWORD and reaches programs as a signed 16-bit
    // number; bounded amounts fit in it.
    mouse_event(MOUSEEVENTF_WHEEL, 0, 0, static_cast<DWORD>(amount), 0);
}

void WindowsInput::sendKey(int virtualKey, bool down)
{
    if (!isVirtualKey(virtualKey))
        return;
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = static_cast<WORD>(virtualKey);
    input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    // Windows refuses input meant for a program running with higher rights
    // than this one, such as an administrator's window.
    if (SendInput(1, &input, sizeof(INPUT)) != 1 && first_error.empty())
        first_error = "Windows refused a key (error " + std::to_string(GetLastError())
            + "); a program with higher rights may have the focus";
    held_keys[static_cast<std::size_t>(virtualKey)] = down;
}

void WindowsInput::releaseAllKeys()
{
    for (int virtualKey = 1; virtualKey < 255; ++virtualKey) {
        if (held_keys[static_cast<std::size_t>(virtualKey)])
            sendKey(virtualKey, false);
    }
}

std::string WindowsInput::takeError()
{
    return std::exchange(first_error, std::string());
}

InputSetup createInputBackend(InputSystem, const std::optional<DesktopArea> &)
{
    return {std::make_unique<WindowsInput>(), {}};
}
