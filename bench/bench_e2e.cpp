// The program measured from outside, as a board and a user see it: lines go
// in through a pseudo-terminal, the X server shows what came out.
//
//   bench_e2e latency    LINKED RELAY SAMPLES [CPU]
//   bench_e2e throughput LINKED RELAY LINES
//   bench_e2e idle       PROGRAM LINKED SECONDS WINDOWS
//   bench_e2e startup    PROGRAM
//   bench_e2e typing     LINKED CHARACTERS
//
// LINKED is harnelo_linked (the window with the link open on a given
// device), RELAY is bench_relay, PROGRAM is harnelo itself. Each run prints
// result rows ("key<TAB>unit<TAB>value") for scripts/bench. Needs DISPLAY.
// CPU puts the program and the relay on that processor, so that both take
// the same path through the scheduler.

#include "e2e_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

const std::string WindowTitle = "Harnelo     V1.0";
// The splash's background, rgb(60, 60, 60): the window has drawn itself.
constexpr unsigned long SplashColour = 0x3c3c3c;

struct Target
{
    std::string name;
    Terminal port;
    Child process;

    Target(std::string name, const std::vector<std::string> &command, const std::string &readyLine,
           int cpu = -1)
        : name(std::move(name)), process(withDevice(command, port.device()), cpu)
    {
        if (!process.waitForLine(readyLine, 30))
            std::fprintf(stderr, "bench_e2e: %s did not get ready\n", this->name.c_str());
    }

    static std::vector<std::string> withDevice(std::vector<std::string> command, const std::string &device)
    {
        command.push_back(device);
        return command;
    }
};

// Writes the line and polls the pointer until it is at the target: the time
// from the write to the pointer being there, or nothing after a second.
std::optional<double> timeToPointer(XServerView &screen, Target &target, Point at)
{
    const std::string line = "0 7 " + std::to_string(at.x) + " " + std::to_string(at.y) + "\n";
    const double start = secondsNow();
    target.port.write(line);
    for (;;) {
        const double elapsed = secondsNow() - start;
        if (screen.pointer() == at)
            return elapsed;
        if (elapsed > 1.0)
            return std::nullopt;
    }
}

// Clear of the program's window in the top left corner, and never where the
// previous line left the pointer.
Point latencyTarget(int sample)
{
    return {500 + (sample * 37) % 700, sample % 2 ? 300 : 800};
}

void reportLatency(const std::string &name, const std::vector<double> &microseconds)
{
    const Spread spread = percentiles(microseconds);
    printRow("latency." + name + ".p50", "us", spread.p50);
    printRow("latency." + name + ".p90", "us", spread.p90);
    printRow("latency." + name + ".p99", "us", spread.p99);
    printRow("latency." + name + ".max", "us", spread.max);
}

int measureLatency(const std::string &linked, const std::string &relay, int samples, int cpu)
{
    XServerView screen;
    Target program("program", {linked}, "open", cpu);
    Target floor("relay", {relay}, "ready", cpu);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> pause(0.0005, 0.0015);
    std::vector<double> programTimes, relayTimes;
    constexpr int Warmup = 100;
    int timeouts = 0;
    // Alternate, so the program and the relay meet the same machine noise.
    for (int sample = 0; sample < Warmup + 2 * samples; ++sample) {
        const bool toProgram = sample % 2 == 0;
        const auto seconds = timeToPointer(screen, toProgram ? program : floor, latencyTarget(sample));
        if (!seconds)
            ++timeouts;
        else if (sample >= Warmup)
            (toProgram ? programTimes : relayTimes).push_back(*seconds * 1e6);
        sleepSeconds(pause(random));
    }
    reportLatency("program", programTimes);
    reportLatency("relay", relayTimes);
    const Spread a = percentiles(programTimes), b = percentiles(relayTimes);
    printRow("latency.added.p50", "us", a.p50 - b.p50);
    printRow("latency.added.p90", "us", a.p90 - b.p90);
    printRow("latency.added.p99", "us", a.p99 - b.p99);
    printRow("latency.added.max", "us", a.max - b.max);
    printRow("latency.ratio.p50", "x", a.p50 / b.p50);
    printRow("latency.ratio.p99", "x", a.p99 / b.p99);
    printRow("latency.timeouts", "lines", timeouts);
    return timeouts == 0 ? 0 : 1;
}

// Moves of +-1 and +-2 in blocks of 100 lines that each end one pixel to the
// right of where they began: the pointer stays in a small box, never meets
// an edge, and reaches the final position only with the last line.
struct Burst
{
    std::string lines;
    int count = 0;
    Point offset;
};

Burst relativeBurst(int lines)
{
    Burst burst;
    const int blocks = (lines + 99) / 100;
    for (int block = 0; block < blocks; ++block) {
        for (int pair = 0; pair < 50; ++pair)
            burst.lines += pair == 49 ? "0 8 2 1\n0 8 -1 -1\n" : "0 8 1 1\n0 8 -1 -1\n";
    }
    burst.count = blocks * 100;
    burst.offset = {blocks, 0};
    return burst;
}

// Waits for the pointer to reach the end, or to stop moving for a second.
double waitForRest(XServerView &screen, Point end)
{
    Point last = screen.pointer();
    double lastChange = secondsNow();
    for (;;) {
        const Point now = screen.pointer();
        if (now == end)
            return secondsNow();
        if (!(now == last)) {
            last = now;
            lastChange = secondsNow();
        } else if (secondsNow() - lastChange > 1.0) {
            return lastChange;
        }
        sleepSeconds(0.00005);
    }
}

struct BurstResult
{
    double linesPerSecond;
    bool exact;
};

BurstResult measureBurst(XServerView &screen, Target &target, int lines)
{
    const Point start{800, 600};
    const Burst burst = relativeBurst(lines);
    const Point end{start.x + burst.offset.x, start.y + burst.offset.y};
    MotionCounter motions(screen, {700, 500}, 400, 200);
    screen.placePointer(start);
    motions.take();

    const double ranBefore = runSeconds(target.process.pid());
    const double serverRanBefore = runSeconds(screen.serverPid());
    const double began = secondsNow();
    target.port.write(burst.lines);
    const double ended = waitForRest(screen, end);
    const double ran = runSeconds(target.process.pid()) - ranBefore;
    const double serverRan = runSeconds(screen.serverPid()) - serverRanBefore;
    const Point final = screen.pointer();
    const long lost = burst.count - motions.take();
    const double linesPerSecond = burst.count / (ended - began);
    const std::string key = "throughput." + target.name;
    printRow(key + ".lines_per_s", "lines/s", linesPerSecond);
    printRow(key + ".cpu_per_line", "us", ran / burst.count * 1e6);
    printRow(key + ".xserver_cpu_per_line", "us", serverRan / burst.count * 1e6);
    printRow(key + ".lost_lines", "lines", static_cast<double>(lost));
    printRow(key + ".final_error_px", "px", std::abs(final.x - end.x) + std::abs(final.y - end.y));
    return {linesPerSecond, lost == 0 && final == end};
}

int measureThroughput(const std::string &linked, const std::string &relay, int lines)
{
    XServerView screen;
    BurstResult program{}, floor{};
    {
        Target target("program", {linked}, "open");
        program = measureBurst(screen, target, lines);
    }
    Target target("relay", {relay}, "ready");
    floor = measureBurst(screen, target, lines);
    printRow("throughput.ratio", "x", program.linesPerSecond / floor.linesPerSecond);
    return program.exact && floor.exact ? 0 : 1;
}

// Printable ASCII, a quarter of it shifted, as prose and code mix it.
std::string sampleText(std::size_t characters)
{
    const std::string pattern = "The quick brown fox jumps over the lazy dog: 1234567890 (x + y) * 3 = {ok}; ";
    std::string text;
    while (text.size() < characters)
        text += pattern;
    text.resize(characters);
    return text;
}

// Text lines ("2 84 104 101 ...") of at most 40 characters each.
std::string textLines(const std::string &text)
{
    constexpr std::size_t PerLine = 40;
    std::string lines;
    for (std::size_t at = 0; at < text.size(); at += PerLine) {
        lines += "2";
        for (const char character : text.substr(at, PerLine))
            lines += " " + std::to_string(static_cast<unsigned char>(character));
        lines += "\n";
    }
    return lines;
}

struct Typed
{
    std::string text;
    double seconds = 0;
    double programSeconds = 0; // the program's run time meanwhile
};

// Writes the lines and reads back what they type, until expected characters
// came or nothing more does for a second.
Typed typeThrough(XServerView &screen, Target &target, const std::string &lines, std::size_t expected)
{
    KeyReader reader(screen, {700, 500}, 200, 100);
    Typed typed;
    const double ranBefore = runSeconds(target.process.pid());
    const double began = secondsNow();
    double last = began;
    target.port.write(lines);
    while (typed.text.size() < expected && reader.read(typed.text, 1.0))
        last = secondsNow();
    typed.seconds = last - began;
    typed.programSeconds = runSeconds(target.process.pid()) - ranBefore;
    return typed;
}

std::size_t lostCharacters(const std::string &sent, const std::string &typed)
{
    const auto firstWrong = std::mismatch(sent.begin(), sent.end(), typed.begin(), typed.end()).first;
    return static_cast<std::size_t>(sent.end() - firstWrong);
}

// Text lines into the X server and back: characters per second, and what one
// line "2 97" (a) costs the program beside one key line ("1 0 65", "1 1 65").
int measureTyping(const std::string &linked, int characters)
{
    XServerView screen;
    Target target("program", {linked}, "open");
    const std::string text = sampleText(static_cast<std::size_t>(characters));
    const Typed burst = typeThrough(screen, target, textLines(text), text.size());
    const std::size_t lost = lostCharacters(text, burst.text);
    printRow("typing.text.chars_per_s", "chars/s", static_cast<double>(text.size()) / burst.seconds);
    printRow("typing.text.cpu_per_char", "us", burst.programSeconds / static_cast<double>(text.size()) * 1e6);
    printRow("typing.text.lost_chars", "chars", static_cast<double>(lost));

    constexpr int Lines = 4000;
    std::string textOnes, keyTaps;
    for (int line = 0; line < Lines; ++line) {
        textOnes += "2 97\n";
        keyTaps += line % 2 ? "1 1 65\n" : "1 0 65\n";
    }
    const Typed byText = typeThrough(screen, target, textOnes, Lines);
    const Typed byKeys = typeThrough(screen, target, keyTaps, Lines / 2);
    const double textLine = byText.programSeconds / Lines * 1e6;
    const double keyLine = byKeys.programSeconds / Lines * 1e6;
    printRow("typing.text_line.cpu_us", "us", textLine);
    printRow("typing.key_line.cpu_us", "us", keyLine);
    printRow("typing.text_line.vs_key_line", "x", textLine / keyLine);
    const bool exact = lost == 0 && byText.text == std::string(Lines, 'a') && byKeys.text == std::string(Lines / 2, 'a');
    return exact ? 0 : 1;
}

struct Watched
{
    std::string name;
    pid_t pid;
};

// The share of a core each process ran for over the next few seconds, from
// its threads' run time.
void reportRunShare(const std::vector<Watched> &watched, double seconds)
{
    std::vector<double> before;
    for (const Watched &process : watched)
        before.push_back(runSeconds(process.pid));
    const double began = secondsNow();
    sleepSeconds(seconds);
    const double elapsed = secondsNow() - began;
    for (std::size_t i = 0; i < watched.size(); ++i) {
        const double share = (runSeconds(watched[i].pid) - before[i]) / elapsed;
        printRow("idle." + watched[i].name + ".cpu_pct_of_core", "%", share * 100);
    }
}

// Both at once: the program as started by a user (splash over, window open,
// port list polled every second) and the linked program (link open too).
// Each window gives a share of a core; the whole interval gives CPU time per
// minute from utime + stime, and the memory resident at its end.
int measureIdle(const std::string &harnelo, const std::string &linked, double seconds, int windows)
{
    Child program({harnelo});
    Target linkedProgram("linked", {linked}, "open");
    const std::vector<Watched> watched = {{"program", program.pid()},
                                          {"linked", linkedProgram.process.pid()}};
    // The splash shows for three seconds; the port list is read in full for
    // the first six.
    sleepSeconds(10);
    std::vector<double> cpuBefore;
    for (const Watched &process : watched)
        cpuBefore.push_back(cpuSeconds(process.pid));
    const double began = secondsNow();
    for (int window = 0; window < windows; ++window)
        reportRunShare(watched, seconds / windows);
    const double elapsed = secondsNow() - began;
    for (std::size_t i = 0; i < watched.size(); ++i) {
        const double share = (cpuSeconds(watched[i].pid) - cpuBefore[i]) / elapsed;
        printRow("idle." + watched[i].name + ".cpu_ms_per_min", "ms/min", share * 60'000);
        printRow("idle." + watched[i].name + ".rss", "MiB", residentMiB(watched[i].pid));
    }
    return 0;
}

// From starting the program to its window being on screen, and to the
// window's first pixels being painted.
int measureStartup(const std::string &harnelo)
{
    XServerView screen;
    const double began = secondsNow();
    Child program({harnelo});
    std::optional<Point> corner;
    while (!(corner = screen.viewableWindowAt(WindowTitle))) {
        if (secondsNow() - began > 30)
            return 1;
        sleepSeconds(0.0002);
    }
    const double mapped = secondsNow();
    const Point inside{corner->x + 4, corner->y + 4};
    while (screen.pixel(inside) != SplashColour) {
        if (secondsNow() - began > 30)
            return 1;
        sleepSeconds(0.0002);
    }
    const double painted = secondsNow();
    printRow("startup.window_mapped", "ms", (mapped - began) * 1e3);
    printRow("startup.first_paint", "ms", (painted - began) * 1e3);
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: bench_e2e latency LINKED RELAY SAMPLES [CPU]\n"
                         "       bench_e2e throughput LINKED RELAY LINES\n"
                         "       bench_e2e idle PROGRAM LINKED SECONDS WINDOWS\n"
                         "       bench_e2e startup PROGRAM\n"
                         "       bench_e2e typing LINKED CHARACTERS\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usage();
    if (!XServerView().isOpen()) {
        std::fprintf(stderr, "bench_e2e: no X server (DISPLAY)\n");
        return 1;
    }
    const std::string &mode = args[0];
    if (mode == "latency" && (args.size() == 4 || args.size() == 5))
        return measureLatency(args[1], args[2], std::atoi(args[3].c_str()),
                              args.size() == 5 ? std::atoi(args[4].c_str()) : -1);
    if (mode == "throughput" && args.size() == 4)
        return measureThroughput(args[1], args[2], std::atoi(args[3].c_str()));
    if (mode == "idle" && args.size() == 5)
        return measureIdle(args[1], args[2], std::atof(args[3].c_str()), std::atoi(args[4].c_str()));
    if (mode == "startup" && args.size() == 2)
        return measureStartup(args[1]);
    if (mode == "typing" && args.size() == 3)
        return measureTyping(args[1], std::atoi(args[2].c_str()));
    return usage();
}
