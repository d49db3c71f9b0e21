#pragma once

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QVector>

typedef struct _XDisplay Display;

// The test's own connection to the X server the window injects into, to read
// back what really happened there.
class XServer
{
public:
    XServer();
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    bool isOpen() const { return display != nullptr; }

    QPoint pointer();
    // The X pointer buttons (1 left, 2 middle, 3 right) held down now.
    QVector<int> buttonsDown();
    bool isKeyDown(unsigned long keysym);
    // Keycodes the server shows down now.
    QVector<int> keysDown();
    int keycodeOf(unsigned long keysym);
    // The unshifted keysym of keycode, read afresh from the server.
    unsigned long keysymOf(int keycode);
    // Keycodes the keymap leaves without any keysym.
    QVector<int> emptyKeycodes();

    bool isCapsLockOn();
    // Locks or unlocks Caps Lock, as its key would.
    void setCapsLock(bool on);
    // Locks the keyboard's group (layout): 0 the first.
    void lockGroup(int group);

    // Releases whatever an earlier test case left down, so cases stay independent.
    void releaseEverything();

    // The top-level window with this title, or 0.
    unsigned long findWindow(const QString &title);
    // Asks the window to close, as a window manager's close button does.
    void requestClose(unsigned long window);
    // Where the window is on the screen, and how large.
    QRect geometry(unsigned long window);
    // The colour the screen shows at this point.
    QColor pixelAt(QPoint point);
    // Moves the pointer there and clicks the left button, as a user would.
    void click(QPoint point);

    Display *handle() const { return display; }

private:
    Display *display = nullptr;
};

// Changes the server's keymap for as long as it lives, then puts back every
// keycode it changed.
class KeymapChange
{
public:
    explicit KeymapChange(XServer &server) : display(server.handle()) {}
    ~KeymapChange();
    KeymapChange(const KeymapChange &) = delete;
    KeymapChange &operator=(const KeymapChange &) = delete;

    // Gives keycode this one keysym, or none at all for 0.
    void bind(int keycode, unsigned long keysym);

private:
    Display *display;
    QVector<QPair<int, QVector<unsigned long>>> originals;
};

// Switches the X server to another keyboard layout ("de", "fr") while it
// lives, then back to the US layout the tests start with.
class KeyboardLayout
{
public:
    explicit KeyboardLayout(const QString &layout) : switched(use(layout)) {}
    ~KeyboardLayout() { use(QStringLiteral("us")); }
    KeyboardLayout(const KeyboardLayout &) = delete;
    KeyboardLayout &operator=(const KeyboardLayout &) = delete;

    bool isSwitched() const { return switched; }

private:
    static bool use(const QString &layout);
    bool switched;
};

// A plain X window that records the button and key events it receives, in
// order. The pointer must be over it for button events; it takes the
// keyboard focus.
class EventRecorder
{
public:
    EventRecorder(XServer &server, int x, int y, int width, int height);
    ~EventRecorder();

    QPoint centre() const;
    // Collects what has arrived so far, e.g. "press 1", "release 1",
    // "keydown 38", "keyup 38".
    QStringList events();
    void clear();

private:
    Display *display;
    unsigned long window;
    int x, y, width, height;
    QStringList received;
};
