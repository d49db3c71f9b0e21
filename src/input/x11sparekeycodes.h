#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>

typedef struct _XDisplay Display;
class X11Keymap;

// Spare keycodes: a keysym the keymap lacks is typed through a keycode the
// keymap leaves empty, bound to it for the time being. Every Harnelo on the
// server draws from the same empty keycodes, so
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
class X11SpareKeycodes
{
public:
    using KeycodeFilter = std::function<bool(unsigned char keycode)>;

    explicit X11SpareKeycodes(Display *display) : display(display) {}
    X11SpareKeycodes(const X11SpareKeycodes &) = delete;
    X11SpareKeycodes &operator=(const X11SpareKeycodes &) = delete;

    // Clears what instances that are gone left bound.
    void reclaimLeftovers();
    // The keycode this instance bound to keysym, or 0.
    unsigned char boundTo(unsigned long keysym);
    // Binds an empty keycode to spareKeysyms(keysym), or else one of this
    // instance's own bindings that inUse says nothing holds; 0 when there is
    // neither. The record names a binding by its unshifted keysym.
    unsigned char bind(unsigned long keysym, const KeycodeFilter &inUse);
    // Gives every binding of this instance back.
    void unbindAll();
    // The keycodes that any instance has bound now: they are not the
    // keymap's own keys, and their binding may go at any moment.
    std::set<unsigned char> lentKeycodes();
    // After the keymap changed: a binding that someone else has since
    // replaced is theirs now.
    void dropReplaced(const X11Keymap &keymap);
    // Told each keycode this instance stops using.
    void whenForgetting(std::function<void(unsigned char keycode)> forgetting) { forgotten = std::move(forgetting); }

private:
    // Spare keycodes bound to keysyms: keycode -> keysym.
    using KeycodeRecord = std::map<unsigned char, unsigned long>;

    unsigned char emptyKeycode();
    unsigned char idleBinding(KeycodeRecord &record, const KeycodeFilter &inUse);
    void forget(unsigned char keycode, KeycodeRecord &record);
    void clearLeftovers(KeycodeRecord &record);
    KeycodeRecord readRecord();
    void writeRecord(const KeycodeRecord &record);
    bool maps(unsigned char keycode, unsigned long keysym);
    unsigned long ownerOf(unsigned char keycode);
    unsigned long ownerWindow();

    Display *display;
    // The spare keycodes this instance bound, and when each was last used.
    KeycodeRecord bound_keycodes;
    std::map<unsigned char, std::uint64_t> last_used;
    std::uint64_t uses = 0;
    // Owns the selections that mark those bindings as this instance's.
    unsigned long owner_window = 0;
    std::function<void(unsigned char)> forgotten;
};
