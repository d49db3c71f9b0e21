#include "x11keymap.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

bool isCasePair(unsigned long lower, unsigned long upper)
{
    return lower != upper && xkb_keysym_to_upper(lower) == upper && xkb_keysym_to_lower(upper) == lower;
}

// The level each column of the core keymap reaches, in the order tried:
// plain levels before those that need AltGr, the next group last.
const std::vector<X11Keymap::Level> FirstGroupLevels = {
    {0, false, X11Keymap::Level::None},       {1, true, X11Keymap::Level::None},
    {4, false, X11Keymap::Level::LevelThree}, {5, true, X11Keymap::Level::LevelThree},
    {2, false, X11Keymap::Level::ModeSwitch}, {3, true, X11Keymap::Level::ModeSwitch}};
// With the second group locked only its first two levels are sure: how
// Mode_switch or AltGr reach others depends on how many groups there are.
// The core keymap shows no group beyond the second. The rest goes through
// spare keycodes, which have one group and so type the same in every group.
const std::vector<X11Keymap::Level> SecondGroupLevels = {{2, false, X11Keymap::Level::None},
                                                         {3, true, X11Keymap::Level::None}};
const std::vector<X11Keymap::Level> LaterGroupLevels;

const std::vector<X11Keymap::Level> &levelsIn(int group)
{
    return group == 0 ? FirstGroupLevels : group == 1 ? SecondGroupLevels : LaterGroupLevels;
}
constexpr X11Keymap::Level SpareLevels[] = {{0, false, X11Keymap::Level::None}, {1, true, X11Keymap::Level::None}};

} // namespace

unsigned long keysymForCharacter(char32_t character)
{
    if (character == U'\t')
        return XKB_KEY_Tab;
    if (character == U'\n')
        return XKB_KEY_Return;
    if (character < 0x20 || (character >= 0x7f && character < 0xa0))
        return 0;
    return xkb_utf32_to_keysym(character);
}

std::array<unsigned long, 2> spareKeysyms(unsigned long keysym)
{
    const auto lower = static_cast<unsigned long>(xkb_keysym_to_lower(static_cast<xkb_keysym_t>(keysym)));
    const auto upper = static_cast<unsigned long>(xkb_keysym_to_upper(static_cast<xkb_keysym_t>(lower)));
    if (isCasePair(lower, upper) && (keysym == lower || keysym == upper))
        return {lower, upper};
    return {keysym, keysym};
}

bool changesOtherKeys(unsigned long keysym)
{
    switch (keysym) {
    case XKB_KEY_Shift_L:
    case XKB_KEY_Shift_R:
    case XKB_KEY_Control_L:
    case XKB_KEY_Control_R:
    case XKB_KEY_Meta_L:
    case XKB_KEY_Meta_R:
    case XKB_KEY_Alt_L:
    case XKB_KEY_Alt_R:
    case XKB_KEY_Super_L:
    case XKB_KEY_Super_R:
    case XKB_KEY_Hyper_L:
    case XKB_KEY_Hyper_R:
    case XKB_KEY_ISO_Level3_Shift:
    case XKB_KEY_ISO_Level5_Shift:
    case XKB_KEY_Mode_switch:
        return true;
    default:
        return false;
    }
}

X11Keymap::X11Keymap(int minKeycode, int perKeycode, std::vector<unsigned long> keysyms)
    : min_keycode(minKeycode), per_keycode(perKeycode), keysyms(std::move(keysyms))
{
    if (min_keycode < 0 || per_keycode <= 0 || this->keysyms.size() % static_cast<std::size_t>(per_keycode) != 0) {
        per_keycode = 0;
        this->keysyms.clear();
    }
    shift_key = keycodeOf(XKB_KEY_Shift_L);
    if (!shift_key)
        shift_key = keycodeOf(XKB_KEY_Shift_R);
    level_three_key = keycodeOf(XKB_KEY_ISO_Level3_Shift);
    mode_switch_key = keycodeOf(XKB_KEY_Mode_switch);
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

std::optional<KeyStroke> X11Keymap::strokeFor(unsigned long wanted, KeyboardLocks locks,
                                              const KeycodeFilter &skip) const
{
    if (wanted == 0)
        return std::nullopt;
    const int last = std::min(maxKeycode(), 255);
    for (const Level &level : levelsIn(locks.group)) {
        for (int keycode = min_keycode; keycode <= last; ++keycode) {
            const auto code = static_cast<unsigned char>(keycode);
            if (keysym(keycode, level.column) != wanted || (skip && skip(code)))
                continue;
            // The first level of either group: with one group the second repeats it.
            if (locks.capsLock && (level.column == 0 || level.column == 2) && locksToUpperCase(keycode))
                continue;
            const bool flipped = locks.capsLock && isCasePair(keycode, level.column & ~1);
            if (auto stroke = strokeAt(code, level, flipped))
                return stroke;
        }
    }
    return std::nullopt;
}

std::optional<KeyStroke> X11Keymap::strokeOnSpare(unsigned char keycode, unsigned long wanted,
                                                  KeyboardLocks locks) const
{
    const std::array<unsigned long, 2> symbols = spareKeysyms(wanted);
    const bool flipped = locks.capsLock && ::isCasePair(symbols[0], symbols[1]);
    return strokeAt(keycode, SpareLevels[wanted == symbols[0] ? 0 : 1], flipped);
}

// The stroke for a level, when the keymap has the modifier keys it takes.
std::optional<KeyStroke> X11Keymap::strokeAt(unsigned char keycode, const Level &level, bool shiftFlipped) const
{
    KeyStroke stroke{keycode, {}};
    std::size_t held = 0;
    if (level.key != Level::None) {
        const unsigned char key = level.key == Level::LevelThree ? level_three_key : mode_switch_key;
        if (!key)
            return std::nullopt;
        stroke.modifiers[held++] = key;
    }
    if (level.shift != shiftFlipped) {
        if (!shift_key)
            return std::nullopt;
        stroke.modifiers[held++] = shift_key;
    }
    return stroke;
}

// A key such as German ß: Caps Lock alone reaches a level of its own that
// holds the upper case (the fifth, column 6), and no modifier the plain one.
bool X11Keymap::locksToUpperCase(int keycode) const
{
    // Compared as characters: the lower case of U+1E9E comes back as ß's
    // Unicode keysym, not as its Latin-1 one.
    const std::uint32_t plain = xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(keysym(keycode, 0)));
    const auto locked = static_cast<xkb_keysym_t>(keysym(keycode, 6));
    const std::uint32_t lowered = xkb_keysym_to_utf32(xkb_keysym_to_lower(locked));
    return plain != 0 && lowered == plain && xkb_keysym_to_utf32(locked) != plain;
}

bool X11Keymap::isCasePair(int keycode, int firstColumn) const
{
    return ::isCasePair(keysym(keycode, firstColumn), keysym(keycode, firstColumn + 1));
}
