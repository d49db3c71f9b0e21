#include "uinputkeytable.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>

namespace {

struct KeyPosition
{
    int virtualKey;
    int evdevKey;
};

// evdev numbers keys by their place on a PC keyboard, not alphabetically, so
// every key is listed. Where a key has no evdev code of its own, the entry is
// the code a USB keyboard's key of that name reaches the kernel as.
constexpr KeyPosition keyPositions[] = {
    {0x03, KEY_CANCEL},
    {0x08, KEY_BACKSPACE},
    {0x09, KEY_TAB},
    {0x0C, KEY_CLEAR},
    {0x0D, KEY_ENTER},
    {0x10, KEY_LEFTSHIFT},
    {0x11, KEY_LEFTCTRL},
    {0x12, KEY_LEFTALT},
    {0x13, KEY_PAUSE},
    {0x14, KEY_CAPSLOCK},
    {0x1B, KEY_ESC},
    {0x20, KEY_SPACE},
    {0x21, KEY_PAGEUP},
    {0x22, KEY_PAGEDOWN},
    {0x23, KEY_END},
    {0x24, KEY_HOME},
    {0x25, KEY_LEFT},
    {0x26, KEY_UP},
    {0x27, KEY_RIGHT},
    {0x28, KEY_DOWN},
    {0x29, KEY_SELECT},
    {0x2A, KEY_PRINT},
    {0x2B, KEY_OPEN}, // Execute
    {0x2C, KEY_SYSRQ}, // Print Screen
    {0x2D, KEY_INSERT},
    {0x2E, KEY_DELETE},
    {0x2F, KEY_HELP},
    {'0', KEY_0}, {'1', KEY_1}, {'2', KEY_2}, {'3', KEY_3}, {'4', KEY_4},
    {'5', KEY_5}, {'6', KEY_6}, {'7', KEY_7}, {'8', KEY_8}, {'9', KEY_9},
    {'A', KEY_A}, {'B', KEY_B}, {'C', KEY_C}, {'D', KEY_D}, {'E', KEY_E},
    {'F', KEY_F}, {'G', KEY_G}, {'H', KEY_H}, {'I', KEY_I}, {'J', KEY_J},
    {'K', KEY_K}, {'L', KEY_L}, {'M', KEY_M}, {'N', KEY_N}, {'O', KEY_O},
    {'P', KEY_P}, {'Q', KEY_Q}, {'R', KEY_R}, {'S', KEY_S}, {'T', KEY_T},
    {'U', KEY_U}, {'V', KEY_V}, {'W', KEY_W}, {'X', KEY_X}, {'Y', KEY_Y},
    {'Z', KEY_Z},
    {0x5B, KEY_LEFTMETA},  // left Windows key
    {0x5C, KEY_RIGHTMETA}, // right Windows key
    {0x5D, KEY_COMPOSE},   // Apps: the menu key of PC keyboards
    {0x5F, KEY_SLEEP},
    {0x60, KEY_KP0}, {0x61, KEY_KP1}, {0x62, KEY_KP2}, {0x63, KEY_KP3},
    {0x64, KEY_KP4}, {0x65, KEY_KP5}, {0x66, KEY_KP6}, {0x67, KEY_KP7},
    {0x68, KEY_KP8}, {0x69, KEY_KP9},
    {0x6A, KEY_KPASTERISK},
    {0x6B, KEY_KPPLUS},
    {0x6C, KEY_KPCOMMA}, // keypad separator
    {0x6D, KEY_KPMINUS},
    {0x6E, KEY_KPDOT},
    {0x6F, KEY_KPSLASH},
    {0x70, KEY_F1}, {0x71, KEY_F2}, {0x72, KEY_F3}, {0x73, KEY_F4},
    {0x74, KEY_F5}, {0x75, KEY_F6}, {0x76, KEY_F7}, {0x77, KEY_F8},
    {0x78, KEY_F9}, {0x79, KEY_F10}, {0x7A, KEY_F11}, {0x7B, KEY_F12},
    {0x7C, KEY_F13}, {0x7D, KEY_F14}, {0x7E, KEY_F15}, {0x7F, KEY_F16},
    {0x80, KEY_F17}, {0x81, KEY_F18}, {0x82, KEY_F19}, {0x83, KEY_F20},
    {0x84, KEY_F21}, {0x85, KEY_F22}, {0x86, KEY_F23}, {0x87, KEY_F24},
    {0x90, KEY_NUMLOCK},
    {0x91, KEY_SCROLLLOCK},
    {0xA0, KEY_LEFTSHIFT},
    {0xA1, KEY_RIGHTSHIFT},
    {0xA2, KEY_LEFTCTRL},
    {0xA3, KEY_RIGHTCTRL},
    {0xA4, KEY_LEFTALT},
    {0xA5, KEY_RIGHTALT},
    {0xA6, KEY_BACK},
    {0xA7, KEY_FORWARD},
    {0xA8, KEY_REFRESH},
    {0xA9, KEY_STOP}, // Browser Stop, not the media key
    {0xAA, KEY_SEARCH},
    {0xAB, KEY_BOOKMARKS},
    {0xAC, KEY_HOMEPAGE},
    {0xAD, KEY_MUTE},
    {0xAE, KEY_VOLUMEDOWN},
    {0xAF, KEY_VOLUMEUP},
    {0xB0, KEY_NEXTSONG},
    {0xB1, KEY_PREVIOUSSONG},
    {0xB2, KEY_STOPCD}, // Media Stop
    {0xB3, KEY_PLAYPAUSE},
    {0xB4, KEY_MAIL},
    {0xB5, KEY_MEDIA},
    {0xB6, KEY_COMPUTER}, // Launch App 1
    {0xB7, KEY_CALC},     // Launch App 2
    {0xBA, KEY_SEMICOLON},
    {0xBB, KEY_EQUAL},
    {0xBC, KEY_COMMA},
    {0xBD, KEY_MINUS},
    {0xBE, KEY_DOT},
    {0xBF, KEY_SLASH},
    {0xC0, KEY_GRAVE},
    {0xDB, KEY_LEFTBRACE},
    {0xDC, KEY_BACKSLASH},
    {0xDD, KEY_RIGHTBRACE},
    {0xDE, KEY_APOSTROPHE},
    {0xE2, KEY_102ND}, // the extra key beside left Shift on ISO boards
};

using KeyTable = std::array<unsigned short, 256>;

constexpr KeyTable buildTable()
{
    KeyTable table{};
    for (const KeyPosition &key : keyPositions)
        table[key.virtualKey] = static_cast<unsigned short>(key.evdevKey);
    return table;
}

constexpr KeyTable evdevKeyByVirtualKey = buildTable();

} // namespace

int evdevKeyForVirtualKey(int virtualKey)
{
    if (virtualKey < 0 || virtualKey >= static_cast<int>(evdevKeyByVirtualKey.size()))
        return 0;
    return evdevKeyByVirtualKey[virtualKey];
}

std::vector<int> mappedEvdevKeys()
{
    std::vector<int> keys;
    for (const KeyPosition &key : keyPositions)
        keys.push_back(key.evdevKey);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}
