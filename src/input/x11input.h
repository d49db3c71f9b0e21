#pragma once

#include "inputbackend.h"
#include "x11keymap.h"
#include "x11sparekeycodes.h"

#include <array>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

typedef struct _XDisplay Display;
class QAbstractNativeEventFilter;
class QSocketNotifier;

// What the X server this program would inject into is, asked of the server
// itself rather than of the environment.
struct XServerFacts
{
    bool reachable = false;
    // The X server of a Wayland compositor: XTest there reaches X programs only.
    bool xwayland = false;
    // Reached over the network (ssh -X, a TCP display): it may be another
    // computer's screen.
    bool overNetwork = false;
    // As DISPLAY names it, e.g. ":0" or "localhost:10.0".
    std::string name;
};

// Asks the toolkit's X server, or the one DISPLAY names when the toolkit has none.
XServerFacts inspectXServer();

// Injects input with the XTest extension. On the toolkit's own X connection
// every event stays in order with the toolkit's cursor placement.
class X11Input final : public InputBackend
{
public:
    // placesCursor: cursor moves go through XTest too (the toolkit's
    // coordinates are X pixels), so they queue with the other events.
    X11Input(Display *display, bool ownsDisplay, bool placesCursor);
    ~X11Input() override;

    // On the toolkit's X connection when it has one, else on a connection of
    // its own. On failure returns nullptr and sets error to what failed.
    static std::unique_ptr<X11Input> create(std::string &error);

    void pressButton(MouseButton button) override;
    void releaseButton(MouseButton button) override;
    void sendKey(int virtualKey, bool down) override;
    void typeCharacter(char32_t character) override;
    void releaseAllKeys() override;
    bool moveCursorTo(int x, int y) override;
    bool moveCursorBy(int dx, int dy) override;
    std::string takeError() override;

    // Reads the server's keyboard mapping again, after it changed.
    void loadKeymap();
    // Reloads the mapping whenever it changes, while this backend lives: as
    // the toolkit sees it on the toolkit's connection, else as this backend's
    // own connection hears it from the event loop.
    void watchKeymap();

    // The wheel clicks one turn of amount makes, given what was left over
    // from earlier turns; leaves the new remainder in remainder.
    static int wheelClicks(int amount, int &remainder);

protected:
    void sendWheel(int amount) override;
    void sendHorizontalWheel(int amount) override;
    void flush() override;

private:
    // The keycode that types virtualKey's keysym now: one of the keymap's,
    // or a spare keycode bound to it for the time being. 0 when there is none.
    unsigned char keycodeFor(int virtualKey);
    bool isHeld(unsigned char keycode) const;
    std::optional<KeyStroke> strokeFor(unsigned long keysym);
    KeyboardLocks keyboardLocks();
    std::vector<unsigned char> heldModifierKeys() const;
    void cannotType(char32_t character);
    void clickButton(unsigned int button, int times);
    // Every XTest key and button event goes out through these two, so that
    // the guard knows what to release should the program be killed.
    void fakeKey(unsigned char keycode, bool down);
    void fakeButton(unsigned int button, bool down);
    // Tells the guard of the releases that went out with the last flush.
    void reportReleases();
    void watchOwnConnection();
    void readOwnEvents();
    void sendNow();

    Display *display;
    bool owns_display;
    bool places_cursor;
    int wheel_remainder = 0;
    int horizontal_wheel_remainder = 0;
    std::array<unsigned char, 256> keycode_for_virtual_key{};
    // What each virtual key pressed, so that its release lifts that very
    // keycode even if the keymap changed since.
    std::array<unsigned char, 256> held_keycode{};
    X11Keymap keymap;
    // The keycodes any instance had lent out when the keymap was read.
    std::set<unsigned char> lent_keycodes;
    X11SpareKeycodes spare_keycodes;
    // Text characters skipped since the last takeError(), and the first of them.
    int skipped_characters = 0;
    char32_t first_skipped = 0;
    std::unique_ptr<QAbstractNativeEventFilter> keymap_watcher;
    // Releases sent and not yet flushed, which the guard hears of after the
    // flush: keycodes, and button numbers.
    std::vector<unsigned char> unflushed_key_releases;
    std::vector<unsigned int> unflushed_button_releases;
    std::unique_ptr<QSocketNotifier> connection_watcher;
    int xkb_event_base = -1;
    // Caps Lock and the group, as last asked; forgotten when a batch ends.
    std::optional<KeyboardLocks> keyboard_locks;
};
