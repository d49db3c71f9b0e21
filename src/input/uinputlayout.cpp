#include "uinputlayout.h"

#include "uinputkeytable.h"

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>

namespace {

// xkbcommon numbers keys as X does: the evdev code plus 8.
constexpr xkb_keycode_t EvdevOffset = 8;
constexpr std::size_t MaxArgumentLength = 200;

bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool isName(const std::string &text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), isNameCharacter);
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);)
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.emplace_back();
    return parts;
}

// A shell assignment's value: quotes around it dropped, as sh would.
std::string unquoted(std::string value)
{
    const auto space = value.find_last_not_of(" \t\r");
    value.erase(space == std::string::npos ? 0 : space + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

struct ContextDeleter
{
    void operator()(xkb_context *context) const { xkb_context_unref(context); }
};
struct StateDeleter
{
    void operator()(xkb_state *state) const { xkb_state_unref(state); }
};
using State = std::unique_ptr<xkb_state, StateDeleter>;

// A modifier a key can set while typing: Shift, AltGr (level 3), level 5.
struct ModifierKey
{
    xkb_mod_mask_t mask;
    int key;
};

class XkbLayout final : public KeyboardLayout
{
public:
    XkbLayout(xkb_keymap *keymap, xkb_layout_index_t group, std::string name)
        : keymap(keymap), group(group), shown_name(std::move(name)), keys(mappedEvdevKeys())
    {
        caps_lock = modifierMask(XKB_MOD_NAME_CAPS);
        num_lock = modifierMask(XKB_MOD_NAME_NUM);
        for (xkb_keysym_t shift : {XKB_KEY_Shift_L, XKB_KEY_ISO_Level3_Shift, XKB_KEY_ISO_Level5_Shift})
            addModifierKey(shift);
        caps_lock_key = keyWithFirstSymbol(XKB_KEY_Caps_Lock);
        // Fewest modifiers first.
        for (unsigned combination = 0; combination < 1u << modifier_keys.size(); ++combination)
            combinations.push_back(combination);
        std::stable_sort(combinations.begin(), combinations.end(),
                         [](unsigned a, unsigned b) { return __builtin_popcount(a) < __builtin_popcount(b); });
    }
    ~XkbLayout() override { xkb_keymap_unref(keymap); }
    XkbLayout(const XkbLayout &) = delete;
    XkbLayout &operator=(const XkbLayout &) = delete;

    std::string name() const override { return shown_name; }

    int keyOfSymbol(int virtualKey) const override
    {
        xkb_keysym_t symbol = XKB_KEY_NoSymbol;
        if (virtualKey >= 'A' && virtualKey <= 'Z')
            symbol = XKB_KEY_a + static_cast<xkb_keysym_t>(virtualKey - 'A');
        else if (virtualKey >= '0' && virtualKey <= '9')
            symbol = XKB_KEY_0 + static_cast<xkb_keysym_t>(virtualKey - '0');
        if (symbol == XKB_KEY_NoSymbol)
            return 0;
        // A layout may put the capital alone on the key.
        const std::vector<Place> places = placesOf(symbol, xkb_keysym_to_upper(symbol));
        return places.empty() ? 0 : places.front().key;
    }

    std::optional<Keystroke> keystroke(char32_t character, Locks locks) const override
    {
        const xkb_keysym_t symbol = xkb_utf32_to_keysym(character);
        if (symbol == XKB_KEY_NoSymbol)
            return std::nullopt;
        const State state(xkb_state_new(keymap));
        if (!state)
            return std::nullopt;
        const std::vector<Place> places = placesOf(symbol, symbol);
        const xkb_mod_mask_t locked = (locks.capsLock ? caps_lock : 0) | (locks.numLock ? num_lock : 0);
        for (const Place &place : places) {
            if (auto found = modifiersFor(state.get(), place.key, locked, character))
                return found;
        }
        if (!locks.capsLock || !caps_lock_key)
            return std::nullopt;
        for (const Place &place : places) {
            if (auto found = modifiersFor(state.get(), place.key, locked & ~caps_lock, character)) {
                found->capsLockKey = caps_lock_key;
                return found;
            }
        }
        return std::nullopt;
    }

private:
    struct Place
    {
        xkb_level_index_t level;
        int key;
    };

    xkb_mod_mask_t modifierMask(const char *name) const
    {
        const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, name);
        return index == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t{1} << index;
    }

    // The keys the backend may press that carry one of the symbols, lowest
    // level first, then lowest key.
    std::vector<Place> placesOf(xkb_keysym_t symbol, xkb_keysym_t alternative) const
    {
        std::vector<Place> places;
        for (const int key : keys) {
            const xkb_keycode_t code = static_cast<xkb_keycode_t>(key) + EvdevOffset;
            const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, code, group);
            for (xkb_level_index_t level = 0; level < levels; ++level) {
                const xkb_keysym_t *symbols = nullptr;
                if (xkb_keymap_key_get_syms_by_level(keymap, code, group, level, &symbols) == 1
                    && (symbols[0] == symbol || symbols[0] == alternative)) {
                    places.push_back({level, key});
                    break;
                }
            }
        }
        std::stable_sort(places.begin(), places.end(),
                         [](const Place &a, const Place &b) { return a.level < b.level; });
        return places;
    }

    // The fewest modifiers that make key type character with the locks on:
    // the compositor reads the key through the same keymap and state.
    std::optional<Keystroke> modifiersFor(xkb_state *state, int key, xkb_mod_mask_t locked, char32_t character) const
    {
        const xkb_keycode_t code = static_cast<xkb_keycode_t>(key) + EvdevOffset;
        for (const unsigned combination : combinations) {
            Keystroke keystroke{key, {}};
            xkb_mod_mask_t pressed = 0;
            for (std::size_t which = 0; which < modifier_keys.size(); ++which) {
                if (combination & (1u << which)) {
                    pressed |= modifier_keys[which].mask;
                    keystroke.modifiers.push_back(modifier_keys[which].key);
                }
            }
            xkb_state_update_mask(state, pressed, 0, locked, 0, 0, group);
            if (xkb_state_key_get_utf32(state, code) == character)
                return keystroke;
        }
        return std::nullopt;
    }

    // The first key the backend may press whose first symbol is this one.
    int keyWithFirstSymbol(xkb_keysym_t symbol) const
    {
        for (const int key : keys) {
            const xkb_keycode_t code = static_cast<xkb_keycode_t>(key) + EvdevOffset;
            const xkb_keysym_t *symbols = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap, code, group, 0, &symbols) == 1 && symbols[0] == symbol)
                return key;
        }
        return 0;
    }

    // That key, with the modifiers its press sets.
    void addModifierKey(xkb_keysym_t symbol)
    {
        const State state(xkb_state_new(keymap));
        const int key = keyWithFirstSymbol(symbol);
        if (!state || !key)
            return;
        xkb_state_update_mask(state.get(), 0, 0, 0, 0, 0, group);
        xkb_state_update_key(state.get(), static_cast<xkb_keycode_t>(key) + EvdevOffset, XKB_KEY_DOWN);
        const xkb_mod_mask_t mask = xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED);
        if (mask != 0)
            modifier_keys.push_back({mask, key});
    }

    xkb_keymap *keymap;
    xkb_layout_index_t group;
    std::string shown_name;
    std::vector<int> keys;
    std::vector<unsigned> combinations;
    xkb_mod_mask_t caps_lock = 0;
    xkb_mod_mask_t num_lock = 0;
    std::vector<ModifierKey> modifier_keys;
    int caps_lock_key = 0;
};

void logNothing(xkb_context *, xkb_log_level, const char *, va_list) {}

using Context = std::unique_ptr<xkb_context, ContextDeleter>;

// The names are used as given, whatever XKB_DEFAULT_* say, and what
// xkbcommon would log is said once, by whoever asked.
Context quietContext()
{
    Context context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (context)
        xkb_context_set_log_fn(context.get(), logNothing);
    return context;
}

// The names the X server's keymap was made from (_XKB_RULES_NAMES:
// rules, model, layout, variant and options, each ended by a NUL).
std::optional<LayoutNames> xServerNames(xcb_connection_t *connection)
{
    static const char atomName[] = "_XKB_RULES_NAMES";
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, sizeof(atomName) - 1, atomName), nullptr);
    if (!atom)
        return std::nullopt;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_get_property_reply_t *property = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, root, atom->atom, XCB_ATOM_STRING, 0, 1024), nullptr);
    free(atom);
    if (!property)
        return std::nullopt;
    const auto *text = static_cast<const char *>(xcb_get_property_value(property));
    const std::vector<std::string> parts =
        split(std::string(text, static_cast<std::size_t>(xcb_get_property_value_length(property))), '\0');
    free(property);
    if (parts.size() < 3 || parts[2].empty())
        return std::nullopt;
    return LayoutNames{parts[1], parts[2], parts.size() > 3 ? parts[3] : "", parts.size() > 4 ? parts[4] : ""};
}

// The name of one of the layouts, "de(nodeadkeys)".
std::string nameOfGroup(const LayoutNames &names, xkb_layout_index_t group)
{
    const std::vector<std::string> layouts = split(names.layout, ',');
    const std::vector<std::string> variants = split(names.variant, ',');
    if (group >= layouts.size())
        return layoutArgument(names);
    return layoutArgument({{}, layouts[group], group < variants.size() ? variants[group] : "", {}});
}

} // namespace

std::optional<LayoutNames> layoutNamesFromArgument(const std::string &text)
{
    if (text.empty() || text.size() > MaxArgumentLength)
        return std::nullopt;
    LayoutNames names;
    bool anyVariant = false;
    const std::vector<std::string> items = split(text, ',');
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::string layout = items[i], variant;
        const auto open = layout.find('(');
        if (open != std::string::npos) {
            if (layout.back() != ')')
                return std::nullopt;
            variant = layout.substr(open + 1, layout.size() - open - 2);
            layout.erase(open);
            if (!isName(variant))
                return std::nullopt;
            anyVariant = true;
        }
        if (!isName(layout))
            return std::nullopt;
        names.layout += (i ? "," : "") + layout;
        names.variant += (i ? "," : "") + variant;
    }
    if (!anyVariant)
        names.variant.clear();
    return names;
}

std::optional<LayoutNames> layoutNamesFromKeyboardSettings(const std::string &text)
{
    LayoutNames names;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto start = line.find_first_not_of(" \t");
        const auto equals = line.find('=');
        if (start == std::string::npos || line[start] == '#' || equals == std::string::npos)
            continue;
        const std::string key = line.substr(start, equals - start);
        const std::string value = unquoted(line.substr(equals + 1));
        if (key == "XKBMODEL")
            names.model = value;
        else if (key == "XKBLAYOUT")
            names.layout = value;
        else if (key == "XKBVARIANT")
            names.variant = value;
        else if (key == "XKBOPTIONS")
            names.options = value;
    }
    if (names.layout.empty())
        return std::nullopt;
    return names;
}

std::string layoutArgument(const LayoutNames &names)
{
    const std::vector<std::string> layouts = split(names.layout, ',');
    const std::vector<std::string> variants = split(names.variant, ',');
    std::string argument;
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        argument += (i ? "," : "") + layouts[i];
        if (i < variants.size() && !variants[i].empty())
            argument += "(" + variants[i] + ")";
    }
    return argument;
}

std::unique_ptr<KeyboardLayout> compileKeyboardLayout(const LayoutNames &names)
{
    const Context context = quietContext();
    if (!context)
        return nullptr;
    const xkb_rule_names rules{"evdev", names.model.c_str(), names.layout.c_str(), names.variant.c_str(),
                               names.options.c_str()};
    xkb_keymap *keymap = xkb_keymap_new_from_names(context.get(), &rules, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keymap)
        return nullptr;
    return std::make_unique<XkbLayout>(keymap, 0, layoutArgument(names));
}

bool isKnownKeyboardLayout(const std::string &argument)
{
    const std::optional<LayoutNames> names = layoutNamesFromArgument(argument);
    return names && compileKeyboardLayout(*names);
}

std::unique_ptr<KeyboardLayout> readXServerLayout(xcb_connection_t *connection)
{
    const Context context = quietContext();
    const std::int32_t device = xkb_x11_get_core_keyboard_device_id(connection);
    if (!context || device < 0)
        return nullptr;
    xkb_keymap *keymap = xkb_x11_keymap_new_from_device(context.get(), connection, device,
                                                       XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keymap)
        return nullptr;
    const State state(xkb_x11_state_new_from_device(keymap, connection, device));
    const xkb_layout_index_t group = state ? xkb_state_serialize_layout(state.get(), XKB_STATE_LAYOUT_EFFECTIVE) : 0;
    std::string name;
    if (const std::optional<LayoutNames> names = xServerNames(connection))
        name = nameOfGroup(*names, group);
    else if (const char *described = xkb_keymap_layout_get_name(keymap, group))
        name = described;
    return std::make_unique<XkbLayout>(keymap, group, name.empty() ? "of the X server" : name);
}
