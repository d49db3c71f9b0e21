#pragma once

#include "inputbackend.h"

// Injects input through user32. Cursor placement is left to the toolkit.
class WindowsInput final : public InputBackend
{
public:
    void pressButton(MouseButton button) override;
    void releaseButton(MouseButton button) override;
    void turnWheel(int amount) override;
    void sendKey(int virtualKey, bool down) override;
};
