#include "e2e_support.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

double secondsNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void sleepSeconds(double seconds)
{
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(seconds);
    wait.tv_nsec = static_cast<long>((seconds - static_cast<double>(wait.tv_sec)) * 1e9);
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

void printRow(const std::string &key, const char *unit, double value)
{
    std::printf("%s\t%s\t%.6g\n", key.c_str(), unit, value);
    std::fflush(stdout);
}

Terminal::Terminal()
{
    controller = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controller < 0 || grantpt(controller) != 0 || unlockpt(controller) != 0)
        return;
    path = ptsname(controller);
    keeper = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (keeper >= 0 && tcgetattr(keeper, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(keeper, TCSANOW, &settings);
    }
}

Terminal::~Terminal()
{
    if (keeper >= 0)
        close(keeper);
    if (controller >= 0)
        close(controller);
}

bool Terminal::write(std::string_view data)
{
    while (!data.empty()) {
        const ssize_t written = ::write(controller, data.data(), data.size());
        if (written < 0 && errno != EINTR)
            return false;
        if (written > 0)
            data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

namespace {

void keepOnCpu(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

} // namespace

Child::Child(const std::vector<std::string> &command, int cpu)
{
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return;
    id = fork();
    if (id == 0) {
        if (cpu >= 0)
            keepOnCpu(cpu);
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::vector<char *> arguments;
        for (const std::string &part : command)
            arguments.push_back(const_cast<char *>(part.c_str()));
        arguments.push_back(nullptr);
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    output = pipeEnds[0];
}

Child::~Child()
{
    stop();
    if (output >= 0)
        close(output);
}

bool Child::waitForLine(const std::string &expected, double timeoutSeconds)
{
    const double deadline = secondsNow() + timeoutSeconds;
    std::string seen;
    char c;
    while (secondsNow() < deadline) {
        pollfd ready{output, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        if (read(output, &c, 1) != 1)
            return false;
        if (c != '\n') {
            seen += c;
            continue;
        }
        if (seen == expected)
            return true;
        seen.clear();
    }
    return false;
}

void Child::stop()
{
    if (id <= 0)
        return;
    kill(id, SIGTERM);
    for (int waited = 0; waited < 500; ++waited) {
        if (waitpid(id, nullptr, WNOHANG) == id) {
            id = -1;
            return;
        }
        sleepSeconds(0.01);
    }
    kill(id, SIGKILL);
    waitpid(id, nullptr, 0);
    id = -1;
}

XServerView::XServerView() : display(XOpenDisplay(nullptr)) {}

XServerView::~XServerView()
{
    if (display)
        XCloseDisplay(display);
}

pid_t XServerView::serverPid() const
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(ConnectionNumber(display), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return -1;
    return peer.pid;
}

Point XServerView::pointer()
{
    Window root, child;
    int rootX = 0, rootY = 0, windowX, windowY;
    unsigned int mask;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &windowX,
                  &windowY, &mask);
    return {rootX, rootY};
}

void XServerView::placePointer(Point at)
{
    XTestFakeMotionEvent(display, -1, at.x, at.y, CurrentTime);
    XSync(display, False);
}

std::optional<Point> XServerView::viewableWindowAt(const std::string &title)
{
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    std::optional<Point> found;
    for (unsigned int i = 0; i < count && !found; ++i) {
        char *name = nullptr;
        if (!XFetchName(display, children[i], &name) || !name)
            continue;
        XWindowAttributes attributes{};
        if (title == name && XGetWindowAttributes(display, children[i], &attributes)
            && attributes.map_state == IsViewable)
            found = Point{attributes.x, attributes.y};
        XFree(name);
    }
    if (children)
        XFree(children);
    return found;
}

unsigned long XServerView::pixel(Point at)
{
    XImage *image = XGetImage(display, DefaultRootWindow(display), at.x, at.y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        return 0;
    const unsigned long value = XGetPixel(image, 0, 0) & 0xffffff;
    XDestroyImage(image);
    return value;
}

MotionCounter::MotionCounter(XServerView &screen, Point corner, int width, int height)
    : display(screen.handle())
{
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = PointerMotionMask;
    window = XCreateWindow(display, DefaultRootWindow(display), corner.x, corner.y,
                           static_cast<unsigned>(width), static_cast<unsigned>(height), 0, 0,
                           InputOnly, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display, window);
    XSync(display, False);
}

MotionCounter::~MotionCounter()
{
    XDestroyWindow(display, window);
    XSync(display, False);
}

long MotionCounter::take()
{
    XSync(display, False);
    long motions = 0;
    XEvent event;
    while (XCheckWindowEvent(display, window, PointerMotionMask, &event))
        ++motions;
    return motions;
}

KeyReader::KeyReader(XServerView &screen, Point corner, int width, int height)
    : display(screen.handle())
{
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask;
    window = XCreateWindow(display, DefaultRootWindow(display), corner.x, corner.y,
                           static_cast<unsigned>(width), static_cast<unsigned>(height), 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display, window);
    XSync(display, False);
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
}

KeyReader::~KeyReader()
{
    XDestroyWindow(display, window);
    XSetInputFocus(display, PointerRoot, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
}

bool KeyReader::read(std::string &text, double timeoutSeconds)
{
    const double began = secondsNow();
    bool got = false;
    while (!got && secondsNow() - began < timeoutSeconds) {
        XSync(display, False);
        XEvent event;
        while (XCheckWindowEvent(display, window, KeyPressMask, &event)) {
            char typed[8];
            const int length = XLookupString(&event.xkey, typed, sizeof typed, nullptr, nullptr);
            text.append(typed, static_cast<std::size_t>(std::max(length, 0)));
            got = got || length > 0;
        }
        if (!got)
            sleepSeconds(0.0002);
    }
    return got;
}

Spread percentiles(std::vector<double> samples)
{
    if (samples.empty())
        return {0, 0, 0, 0};
    std::sort(samples.begin(), samples.end());
    const auto rank = [&](double fraction) {
        const auto index = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
        return samples[std::clamp<std::size_t>(index, 1, samples.size()) - 1];
    };
    return {rank(0.50), rank(0.90), rank(0.99), samples.back()};
}

double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it may not.
    const std::size_t afterName = text.rfind(')');
    if (afterName == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(afterName + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int number = 3; fields >> field; ++number) {
        if (number == 14)
            utime = std::stoull(field);
        if (number == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double runSeconds(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *directory = opendir(tasks.c_str());
    if (!directory)
        return 0;
    double total = 0;
    while (const dirent *entry = readdir(directory)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
        unsigned long long nanoseconds = 0;
        if (schedstat >> nanoseconds)
            total += static_cast<double>(nanoseconds) * 1e-9;
    }
    closedir(directory);
    return total;
}

double residentMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;  // the kernel counts in kB
    }
    return 0;
}
