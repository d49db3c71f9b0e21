#include "x11input.h"

#include "keytable.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QScreen>

// Xlib defines macros (Bool, Status, ...) that clash with the toolkit's
// headers, so it comes after them.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdlib>
#include <xcb/xcb.h>

namespace {

constexpr int WheelNotch = 120;
// A board may ask for any amount; one line never turns the wheel further than this.
constexpr int MaxWheelClicksPerLine = 100;
// Nor one batch: each click costs the X server tens of microseconds, and a board pouring
// in wheel lines must not keep it, and so the window, busy for seconds.
constexpr int MaxWheelClicksPerBatch = 400;

unsigned int xButton(MouseButton button)
{
    switch (button) {
    case MouseButton::Left:
        return 1;
    case MouseButton::Middle:
        return 2;
    case MouseButton::Right:
        return 3;
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
    : display(display), owns_display(ownsDisplay), places_cursor(placesCursor)
{
    loadKeymap();
}

X11Input::~X11Input()
{
    if (keymap_watcher && qGuiApp)
        qGuiApp->removeNativeEventFilter(keymap_watcher.get());
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
    if (!map)
        return;
    // Prefer the key that has the keysym unshifted: "<" is both shift+comma
    // and the key beside left shift, and the latter is the one meant.
    for (int virtualKey = 1; virtualKey < 255; ++virtualKey) {
        const unsigned long keysym = keysymForVirtualKey(virtualKey);
        if (keysym == 0)
            continue;
        for (int level = 0; level < perKeycode && !keycode_for_virtual_key[virtualKey]; ++level) {
            for (int i = 0; i < count; ++i) {
                if (map[i * perKeycode + level] == keysym) {
                    keycode_for_virtual_key[virtualKey] = static_cast<unsigned char>(minKeycode + i);
                    break;
                }
            }
        }
    }
    XFree(map);
}

void X11Input::watchKeymap()
{
    keymap_watcher = std::make_unique<KeymapWatcher>(*this);
    qGuiApp->installNativeEventFilter(keymap_watcher.get());
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
    return static_cast<int>(std::clamp<long long>(clicks, -MaxWheelClicksPerLine, MaxWheelClicksPerLine));
}

void X11Input::turnWheel(int amount)
{
    int clicks = wheelClicks(amount, wheel_remainder);
    if (batch_depth > 0) {
        const int left = MaxWheelClicksPerBatch - batch_wheel_clicks;
        clicks = std::clamp(clicks, -left, left);
        batch_wheel_clicks += std::abs(clicks);
    }
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
    const unsigned char keycode = keycode_for_virtual_key[virtualKey];
    if (keycode == 0)
        return;
    XTestFakeKeyEvent(display, keycode, down ? True : False, CurrentTime);
    sendNow();
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

void X11Input::beginBatch()
{
    if (batch_depth++ == 0)
        batch_wheel_clicks = 0;
}

void X11Input::endBatch()
{
    if (batch_depth > 0 && --batch_depth == 0)
        XFlush(display);
}

void X11Input::sendNow()
{
    if (batch_depth == 0)
        XFlush(display);
}

namespace {

// Used where X is not there at all: the board's input goes nowhere.
class NoInput final : public InputBackend
{
public:
    void pressButton(MouseButton) override {}
    void releaseButton(MouseButton) override {}
    void turnWheel(int) override {}
    void sendKey(int, bool) override {}
    bool moveCursorTo(int, int) override { return true; }
    bool moveCursorBy(int, int) override { return true; }
};

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

} // namespace

std::unique_ptr<InputBackend> createInputBackend()
{
    Display *display = nullptr;
    bool ownsDisplay = false;
    if (auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr)
        display = x11->display();
    if (!display) {
        display = XOpenDisplay(nullptr);
        ownsDisplay = true;
    }
    if (!display || !hasXTest(display)) {
        if (display && ownsDisplay)
            XCloseDisplay(display);
        return std::make_unique<NoInput>();
    }
    // On its own connection the backend must place the cursor itself to
    // keep moves and clicks in order.
    const bool placesCursor = ownsDisplay || toolkitUsesXPixels();
    auto input = std::make_unique<X11Input>(display, ownsDisplay, placesCursor);
    if (!ownsDisplay && qGuiApp)
        input->watchKeymap();
    return input;
}
