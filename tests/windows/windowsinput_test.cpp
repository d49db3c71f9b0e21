// Drives WindowsInput and checks, through low-level hooks, what the system
// received. Runs as a console program (under Wine on Linux hosts).
#include "windowsinput.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Event {
    WPARAM message;
    DWORD data; // vkCode for keys, mouseData for the mouse
    bool injected;
    bool extended; // left and right modifier keys differ only in this bit
    POINT pt;
};

bool operator==(const Event &a, const Event &b)
{
    return a.message == b.message && a.data == b.data && a.injected == b.injected && a.extended == b.extended;
}

std::vector<Event> recorded;
bool endMarkerSeen = false;

// A key-up carrying this extra info closes each step: everything the backend
// sent before it has been through the hooks once the marker is seen, so extra
// events are caught without sleeping.
constexpr ULONG_PTR endMarkerTag = 0x4E4C5248;

LRESULT CALLBACK mouseHook(int code, WPARAM message, LPARAM lParam)
{
    // Moves are ignored: the backend never moves the cursor, and the pointer
    // placement done by this test must not count.
    if (code == HC_ACTION && message != WM_MOUSEMOVE) {
        const auto *info = reinterpret_cast<const MSLLHOOKSTRUCT *>(lParam);
        recorded.push_back({message, info->mouseData, (info->flags & LLMHF_INJECTED) != 0, false, info->pt});
        return 1; // swallowed, so the test leaves no button held anywhere
    }
    return CallNextHookEx(nullptr, code, message, lParam);
}

LRESULT CALLBACK keyboardHook(int code, WPARAM message, LPARAM lParam)
{
    if (code == HC_ACTION) {
        const auto *info = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam);
        if (info->dwExtraInfo == endMarkerTag)
            endMarkerSeen = true;
        else
            recorded.push_back({message, info->vkCode, (info->flags & LLKHF_INJECTED) != 0,
                                (info->flags & LLKHF_EXTENDED) != 0, {}});
        return 1;
    }
    return CallNextHookEx(nullptr, code, message, lParam);
}

void sendEndMarker()
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = VK_F24;
    input.ki.dwFlags = KEYEVENTF_KEYUP;
    input.ki.dwExtraInfo = endMarkerTag;
    SendInput(1, &input, sizeof(INPUT));
}

// The hooks run on this thread, and only while it pumps messages.
bool pumpUntilEndMarker()
{
    const DWORD start = GetTickCount();
    while (!endMarkerSeen && GetTickCount() - start < 5000) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (!endMarkerSeen)
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return endMarkerSeen;
}

template <typename Action>
std::vector<Event> eventsFrom(Action action)
{
    recorded.clear();
    endMarkerSeen = false;
    action();
    sendEndMarker();
    if (!pumpUntilEndMarker())
        std::printf("  (end marker never arrived)\n");
    return recorded;
}

std::string messageName(WPARAM message)
{
    switch (message) {
    case WM_LBUTTONDOWN: return "WM_LBUTTONDOWN";
    case WM_LBUTTONUP: return "WM_LBUTTONUP";
    case WM_RBUTTONDOWN: return "WM_RBUTTONDOWN";
    case WM_RBUTTONUP: return "WM_RBUTTONUP";
    case WM_MBUTTONDOWN: return "WM_MBUTTONDOWN";
    case WM_MBUTTONUP: return "WM_MBUTTONUP";
    case WM_MOUSEWHEEL: return "WM_MOUSEWHEEL";
    case WM_KEYDOWN: return "WM_KEYDOWN";
    case WM_KEYUP: return "WM_KEYUP";
    case WM_SYSKEYDOWN: return "WM_SYSKEYDOWN";
    case WM_SYSKEYUP: return "WM_SYSKEYUP";
    }
    return "message 0x" + std::to_string(message);
}

std::string describe(const std::vector<Event> &events)
{
    std::string text = "[";
    for (const Event &e : events) {
        if (text.size() > 1)
            text += ", ";
        const bool wheel = e.message == WM_MOUSEWHEEL;
        const long value = wheel ? static_cast<short>(HIWORD(e.data)) : static_cast<long>(e.data);
        text += messageName(e.message) + (wheel ? " delta=" : " data=") + std::to_string(value)
                + (e.injected ? "" : " NOT-INJECTED") + (e.extended ? " EXTENDED" : "");
    }
    return text + "]";
}

int passed = 0;
int failed = 0;

void check(const std::string &name, bool ok, const std::string &detail = {})
{
    if (ok) {
        ++passed;
        std::printf("PASS %s\n", name.c_str());
    } else {
        ++failed;
        std::printf("FAIL %s %s\n", name.c_str(), detail.c_str());
    }
    std::fflush(stdout);
}

void checkEvents(const std::string &name, const std::vector<Event> &got, const std::vector<Event> &want)
{
    check(name, got == want, "got " + describe(got) + " want " + describe(want));
}

Event mouse(WPARAM message, DWORD data = 0)
{
    return {message, data, true, false, {}};
}

Event key(WPARAM message, int virtualKey)
{
    return {message, static_cast<DWORD>(virtualKey), true, false, {}};
}

DWORD wheelData(int amount)
{
    return static_cast<DWORD>(static_cast<WORD>(amount)) << 16;
}

void testButtons(WindowsInput &input)
{
    struct Case {
        const char *name;
        MouseButton button;
        WPARAM down;
        WPARAM up;
    };
    const Case cases[] = {
        {"left", MouseButton::Left, WM_LBUTTONDOWN, WM_LBUTTONUP},
        {"right", MouseButton::Right, WM_RBUTTONDOWN, WM_RBUTTONUP},
        {"middle", MouseButton::Middle, WM_MBUTTONDOWN, WM_MBUTTONUP},
    };
    SetCursorPos(200, 150);
    POINT cursor;
    GetCursorPos(&cursor);
    for (const Case &c : cases) {
        const auto got = eventsFrom([&] {
            input.pressButton(c.button);
            input.releaseButton(c.button);
        });
        checkEvents(std::string("button ") + c.name + " press/release", got, {mouse(c.down), mouse(c.up)});
        bool atCursor = !got.empty();
        for (const Event &e : got)
            atCursor = atCursor && e.pt.x == cursor.x && e.pt.y == cursor.y;
        check(std::string("button ") + c.name + " acts at the cursor", atCursor,
              got.empty() ? "" : "at " + std::to_string(got[0].pt.x) + "," + std::to_string(got[0].pt.y));
    }
}

void testWheel(WindowsInput &input)
{
    for (int amount : {120, -240}) {
        const auto got = eventsFrom([&] { input.turnWheel(amount); });
        checkEvents("wheel " + std::to_string(amount), got, {mouse(WM_MOUSEWHEEL, wheelData(amount))});
    }
}

void testKeys(WindowsInput &input)
{
    for (int code : {65, VK_RETURN, VK_CONTROL, VK_LSHIFT, VK_OEM_1}) {
        const auto got = eventsFrom([&] {
            input.sendKey(code, true);
            input.sendKey(code, false);
        });
        checkEvents("key " + std::to_string(code) + " down/up", got, {key(WM_KEYDOWN, code), key(WM_KEYUP, code)});
    }
    const auto alt = eventsFrom([&] {
        input.sendKey(VK_MENU, true);
        input.sendKey(VK_MENU, false);
    });
    const bool altOk = alt.size() == 2 && alt[0] == key(WM_SYSKEYDOWN, VK_MENU)
                       && (alt[1] == key(WM_KEYUP, VK_MENU) || alt[1] == key(WM_SYSKEYUP, VK_MENU));
    check("key alt down/up", altOk, "got " + describe(alt));
}

void testNonKeys(WindowsInput &input)
{
    for (int code : {0, 255, 256, -1, 65601}) {
        const auto got = eventsFrom([&] {
            input.sendKey(code, true);
            input.sendKey(code, false);
        });
        checkEvents("code " + std::to_string(code) + " sends nothing", got, {});
    }
}

void testMixedOrder(WindowsInput &input)
{
    const auto got = eventsFrom([&] {
        input.pressButton(MouseButton::Left);
        input.sendKey(VK_CONTROL, true);
        input.sendKey(65, true);
        input.releaseButton(MouseButton::Left);
        input.sendKey(VK_CONTROL, false);
        input.sendKey(65, false);
    });
    checkEvents("mouse and keys keep their order", got,
                {mouse(WM_LBUTTONDOWN), key(WM_KEYDOWN, VK_CONTROL), key(WM_KEYDOWN, 65), mouse(WM_LBUTTONUP),
                 key(WM_KEYUP, VK_CONTROL), key(WM_KEYUP, 65)});
}

} // namespace

int main()
{
    const HINSTANCE self = GetModuleHandleW(nullptr);
    const HHOOK mouseHookHandle = SetWindowsHookExW(WH_MOUSE_LL, mouseHook, self, 0);
    const HHOOK keyboardHookHandle = SetWindowsHookExW(WH_KEYBOARD_LL, keyboardHook, self, 0);
    if (!mouseHookHandle || !keyboardHookHandle) {
        std::printf("cannot install hooks (error %lu)\n", GetLastError());
        return 2;
    }

    WindowsInput input;
    testButtons(input);
    testWheel(input);
    testKeys(input);
    testNonKeys(input);
    testMixedOrder(input);

    UnhookWindowsHookEx(mouseHookHandle);
    UnhookWindowsHookEx(keyboardHookHandle);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
