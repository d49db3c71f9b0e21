#pragma once

#include "inputbackend.h"

#include <bitset>

// Injects input through user32. Cursor placement is left to the toolkit.
class WindowsInput final : public InputBackend
{
public:
    void pressButton(MouseButton button) override;
    void releaseButton(MouseButton button) override;
    void sendKey(int virtualKey, bool down) override;
    void releaseAllKeys() override;
    std::string takeError() override;

protected:
    void sendWheel(int amount) override;

private:
    std::bitset<256> held_keys;
    std::string first_error;
};
