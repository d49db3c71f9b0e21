#include "inputhooks.h"

#include <QStringList>
#include <QtTest>

#include <windows.h>

namespace {

QList<InputHooks::Event> recorded;
bool markerSeen = false;
bool typedCharactersPass = false;
HHOOK mouseHook = nullptr;
HHOOK keyboardHook = nullptr;

// Extra info that marks the marker key-up, which take() sends.
constexpr ULONG_PTR MarkerTag = 0x4E4C5248;

QString messageName(WPARAM message)
{
    switch (message) {
    case WM_LBUTTONDOWN: return QStringLiteral("WM_LBUTTONDOWN");
    case WM_LBUTTONUP: return QStringLiteral("WM_LBUTTONUP");
    case WM_RBUTTONDOWN: return QStringLiteral("WM_RBUTTONDOWN");
    case WM_RBUTTONUP: return QStringLiteral("WM_RBUTTONUP");
    case WM_MBUTTONDOWN: return QStringLiteral("WM_MBUTTONDOWN");
    case WM_MBUTTONUP: return QStringLiteral("WM_MBUTTONUP");
    case WM_XBUTTONDOWN: return QStringLiteral("WM_XBUTTONDOWN");
    case WM_XBUTTONUP: return QStringLiteral("WM_XBUTTONUP");
    case WM_MOUSEWHEEL: return QStringLiteral("WM_MOUSEWHEEL");
    case WM_MOUSEHWHEEL: return QStringLiteral("WM_MOUSEHWHEEL");
    case WM_KEYDOWN: return QStringLiteral("WM_KEYDOWN");
    case WM_KEYUP: return QStringLiteral("WM_KEYUP");
    case WM_SYSKEYDOWN: return QStringLiteral("WM_SYSKEYDOWN");
    case WM_SYSKEYUP: return QStringLiteral("WM_SYSKEYUP");
    }
    return QStringLiteral("message 0x%1").arg(message, 0, 16);
}

// A typed UTF-16 unit comes as VK_PACKET with the unit as its scan code.
QString keyName(const KBDLLHOOKSTRUCT &info)
{
    if (info.vkCode == VK_PACKET)
        return QStringLiteral("U+%1").arg(info.scanCode, 4, 16, QLatin1Char('0')).toUpper();
    return QString::number(info.vkCode);
}

LRESULT CALLBACK onMouse(int code, WPARAM message, LPARAM lParam)
{
    // Moves are left alone: the test places the cursor itself.
    if (code != HC_ACTION || message == WM_MOUSEMOVE)
        return CallNextHookEx(nullptr, code, message, lParam);
    const auto *info = reinterpret_cast<const MSLLHOOKSTRUCT *>(lParam);
    QString what = messageName(message);
    // The wheels' amount, or which X button.
    if (message == WM_MOUSEWHEEL || message == WM_MOUSEHWHEEL || message == WM_XBUTTONDOWN
        || message == WM_XBUTTONUP)
        what += QLatin1Char(' ') + QString::number(static_cast<short>(HIWORD(info->mouseData)));
    recorded.append({what, (info->flags & LLMHF_INJECTED) != 0, QPoint(info->pt.x, info->pt.y)});
    return 1;
}

LRESULT CALLBACK onKeyboard(int code, WPARAM message, LPARAM lParam)
{
    if (code != HC_ACTION)
        return CallNextHookEx(nullptr, code, message, lParam);
    const auto *info = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam);
    if (info->dwExtraInfo == MarkerTag) {
        markerSeen = true;
        return 1;
    }
    recorded.append({messageName(message) + QLatin1Char(' ') + keyName(*info),
                     (info->flags & LLKHF_INJECTED) != 0, {}, static_cast<unsigned>(info->scanCode),
                     (info->flags & LLKHF_EXTENDED) != 0});
    if (typedCharactersPass && info->vkCode == VK_PACKET)
        return CallNextHookEx(nullptr, code, message, lParam);
    return 1;
}

} // namespace

InputHooks::InputHooks()
{
    const HINSTANCE self = GetModuleHandleW(nullptr);
    mouseHook = SetWindowsHookExW(WH_MOUSE_LL, onMouse, self, 0);
    keyboardHook = SetWindowsHookExW(WH_KEYBOARD_LL, onKeyboard, self, 0);
}

InputHooks::~InputHooks()
{
    if (mouseHook)
        UnhookWindowsHookEx(mouseHook);
    if (keyboardHook)
        UnhookWindowsHookEx(keyboardHook);
    mouseHook = keyboardHook = nullptr;
}

void InputHooks::letTypedCharactersThrough(bool pass)
{
    typedCharactersPass = pass;
}

bool InputHooks::isInstalled() const
{
    return mouseHook && keyboardHook;
}

QList<InputHooks::Event> InputHooks::take()
{
    markerSeen = false;
    INPUT marker = {};
    marker.type = INPUT_KEYBOARD;
    marker.ki.wVk = VK_F24;
    marker.ki.dwFlags = KEYEVENTF_KEYUP;
    marker.ki.dwExtraInfo = MarkerTag;
    SendInput(1, &marker, sizeof marker);
    if (!QTest::qWaitFor([] { return markerSeen; }, 5000))
        qWarning("the marker key never came through the hooks");
    return std::exchange(recorded, {});
}

QStringList InputHooks::takeNames()
{
    QStringList names;
    for (const Event &event : take())
        names << event.what + (event.injected ? QString() : QStringLiteral(" (not injected)"));
    return names;
}
