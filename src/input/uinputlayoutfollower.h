#pragma once

#include "uinputlayout.h"

#include <functional>
#include <memory>
#include <string>

// The keyboard layout the uinput backend types with, from the first place
// that names one: --layout, else the X server (Xwayland mirrors the
// compositor's keymap), else /etc/default/keyboard, else us. While it lives
// it follows the X server's keymap or the file, whichever it came from,
// and tells every change from the event loop.
class KeyboardLayoutFollower
{
public:
    using Changed = std::function<void(std::shared_ptr<const KeyboardLayout>)>;

    // argument: --layout's text, empty for the session's layout.
    KeyboardLayoutFollower(const std::string &argument, Changed changed);
    ~KeyboardLayoutFollower();
    KeyboardLayoutFollower(const KeyboardLayoutFollower &) = delete;
    KeyboardLayoutFollower &operator=(const KeyboardLayoutFollower &) = delete;

    // nullptr when not even us compiles (no XKB data installed).
    std::shared_ptr<const KeyboardLayout> layout() const { return current; }
    // The layout and where it came from, for the user: "fr (from /etc/default/keyboard)".
    std::string description() const;

private:
    struct Watch;

    void load();
    void reload();

    std::string argument;
    Changed changed;
    std::unique_ptr<Watch> watch;
    std::shared_ptr<const KeyboardLayout> current;
    std::string source;
};
