#include "x11keytable.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <array>

namespace {

// A virtual-key code names a key, not a character, so each entry is the
// unshifted keysym of that key; shift is pressed separately when wanted.
struct KeyName
{
    int virtualKey;
    unsigned long keysym;
};

// Keys not covered by the ranges in buildTable().
constexpr KeyName namedKeys[] = {
    {0x03, XK_Break}, // Cancel: what Control+Pause gives
    {0x08, XK_BackSpace},
    {0x09, XK_Tab},
    {0x0C, XK_Clear}, // keypad 5 with NumLock off
    {0x0D, XK_Return},
    {0x10, XK_Shift_L},
    {0x11, XK_Control_L},
    {0x12, XK_Alt_L},
    {0x13, XK_Pause},
    {0x14, XK_Caps_Lock},
    {0x1B, XK_Escape},
    {0x20, XK_space},
    {0x21, XK_Prior}, // Page Up
    {0x22, XK_Next},  // Page Down
    {0x23, XK_End},
    {0x24, XK_Home},
    {0x25, XK_Left},
    {0x26, XK_Up},
    {0x27, XK_Right},
    {0x28, XK_Down},
    {0x29, XK_Select},
    {0x2A, XK_Print},
    {0x2B, XK_Execute},
    {0x2C, XK_Print}, // Print Screen
    {0x2D, XK_Insert},
    {0x2E, XK_Delete},
    {0x2F, XK_Help},
    {0x5B, XK_Super_L}, // left Windows key
    {0x5C, XK_Super_R}, // right Windows key
    {0x5D, XK_Menu},    // Apps
    {0x5F, XF86XK_Sleep},
    {0x6A, XK_KP_Multiply},
    {0x6B, XK_KP_Add},
    {0x6C, XK_KP_Separator},
    {0x6D, XK_KP_Subtract},
    {0x6E, XK_KP_Decimal},
    {0x6F, XK_KP_Divide},
    {0x90, XK_Num_Lock},
    {0x91, XK_Scroll_Lock},
    {0xA0, XK_Shift_L},
    {0xA1, XK_Shift_R},
    {0xA2, XK_Control_L},
    {0xA3, XK_Control_R},
    {0xA4, XK_Alt_L},
    {0xA5, XK_Alt_R},
    {0xA6, XF86XK_Back},
    {0xA7, XF86XK_Forward},
    {0xA8, XF86XK_Reload}, // Browser Refresh: the keysym X gives that key
    {0xA9, XF86XK_Stop},
    {0xAA, XF86XK_Search},
    {0xAB, XF86XK_Favorites},
    {0xAC, XF86XK_HomePage},
    {0xAD, XF86XK_AudioMute},
    {0xAE, XF86XK_AudioLowerVolume},
    {0xAF, XF86XK_AudioRaiseVolume},
    {0xB0, XF86XK_AudioNext},
    {0xB1, XF86XK_AudioPrev},
    {0xB2, XF86XK_AudioStop},
    {0xB3, XF86XK_AudioPlay}, // Play/Pause
    {0xB4, XF86XK_Mail},
    {0xB5, XF86XK_AudioMedia},
    {0xB6, XF86XK_MyComputer}, // Launch App 1
    {0xB7, XF86XK_Calculator}, // Launch App 2
    {0xBA, XK_semicolon},
    {0xBB, XK_equal},
    {0xBC, XK_comma},
    {0xBD, XK_minus},
    {0xBE, XK_period},
    {0xBF, XK_slash},
    {0xC0, XK_grave},
    {0xDB, XK_bracketleft},
    {0xDC, XK_backslash},
    {0xDD, XK_bracketright},
    {0xDE, XK_apostrophe},
    {0xE2, XK_less}, // the extra key beside left Shift on ISO boards
};

static_assert(XK_z - XK_a == 'Z' - 'A', "letter keysyms run in order");
static_assert(XK_9 - XK_0 == 9, "digit keysyms run in order");
static_assert(XK_F24 - XK_F1 == 23, "function key keysyms run in order");
static_assert(XK_KP_9 - XK_KP_0 == 9, "keypad digit keysyms run in order");

using KeyTable = std::array<unsigned long, 256>;

constexpr void fillRange(KeyTable &table, int firstKey, int count, unsigned long firstKeysym)
{
    for (int i = 0; i < count; ++i)
        table[firstKey + i] = firstKeysym + i;
}

constexpr KeyTable buildTable()
{
    KeyTable table{};
    fillRange(table, 'A', 26, XK_a);
    fillRange(table, '0', 10, XK_0);
    fillRange(table, 0x70, 24, XK_F1);
    fillRange(table, 0x60, 10, XK_KP_0);
    for (const KeyName &key : namedKeys)
        table[key.virtualKey] = key.keysym;
    return table;
}

constexpr KeyTable keysymByVirtualKey = buildTable();

} // namespace

unsigned long keysymForVirtualKey(int virtualKey)
{
    if (virtualKey < 0 || virtualKey >= static_cast<int>(keysymByVirtualKey.size()))
        return 0;
    return keysymByVirtualKey[virtualKey];
}
