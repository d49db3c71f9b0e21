#pragma once

// Keyboard layouts for the uinput backend, which presses key positions and
// so has to know which key and modifiers type a character. This header
// names no xkbcommon type, so that code without it can hold a layout.

#include <memory>
#include <optional>
#include <string>
#include <vector>

// A layout by its XKB names, as setxkbmap and /etc/default/keyboard give
// them (the rules are always evdev's). Several layouts are comma-separated,
// their variants too: layout "us,de", variant ",nodeadkeys".
struct LayoutNames
{
    std::string model;
    std::string layout;
    std::string variant;
    std::string options;

    bool operator==(const LayoutNames &other) const
    {
        return model == other.model && layout == other.layout && variant == other.variant
               && options == other.options;
    }
};

// "de", "de(nodeadkeys)" or "us,de(nodeadkeys)" as names; nothing when the
// text is not of that form.
std::optional<LayoutNames> layoutNamesFromArgument(const std::string &text);
// The names in the text of /etc/default/keyboard (XKBMODEL, XKBLAYOUT,
// XKBVARIANT, XKBOPTIONS); nothing when it names no layout.
std::optional<LayoutNames> layoutNamesFromKeyboardSettings(const std::string &text);
// The layouts and variants as --layout takes them: "us,de(nodeadkeys)".
std::string layoutArgument(const LayoutNames &names);

// Which keys type what, in one layout of a keymap. Key codes are evdev's.
class KeyboardLayout
{
public:
    struct Locks
    {
        bool capsLock = false;
        bool numLock = false;
    };
    // Press the modifiers in order, then press and release key, then
    // release the modifiers; all that between two taps of the Caps Lock
    // key when it is given, for what Caps Lock on makes out of reach.
    struct Keystroke
    {
        int key = 0;
        std::vector<int> modifiers;
        int capsLockKey = 0;
    };

    virtual ~KeyboardLayout() = default;
    // For the user: "fr", "de(nodeadkeys)".
    virtual std::string name() const = 0;
    // For the virtual key of a letter (A-Z) or a digit (0-9): the key that
    // has it on the lowest level, as Windows picks; 0 when no key has it.
    virtual int keyOfSymbol(int virtualKey) const = 0;
    // How to type character with the locks as they are; nothing when the
    // layout has no key for it (or only a dead key).
    virtual std::optional<Keystroke> keystroke(char32_t character, Locks locks) const = 0;
};

// Through xkbcommon, first layout of the names. nullptr when xkbcommon
// cannot compile them, as for a layout it does not know.
std::unique_ptr<KeyboardLayout> compileKeyboardLayout(const LayoutNames &names);
// Whether --layout's text names a layout that compiles.
bool isKnownKeyboardLayout(const std::string &argument);

typedef struct xcb_connection_t xcb_connection_t;
// The layout the X server types with now (Xwayland mirrors the
// compositor's), its active group; nullptr when it cannot say. The
// connection must have set up the XKB extension.
std::unique_ptr<KeyboardLayout> readXServerLayout(xcb_connection_t *connection);
