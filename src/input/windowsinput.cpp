#include "windowsinput.h"

#include "heldinputguard.h"

#include <windows.h>

#include <string>
#include <utility>

static_assert(InputBackend::MaxWheelPerTurn <= 32767, "a wheel turn fits the 16-bit wheel delta");

namespace {

// MOUSEEVENTF_MOVE is never set, so button events act where the cursor is;
// the coordinates (1, 1) are then ignored.
void sendButton(DWORD buttonFlag)
{
    mouse_event(MOUSEEVENTF_ABSOLUTE | buttonFlag, 1, 1, 0, 0);
}

DWORD downFlag(MouseButton button)
{
    switch (button) {
    case MouseButton::Right:
        return MOUSEEVENTF_RIGHTDOWN;
    case MouseButton::Middle:
        return MOUSEEVENTF_MIDDLEDOWN;
    case MouseButton::Left:
    case MouseButton::Back:
    case MouseButton::Forward:
        break;
    }
    return MOUSEEVENTF_LEFTDOWN;
}

DWORD upFlag(MouseButton button)
{
    switch (button) {
    case MouseButton::Right:
        return MOUSEEVENTF_RIGHTUP;
    case MouseButton::Middle:
        return MOUSEEVENTF_MIDDLEUP;
    case MouseButton::Left:
    case MouseButton::Back:
    case MouseButton::Forward:
        break;
    }
    return MOUSEEVENTF_LEFTUP;
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

std::string refusedKeyMessage(DWORD error)
{
    std::string message = "Windows did not take a key (error " + std::to_string(error) + ")";
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

void WindowsInput::pressButton(MouseButton button)
{
    lookAtForeground();
    HeldInputGuard::noteButton(static_cast<std::uint32_t>(button), true);
    sendButton(downFlag(button));
}

void WindowsInput::releaseButton(MouseButton button)
{
    lookAtForeground();
    sendButton(upFlag(button));
    HeldInputGuard::noteButton(static_cast<std::uint32_t>(button), false);
}

void WindowsInput::sendWheel(int amount)
{
    lookAtForeground();
    // The delta travels as a DWORD and reaches programs as a signed 16-bit
    // number; bounded amounts fit in it.
    mouse_event(MOUSEEVENTF_WHEEL, 0, 0, static_cast<DWORD>(amount), 0);
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
    // SendInput says nothing when Windows drops input for a window with
    // higher rights; it fails when the input goes nowhere at all.
    if (send_input(1, &input, sizeof(INPUT)) != 1) {
        HeldInputGuard::noteKey(guarded, held_keys[key]);
        noteError(refusedKeyMessage(GetLastError()));
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

InputSetup createInputBackend(InputSystem, const std::optional<DesktopArea> &)
{
    return {std::make_unique<WindowsInput>(), {}};
}

void WindowsInput::typeCharacter(char32_t character)
{
    static_cast<void>(character);
}

void WindowsInput::sendHorizontalWheel(int amount)
{
    static_cast<void>(amount);
}
