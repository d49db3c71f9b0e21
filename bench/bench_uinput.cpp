// The uinput backend as the program sets it up, its paced writes going on
// from the event loop, into a fake /dev/uinput (umockdev). Run it under
// umockdev-wrapper. Measures how long bursts take to go out, how many lines
// a second get through when they come faster than the pace, and how long a
// single line takes when lines come one by one, how many characters a
// second text lines type, and what one text line costs beside one key
// line. Each write crosses
// umockdev's socket, so times are upper bounds: the kernel takes a write far
// faster.
//
// Prints rows for scripts/bench: "key<TAB>unit<TAB>value".

#include "fakeuinput.h"
#include "input/uinputinput.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Line = std::function<void(int)>;

constexpr int Bursts = 10;
constexpr int LinesPerRead = 64;
constexpr int SustainedLines = 2048;
constexpr int SingleLines = 500;
// Eight text lines as long as a board may send, in one read: as much as
// the queue holds paced (about 5 events a character).
constexpr int TextCharacters = 1024;
constexpr int CharactersPerTextLine = 128;

void printRow(const std::string &key, const char *unit, double value)
{
    std::printf("%s\t%s\t%.6g\n", key.c_str(), unit, value);
    std::fflush(stdout);
}

double milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

// Every write so far, in the order it was done.
std::vector<Clock::time_point> writeTimes(const FakeUinput &kernel)
{
    std::vector<Clock::time_point> times;
    for (const FakeUinput::Device &device : kernel.devices())
        times.insert(times.end(), device.write_times.begin(), device.write_times.end());
    std::sort(times.begin(), times.end());
    return times;
}

// Runs the event loop until the backend has written all it holds; returns
// when its last write was done.
Clock::time_point finish(UinputInput &input, const FakeUinput &kernel)
{
    while (input.hasWaitingEvents())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return writeTimes(kernel).back();
}

// Lines fed in reads of LinesPerRead, each read one batch as the window
// makes it; returns when the last line was written, from the first read.
Clock::duration feed(UinputInput &input, const FakeUinput &kernel, int lines, const Line &line)
{
    // Every slice has closed: the lines meet a quiet backend.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const Clock::time_point start = Clock::now();
    for (int first = 0; first < lines; first += LinesPerRead) {
        InputBatch batch(input);
        for (int i = first; i < std::min(lines, first + LinesPerRead); ++i)
            line(i);
    }
    return finish(input, kernel) - start;
}

void measureBurst(const std::string &name, UinputInput &input, const FakeUinput &kernel, int lines, const Line &line)
{
    double total = 0;
    for (int burst = 0; burst < Bursts; ++burst)
        total += milliseconds(feed(input, kernel, lines, line));
    printRow("uinput." + name + ".burst_ms", "ms", total / Bursts);
}

void measureSustained(const std::string &name, UinputInput &input, const FakeUinput &kernel, const Line &line)
{
    const double seconds = milliseconds(feed(input, kernel, SustainedLines, line)) / 1000;
    printRow("uinput." + name + ".lines_per_s", "lines/s", SustainedLines / seconds);
}

// Lines a millisecond apart, as a board sending at 1 kHz: from each line's
// call to its write done, and how many lines waited for the event loop.
void measureSingleLines(UinputInput &input, const FakeUinput &kernel, const Line &line)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::size_t writtenBefore = writeTimes(kernel).size();
    std::vector<Clock::time_point> called;
    int heldBack = 0;
    Clock::time_point next = Clock::now();
    for (int i = 0; i < SingleLines; ++i) {
        std::this_thread::sleep_until(next += std::chrono::milliseconds(1));
        called.push_back(Clock::now());
        {
            InputBatch batch(input);
            line(i);
        }
        heldBack += input.hasWaitingEvents();
        QCoreApplication::processEvents();
    }
    finish(input, kernel);
    const std::vector<Clock::time_point> written = writeTimes(kernel);
    std::vector<double> delays;
    for (int i = 0; i < SingleLines && writtenBefore + i < written.size(); ++i)
        delays.push_back(milliseconds(written[writtenBefore + i] - called[i]) * 1000);
    std::sort(delays.begin(), delays.end());
    printRow("uinput.single.delay_p50", "us", delays[delays.size() / 2]);
    printRow("uinput.single.delay_max", "us", delays.back());
    printRow("uinput.single.held_back", "lines", heldBack);
}

// Key presses the keyboard passed on so far, modifiers left out: one per
// character typed.
std::size_t typedKeys(const FakeUinput &kernel)
{
    std::size_t presses = 0;
    for (const input_event &event : kernel.device("Harnelo keyboard").delivered) {
        presses += event.type == EV_KEY && event.value == 1 && event.code != KEY_LEFTSHIFT
                   && event.code != KEY_RIGHTALT;
    }
    return presses;
}

// Text lines faster than the pace, with capitals and punctuation that take
// Shift: characters a second from the first line to the last write, and
// how many characters did not get through.
void measureText(UinputInput &input, const FakeUinput &kernel)
{
    const std::u32string sample = U"The quick brown fox jumps over the lazy dog; PACK MY BOX (12 jugs)! ";
    const std::size_t before = typedKeys(kernel);
    double total = 0;
    for (int burst = 0; burst < Bursts; ++burst) {
        total += milliseconds(feed(input, kernel, TextCharacters / CharactersPerTextLine, [&](int line) {
            for (int i = 0; i < CharactersPerTextLine; ++i)
                input.typeCharacter(sample[static_cast<std::size_t>(line * CharactersPerTextLine + i) % sample.size()]);
        }));
    }
    printRow("uinput.text.chars_per_s", "chars/s", Bursts * TextCharacters / (total / 1000));
    printRow("uinput.text.lost", "chars", static_cast<double>(Bursts * TextCharacters) - (typedKeys(kernel) - before));
}

// What one line takes from the call to its last write done, lines a
// millisecond apart so that nothing waits: the median of SingleLines.
void measureLineCost(const std::string &name, UinputInput &input, const Line &line)
{
    std::vector<double> costs;
    Clock::time_point next = Clock::now();
    for (int i = 0; i < SingleLines; ++i) {
        std::this_thread::sleep_until(next += std::chrono::milliseconds(1));
        const Clock::time_point start = Clock::now();
        {
            InputBatch batch(input);
            line(i);
        }
        costs.push_back(milliseconds(Clock::now() - start) * 1000);
        QCoreApplication::processEvents();
    }
    std::sort(costs.begin(), costs.end());
    printRow("uinput." + name + ".line_us", "us", costs[costs.size() / 2]);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    FakeUinput kernel;
    // Text as a US layout types it, whatever this machine's is.
    InputSetup setup = createInputBackend(InputSystem::Uinput, std::nullopt, "us");
    auto *input = dynamic_cast<UinputInput *>(setup.backend.get());
    if (!input) {
        std::fprintf(stderr, "bench_uinput: %s\n", setup.problem.c_str());
        return 1;
    }
    const Line tap = [&](int i) { input->sendKey('A' + i / 2 % 26, i % 2 == 0); };
    const Line move = [&](int i) { input->moveCursorBy(i % 2 ? 3 : -3, 2); };
    measureBurst("taps", *input, kernel, 200, tap);
    measureBurst("moves", *input, kernel, 200, move);
    measureSustained("typing", *input, kernel, tap);
    measureSustained("moves", *input, kernel, move);

    // The decoder benchmark's mix: mostly moves, then keys, clicks, wheel
    // turns and placed positions, one device after another.
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> percent(0, 99);
    measureSustained("mixed", *input, kernel, [&](int) {
        const int kind = percent(random);
        if (kind < 60)
            input->moveCursorBy(kind % 7 - 3, kind % 5 - 2);
        else if (kind < 70)
            (kind % 2 ? input->pressButton(MouseButton::Left) : input->releaseButton(MouseButton::Left));
        else if (kind < 82)
            input->sendKey('A' + kind % 3, kind % 2);
        else if (kind < 88)
            input->turnWheel(kind % 2 ? 120 : -120);
        else
            input->moveCursorTo(kind * 19, kind * 10);
    });
    // From here on each line writes once: nothing the mix pressed stays down.
    input->releaseAllKeys();
    finish(*input, kernel);
    measureSingleLines(*input, kernel, [&](int i) { i % 4 < 2 ? tap(i) : move(i); });

    measureText(*input, kernel);
    finish(*input, kernel);
    // A key line presses or releases; a text line of one letter does both.
    measureLineCost("key", *input, tap);
    measureLineCost("text", *input, [&](int i) { input->typeCharacter(i % 2 ? U'a' : U'A'); });
    finish(*input, kernel);

    const std::string failed = input->takeError();
    if (!failed.empty()) {
        std::fprintf(stderr, "bench_uinput: %s\n", failed.c_str());
        return 1;
    }
    return 0;
}
