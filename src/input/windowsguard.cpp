// The guard on Windows: Windows keeps the keys and buttons SendInput pressed
// down after the process that pressed them is gone.
//
// The guard is the program itself, started again with --guard when the
// backend starts (CreateProcess is sound at any time). Unlike on Linux it
// needs no pipe: it can wait on the program's process handle, which is
// signalled however the program ended, so what is held lies in memory the
// two share. A note is then a store into that memory: nothing to send,
// nothing that could block or fall behind. Once the program is gone, the
// guard releases what the memory says was held and exits. The guard inherits
// those two handles and nothing else.

#include "heldinputguard.h"
#include "inputbackend.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr LONG Held = 1L << 30;

// What the program holds, as the guard releases it.
struct HeldState
{
    // Per virtual key: 0 when up, else Held with the key as windowsKey() packs it.
    volatile LONG keys[256];
    // Per MouseButton: whether it is down.
    volatile LONG buttons[8];
};

// main() called start(): this program can act as its own guard.
bool can_start_guard = false;
HeldState *held = nullptr;

void store(volatile LONG &slot, LONG value)
{
    InterlockedExchange(&slot, value);
}

void say(const char *what)
{
    std::fprintf(stderr, "harnelo: no guard for held keys (%s, error %lu): should Harnelo be killed, "
                         "a key or button it holds may stay down.\n",
                 what, GetLastError());
}

// Starts this program again as the guard, inheriting exactly these handles.
bool startGuardProcess(HANDLE section, HANDLE program)
{
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        return false;
    const std::wstring executable(path.data(), length);
    std::wstring command = L"\"" + executable + L"\" --guard "
        + std::to_wstring(reinterpret_cast<std::uintptr_t>(section)) + L" "
        + std::to_wstring(reinterpret_cast<std::uintptr_t>(program));

    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<unsigned char> listSpace(listSize);
    auto *list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listSpace.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &listSize))
        return false;
    HANDLE inherited[] = {section, program};
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = list;
    PROCESS_INFORMATION process{};
    const bool started =
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited, nullptr,
                                  nullptr)
        && CreateProcessW(executable.c_str(), command.data(), nullptr, nullptr, TRUE,
                          EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr, nullptr, &startup.StartupInfo,
                          &process);
    DeleteProcThreadAttributeList(list);
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return started;
}

void startGuard()
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE section =
        CreateFileMappingW(INVALID_HANDLE_VALUE, &inheritable, PAGE_READWRITE, 0, sizeof(HeldState), nullptr);
    if (!section) {
        say("no shared memory");
        return;
    }
    HANDLE program = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &program, SYNCHRONIZE,
                         TRUE, 0)) {
        say("no handle of its own");
        CloseHandle(section);
        return;
    }
    held = static_cast<HeldState *>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(HeldState)));
    if (!held)
        say("shared memory not mapped");
    else if (!startGuardProcess(section, program)) {
        say("not started");
        UnmapViewOfFile(held);
        held = nullptr;
    }
    // The view keeps the memory; later children must not inherit the handles.
    CloseHandle(program);
    CloseHandle(section);
}

void sendKeyUp(LONG key)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = static_cast<WORD>(key & 0xFF);
    input.ki.wScan = static_cast<WORD>((key >> 8) & 0xFF);
    input.ki.dwFlags = KEYEVENTF_KEYUP | ((key >> 16) & 1 ? KEYEVENTF_EXTENDEDKEY : 0);
    SendInput(1, &input, sizeof input);
}

void sendButtonUp(MouseButton button)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    switch (button) {
    case MouseButton::Left:
        input.mi.dwFlags = MOUSEEVENTF_LEFTUP;
        break;
    case MouseButton::Right:
        input.mi.dwFlags = MOUSEEVENTF_RIGHTUP;
        break;
    case MouseButton::Middle:
        input.mi.dwFlags = MOUSEEVENTF_MIDDLEUP;
        break;
    case MouseButton::Back:
        input.mi.dwFlags = MOUSEEVENTF_XUP;
        input.mi.mouseData = XBUTTON1;
        break;
    case MouseButton::Forward:
        input.mi.dwFlags = MOUSEEVENTF_XUP;
        input.mi.mouseData = XBUTTON2;
        break;
    }
    SendInput(1, &input, sizeof input);
}

HANDLE handleFrom(const char *text)
{
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return end != text && *end == '\0' ? reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)) : nullptr;
}

int guard(const char *sectionHandle, const char *programHandle)
{
    const HANDLE section = handleFrom(sectionHandle);
    const HANDLE program = handleFrom(programHandle);
    const auto *state = section
        ? static_cast<const HeldState *>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, sizeof(HeldState)))
        : nullptr;
    if (!state || !program || WaitForSingleObject(program, INFINITE) != WAIT_OBJECT_0)
        return 1;
    for (const LONG key : state->keys) {
        if (key & Held)
            sendKeyUp(key);
    }
    for (const MouseButton button :
         {MouseButton::Left, MouseButton::Right, MouseButton::Middle, MouseButton::Back, MouseButton::Forward}) {
        if (state->buttons[static_cast<int>(button)])
            sendButtonUp(button);
    }
    return 0;
}

} // namespace

std::optional<int> HeldInputGuard::start(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--guard") == 0)
        return guard(argv[2], argv[3]);
    can_start_guard = true;
    return std::nullopt;
}

void HeldInputGuard::dismiss() {}

void HeldInputGuard::engage(const std::string &)
{
    if (can_start_guard && !held)
        startGuard();
    can_start_guard = false;
}

void HeldInputGuard::noteKey(std::uint32_t key, bool down)
{
    if (held)
        store(held->keys[key & 0xFF], down ? Held | static_cast<LONG>(key & 0x1FFFF) : 0);
}

void HeldInputGuard::noteButton(std::uint32_t button, bool down)
{
    if (held && button < 8)
        store(held->buttons[button], down ? 1 : 0);
}
