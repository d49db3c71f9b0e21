#pragma once

#include "inputbackend.h"

#include <array>
#include <memory>

typedef struct _XDisplay Display;
class QAbstractNativeEventFilter;

// Injects input with the XTest extension. On the toolkit's own X connection
// every event stays in order with the toolkit's cursor placement.
class X11Input final : public InputBackend
{
public:
    // placesCursor: cursor moves go through XTest too (the toolkit's
    // coordinates are X pixels), so they queue with the other events.
    X11Input(Display *display, bool ownsDisplay, bool placesCursor);
    ~X11Input() override;

    void pressButton(MouseButton button) override;
    void releaseButton(MouseButton button) override;
    void turnWheel(int amount) override;
    void sendKey(int virtualKey, bool down) override;
    bool moveCursorTo(int x, int y) override;
    bool moveCursorBy(int dx, int dy) override;
    void beginBatch() override;
    void endBatch() override;

    // Reads the server's keyboard mapping again, after it changed.
    void loadKeymap();
    // Reloads the mapping whenever the toolkit sees it change, while this backend lives.
    void watchKeymap();

    // The wheel clicks one turn of amount makes, given what was left over
    // from earlier turns; leaves the new remainder in remainder.
    static int wheelClicks(int amount, int &remainder);

private:
    void sendNow();

    Display *display;
    bool owns_display;
    bool places_cursor;
    int batch_depth = 0;
    int wheel_remainder = 0;
    int batch_wheel_clicks = 0;
    std::array<unsigned char, 256> keycode_for_virtual_key{};
    std::unique_ptr<QAbstractNativeEventFilter> keymap_watcher;
};
