#include "xserver.h"

// The toolkit's headers go before Xlib's, whose macros clash with them.
#include <QProcess>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <QStringList>

#include <algorithm>

XServer::XServer() : display(XOpenDisplay(nullptr)) {}

XServer::~XServer()
{
    if (display)
        XCloseDisplay(display);
}

QPoint XServer::pointer()
{
    Window root, child;
    int rootX = 0, rootY = 0, winX, winY;
    unsigned int mask;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX, &winY,
                  &mask);
    return {rootX, rootY};
}

QVector<int> XServer::buttonsDown()
{
    Window root, child;
    int rootX, rootY, winX, winY;
    unsigned int mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX, &winY,
                  &mask);
    QVector<int> down;
    const unsigned int masks[] = {Button1Mask, Button2Mask, Button3Mask, Button4Mask, Button5Mask};
    for (int i = 0; i < 5; ++i) {
        if (mask & masks[i])
            down.append(i + 1);
    }
    return down;
}

QVector<int> XServer::keysDown()
{
    char keys[32] = {};
    XQueryKeymap(display, keys);
    QVector<int> down;
    for (int keycode = 0; keycode < 256; ++keycode) {
        if (keys[keycode / 8] & (1 << (keycode % 8)))
            down.append(keycode);
    }
    return down;
}

int XServer::keycodeOf(unsigned long keysym)
{
    return XKeysymToKeycode(display, keysym);
}

unsigned long XServer::keysymOf(int keycode)
{
    int perKeycode = 0;
    KeySym *symbols = XGetKeyboardMapping(display, static_cast<KeyCode>(keycode), 1, &perKeycode);
    const unsigned long keysym = symbols && perKeycode > 0 ? symbols[0] : NoSymbol;
    if (symbols)
        XFree(symbols);
    return keysym;
}

QVector<int> XServer::emptyKeycodes()
{
    int first = 0, last = 0, perKeycode = 0;
    XDisplayKeycodes(display, &first, &last);
    KeySym *map = XGetKeyboardMapping(display, static_cast<KeyCode>(first), last - first + 1, &perKeycode);
    QVector<int> empty;
    for (int keycode = first; map && keycode <= last; ++keycode) {
        const KeySym *symbols = map + (keycode - first) * perKeycode;
        if (std::all_of(symbols, symbols + perKeycode, [](KeySym sym) { return sym == NoSymbol; }))
            empty.append(keycode);
    }
    if (map)
        XFree(map);
    return empty;
}

bool XServer::isKeyDown(unsigned long keysym)
{
    const int keycode = keycodeOf(keysym);
    return keycode != 0 && keysDown().contains(keycode);
}

bool XServer::isCapsLockOn()
{
    XkbStateRec state{};
    XkbGetState(display, XkbUseCoreKbd, &state);
    return (state.locked_mods & LockMask) != 0;
}

void XServer::setCapsLock(bool on)
{
    XkbLockModifiers(display, XkbUseCoreKbd, LockMask, on ? LockMask : 0);
    XSync(display, False);
}

void XServer::lockGroup(int group)
{
    XkbLockGroup(display, XkbUseCoreKbd, static_cast<unsigned int>(group));
    XSync(display, False);
}

bool KeyboardLayout::use(const QString &layout)
{
    return QProcess::execute(QStringLiteral("setxkbmap"),
                             {QStringLiteral("-display"), qEnvironmentVariable("DISPLAY"), layout})
        == 0;
}

void XServer::releaseEverything()
{
    for (const int button : buttonsDown())
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    for (const int keycode : keysDown())
        XTestFakeKeyEvent(display, keycode, False, CurrentTime);
    XSync(display, False);
}

unsigned long XServer::findWindow(const QString &title)
{
    Window root, parent;
    Window *children = nullptr;
    unsigned int count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    unsigned long found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        char *name = nullptr;
        if (XFetchName(display, children[i], &name) && name) {
            if (QString::fromUtf8(name) == title)
                found = children[i];
            XFree(name);
        }
    }
    if (children)
        XFree(children);
    return found;
}

void XServer::requestClose(unsigned long window)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
}

QRect XServer::geometry(unsigned long window)
{
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes))
        return {};
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
}

QColor XServer::pixelAt(QPoint point)
{
    XImage *image = XGetImage(display, DefaultRootWindow(display), point.x(), point.y(), 1, 1,
                              AllPlanes, ZPixmap);
    if (!image)
        return {};
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return QColor::fromRgb(static_cast<QRgb>(pixel & 0xffffff));
}

void XServer::click(QPoint point)
{
    XTestFakeMotionEvent(display, -1, point.x(), point.y(), CurrentTime);
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XSync(display, False);
}

KeymapChange::~KeymapChange()
{
    for (auto change = originals.crbegin(); change != originals.crend(); ++change) {
        QVector<KeySym> symbols(change->second.begin(), change->second.end());
        XChangeKeyboardMapping(display, change->first, symbols.size(), symbols.data(), 1);
    }
    XSync(display, False);
}

void KeymapChange::bind(int keycode, unsigned long keysym)
{
    int perKeycode = 0;
    KeySym *symbols = XGetKeyboardMapping(display, static_cast<KeyCode>(keycode), 1, &perKeycode);
    originals.append({keycode, QVector<unsigned long>(symbols, symbols + perKeycode)});
    XFree(symbols);
    KeySym replacement = keysym;
    XChangeKeyboardMapping(display, keycode, 1, &replacement, 1);
    XSync(display, False);
}

EventRecorder::EventRecorder(XServer &server, int x, int y, int width, int height)
    : display(server.handle()), x(x), y(y), width(width), height(height)
{
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask;
    window = XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0,
                           CopyFromParent, InputOutput, CopyFromParent,
                           CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display, window);
    XSync(display, False);
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
}

EventRecorder::~EventRecorder()
{
    XDestroyWindow(display, window);
    XSetInputFocus(display, PointerRoot, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
}

QPoint EventRecorder::centre() const
{
    return {x + width / 2, y + height / 2};
}

QStringList EventRecorder::events()
{
    XSync(display, False);
    XEvent event;
    while (XCheckWindowEvent(display, window,
                             ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask,
                             &event)) {
        switch (event.type) {
        case ButtonPress:
            received << QStringLiteral("press %1").arg(event.xbutton.button);
            break;
        case ButtonRelease:
            received << QStringLiteral("release %1").arg(event.xbutton.button);
            break;
        case KeyPress:
            received << QStringLiteral("keydown %1").arg(event.xkey.keycode);
            break;
        case KeyRelease:
            received << QStringLiteral("keyup %1").arg(event.xkey.keycode);
            break;
        }
    }
    return received;
}

void EventRecorder::clear()
{
    events();
    received.clear();
}
