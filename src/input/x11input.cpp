#include "x11input.h"

#include "x11keytable.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QScreen>

// Xlib defines macros (Bool, Status, ...) that clash with the toolkit's
// headers, so it comes after them.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace {

// The server's core keyboard mapping, as it is now.
X11Keymap readKeymap(Display *display)
{
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    const int count = maxKeycode - minKeycode + 1;
    KeySym *map = XGetKeyboardMapping(display, static_cast<KeyCode>(minKeycode), count, &perKeycode);
    if (!map)
        return {};
    X11Keymap keymap(minKeycode, perKeycode, std::vector<unsigned long>(map, map + count * perKeycode));
    XFree(map);
    return keymap;
}

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

} // namespace

X11Input::X11Input(Display *display, bool ownsDisplay, bool placesCursor)
    : display(display), owns_display(ownsDisplay), places_cursor(placesCursor), spare_keycodes(display)
{
    spare_keycodes.whenForgetting([this](unsigned char keycode) {
        std::replace(keycode_for_virtual_key.begin(), keycode_for_virtual_key.end(), keycode,
                     static_cast<unsigned char>(0));
    });
    spare_keycodes.reclaimLeftovers();
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
    keymap = readKeymap(display);
    // Spare keycodes bound by any instance are not the keymap's own keys:
    // their binding may go at any moment.
    const std::set<unsigned char> lent = spare_keycodes.lentKeycodes();
    const auto isLent = [&lent](unsigned char keycode) { return lent.count(keycode) > 0; };
    // The lowest column first: "<" is both shift+comma and the key beside
    // left shift, and the latter is the one meant.
    for (int virtualKey = 1; virtualKey < 255; ++virtualKey)
        keycode_for_virtual_key[virtualKey] = keymap.keycodeOf(keysymForVirtualKey(virtualKey), isLent);
    spare_keycodes.dropReplaced(keymap);
}

void X11Input::watchKeymap()
{
    keymap_watcher = std::make_unique<KeymapWatcher>(*this);
    QCoreApplication::instance()->installNativeEventFilter(keymap_watcher.get());
}

void X11Input::pressButton(MouseButton button)
{
    XTestFakeButtonEvent(display, xButton(button), True, CurrentTime);
    sendNow();
}

void X11Input::releaseButton(MouseButton button)
{
    XTestFakeButtonEvent(display, xButton(button), False, CurrentTime);
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
    XTestFakeKeyEvent(display, keycode, down ? True : False, CurrentTime);
    sendNow();
}

void X11Input::releaseAllKeys()
{
    for (unsigned char &keycode : held_keycode) {
        const unsigned char released = keycode;
        keycode = 0;
        if (released && !isHeld(released))
            XTestFakeKeyEvent(display, released, False, CurrentTime);
    }
    // Bindings go only now, not on each release: every change of the keymap
    // makes every X client read the whole keymap again.
    spare_keycodes.unbindAll();
    sendNow();
}

unsigned char X11Input::keycodeFor(int virtualKey)
{
    if (keycode_for_virtual_key[virtualKey])
        return keycode_for_virtual_key[virtualKey];
    const unsigned long keysym = keysymForVirtualKey(virtualKey);
    if (keysym == 0)
        return 0;
    if (const unsigned char bound = spare_keycodes.boundTo(keysym))
        return bound;
    return spare_keycodes.bind(keysym, [this](unsigned char keycode) { return isHeld(keycode); });
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
