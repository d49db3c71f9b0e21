#pragma once

#include <functional>
#include <vector>

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

private:
    int min_keycode = 0;
    int per_keycode = 0;
    std::vector<unsigned long> keysyms;

    int maxKeycode() const;
};
