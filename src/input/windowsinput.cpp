#include "windowsinput.h"

#include "heldinputguard.h"

#include <windows.h>

#include <string>
#include <utility>

static_assert(InputBackend::MaxWheelPerTurn <= 32767, "a wheel turn fits the 16-bit wheel delta");

namespace {

// What a button sends: its flags and, for the X buttons, which one.
struct ButtonCode
{
    DWORD down;
    DWORD up;
    DWORD data;
};

ButtonCode buttonCode(MouseButton button)
{
    switch (button) {
    case MouseButton::Left:
        break;
    case MouseButton::Right:
        return {MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_RIGHTUP, 0};
    case MouseButton::Middle:
        return {MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_MIDDLEUP, 0};
    case MouseButton::Back:
        return {MOUSEEVENTF_XDOWN, MOUSEEVENTF_XUP, XBUTTON1};
    case MouseButton::Forward:
        return {MOUSEEVENTF_XDOWN, MOUSEEVENTF_XUP, XBUTTON2};
    }
    return {MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP, 0};
}

// MOUSEEVENTF_MOVE is never set, so button and wheel events act where the
// cursor is.
INPUT mouseInput(DWORD flags, DWORD data)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    input.mi.mouseData = data;
    return input;
}

// The keys whose scan codes a keyboard sends behind an E0 prefix, which
// Windows reports as the extended-key flag. Without it the navigation keys
// arrive as their numeric-keypad twins and the right modifiers as the left.
bool isExtendedKey(int virtualKey)
{
    switch (virtualKey) {
    case VK_CANCEL: // Break, Ctrl with Pause
    case VK_PRIOR:
    case VK_NEXT:
    case VK_END:
    case VK_HOME:
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
    case VK_SNAPSHOT:
    case VK_INSERT:
    case VK_DELETE:
    case VK_LWIN:
    case VK_RWIN:
    case VK_APPS:
    case VK_SLEEP:
    case VK_DIVIDE:
    case VK_NUMLOCK:
    case VK_RCONTROL:
    case VK_RMENU:
        return true;
    }
    // Browser, volume, media and launch keys.
    return virtualKey >= VK_BROWSER_BACK && virtualKey <= VK_LAUNCH_APP2;
}

// The scan code a keyboard with this layout sends for the key. Generic
// Shift, Ctrl and Alt are their left keys.
WORD scanCodeOf(int virtualKey, HKL layout)
{
    switch (virtualKey) {
    case VK_SHIFT:
        virtualKey = VK_LSHIFT;
        break;
    case VK_CONTROL:
        virtualKey = VK_LCONTROL;
        break;
    case VK_MENU:
        virtualKey = VK_LMENU;
        break;
    // Keys Windows maps to another code than the key itself sends: Print
    // Screen to Alt with Print Screen's, Pause and Break to the E1 and E0
    // sequences they come in.
    case VK_SNAPSHOT:
        return 0x37;
    case VK_PAUSE:
        return 0x45;
    case VK_CANCEL:
        return 0x46;
    }
    // Only the low byte is the code; some versions put the prefix above it.
    return static_cast<WORD>(MapVirtualKeyExW(static_cast<UINT>(virtualKey), MAPVK_VK_TO_VSC, layout) & 0xFF);
}

INPUT keyInput(int virtualKey, WORD scanCode, bool down)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = static_cast<WORD>(virtualKey);
    input.ki.wScan = scanCode;
    input.ki.dwFlags = (down ? 0 : KEYEVENTF_KEYUP) | (isExtendedKey(virtualKey) ? KEYEVENTF_EXTENDEDKEY : 0);
    return input;
}

// A keystroke that types a UTF-16 code unit, whatever the layout: programs
// get it as a VK_PACKET key whose WM_CHAR carries the unit.
INPUT unicodeInput(char16_t unit, bool down)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wScan = unit;
    input.ki.dwFlags = KEYEVENTF_UNICODE | (down ? 0 : KEYEVENTF_KEYUP);
    return input;
}

// The UTF-16 units of a Unicode scalar value; returns how many (1 or 2).
int utf16Units(char32_t character, char16_t (&units)[2])
{
    if (character < 0x10000) {
        units[0] = static_cast<char16_t>(character);
        return 1;
    }
    const char32_t above = character - 0x10000;
    units[0] = static_cast<char16_t>(0xD800 + (above >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + (above & 0x3FF));
    return 2;
}

unsigned sendThroughWindows(unsigned count, INPUT *inputs, int size)
{
    return SendInput(count, inputs, size);
}

IntegrityProbe probeFailed(DWORD error)
{
    return {error == ERROR_ACCESS_DENIED ? IntegrityProbe::Result::Denied : IntegrityProbe::Result::Unknown, 0};
}

IntegrityProbe integrityOfToken(HANDLE token)
{
    alignas(TOKEN_MANDATORY_LABEL) unsigned char buffer[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &size))
        return probeFailed(GetLastError());
    // The label is a SID whose last part is the level.
    const PSID label = reinterpret_cast<TOKEN_MANDATORY_LABEL *>(buffer)->Label.Sid;
    const UCHAR parts = *GetSidSubAuthorityCount(label);
    if (parts == 0)
        return {};
    return {IntegrityProbe::Result::Level, *GetSidSubAuthority(label, parts - 1u)};
}

IntegrityProbe integrityOfProcess(DWORD processId)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return probeFailed(GetLastError());
    HANDLE token = nullptr;
    const bool opened = OpenProcessToken(process, TOKEN_QUERY, &token);
    const DWORD error = GetLastError();
    CloseHandle(process);
    if (!opened)
        return probeFailed(error);
    const IntegrityProbe probe = integrityOfToken(token);
    CloseHandle(token);
    return probe;
}

unsigned long ownIntegrity()
{
    HANDLE token = nullptr;
    IntegrityProbe own;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        own = integrityOfToken(token);
        CloseHandle(token);
    }
    return own.result == IntegrityProbe::Result::Level ? own.level : SECURITY_MANDATORY_MEDIUM_RID;
}

std::string refusalMessage(IntegrityProbe::Result foreground)
{
    const std::string why = foreground == IntegrityProbe::Result::Level
        ? "Windows does not let input reach the window with the focus: its program runs with higher rights"
        : "Windows most likely does not let input reach the window with the focus: its program will not "
          "even let Harnelo look at its rights";
    return why + " (an administrator's window, the sign-in or UAC screen). "
                 "To control it, run Harnelo as administrator too";
}

std::string refusedInputMessage(const char *what, DWORD error)
{
    std::string message = std::string("Windows did not take ") + what + " (error " + std::to_string(error) + ")";
    // Input meant for another desktop fails so: the locked or sign-in
    // screen, or a UAC prompt on the secure desktop.
    if (error == ERROR_ACCESS_DENIED)
        message += "; the screen may be locked or a sign-in or UAC screen may have the keyboard";
    return message;
}

} // namespace

bool integrityBlocksInput(unsigned long own, IntegrityProbe target)
{
    switch (target.result) {
    case IntegrityProbe::Result::Level:
        return target.level > own;
    case IntegrityProbe::Result::Denied:
        return own < SECURITY_MANDATORY_SYSTEM_RID;
    case IntegrityProbe::Result::Unknown:
        break;
    }
    return false;
}

WindowsInput::WindowsInput(InputSender send)
    : send_input(send ? send : sendThroughWindows), own_integrity(ownIntegrity())
{
    HeldInputGuard::engage();
}

void WindowsInput::lookAtForeground()
{
    if (!foreground_seen_in_batch) {
        foreground_seen_in_batch = inBatch();
        const HWND window = GetForegroundWindow();
        DWORD processId = 0;
        const DWORD thread = window ? GetWindowThreadProcessId(window, &processId) : 0;
        foreground_layout = GetKeyboardLayout(thread);
        if (window != judged_window || processId != judged_process) {
            judged_window = window;
            judged_process = processId;
            foreground_refusal.clear();
            if (processId != 0 && processId != GetCurrentProcessId()) {
                const IntegrityProbe probe = integrityOfProcess(processId);
                if (integrityBlocksInput(own_integrity, probe))
                    foreground_refusal = refusalMessage(probe.result);
            }
        }
    }
    if (!foreground_refusal.empty())
        noteError(foreground_refusal);
}

void WindowsInput::flush()
{
    // The next batch looks at the foreground again.
    foreground_seen_in_batch = false;
}

void WindowsInput::noteError(const std::string &error)
{
    if (first_error.empty())
        first_error = error;
}

bool WindowsInput::inject(INPUT *inputs, unsigned count, const char *what)
{
    // SendInput says nothing when Windows drops input for a window with
    // higher rights; it fails when the input goes nowhere at all.
    if (send_input(count, inputs, sizeof(INPUT)) == count)
        return true;
    noteError(refusedInputMessage(what, GetLastError()));
    return false;
}

void WindowsInput::pressButton(MouseButton button)
{
    lookAtForeground();
    HeldInputGuard::noteButton(static_cast<std::uint32_t>(button), true);
    const ButtonCode code = buttonCode(button);
    INPUT input = mouseInput(code.down, code.data);
    inject(&input, 1, "a mouse button");
}

void WindowsInput::releaseButton(MouseButton button)
{
    lookAtForeground();
    const ButtonCode code = buttonCode(button);
    INPUT input = mouseInput(code.up, code.data);
    inject(&input, 1, "a mouse button");
    HeldInputGuard::noteButton(static_cast<std::uint32_t>(button), false);
}

// The delta travels as a DWORD and reaches programs as a signed 16-bit
// number; bounded amounts fit in it.
void WindowsInput::sendWheel(int amount)
{
    lookAtForeground();
    INPUT input = mouseInput(MOUSEEVENTF_WHEEL, static_cast<DWORD>(amount));
    inject(&input, 1, "a wheel turn");
}

void WindowsInput::sendHorizontalWheel(int amount)
{
    lookAtForeground();
    INPUT input = mouseInput(MOUSEEVENTF_HWHEEL, static_cast<DWORD>(amount));
    inject(&input, 1, "a wheel turn");
}

void WindowsInput::sendKey(int virtualKey, bool down)
{
    if (!isVirtualKey(virtualKey))
        return;
    lookAtForeground();
    const auto key = static_cast<std::size_t>(virtualKey);
    const WORD scanCode = !down && held_keys[key]
        ? held_scan_codes[key]
        : scanCodeOf(virtualKey, static_cast<HKL>(foreground_layout));
    INPUT input = keyInput(virtualKey, scanCode, down);
    // The guard hears of a press before it goes out, of a release once it went.
    const auto guarded =
        HeldInputGuard::windowsKey(input.ki.wVk, scanCode, (input.ki.dwFlags & KEYEVENTF_EXTENDEDKEY) != 0);
    if (down)
        HeldInputGuard::noteKey(guarded, true);
    if (!inject(&input, 1, "a key")) {
        HeldInputGuard::noteKey(guarded, held_keys[key]);
        return;
    }
    if (down) {
        held_keys[key] = true;
        held_scan_codes[key] = scanCode;
    } else if (foreground_refusal.empty()) {
        held_keys[key] = false;
    }
    HeldInputGuard::noteKey(guarded, held_keys[key]);
    // A release the foreground may have swallowed leaves the key held, so
    // that releasing everything tries it again; a press counts as held
    // either way, as an extra release does no harm.
}

void WindowsInput::typeCharacter(char32_t character)
{
    // Tab and Return are keys programs act on, not characters they insert;
    // as keys they are also held until their release went through.
    if (character == U'\t' || character == U'\n') {
        const int key = character == U'\t' ? VK_TAB : VK_RETURN;
        sendKey(key, true);
        sendKey(key, false);
        return;
    }
    lookAtForeground();
    // A character beyond the 16-bit range is two units, each typed as a key
    // of its own; one call keeps other input from coming between them.
    char16_t units[2];
    const int count = utf16Units(character, units);
    INPUT inputs[4];
    for (int unit = 0; unit < count; ++unit) {
        inputs[2 * unit] = unicodeInput(units[unit], true);
        inputs[2 * unit + 1] = unicodeInput(units[unit], false);
    }
    inject(inputs, static_cast<unsigned>(2 * count), "a typed character");
}

void WindowsInput::releaseAllKeys()
{
    for (int virtualKey = 1; virtualKey < 255; ++virtualKey) {
        if (held_keys[static_cast<std::size_t>(virtualKey)])
            sendKey(virtualKey, false);
    }
}

std::string WindowsInput::takeError()
{
    return std::exchange(first_error, std::string());
}

InputSetup createInputBackend(InputSystem, const std::optional<DesktopArea> &, const std::string &)
{
    return {std::make_unique<WindowsInput>(), {}};
}

