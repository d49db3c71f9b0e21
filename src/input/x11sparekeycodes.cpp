#include "x11sparekeycodes.h"

#include "x11keymap.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char RecordName[] = "_HARNELO_SPARE_KEYCODES";

Atom keycodeSelection(Display *display, unsigned char keycode)
{
    const std::string name = "_HARNELO_KEYCODE_" + std::to_string(keycode);
    return XInternAtom(display, name.c_str(), False);
}

void clearMapping(Display *display, unsigned char keycode)
{
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(display, keycode, 1, &none, 1);
}

// Holds the X server for this connection alone while it lives.
class ServerGrab
{
public:
    explicit ServerGrab(Display *display) : display(display) { XGrabServer(display); }
    ~ServerGrab()
    {
        XUngrabServer(display);
        XFlush(display);
    }
    ServerGrab(const ServerGrab &) = delete;
    ServerGrab &operator=(const ServerGrab &) = delete;

private:
    Display *display;
};

} // namespace

unsigned char X11SpareKeycodes::boundTo(unsigned long keysym)
{
    const unsigned long unshifted = spareKeysyms(keysym)[0];
    for (const auto &[keycode, boundKeysym] : bound_keycodes) {
        if (boundKeysym == unshifted) {
            last_used[keycode] = ++uses;
            return keycode;
        }
    }
    return 0;
}

unsigned char X11SpareKeycodes::bind(unsigned long keysym, const KeycodeFilter &inUse)
{
    ServerGrab grab(display);
    KeycodeRecord record = readRecord();
    clearLeftovers(record);
    // Read afresh: what this instance last heard of the keymap may be stale.
    unsigned char keycode = emptyKeycode();
    if (!keycode)
        keycode = idleBinding(record, inUse);
    if (keycode) {
        const std::array<unsigned long, 2> keysyms = spareKeysyms(keysym);
        KeySym symbols[2] = {keysyms[0], keysyms[1]};
        XChangeKeyboardMapping(display, keycode, 2, symbols, 1);
        XSetSelectionOwner(display, keycodeSelection(display, keycode), ownerWindow(), CurrentTime);
        record[keycode] = keysyms[0];
        bound_keycodes[keycode] = keysyms[0];
        last_used[keycode] = ++uses;
    }
    writeRecord(record);
    return keycode;
}

// The highest keycode the server's keymap leaves without any keysym, or 0.
unsigned char X11SpareKeycodes::emptyKeycode()
{
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    KeySym *map = XGetKeyboardMapping(display, static_cast<KeyCode>(minKeycode),
                                      maxKeycode - minKeycode + 1, &perKeycode);
    unsigned char found = 0;
    for (int keycode = maxKeycode; map && perKeycode > 0 && keycode >= minKeycode && !found; --keycode) {
        const KeySym *symbols = map + (keycode - minKeycode) * perKeycode;
        if (std::all_of(symbols, symbols + perKeycode, [](KeySym symbol) { return symbol == NoSymbol; }))
            found = static_cast<unsigned char>(keycode);
    }
    if (map)
        XFree(map);
    return found;
}

// Takes back the binding of this instance's used longest ago that nothing
// holds: programs may still be reading the key events of a recent one, and
// would read them with the keysym bound next.
unsigned char X11SpareKeycodes::idleBinding(KeycodeRecord &record, const KeycodeFilter &inUse)
{
    std::vector<unsigned char> oldestFirst;
    for (const auto &binding : bound_keycodes)
        oldestFirst.push_back(binding.first);
    std::sort(oldestFirst.begin(), oldestFirst.end(),
              [this](unsigned char a, unsigned char b) { return last_used[a] < last_used[b]; });
    for (const unsigned char keycode : oldestFirst) {
        if (!inUse(keycode) && maps(keycode, bound_keycodes[keycode])) {
            forget(keycode, record);
            return keycode;
        }
    }
    return 0;
}

void X11SpareKeycodes::unbindAll()
{
    if (!owner_window)
        return;
    ServerGrab grab(display);
    KeycodeRecord record = readRecord();
    for (const auto &[keycode, keysym] : KeycodeRecord(record)) {
        if (ownerOf(keycode) != owner_window)
            continue;
        // Only while it is still ours: someone may have mapped the keycode since.
        if (maps(keycode, keysym))
            clearMapping(display, keycode);
        forget(keycode, record);
    }
    while (!bound_keycodes.empty())
        forget(bound_keycodes.begin()->first, record);
    writeRecord(record);
    // Whatever else this instance still marked as its own goes with the window.
    XDestroyWindow(display, owner_window);
    owner_window = 0;
}

std::set<unsigned char> X11SpareKeycodes::lentKeycodes()
{
    std::set<unsigned char> lent;
    for (const auto &binding : readRecord())
        lent.insert(binding.first);
    return lent;
}

void X11SpareKeycodes::dropReplaced(const X11Keymap &keymap)
{
    for (auto binding = bound_keycodes.begin(); binding != bound_keycodes.end();) {
        const bool ours = keymap.keysym(binding->first, 0) == binding->second;
        if (!ours)
            last_used.erase(binding->first);
        binding = ours ? std::next(binding) : bound_keycodes.erase(binding);
    }
}

// Drops the binding of keycode from what this instance and the record hold;
// needs the server grabbed.
void X11SpareKeycodes::forget(unsigned char keycode, KeycodeRecord &record)
{
    bound_keycodes.erase(keycode);
    last_used.erase(keycode);
    if (forgotten)
        forgotten(keycode);
    if (!owner_window || ownerOf(keycode) != owner_window)
        return;
    XSetSelectionOwner(display, keycodeSelection(display, keycode), None, CurrentTime);
    record.erase(keycode);
}

void X11SpareKeycodes::reclaimLeftovers()
{
    // Usually nothing is recorded, and that is found without a grab.
    if (readRecord().empty())
        return;
    ServerGrab grab(display);
    KeycodeRecord record = readRecord();
    clearLeftovers(record);
    writeRecord(record);
}

// Clears the bindings of instances that are gone; needs the server grabbed.
void X11SpareKeycodes::clearLeftovers(KeycodeRecord &record)
{
    for (auto binding = record.begin(); binding != record.end();) {
        if (ownerOf(binding->first) != None) {
            ++binding;
            continue;
        }
        if (maps(binding->first, binding->second))
            clearMapping(display, binding->first);
        binding = record.erase(binding);
    }
}

X11SpareKeycodes::KeycodeRecord X11SpareKeycodes::readRecord()
{
    KeycodeRecord record;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char *data = nullptr;
    const int status = XGetWindowProperty(display, DefaultRootWindow(display),
                                          XInternAtom(display, RecordName, False), 0, 1024, False,
                                          XA_INTEGER, &type, &format, &count, &left, &data);
    if (status == Success && type == XA_INTEGER && format == 32) {
        // Xlib hands 32-bit items over as longs. Any client may have written
        // this, so only real keycodes count.
        const auto *numbers = reinterpret_cast<const long *>(data);
        for (unsigned long i = 0; i + 1 < count; i += 2) {
            if (numbers[i] >= 8 && numbers[i] <= 255)
                record[static_cast<unsigned char>(numbers[i])] = numbers[i + 1] & 0xffffffffUL;
        }
    }
    if (data)
        XFree(data);
    return record;
}

void X11SpareKeycodes::writeRecord(const KeycodeRecord &record)
{
    const Atom property = XInternAtom(display, RecordName, False);
    if (record.empty()) {
        XDeleteProperty(display, DefaultRootWindow(display), property);
        return;
    }
    std::vector<long> numbers;
    for (const auto &[keycode, keysym] : record)
        numbers.insert(numbers.end(), {keycode, static_cast<long>(keysym)});
    XChangeProperty(display, DefaultRootWindow(display), property, XA_INTEGER, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(numbers.data()),
                    static_cast<int>(numbers.size()));
}

// Whether keycode types keysym now, as the server has it.
bool X11SpareKeycodes::maps(unsigned char keycode, unsigned long keysym)
{
    int perKeycode = 0;
    KeySym *symbols = XGetKeyboardMapping(display, keycode, 1, &perKeycode);
    const bool mapped = symbols && perKeycode > 0 && symbols[0] == keysym;
    if (symbols)
        XFree(symbols);
    return mapped;
}

unsigned long X11SpareKeycodes::ownerOf(unsigned char keycode)
{
    return XGetSelectionOwner(display, keycodeSelection(display, keycode));
}

// An unmapped window of this instance's, there only to own selections.
unsigned long X11SpareKeycodes::ownerWindow()
{
    if (!owner_window) {
        owner_window = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0,
                                     CopyFromParent, InputOnly, CopyFromParent, 0, nullptr);
    }
    return owner_window;
}
