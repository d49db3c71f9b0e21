#pragma once

#include <array>
#include <functional>
#include <optional>
#include <vector>

// The keysym that types a text character: Latin-1 as it is, tab and line
// feed as the Tab and Return keys, other characters as their legacy keysym
// or their Unicode keysym. 0 for a control character, which types nothing.
unsigned long keysymForCharacter(char32_t character);

// The two keysyms a spare keycode gets to type keysym, unshifted and
// shifted: a letter's lower and upper case, so that Caps Lock acts on it as
// on the keymap's letters; anything else twice.
std::array<unsigned long, 2> spareKeysyms(unsigned long keysym);

// Whether a held key with this keysym changes what other keys type, as
// Shift, Control, Alt or AltGr do. Locks are not: releasing and pressing one
// again would toggle it.
bool changesOtherKeys(unsigned long keysym);

// What the keyboard's locks do to every key: Caps Lock, and the group
// (layout) locked, 0 for the first.
struct KeyboardLocks
{
    bool capsLock = false;
    int group = 0;
};

// A key to press and release, with the modifier keys to hold around it
// (pressed in order, 0 for none).
struct KeyStroke
{
    unsigned char keycode = 0;
    std::array<unsigned char, 2> modifiers{};
    bool operator==(const KeyStroke &other) const
    {
        return keycode == other.keycode && modifiers == other.modifiers;
    }
};

// A plain copy of an X server's core keyboard mapping, to look keysyms up in
// without asking the server: for each keycode from minKeycode on,
// perKeycode keysyms, one for each column.
class X11Keymap
{
public:
    X11Keymap() = default;
    X11Keymap(int minKeycode, int perKeycode, std::vector<unsigned long> keysyms);

    // 0 (NoSymbol) outside the keymap.
    unsigned long keysym(int keycode, int column) const;

    using KeycodeFilter = std::function<bool(unsigned char keycode)>;
    // The keycode that has keysym in the lowest column, the lowest such
    // keycode first; 0 when none has it. Keycodes skip accepts are left out.
    unsigned char keycodeOf(unsigned long keysym, const KeycodeFilter &skip = {}) const;

    // How to type keysym under these locks. The columns are those an XKB
    // server shows core clients: 0 and 1 the first group's levels 1 and 2
    // (plain, Shift), 2 and 3 the next group's (Mode_switch), 4 and 5 the
    // first group's levels 3 and 4 (the level-3 key, AltGr, without and
    // with Shift). Caps Lock swaps Shift on a pair of levels that holds a
    // letter's two cases, and hides the plain level of a key whose own Caps
    // Lock level holds its upper case. Nothing when no key has keysym at a
    // level that the keymap's modifier keys reach.
    std::optional<KeyStroke> strokeFor(unsigned long keysym, KeyboardLocks locks,
                                       const KeycodeFilter &skip = {}) const;
    // How to type keysym on a spare keycode bound to spareKeysyms(keysym).
    std::optional<KeyStroke> strokeOnSpare(unsigned char keycode, unsigned long keysym, KeyboardLocks locks) const;

    // The keycodes of the modifier keys that reach the levels, 0 when none.
    unsigned char shiftKey() const { return shift_key; }
    unsigned char levelThreeKey() const { return level_three_key; }
    unsigned char modeSwitchKey() const { return mode_switch_key; }

    // A column, and the modifiers that reach it.
    struct Level
    {
        int column;
        bool shift;
        enum { None, LevelThree, ModeSwitch } key;
    };

private:
    int min_keycode = 0;
    int per_keycode = 0;
    std::vector<unsigned long> keysyms;
    unsigned char shift_key = 0;
    unsigned char level_three_key = 0;
    unsigned char mode_switch_key = 0;

    int maxKeycode() const;
    std::optional<KeyStroke> strokeAt(unsigned char keycode, const Level &level, bool shiftFlipped) const;
    bool isCasePair(int keycode, int firstColumn) const;
    bool locksToUpperCase(int keycode) const;
};
