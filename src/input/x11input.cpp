#include "x11input.h"

#include "heldinputguard.h"
#include "x11keytable.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>

// Xlib defines macros (Bool, Status, ...) that clash with the toolkit's
// headers, so it comes after them.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
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
// The event base of the XKB extension on this connection, or -1.
int xkbEventBase(Display *display)
{
    int opcode, eventBase, errorBase, major = XkbMajorVersion, minor = XkbMinorVersion;
    return XkbQueryExtension(display, &opcode, &eventBase, &errorBase, &major, &minor) ? eventBase : -1;
}

// Whether an event of this type and XKB type says the keymap changed. An
// XKB-aware client such as the toolkit hears of a new layout only through
// XKB events, and of a changed keycode through those or a MappingNotify.
bool announcesKeymap(int type, int xkbType, int xkbBase)
{
    return type == MappingNotify
        || (xkbBase >= 0 && type == xkbBase && (xkbType == XkbNewKeyboardNotify || xkbType == XkbMapNotify));
}

// Keeps the key table current when the server's keyboard mapping changes.
class KeymapWatcher : public QAbstractNativeEventFilter
{
public:
    KeymapWatcher(X11Input &input, int xkbBase) : input(input), xkb_base(xkbBase) {}

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        // Every XKB event carries its own type in the second byte.
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if (announcesKeymap(event->response_type & 0x7f, event->pad0, xkb_base))
            input.loadKeymap();
        return false;
    }

private:
    X11Input &input;
    int xkb_base;
};

} // namespace

X11Input::X11Input(Display *display, bool ownsDisplay, bool placesCursor)
    : display(display), owns_display(ownsDisplay), places_cursor(placesCursor), spare_keycodes(display)
{
    HeldInputGuard::engage(DisplayString(display));
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
    connection_watcher.reset();
    releaseAllKeys();
    XFlush(display);
    reportReleases();
    if (owns_display)
        XCloseDisplay(display);
}

void X11Input::loadKeymap()
{
    keymap = readKeymap(display);
    lent_keycodes = spare_keycodes.lentKeycodes();
    // Spare keycodes bound by any instance are not the keymap's own keys:
    // their binding may go at any moment.
    const auto isLent = [this](unsigned char keycode) { return lent_keycodes.count(keycode) > 0; };
    // The lowest column first: "<" is both shift+comma and the key beside
    // left shift, and the latter is the one meant.
    for (int virtualKey = 1; virtualKey < 255; ++virtualKey)
        keycode_for_virtual_key[virtualKey] = keymap.keycodeOf(keysymForVirtualKey(virtualKey), isLent);
    spare_keycodes.dropReplaced(keymap);
}

void X11Input::watchKeymap()
{
    xkb_event_base = xkbEventBase(display);
    if (owns_display) {
        watchOwnConnection();
        return;
    }
    keymap_watcher = std::make_unique<KeymapWatcher>(*this, xkb_event_base);
    QCoreApplication::instance()->installNativeEventFilter(keymap_watcher.get());
}

// Without the toolkit's connection nobody reads this one's events: the
// event loop tells when the server sent some.
void X11Input::watchOwnConnection()
{
    if (xkb_event_base >= 0) {
        const unsigned int changes = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
        XkbSelectEvents(display, XkbUseCoreKbd, changes, changes);
    }
    connection_watcher = std::make_unique<QSocketNotifier>(ConnectionNumber(display), QSocketNotifier::Read);
    QObject::connect(connection_watcher.get(), &QSocketNotifier::activated, [this] { readOwnEvents(); });
    XFlush(display);
}

void X11Input::readOwnEvents()
{
    bool changed = false;
    while (XPending(display) > 0) {
        XkbEvent event;
        XNextEvent(display, &event.core);
        const int type = event.core.type;
        if (!announcesKeymap(type, type == xkb_event_base ? event.any.xkb_type : -1, xkb_event_base))
            continue;
        if (type == MappingNotify)
            XRefreshKeyboardMapping(&event.core.xmapping);
        changed = true;
    }
    if (changed)
        loadKeymap();
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
    clickButton(clicks > 0 ? 4 : 5, std::abs(clicks));
    sendNow();
}

void X11Input::sendHorizontalWheel(int amount)
{
    const int clicks = wheelClicks(amount, horizontal_wheel_remainder);
    clickButton(clicks > 0 ? 7 : 6, std::abs(clicks));
    sendNow();
}

void X11Input::clickButton(unsigned int button, int times)
{
    for (int i = 0; i < times; ++i) {
        fakeButton(button, true);
        fakeButton(button, false);
    }
}

void X11Input::sendKey(int virtualKey, bool down)
{
    if (!isVirtualKey(virtualKey))
        return;
    keyboard_locks.reset();
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

// The guard hears of a press before the server can (Xlib may flush at any
// time), and of a release only once the release left for the server, at the
// next flush: at any moment it knows of everything that may be down, and a
// release of a key that is up changes nothing. A press cancels an earlier
// release still waiting to be told, which would otherwise come after it.
void X11Input::fakeKey(unsigned char keycode, bool down)
{
    auto &waiting = unflushed_key_releases;
    if (down) {
        waiting.erase(std::remove(waiting.begin(), waiting.end(), keycode), waiting.end());
        HeldInputGuard::noteKey(keycode, true);
    } else {
        waiting.push_back(keycode);
    }
    XTestFakeKeyEvent(display, keycode, down ? True : False, CurrentTime);
}

void X11Input::fakeButton(unsigned int button, bool down)
{
    auto &waiting = unflushed_button_releases;
    if (down) {
        waiting.erase(std::remove(waiting.begin(), waiting.end(), button), waiting.end());
        HeldInputGuard::noteButton(button, true);
    } else {
        waiting.push_back(button);
    }
    XTestFakeButtonEvent(display, button, down ? True : False, CurrentTime);
}

void X11Input::reportReleases()
{
    for (const unsigned char keycode : unflushed_key_releases)
        HeldInputGuard::noteKey(keycode, false);
    for (const unsigned int button : unflushed_button_releases)
        HeldInputGuard::noteButton(button, false);
    unflushed_key_releases.clear();
    unflushed_button_releases.clear();
}

void X11Input::flush()
{
    keyboard_locks.reset();
    XFlush(display);
    reportReleases();
    // Replies read meanwhile may have brought keymap changes along.
    if (connection_watcher && XEventsQueued(display, QueuedAlready) > 0)
        readOwnEvents();
}

void X11Input::sendNow()
{
    if (!inBatch())
        flush();
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
    if (QCoreApplication::instance())
        input->watchKeymap();
    return input;
}

void X11Input::typeCharacter(char32_t character)
{
    const std::optional<KeyStroke> stroke = strokeFor(keysymForCharacter(character));
    if (!stroke) {
        cannotType(character);
        return;
    }
    // What the board holds must not change the character: its modifiers go
    // up around it and down again after.
    const std::vector<unsigned char> held = heldModifierKeys();
    for (const unsigned char keycode : held)
        fakeKey(keycode, false);
    for (const unsigned char modifier : stroke->modifiers) {
        if (modifier)
            fakeKey(modifier, true);
    }
    fakeKey(stroke->keycode, true);
    fakeKey(stroke->keycode, false);
    for (auto modifier = stroke->modifiers.rbegin(); modifier != stroke->modifiers.rend(); ++modifier) {
        if (*modifier)
            fakeKey(*modifier, false);
    }
    for (const unsigned char keycode : held)
        fakeKey(keycode, true);
    sendNow();
}

// On the keymap, else on a spare keycode bound to the keysym.
std::optional<KeyStroke> X11Input::strokeFor(unsigned long keysym)
{
    if (keysym == 0)
        return std::nullopt;
    const KeyboardLocks locks = keyboardLocks();
    const auto isLent = [this](unsigned char keycode) { return lent_keycodes.count(keycode) > 0; };
    if (std::optional<KeyStroke> stroke = keymap.strokeFor(keysym, locks, isLent))
        return stroke;
    unsigned char keycode = spare_keycodes.boundTo(keysym);
    if (!keycode)
        keycode = spare_keycodes.bind(keysym, [this](unsigned char code) { return isHeld(code); });
    if (!keycode)
        return std::nullopt;
    return keymap.strokeOnSpare(keycode, keysym, locks);
}

// Asked of the server once a batch: asking is a round trip, and within a
// batch only the board's own key lines are likely to change them.
KeyboardLocks X11Input::keyboardLocks()
{
    if (!keyboard_locks) {
        Window root, child;
        int rootX, rootY, windowX, windowY;
        unsigned int state = 0;
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &windowX, &windowY,
                      &state);
        keyboard_locks = KeyboardLocks{(state & LockMask) != 0, XkbGroupForCoreState(state)};
    }
    return *keyboard_locks;
}

// The keycodes of the modifiers the board holds through key lines.
std::vector<unsigned char> X11Input::heldModifierKeys() const
{
    std::vector<unsigned char> keycodes;
    for (int virtualKey = 1; virtualKey < 255; ++virtualKey) {
        const unsigned char keycode = held_keycode[virtualKey];
        if (keycode && changesOtherKeys(keysymForVirtualKey(virtualKey))
            && std::find(keycodes.begin(), keycodes.end(), keycode) == keycodes.end())
            keycodes.push_back(keycode);
    }
    return keycodes;
}

void X11Input::cannotType(char32_t character)
{
    if (skipped_characters == 0)
        first_skipped = character;
    if (skipped_characters < std::numeric_limits<int>::max())
        ++skipped_characters;
}

std::string X11Input::takeError()
{
    if (skipped_characters == 0)
        return {};
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned int>(first_skipped));
    std::string error = std::string("could not type ") + code
                        + ": the keyboard layout has no key for it and no spare keycode is free";
    if (skipped_characters > 1)
        error += " (" + std::to_string(skipped_characters) + " characters skipped)";
    skipped_characters = 0;
    return error;
}
