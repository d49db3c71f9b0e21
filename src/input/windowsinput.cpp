#include "windowsinput.h"

#include <windows.h>

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

void WindowsInput::turnWheel(int amount)
{
    // The wheel delta travels as a DWORD but is read back as a signed value.
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
    SendInput(1, &input, sizeof(INPUT));
}

std::unique_ptr<InputBackend> createInputBackend()
{
    return std::make_unique<WindowsInput>();
}
