#include "remoteinput.h"

#include "linetrace.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>

namespace {

// Past this many entries the key record forgets the ones that can send
// nothing on release, so a board naming endless key codes cannot exhaust memory.
constexpr std::size_t KeyRecordPruneSize = 1024;

int saturatingAdd(int a, int b)
{
    const long long sum = static_cast<long long>(a) + b;
    return static_cast<int>(std::clamp<long long>(sum, INT_MIN, INT_MAX));
}

// The toolkit scales cursor positions to device pixels without bounds, so a
// wild position would overflow there; the desktop's edge is as far as it goes.
QPoint onDesktop(int x, int y)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return {x, y};
    const QRect desktop = screen->virtualGeometry();
    return {std::clamp(x, desktop.left(), desktop.right()), std::clamp(y, desktop.top(), desktop.bottom())};
}

// Without a window the application is no QGuiApplication, and has no cursor.
bool hasScreens()
{
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
}

MouseButton buttonOf(MouseEvent press)
{
    switch (press) {
    case RIGHT_PRESS:
        return MouseButton::Right;
    case MIDDLE_PRESS:
        return MouseButton::Middle;
    case BACK_PRESS:
        return MouseButton::Back;
    case FORWARD_PRESS:
        return MouseButton::Forward;
    default:
        return MouseButton::Left;
    }
}

} // namespace

RemoteInput::RemoteInput(std::unique_ptr<InputBackend> backend)
    : input(std::move(backend)),
      mouse_event_state{{RIGHT_PRESS, false}, {LEFT_PRESS, false}, {MIDDLE_PRESS, false},
                        {BACK_PRESS, false}, {FORWARD_PRESS, false}}
{
}

RemoteInput::~RemoteInput()
{
    // Whoever wanted to hear of later failures may be gone already.
    input->whenFailingLater({});
    // Nothing the board holds may outlive the program.
    releaseButtonsAndKeys();
}

void RemoteInput::handleLine(std::string_view line)
{
    if (const auto event = decodeTraced(line, trace))
        apply(*event);
}

void RemoteInput::apply(const EventLine &line)
{
    if (line.device == TEXT) {
        for (const char32_t character : line.text.view())
            input->typeCharacter(character);
        return;
    }
    if (line.device == KEYBOARD) {
        const auto event = static_cast<KeyboardEvent>(line.event);
        keyboardEvent(event, line.arg1);
        recordKey(line.arg1, event == PRESS);
        return;
    }
    switch (line.event) {
    case MOVE:
        moveMouseBy(line.arg1, line.arg2);
        break;
    case POSITION:
        setMousePosition(line.arg1, line.arg2);
        break;
    case SCROLL:
        input->turnWheel(line.arg1);
        break;
    case HORIZONTAL_SCROLL:
        input->turnHorizontalWheel(line.arg1);
        break;
    case RIGHT_PRESS:
    case LEFT_PRESS:
    case MIDDLE_PRESS:
    case BACK_PRESS:
    case FORWARD_PRESS:
        setButton(static_cast<MouseEvent>(line.event), true);
        break;
    case RIGHT_RELEASE:
    case LEFT_RELEASE:
    case MIDDLE_RELEASE:
    case BACK_RELEASE:
    case FORWARD_RELEASE:
        // Each release code follows its press code.
        setButton(static_cast<MouseEvent>(line.event - 1), false);
        break;
    }
}

void RemoteInput::setMousePosition(int x, int y)
{
    if (absolute_positions_ignored) {
        if (!std::exchange(said_positions_ignored, true))
            std::fprintf(stderr, "Harnelo ignores absolute positions (0 7 x y): it has no desktop to place them "
                                 "on. Give the desktop's size with --desktop WIDTHxHEIGHT.\n");
        return;
    }
    // Without the toolkit's screens (no window) there is no cursor of its own to place.
    if (!input->moveCursorTo(x, y) && hasScreens())
        QCursor::setPos(onDesktop(x, y));
}

void RemoteInput::moveMouseBy(int dx, int dy)
{
    if (input->moveCursorBy(dx, dy) || !hasScreens())
        return;
    const QPoint current = QCursor::pos();
    setMousePosition(saturatingAdd(current.x(), dx), saturatingAdd(current.y(), dy));
}

void RemoteInput::setButton(MouseEvent button, bool down)
{
    if (down)
        input->pressButton(buttonOf(button));
    else
        input->releaseButton(buttonOf(button));
    mouse_event_state[button] = down;
}

void RemoteInput::keyboardEvent(KeyboardEvent event, int key)
{
    if (key != 0)
        input->sendKey(key, event == PRESS);
}

bool RemoteInput::isKeyHeld(std::uint32_t key) const
{
    const auto entry = keyboard_event_state.find(key);
    return entry != keyboard_event_state.end() && entry->second;
}

void RemoteInput::recordKey(int key, bool held)
{
    keyboard_event_state[static_cast<std::uint32_t>(key)] = held;
    if (keyboard_event_state.size() <= KeyRecordPruneSize)
        return;
    for (auto entry = keyboard_event_state.begin(); entry != keyboard_event_state.end();) {
        const bool sendsOnRelease = entry->second && isVirtualKey(static_cast<int>(entry->first));
        entry = sendsOnRelease ? std::next(entry) : keyboard_event_state.erase(entry);
    }
}

void RemoteInput::releaseButtonsAndKeys()
{
    InputBatch batch(*input);
    for (auto &[button, held] : mouse_event_state) {
        if (std::exchange(held, false))
            input->releaseButton(buttonOf(button));
    }
    for (auto &[code, held] : keyboard_event_state) {
        if (std::exchange(held, false))
            keyboardEvent(RELEASE, static_cast<int>(code));
    }
    // Whatever the record no longer names (it forgets codes that are not
    // keys), and what the backend set up to press keys.
    input->releaseAllKeys();
}

std::string RemoteInput::takeFailure()
{
    std::string failure = input->takeError();
    // Once per kind: a board pouring in lines must not flood the terminal.
    if (!failure.empty() && failure != last_failure)
        std::fprintf(stderr, "Harnelo could not inject input: %s\n", failure.c_str());
    if (!failure.empty())
        last_failure = failure;
    return failure;
}
