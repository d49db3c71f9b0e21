#include "x11input.h"

#include "heldinputguard.h"
#include "x11keytable.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QScreen>

// Xlib defines macros (Bool, Status, ...) that clash with the toolkit's
// headers, so it comes after them.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace {

unsigned int xButton(MouseButton button)
{
    switch (button) {
    case MouseButton::Left:
        return 1;
    case MouseButton::Middle:
        return 2;
    case MouseButton::Right:
        return 3;
    case MouseButton::Back:
        return 8;
    case MouseButton::Forward:
        return 9;
    }
    return 1;
}

// XTest carries coordinates as 16-bit numbers; anything wider would wrap.
int toInt16(int value)
{
    return std::clamp(value, -32768, 32767);
}

// Keeps the key table current when the server's keyboard mapping changes.
class KeymapWatcher : public QAbstractNativeEventFilter
{
public:
    explicit KeymapWatcher(X11Input &input) : input(input) {}

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) == XCB_MAPPING_NOTIFY)
            input.loadKeymap();
        return false;
    }

private:
    X11Input &input;
};

// Spare keycodes: a key the keymap lacks is typed through a keycode the
// keymap leaves empty, bound to its keysym for the time being. Every Harnelo
// on the server draws from the same empty keycodes, so
// - a keycode is found empty and bound under a server grab, where no other
//   client can bind it in between;
// - the root window's _HARNELO_SPARE_KEYCODES property records each keycode
//   any instance bound, with the keysym it bound there;
// - the instance that bound keycode N owns the selection _HARNELO_KEYCODE_N
//   while the binding is its. The server gives up a selection as soon as its
//   owner's connection closes, however the program ended, on this computer
//   or another. A recorded keycode whose selection has no owner was left by
//   an instance that is gone: the next one clears it if it still holds the
//   recorded keysym, and otherwise leaves it to whoever remapped it since.
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

X11Input::X11Input(Display *display, bool ownsDisplay, bool placesCursor)
    : display(display), owns_display(ownsDisplay), places_cursor(placesCursor)
{
    HeldInputGuard::engage(DisplayString(display));
    reclaimLeftovers();
    loadKeymap();
}

X11Input::~X11Input()
{
    if (keymap_watcher && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(keymap_watcher.get());
    releaseAllKeys();
    XFlush(display);
    if (owns_display)
        XCloseDisplay(display);
}

void X11Input::loadKeymap()
{
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    const int count = maxKeycode - minKeycode + 1;
    KeySym *map = XGetKeyboardMapping(display, static_cast<KeyCode>(minKeycode), count, &perKeycode);
    keycode_for_virtual_key.fill(0);
    if (!map) {
        bound_keycodes.clear();
        return;
    }
    const auto symbolAt = [&](int keycode, int level) {
        return map[(keycode - minKeycode) * perKeycode + level];
    };
    // Spare keycodes bound by any instance are not the keymap's own keys:
    // their binding may go at any moment.
    const KeycodeRecord spare = readRecord();
    // Prefer the key that has the keysym unshifted: "<" is both shift+comma
    // and the key beside left shift, and the latter is the one meant.
    for (int virtualKey = 1; virtualKey < 255; ++virtualKey) {
        const unsigned long keysym = keysymForVirtualKey(virtualKey);
        if (keysym == 0)
            continue;
        for (int level = 0; level < perKeycode && !keycode_for_virtual_key[virtualKey]; ++level) {
            for (int keycode = minKeycode; keycode <= maxKeycode; ++keycode) {
                if (symbolAt(keycode, level) == keysym && !spare.count(static_cast<unsigned char>(keycode))) {
                    keycode_for_virtual_key[virtualKey] = static_cast<unsigned char>(keycode);
                    break;
                }
            }
        }
    }
    // A binding of ours that someone else has since replaced is theirs now.
    for (auto binding = bound_keycodes.begin(); binding != bound_keycodes.end();) {
        const bool ours = perKeycode > 0 && symbolAt(binding->first, 0) == binding->second;
        binding = ours ? std::next(binding) : bound_keycodes.erase(binding);
    }
    XFree(map);
}

void X11Input::watchKeymap()
{
    keymap_watcher = std::make_unique<KeymapWatcher>(*this);
    QCoreApplication::instance()->installNativeEventFilter(keymap_watcher.get());
}

void X11Input::pressButton(MouseButton button)
{
    fakeButton(xButton(button), true);
    sendNow();
}

void X11Input::releaseButton(MouseButton button)
{
    fakeButton(xButton(button), false);
    sendNow();
}

int X11Input::wheelClicks(int amount, int &remainder)
{
    // Turning back drops what was left over from the other direction.
    if ((amount > 0 && remainder < 0) || (amount < 0 && remainder > 0))
        remainder = 0;
    const long long total = static_cast<long long>(remainder) + amount;
    const long long clicks = total / WheelNotch;
    remainder = static_cast<int>(total - clicks * WheelNotch);
    return static_cast<int>(clicks);
}

void X11Input::sendWheel(int amount)
{
    const int clicks = wheelClicks(amount, wheel_remainder);
    const unsigned int button = clicks > 0 ? 4 : 5;
    for (int i = 0; i < std::abs(clicks); ++i) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
    sendNow();
}

void X11Input::sendKey(int virtualKey, bool down)
{
    if (!isVirtualKey(virtualKey))
        return;
    unsigned char keycode = held_keycode[virtualKey];
    if (down && !keycode)
        keycode = keycodeFor(virtualKey);
    else if (!down && !keycode)
        keycode = keycode_for_virtual_key[virtualKey];
    if (keycode == 0)
        return;
    // Two virtual keys may name one key (Shift and left Shift): it goes down
    // with its first holder and up with its last.
    held_keycode[virtualKey] = 0;
    const bool heldByAnother = isHeld(keycode);
    held_keycode[virtualKey] = down ? keycode : 0;
    if (heldByAnother)
        return;
    fakeKey(keycode, down);
    sendNow();
}

void X11Input::releaseAllKeys()
{
    for (unsigned char &keycode : held_keycode) {
        const unsigned char released = keycode;
        keycode = 0;
        if (released && !isHeld(released))
            fakeKey(released, false);
    }
    // Bindings go only now, not on each release: every change of the keymap
    // makes every X client read the whole keymap again.
    unbindAll();
    sendNow();
}

unsigned char X11Input::keycodeFor(int virtualKey)
{
    if (keycode_for_virtual_key[virtualKey])
        return keycode_for_virtual_key[virtualKey];
    const unsigned long keysym = keysymForVirtualKey(virtualKey);
    if (keysym == 0)
        return 0;
    for (const auto &[keycode, boundKeysym] : bound_keycodes) {
        if (boundKeysym == keysym)
            return keycode;
    }
    return bindSpareKeycode(keysym);
}

unsigned char X11Input::bindSpareKeycode(unsigned long keysym)
{
    ServerGrab grab(display);
    KeycodeRecord record = readRecord();
    clearLeftovers(record);
    // Read afresh: what this backend last heard of the keymap may be stale.
    unsigned char keycode = emptyKeycode();
    if (!keycode)
        keycode = idleBinding(record);
    if (keycode) {
        // Unshifted and shifted alike, as on a key that has only this symbol.
        KeySym symbols[2] = {keysym, keysym};
        XChangeKeyboardMapping(display, keycode, 2, symbols, 1);
        XSetSelectionOwner(display, keycodeSelection(display, keycode), ownerWindow(), CurrentTime);
        record[keycode] = keysym;
        bound_keycodes[keycode] = keysym;
    }
    writeRecord(record);
    return keycode;
}

// The highest keycode the server's keymap leaves without any keysym, or 0.
unsigned char X11Input::emptyKeycode()
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

// Takes back a binding of this backend's that no held key uses.
unsigned char X11Input::idleBinding(KeycodeRecord &record)
{
    for (const auto &[keycode, keysym] : bound_keycodes) {
        if (!isHeld(keycode) && maps(keycode, keysym)) {
            const unsigned char taken = keycode;
            forget(taken, record);
            return taken;
        }
    }
    return 0;
}

void X11Input::unbindAll()
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
    // Whatever else this backend still marked as its own goes with the window.
    XDestroyWindow(display, owner_window);
    owner_window = 0;
}

// Drops the binding of keycode from what this backend and the record hold;
// needs the server grabbed.
void X11Input::forget(unsigned char keycode, KeycodeRecord &record)
{
    bound_keycodes.erase(keycode);
    std::replace(keycode_for_virtual_key.begin(), keycode_for_virtual_key.end(), keycode,
                 static_cast<unsigned char>(0));
    if (!owner_window || ownerOf(keycode) != owner_window)
        return;
    XSetSelectionOwner(display, keycodeSelection(display, keycode), None, CurrentTime);
    record.erase(keycode);
}

void X11Input::reclaimLeftovers()
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
void X11Input::clearLeftovers(KeycodeRecord &record)
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

X11Input::KeycodeRecord X11Input::readRecord()
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

void X11Input::writeRecord(const KeycodeRecord &record)
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
bool X11Input::maps(unsigned char keycode, unsigned long keysym)
{
    int perKeycode = 0;
    KeySym *symbols = XGetKeyboardMapping(display, keycode, 1, &perKeycode);
    const bool mapped = symbols && perKeycode > 0 && symbols[0] == keysym;
    if (symbols)
        XFree(symbols);
    return mapped;
}

unsigned long X11Input::ownerOf(unsigned char keycode)
{
    return XGetSelectionOwner(display, keycodeSelection(display, keycode));
}

// An unmapped window of this backend's, there only to own selections.
unsigned long X11Input::ownerWindow()
{
    if (!owner_window) {
        owner_window = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0,
                                     CopyFromParent, InputOnly, CopyFromParent, 0, nullptr);
    }
    return owner_window;
}

bool X11Input::isHeld(unsigned char keycode) const
{
    return std::find(held_keycode.begin(), held_keycode.end(), keycode) != held_keycode.end();
}

bool X11Input::moveCursorTo(int x, int y)
{
    if (!places_cursor)
        return false;
    XTestFakeMotionEvent(display, -1, toInt16(x), toInt16(y), CurrentTime);
    sendNow();
    return true;
}

bool X11Input::moveCursorBy(int dx, int dy)
{
    if (!places_cursor)
        return false;
    XTestFakeRelativeMotionEvent(display, toInt16(dx), toInt16(dy), CurrentTime);
    sendNow();
    return true;
}

// The guard hears of a press before the server does, and of a release only
// once the release left for the server: at any moment it knows of
// everything that may be down, and a release of a key that is up changes nothing.
void X11Input::fakeKey(unsigned char keycode, bool down)
{
    if (down)
        HeldInputGuard::noteKey(keycode, true);
    XTestFakeKeyEvent(display, keycode, down ? True : False, CurrentTime);
    if (!down) {
        XFlush(display);
        HeldInputGuard::noteKey(keycode, false);
    }
}

void X11Input::fakeButton(unsigned int button, bool down)
{
    if (down)
        HeldInputGuard::noteButton(button, true);
    XTestFakeButtonEvent(display, button, down ? True : False, CurrentTime);
    if (!down) {
        XFlush(display);
        HeldInputGuard::noteButton(button, false);
    }
}

void X11Input::flush()
{
    XFlush(display);
}

void X11Input::sendNow()
{
    if (!inBatch())
        XFlush(display);
}

namespace {

bool toolkitUsesXPixels()
{
    const auto screens = QGuiApplication::screens();
    return std::all_of(screens.begin(), screens.end(),
                       [](const QScreen *screen) { return screen->devicePixelRatio() == 1.0; });
}

bool hasXTest(Display *display)
{
    int eventBase, errorBase, major, minor;
    return XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor);
}

Display *toolkitDisplay()
{
    // Without a window the application is no QGuiApplication.
    auto *gui = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    auto *x11 = gui ? gui->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

bool namesOutputsXwayland(Display *display)
{
    int eventBase, errorBase;
    if (!XRRQueryExtension(display, &eventBase, &errorBase))
        return false;
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    bool named = false;
    for (int i = 0; resources && i < resources->noutput && !named; ++i) {
        XRROutputInfo *output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        named = output && std::strncmp(output->name, "XWAYLAND", 8) == 0;
        if (output)
            XRRFreeOutputInfo(output);
    }
    if (resources)
        XRRFreeScreenResources(resources);
    return named;
}

// Newer Xwayland says what it is with an extension; older ones (22.1) only
// in the names of their outputs, XWAYLAND0, XWAYLAND1, ...
bool isXwayland(Display *display)
{
    int opcode, eventBase, errorBase;
    return XQueryExtension(display, "XWAYLAND", &opcode, &eventBase, &errorBase)
        || namesOutputsXwayland(display);
}

// [protocol/]host:display[.screen]: a host, other than "unix", means TCP.
bool isNetworkDisplay(const std::string &name)
{
    const auto colon = name.rfind(':');
    if (colon == std::string::npos || name.front() == '/')
        return false;
    std::string host = name.substr(0, colon);
    const auto slash = host.find('/');
    if (slash != std::string::npos) {
        const std::string protocol = host.substr(0, slash);
        if (protocol == "unix" || protocol == "local")
            return false;
        host.erase(0, slash + 1);
    }
    return !host.empty() && host != "unix";
}

} // namespace

XServerFacts inspectXServer()
{
    XServerFacts facts;
    Display *display = toolkitDisplay();
    const bool ownConnection = !display;
    if (ownConnection)
        display = XOpenDisplay(nullptr);
    if (!display) {
        facts.name = qEnvironmentVariable("DISPLAY").toStdString();
        return facts;
    }
    facts.reachable = true;
    facts.name = DisplayString(display);
    facts.xwayland = isXwayland(display);
    facts.overNetwork = isNetworkDisplay(facts.name);
    if (ownConnection)
        XCloseDisplay(display);
    return facts;
}

std::unique_ptr<X11Input> X11Input::create(std::string &error)
{
    Display *display = toolkitDisplay();
    bool ownsDisplay = false;
    if (!display) {
        display = XOpenDisplay(nullptr);
        ownsDisplay = true;
    }
    if (!display) {
        error = "no X server to inject into (DISPLAY is not set or the server refused the connection)";
        return nullptr;
    }
    if (!hasXTest(display)) {
        error = "the X server has no XTest extension";
        if (ownsDisplay)
            XCloseDisplay(display);
        return nullptr;
    }
    // On its own connection the backend must place the cursor itself to
    // keep moves and clicks in order.
    const bool placesCursor = ownsDisplay || toolkitUsesXPixels();
    auto input = std::make_unique<X11Input>(display, ownsDisplay, placesCursor);
    if (!ownsDisplay)
        input->watchKeymap();
    return input;
}

void X11Input::typeCharacter(char32_t character)
{
    static_cast<void>(character);
}

void X11Input::sendHorizontalWheel(int amount)
{
    static_cast<void>(amount);
}
