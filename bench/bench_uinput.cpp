// The uinput backend into a fake /dev/uinput (umockdev): lines and events
// per second and write() calls per read of the port, for three kinds of
// traffic. Run
// under umockdev-wrapper. Each write crosses umockdev's socket, so the
// rates bound the backend from below; the kernel takes a write far faster.
//
// Prints rows for scripts/bench: "key<TAB>unit<TAB>value".

#include "fakeuinput.h"
#include "input/uinputinput.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

namespace {

constexpr int LinesPerRead = 64;
constexpr int Reads = 300;

void printRow(const std::string &key, const char *unit, double value)
{
    std::printf("%s\t%s\t%.6g\n", key.c_str(), unit, value);
    std::fflush(stdout);
}

struct Written
{
    double writes = 0;
    double events = 0;
};

Written writtenSoFar(const FakeUinput &kernel)
{
    Written written;
    for (const FakeUinput::Device &device : kernel.devices()) {
        written.writes += static_cast<double>(device.writes.size());
        for (const auto &write : device.writes)
            written.events += static_cast<double>(write.size());
    }
    return written;
}

// Feeds Reads batches of LinesPerRead lines made by line(), as the window
// does with each read from the port.
void measure(const std::string &name, UinputInput &input, const FakeUinput &kernel,
             const std::function<void(int)> &line)
{
    const Written before = writtenSoFar(kernel);
    const auto start = std::chrono::steady_clock::now();
    for (int read = 0; read < Reads; ++read) {
        InputBatch batch(input);
        for (int i = 0; i < LinesPerRead; ++i)
            line(i);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const Written after = writtenSoFar(kernel);
    printRow("uinput." + name + ".lines_per_s", "lines/s", Reads * LinesPerRead / elapsed.count());
    printRow("uinput." + name + ".events_per_s", "events/s", (after.events - before.events) / elapsed.count());
    printRow("uinput." + name + ".writes_per_read", "writes", (after.writes - before.writes) / Reads);
}

} // namespace

int main()
{
    FakeUinput kernel;
    std::string error;
    auto input = UinputInput::create({0, 0, 1920, 1080}, error);
    if (!input) {
        std::fprintf(stderr, "bench_uinput: %s\n", error.c_str());
        return 1;
    }
    measure("moves", *input, kernel, [&](int i) { input->moveCursorBy(i % 2 ? 3 : -3, 2); });
    measure("typing", *input, kernel, [&](int i) { input->sendKey('A' + i / 2 % 26, i % 2 == 0); });

    // The decoder benchmark's mix: mostly moves, then keys, clicks, wheel
    // turns and placed positions, one device after another.
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> percent(0, 99);
    measure("mixed", *input, kernel, [&](int) {
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
    const std::string failed = input->takeError();
    if (!failed.empty()) {
        std::fprintf(stderr, "bench_uinput: %s\n", failed.c_str());
        return 1;
    }
    return 0;
}
