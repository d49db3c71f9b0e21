// The guard on Linux, for XTest: the X server keeps what an XTest client
// pressed down after the client is gone, whether it closed its connection,
// crashed or was killed.
//
// The guard is a child forked first thing in main(), before the toolkit
// starts any thread, as only then is a fork sound for a child that does not
// exec. That is before anyone knows which way input will go, so it is forked
// every time and dismissed when the backend chosen is not XTest. The child
// uses no Qt at all: it reads the program's notes until their end, then
// releases what was held through its own X connection.
//
// The notes go through a socket pair of sequenced packets: each note arrives
// whole, a full socket refuses a note rather than blocking the GUI thread,
// and a send to a guard that died raises no SIGPIPE.

#include "heldinputguard.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

enum Note : unsigned char { KeyDown = 1, KeyUp, ButtonDown, ButtonUp, Target };

// A note is its kind and a 32-bit code, or its kind and the display's name.
constexpr std::size_t MaxNoteSize = 256;
// X keycodes and button numbers are single bytes.
using HeldCodes = std::bitset<256>;

// The program's end of the socket, -1 without a guard.
int guard_channel = -1;
pid_t guard_process = 0;
HeldCodes told_keys, told_buttons;
bool said_unreachable = false;

bool tell(Note kind, const void *data, std::size_t size)
{
    if (guard_channel < 0)
        return false;
    unsigned char note[MaxNoteSize];
    note[0] = kind;
    size = std::min(size, sizeof note - 1);
    std::memcpy(note + 1, data, size);
    if (::send(guard_channel, note, size + 1, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size + 1))
        return true;
    const int error = errno;
    if (!std::exchange(said_unreachable, true)) {
        std::fprintf(stderr, "Harnelo could not tell its guard what is held (%s): should Harnelo be killed now, "
                             "a key or button it holds may stay down.\n",
                     error == EAGAIN ? "the guard is not keeping up" : std::strerror(error));
    }
    return false;
}

// What the guard was not told stays as it was: a press it missed is not
// released, a release it missed is released again, which changes nothing.
void tellChange(HeldCodes &told, std::uint32_t code, bool down, Note kind)
{
    if (code < told.size() && told[code] != down && tell(kind, &code, sizeof code))
        told[code] = down;
}

// The guard's side.

struct Held
{
    std::string display;
    HeldCodes keys;
    HeldCodes buttons;
};

void apply(Held &held, const unsigned char *note, std::size_t size)
{
    if (size < 1)
        return;
    if (note[0] == Target) {
        held.display.assign(reinterpret_cast<const char *>(note + 1), size - 1);
        return;
    }
    std::uint32_t code = 0;
    if (size != 1 + sizeof code)
        return;
    std::memcpy(&code, note + 1, sizeof code);
    if (code >= held.keys.size())
        return;
    switch (note[0]) {
    case KeyDown:
    case KeyUp:
        held.keys[code] = note[0] == KeyDown;
        break;
    case ButtonDown:
    case ButtonUp:
        held.buttons[code] = note[0] == ButtonDown;
        break;
    }
}

void release(const Held &held)
{
    Display *display = XOpenDisplay(held.display.empty() ? nullptr : held.display.c_str());
    if (!display) {
        std::fprintf(stderr, "harnelo-guard: cannot reach the X server %s to release what Harnelo held\n",
                     held.display.c_str());
        return;
    }
    for (std::size_t keycode = 8; keycode < held.keys.size(); ++keycode) {
        if (held.keys[keycode])
            XTestFakeKeyEvent(display, static_cast<unsigned int>(keycode), False, CurrentTime);
    }
    for (std::size_t button = 1; button < held.buttons.size(); ++button) {
        if (held.buttons[button])
            XTestFakeButtonEvent(display, static_cast<unsigned int>(button), False, CurrentTime);
    }
    XSync(display, False);
    XCloseDisplay(display);
}

[[noreturn]] void guard(int channel)
{
    Held held;
    unsigned char note[MaxNoteSize];
    for (;;) {
        const ssize_t size = ::recv(channel, note, sizeof note, 0);
        if (size < 0 && errno == EINTR)
            continue;
        // The end: every copy of the program's end is closed.
        if (size <= 0)
            break;
        apply(held, note, static_cast<std::size_t>(size));
    }
    if (held.keys.any() || held.buttons.any())
        release(held);
    ::_exit(0);
}

void closeInheritedFiles(int keep)
{
    if (::close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) == 0)
        return;
    rlimit limit{};
    const long last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
        ? static_cast<long>(std::min<rlim_t>(limit.rlim_cur, 1 << 20))
        : 1024;
    for (long fd = keep + 1; fd < last; ++fd)
        ::close(static_cast<int>(fd));
}

// In the forked child: only the socket and standard error stay open, the
// latter to say when releasing fails. Its own session keeps the terminal's
// Ctrl+C and hang-up, and a kill of the program's process group, off it.
[[noreturn]] void becomeGuard(int channel)
{
    ::setsid();
    ::prctl(PR_SET_NAME, "harnelo-guard", 0, 0, 0);
    constexpr int GuardChannel = 3;
    if (channel != GuardChannel) {
        ::dup2(channel, GuardChannel);
        ::close(channel);
    }
    closeInheritedFiles(GuardChannel);
    const int nothing = ::open("/dev/null", O_RDWR);
    for (int standard : {STDIN_FILENO, STDOUT_FILENO}) {
        if (nothing >= 0 && nothing != standard)
            ::dup2(nothing, standard);
    }
    if (nothing > STDERR_FILENO && nothing != GuardChannel)
        ::close(nothing);
    guard(GuardChannel);
}

} // namespace

std::optional<int> HeldInputGuard::start(int, char **)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        std::perror("harnelo: no guard for held keys: socketpair");
        return std::nullopt;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        becomeGuard(ends[1]);
    }
    ::close(ends[1]);
    if (child < 0) {
        std::perror("harnelo: no guard for held keys: fork");
        ::close(ends[0]);
        return std::nullopt;
    }
    guard_channel = ends[0];
    guard_process = child;
    return std::nullopt;
}

void HeldInputGuard::dismiss()
{
    if (guard_channel < 0)
        return;
    ::close(guard_channel);
    guard_channel = -1;
    // It ends at once, holding nothing; waiting leaves no zombie behind.
    while (::waitpid(guard_process, nullptr, 0) < 0 && errno == EINTR) {
    }
    told_keys.reset();
    told_buttons.reset();
}

void HeldInputGuard::engage(const std::string &target)
{
    tell(Target, target.data(), target.size());
}

void HeldInputGuard::noteKey(std::uint32_t key, bool down)
{
    tellChange(told_keys, key, down, down ? KeyDown : KeyUp);
}

void HeldInputGuard::noteButton(std::uint32_t button, bool down)
{
    tellChange(told_buttons, button, down, down ? ButtonDown : ButtonUp);
}
