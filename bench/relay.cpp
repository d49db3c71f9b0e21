// The least a process can do to turn a pointer line from a terminal into a
// pointer move: blocking reads, one XTest request and one flush per line, no
// toolkit, no event loop, no checks beyond what it needs to run. Handles
// "0 7 x y" (place) and "0 8 dx dy" (move by).
//
// Usage: bench_relay DEVICE. Prints "ready" once it reads the device.

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

void apply(Display *display, const char *line)
{
    char *end = nullptr;
    const long device = std::strtol(line, &end, 10);
    const long event = std::strtol(end, &end, 10);
    const long a = std::strtol(end, &end, 10);
    const long b = std::strtol(end, &end, 10);
    if (device != 0)
        return;
    if (event == 7)
        XTestFakeMotionEvent(display, -1, static_cast<int>(a), static_cast<int>(b), CurrentTime);
    else if (event == 8)
        XTestFakeRelativeMotionEvent(display, static_cast<int>(a), static_cast<int>(b), CurrentTime);
    XFlush(display);
}

int openRaw(const char *device)
{
    const int fd = open(device, O_RDONLY | O_NOCTTY);
    termios settings{};
    if (fd >= 0 && tcgetattr(fd, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(fd, TCSANOW, &settings);
    }
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    Display *display = XOpenDisplay(nullptr);
    const int fd = openRaw(argv[1]);
    if (!display || fd < 0) {
        std::fprintf(stderr, "bench_relay: cannot open the display or %s\n", argv[1]);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    char buffer[4096];
    std::size_t held = 0;
    for (;;) {
        const ssize_t got = read(fd, buffer + held, sizeof buffer - 1 - held);
        if (got <= 0)
            break;
        held += static_cast<std::size_t>(got);
        buffer[held] = '\0';
        char *line = buffer;
        while (char *newline = std::strchr(line, '\n')) {
            *newline = '\0';
            apply(display, line);
            line = newline + 1;
        }
        held = static_cast<std::size_t>(buffer + held - line);
        std::memmove(buffer, line, held);
        if (held == sizeof buffer - 1)
            held = 0;
    }
    XCloseDisplay(display);
    return 0;
}
