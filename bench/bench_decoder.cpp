// Decoder throughput over the kind of traffic a board sends, and the heap
// allocations each decoded line costs; the same through the line trace, off
// (as every line goes) and on (--trace, written to /dev/null); and what typing
// costs to decode as text lines, per character, against key lines.
//
// Prints one row per repetition on stdout ("key<TAB>unit<TAB>value") for
// scripts/bench; --benchmark_out=FILE keeps Google Benchmark's own report.

#include "eventline.h"
#include "linetrace.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

// Every heap allocation in this process passes through malloc, calloc or
// realloc (operator new included), so counting them here counts them all.
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void __libc_free(void *pointer);
}

namespace {
std::atomic<long long> allocations{0};
}

extern "C" void *malloc(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void *calloc(std::size_t count, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *pointer, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

extern "C" void free(void *pointer)
{
    __libc_free(pointer);
}

namespace {

// What a board running the example sketches sends: mostly relative moves,
// then clicks, keys, wheel turns and the odd absolute position, some of it
// with the "\r\n" ending of Serial.println, and a little line noise.
std::string randomLine(std::mt19937 &random)
{
    std::uniform_int_distribution<int> percent(0, 99), delta(-40, 40), key(8, 222);
    std::uniform_int_distribution<int> x(0, 1919), y(0, 1079);
    const int kind = percent(random);
    if (kind < 60)
        return "0 8 " + std::to_string(delta(random)) + " " + std::to_string(delta(random));
    if (kind < 70)
        return "0 " + std::to_string(kind % 6);  // the six button events
    if (kind < 82)
        return "1 " + std::to_string(kind % 2) + " " + std::to_string(key(random));
    if (kind < 88)
        return "0 6 " + std::to_string(kind % 2 ? 120 : -120);
    if (kind < 94)
        return "0 7 " + std::to_string(x(random)) + " " + std::to_string(y(random));
    if (kind < 98)
        return "0 8 " + std::to_string(delta(random)) + " " + std::to_string(delta(random)) + "\r";
    return kind % 2 ? "0 8 1x 2" : "";
}

const std::vector<std::string> &lineMix()
{
    static const std::vector<std::string> lines = [] {
        std::mt19937 random(20240611);
        std::vector<std::string> made(4096);
        for (std::string &line : made)
            line = randomLine(random);
        return made;
    }();
    return lines;
}

std::string lineStream()
{
    std::string stream;
    for (const std::string &line : lineMix())
        stream += line + '\n';
    return stream;
}

void reportPerLine(benchmark::State &state, long long lines, long long allocated)
{
    state.SetItemsProcessed(lines);
    state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
    state.counters["allocs_per_line"] = static_cast<double>(allocated) / static_cast<double>(lines);
}

// decodeEventLine alone, one line after another.
void decodeLines(benchmark::State &state)
{
    std::vector<std::string_view> lines(lineMix().begin(), lineMix().end());
    long long decoded = 0;
    const long long before = allocations.load();
    for (auto _ : state) {
        for (const std::string_view line : lines)
            benchmark::DoNotOptimize(decodeEventLine(line));
        decoded += static_cast<long long>(lines.size());
    }
    reportPerLine(state, decoded, allocations.load() - before);
}

// What the window does with each read from the port: 4 KiB chunks cut into
// lines by the framer, each line decoded.
void frameAndDecode(benchmark::State &state)
{
    const std::string stream = lineStream();
    constexpr std::size_t Chunk = 4096;
    LineFramer framer;
    long long decoded = 0;
    const long long before = allocations.load();
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += Chunk) {
            framer.feed(std::string_view(stream).substr(at, Chunk), [&](std::string_view line) {
                benchmark::DoNotOptimize(decodeEventLine(line));
                ++decoded;
            });
        }
    }
    reportPerLine(state, decoded, allocations.load() - before);
}

// Prose as a board types it: some of it beyond ASCII, so the text lines
// carry characters of two to six digits.
const std::u32string &prose()
{
    static const std::u32string text = [] {
        const std::u32string sentence = U"Grüße aus Köln! The quick brown fox jumps over the lazy dog, 3 × 4 € 😀. ";
        std::u32string repeated;
        for (int i = 0; i < 64; ++i)
            repeated += sentence;
        return repeated;
    }();
    return text;
}

// As the Arduino library sends it: lines filled up to the framer's limit.
std::vector<std::string> textLines()
{
    std::vector<std::string> lines;
    std::string line;
    for (const char32_t character : prose()) {
        const std::string field = " " + std::to_string(static_cast<unsigned long>(character));
        if (line.size() + field.size() + 1 > LineFramer::MaxLineLength) { // and its CR
            lines.push_back(line + '\r');
            line.clear();
        }
        if (line.empty())
            line = "2";
        line += field;
    }
    lines.push_back(line + '\r');
    return lines;
}

// The ASCII part of the prose as key lines, a press and a release each.
std::vector<std::string> keyLines()
{
    std::vector<std::string> lines;
    for (const char32_t character : prose()) {
        if (character >= 0x80)
            continue;
        const int key = std::isalpha(static_cast<int>(character)) ? std::toupper(static_cast<int>(character))
            : std::isdigit(static_cast<int>(character)) || character == ' ' ? static_cast<int>(character)
                                                                              : 190; // a punctuation key
        lines.push_back("1 0 " + std::to_string(key) + "\r");
        lines.push_back("1 1 " + std::to_string(key) + "\r");
    }
    return lines;
}

void decodeKeyLines(benchmark::State &state)
{
    const std::vector<std::string> lines = keyLines();
    long long decoded = 0;
    const long long before = allocations.load();
    for (auto _ : state) {
        for (const std::string &line : lines)
            benchmark::DoNotOptimize(decodeEventLine(line));
        decoded += static_cast<long long>(lines.size());
    }
    reportPerLine(state, decoded, allocations.load() - before);
}

void decodeTextLines(benchmark::State &state)
{
    const std::vector<std::string> lines = textLines();
    long long decoded = 0;
    long long characters = 0;
    const long long before = allocations.load();
    for (auto _ : state) {
        for (const std::string &line : lines)
            benchmark::DoNotOptimize(decodeEventLine(line));
        decoded += static_cast<long long>(lines.size());
        characters += static_cast<long long>(prose().size());
    }
    reportPerLine(state, decoded, allocations.load() - before);
    state.counters["characters_per_s"] = benchmark::Counter(static_cast<double>(characters), benchmark::Counter::kIsRate);
}

// As the program decodes every line: through the trace, which is off. Each
// round also decodes the lines alone, so that both meet the same load on a
// busy machine: ratio is the speed through the trace over the speed alone.
void decodeTraceOff(benchmark::State &state)
{
    using Clock = std::chrono::steady_clock;
    std::vector<std::string_view> lines(lineMix().begin(), lineMix().end());
    LineTrace *trace = nullptr;
    benchmark::DoNotOptimize(trace);
    long long decoded = 0;
    long long allocated = 0;
    Clock::duration alone{}, traced{};
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        for (const std::string_view line : lines)
            benchmark::DoNotOptimize(decodeEventLine(line));
        const Clock::time_point between = Clock::now();
        const long long before = allocations.load();
        for (const std::string_view line : lines)
            benchmark::DoNotOptimize(decodeTraced(line, trace));
        allocated += allocations.load() - before;
        traced += Clock::now() - between;
        alone += between - start;
        decoded += static_cast<long long>(lines.size());
    }
    const double seconds = std::chrono::duration<double>(traced).count();
    state.counters["lines_per_s"] = static_cast<double>(decoded) / seconds;
    state.counters["allocs_per_line"] = static_cast<double>(allocated) / static_cast<double>(decoded);
    state.counters["ratio"] = std::chrono::duration<double>(alone).count() / seconds;
}

// With --trace: every line told, written to /dev/null in the trace's bursts.
void decodeTraceOn(benchmark::State &state)
{
    std::vector<std::string_view> lines(lineMix().begin(), lineMix().end());
    std::FILE *null = std::fopen("/dev/null", "w");
    long long decoded = 0;
    long long allocated = 0;
    {
        LineTrace trace(null);
        const long long before = allocations.load();
        for (auto _ : state) {
            for (const std::string_view line : lines)
                benchmark::DoNotOptimize(decodeTraced(line, &trace));
            decoded += static_cast<long long>(lines.size());
        }
        allocated = allocations.load() - before;
    }
    std::fclose(null);
    reportPerLine(state, decoded, allocated);
}

BENCHMARK(decodeLines)->Repetitions(5)->MinTime(0.3);
BENCHMARK(decodeTraceOff)->Repetitions(5)->MinTime(0.3);
BENCHMARK(decodeTraceOn)->Repetitions(5)->MinTime(0.3);
BENCHMARK(frameAndDecode)->Repetitions(5)->MinTime(0.3);
BENCHMARK(decodeKeyLines)->Repetitions(5)->MinTime(0.3);
BENCHMARK(decodeTextLines)->Repetitions(5)->MinTime(0.3);

// Hands each repetition to scripts/bench as rows.
class RowReporter : public benchmark::BenchmarkReporter
{
public:
    bool ReportContext(const Context &) override { return true; }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const std::string &function = run.run_name.function_name;
            const std::string name = "decoder." + function;
            const double linesPerSecond = run.counters.at("lines_per_s");
            row(name + ".lines_per_s", "lines/s", linesPerSecond);
            row(name + ".allocs_per_line", "allocations", run.counters.at("allocs_per_line"));
            if (function == "decodeKeyLines") {
                row(name + ".ns_per_line", "ns", 1e9 / linesPerSecond);
                keyLinesPerSecond.push_back(linesPerSecond);
            } else if (function == "decodeTextLines") {
                const double charactersPerSecond = run.counters.at("characters_per_s");
                row(name + ".ns_per_character", "ns", 1e9 / charactersPerSecond);
                // Each repetition against the key lines' repetition of the same number.
                const std::size_t repetition = textRepetitions++;
                if (repetition < keyLinesPerSecond.size())
                    row(name + ".character_per_key_line", "ratio",
                        keyLinesPerSecond[repetition] / charactersPerSecond);
            }
            if (run.counters.count("ratio"))
                row(name + ".ratio", "x", run.counters.at("ratio"));
        }
    }

private:
    std::vector<double> keyLinesPerSecond;
    std::size_t textRepetitions = 0;

    static void row(const std::string &key, const char *unit, double value)
    {
        std::printf("%s\t%s\t%.6g\n", key.c_str(), unit, value);
        std::fflush(stdout);
    }
};

// Zero allocations per line means something only if the count sees them.
bool countsAllocations(int argc)
{
    const long long before = allocations.load();
    std::vector<char> probe(static_cast<std::size_t>(1000 + argc));
    benchmark::DoNotOptimize(probe.data());
    return allocations.load() > before;
}

} // namespace

int main(int argc, char **argv)
{
    if (!countsAllocations(argc)) {
        std::fprintf(stderr, "bench_decoder: the allocation count does not work\n");
        return 1;
    }
    // The trace writes from the event loop, which needs an application.
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RowReporter rows;
    benchmark::RunSpecifiedBenchmarks(&rows);
    benchmark::Shutdown();
    return 0;
}
