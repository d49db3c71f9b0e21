#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The guard: a small process of its own, started with the program, that
// releases what the program holds down once the program is gone however it
// ended (killed, crashed), where the program itself can release nothing.
// XTest and Windows' SendInput leave keys and buttons down after the process
// that pressed them is gone; uinput needs no guard, as the kernel releases
// what a closed device held.
//
// The program tells the guard every change of what it holds, through a pipe.
// When the pipe reaches its end, the guard releases exactly what was still
// held, through its own connection, and exits. A clean exit releases
// everything itself first, so the guard then has nothing left to do.
//
// Without a guard (one not started, or dismissed) every note does nothing:
// tests that drive a backend in their own process have none.
namespace HeldInputGuard {

// First thing in main(), before the toolkit starts any thread: readies the
// guard. When the command line asks this process to be the guard (an option
// only the program itself passes), runs it and returns its exit status.
std::optional<int> start(int argc, char **argv);

// For when the program injects through a way that needs no guard.
void dismiss();

// Called by a backend that needs the guard as it starts, before its first
// note. target is what the guard releases through: the X display's name on
// X11; nothing on Windows, where this starts the guard process.
void engage(const std::string &target = {});

// key: the platform's own identity of a key, as its guard releases it: the
// X keycode on X11; on Windows what windowsKey() packs. button: the X button
// number on X11, a MouseButton on Windows.
// A note that cannot reach the guard is said on standard error, once.
void noteKey(std::uint32_t key, bool down);
void noteButton(std::uint32_t button, bool down);

// A Windows key with the scan code and extended-key flag it went down with.
constexpr std::uint32_t windowsKey(unsigned virtualKey, unsigned scanCode, bool extended)
{
    return (virtualKey & 0xFFu) | (scanCode & 0xFFu) << 8 | (extended ? 1u : 0u) << 16;
}

} // namespace HeldInputGuard
