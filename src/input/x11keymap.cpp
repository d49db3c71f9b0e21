#include "x11keymap.h"

#include <algorithm>
#include <utility>

X11Keymap::X11Keymap(int minKeycode, int perKeycode, std::vector<unsigned long> keysyms)
    : min_keycode(minKeycode), per_keycode(perKeycode), keysyms(std::move(keysyms))
{
    if (min_keycode < 0 || per_keycode <= 0 || this->keysyms.size() % static_cast<std::size_t>(per_keycode) != 0) {
        per_keycode = 0;
        this->keysyms.clear();
    }
}

int X11Keymap::maxKeycode() const
{
    if (per_keycode <= 0)
        return min_keycode - 1;
    return min_keycode + static_cast<int>(keysyms.size() / static_cast<std::size_t>(per_keycode)) - 1;
}

unsigned long X11Keymap::keysym(int keycode, int column) const
{
    if (keycode < min_keycode || keycode > maxKeycode() || column < 0 || column >= per_keycode)
        return 0;
    return keysyms[static_cast<std::size_t>((keycode - min_keycode) * per_keycode + column)];
}

unsigned char X11Keymap::keycodeOf(unsigned long wanted, const KeycodeFilter &skip) const
{
    if (wanted == 0)
        return 0;
    const int last = std::min(maxKeycode(), 255);
    for (int column = 0; column < per_keycode; ++column) {
        for (int keycode = min_keycode; keycode <= last; ++keycode) {
            const auto code = static_cast<unsigned char>(keycode);
            if (keysym(keycode, column) == wanted && !(skip && skip(code)))
                return code;
        }
    }
    return 0;
}
