#pragma once

// What the end-to-end benchmarks need to drive a program from outside: a
// pseudo-terminal to play the board, child processes, the X server's view of
// the pointer and the screen, and the kernel's view of a process.

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

typedef struct _XDisplay Display;

double secondsNow();  // monotonic
void sleepSeconds(double seconds);

// Prints one result row for scripts/bench: "key<TAB>unit<TAB>value".
void printRow(const std::string &key, const char *unit, double value);

// The board's end of a pseudo-terminal; the program opens device().
class Terminal
{
public:
    Terminal();
    ~Terminal();
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    const std::string &device() const { return path; }
    // Writes all of data, blocking while the terminal's buffer is full.
    bool write(std::string_view data);

private:
    int controller = -1;
    int keeper = -1;  // keeps the device side open and raw
    std::string path;
};

// A program started for the benchmark, stopped with SIGTERM when done.
class Child
{
public:
    // cpu >= 0 keeps the program on that processor.
    explicit Child(const std::vector<std::string> &command, int cpu = -1);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return id; }
    // Waits for the program to print this line on its standard output.
    bool waitForLine(const std::string &expected, double timeoutSeconds);
    void stop();

private:
    pid_t id = -1;
    int output = -1;
};

struct Point
{
    int x = 0, y = 0;
    bool operator==(const Point &other) const { return x == other.x && y == other.y; }
};

// The benchmark's own connection to the X server the programs inject into.
class XServerView
{
public:
    XServerView();
    ~XServerView();
    XServerView(const XServerView &) = delete;
    XServerView &operator=(const XServerView &) = delete;

    bool isOpen() const { return display != nullptr; }
    Display *handle() const { return display; }

    // The X server's process, from the connection's peer; -1 when unknown.
    pid_t serverPid() const;
    // One round trip to the server.
    Point pointer();
    void placePointer(Point at);
    // A top-level window with this title that is on screen, or nothing.
    std::optional<Point> viewableWindowAt(const std::string &title);
    // The pixel's colour as 0xRRGGBB.
    unsigned long pixel(Point at);

private:
    Display *display = nullptr;
};

// An invisible window over part of the screen that counts the pointer
// motions the server reports inside it.
class MotionCounter
{
public:
    MotionCounter(XServerView &screen, Point corner, int width, int height);
    ~MotionCounter();
    MotionCounter(const MotionCounter &) = delete;
    MotionCounter &operator=(const MotionCounter &) = delete;

    // Motions since the last call.
    long take();

private:
    Display *display;
    unsigned long window;
};

// A window with the keyboard focus that collects the characters typed
// into it, as a program reading key presses would see them.
class KeyReader
{
public:
    KeyReader(XServerView &screen, Point corner, int width, int height);
    ~KeyReader();
    KeyReader(const KeyReader &) = delete;
    KeyReader &operator=(const KeyReader &) = delete;

    // Appends to text what has been typed since the last call; false when
    // nothing came for timeoutSeconds.
    bool read(std::string &text, double timeoutSeconds);

private:
    Display *display;
    unsigned long window;
};

struct Spread
{
    double p50, p90, p99, max;
};
Spread percentiles(std::vector<double> samples);

// The process's user + system time so far, threads included, in clock
// ticks of 10 ms.
double cpuSeconds(pid_t pid);
// The time the process's live threads have run so far, to the nanosecond.
double runSeconds(pid_t pid);
double residentMiB(pid_t pid);
