#pragma once

#include "inputbackend.h"

#include <array>
#include <map>
#include <memory>
#include <string>

typedef struct _XDisplay Display;
class QAbstractNativeEventFilter;

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

    // Reads the server's keyboard mapping again, after it changed.
    void loadKeymap();
    // Reloads the mapping whenever the toolkit sees it change, while this backend lives.
    void watchKeymap();

    // The wheel clicks one turn of amount makes, given what was left over
    // from earlier turns; leaves the new remainder in remainder.
    static int wheelClicks(int amount, int &remainder);

protected:
    void sendWheel(int amount) override;
    void sendHorizontalWheel(int amount) override;
    void flush() override;

private:
    // Spare keycodes bound to keysyms the keymap lacks: keycode -> keysym.
    using KeycodeRecord = std::map<unsigned char, unsigned long>;

    // The keycode that types virtualKey's keysym now: one of the keymap's,
    // or a spare keycode bound to it for the time being. 0 when there is none.
    unsigned char keycodeFor(int virtualKey);
    unsigned char bindSpareKeycode(unsigned long keysym);
    unsigned char emptyKeycode();
    unsigned char idleBinding(KeycodeRecord &record);
    void unbindAll();
    void forget(unsigned char keycode, KeycodeRecord &record);
    void reclaimLeftovers();
    void clearLeftovers(KeycodeRecord &record);
    KeycodeRecord readRecord();
    void writeRecord(const KeycodeRecord &record);
    bool maps(unsigned char keycode, unsigned long keysym);
    unsigned long ownerOf(unsigned char keycode);
    unsigned long ownerWindow();
    bool isHeld(unsigned char keycode) const;
    // Every key and button that may stay down goes out here, so that the
    // guard knows what to release should the program be killed.
    void fakeKey(unsigned char keycode, bool down);
    void fakeButton(unsigned int button, bool down);
    void sendNow();

    Display *display;
    bool owns_display;
    bool places_cursor;
    int wheel_remainder = 0;
    std::array<unsigned char, 256> keycode_for_virtual_key{};
    // What each virtual key pressed, so that its release lifts that very
    // keycode even if the keymap changed since.
    std::array<unsigned char, 256> held_keycode{};
    // The spare keycodes this backend bound.
    KeycodeRecord bound_keycodes;
    // Owns the selections that mark those bindings as this backend's.
    unsigned long owner_window = 0;
    std::unique_ptr<QAbstractNativeEventFilter> keymap_watcher;
};
