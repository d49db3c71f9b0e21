#pragma once

#include <QList>
#include <QPoint>
#include <QString>

// Records, through low-level hooks, the mouse buttons, wheel turns and keys
// that reach Windows input, and swallows them so nothing stays held on the
// machine. The hooks run on the thread that installed them, while its event
// loop runs.
class InputHooks
{
public:
    struct Event
    {
        QString what; // "WM_LBUTTONDOWN", "WM_KEYUP 65", "WM_KEYDOWN U+00E9" (typed), "WM_MOUSEWHEEL -240", ...
        bool injected = false;
        QPoint position; // where a mouse event acted
        unsigned scanCode = 0; // of a key
        bool extended = false; // a key with the extended-key flag
    };

    InputHooks();
    ~InputHooks();
    bool isInstalled() const;
    // Typed characters (VK_PACKET) go on to the window with the focus, which
    // nothing holds once they are through.
    void letTypedCharactersThrough(bool pass);

    // Everything that arrived since the last call. Sends a marker key through
    // the system first and waits for it, so whatever was sent before it has
    // come through.
    QList<Event> take();
    // take() without the details: what, in order, flagged when not injected.
    QStringList takeNames();
};
