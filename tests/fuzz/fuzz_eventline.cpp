// libFuzzer target for the line framer and the event-line decoder. The input
// starts with a few bytes that choose how it is cut into deliveries; the rest
// is what the board sends. Any disagreement aborts.

#include "eventline.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The lines a reader must see: every line ended by a line feed, except those
// longer than the limit.
Lines expectedLines(std::string_view stream)
{
    Lines lines;
    std::size_t start = 0;
    for (std::size_t end; (end = stream.find('\n', start)) != std::string_view::npos; start = end + 1) {
        if (end - start <= LineFramer::MaxLineLength)
            lines.emplace_back(stream.substr(start, end - start));
    }
    return lines;
}

Lines framedLines(std::string_view stream, const std::vector<std::size_t> &chunkSizes)
{
    Lines lines;
    LineFramer framer;
    std::size_t next = 0;
    while (!stream.empty()) {
        const std::size_t size = std::min(stream.size(), chunkSizes[next++ % chunkSizes.size()]);
        framer.feed(stream.substr(0, size), [&](std::string_view line) { lines.emplace_back(line); });
        stream.remove_prefix(size);
    }
    return lines;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Sign and digits only, read with strtol: anything else is not a field.
std::optional<long> strictField(const std::string &field)
{
    const std::size_t digitsFrom = !field.empty() && (field[0] == '+' || field[0] == '-') ? 1 : 0;
    if (field.size() == digitsFrom)
        return std::nullopt;
    for (std::size_t i = digitsFrom; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9')
            return std::nullopt;
    }
    errno = 0;
    const long value = std::strtol(field.c_str(), nullptr, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return std::nullopt;
    return value;
}

// Every field of a line, each read strictly; unreadable ones are empty.
std::vector<std::optional<long>> strictFields(std::string line)
{
    while (!line.empty() && isBlank(line.back()))
        line.pop_back();
    std::size_t first = 0;
    while (first < line.size() && isBlank(line[first]))
        ++first;
    line.erase(0, first);

    std::vector<std::optional<long>> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t space = line.find(' ', start);
        fields.push_back(strictField(line.substr(start, space - start)));
        if (space == std::string::npos)
            return fields;
        start = space + 1;
    }
}

// What a line must decode to, written from the protocol's rules alone.
std::optional<EventLine> strictDecode(const std::string &line)
{
    if (line.size() > LineFramer::MaxLineLength)
        return std::nullopt;
    const auto f = strictFields(line);
    const std::size_t n = f.size();
    // The fields a line uses must be integers; the rest may be anything.
    const auto uses = [&](std::size_t count) {
        return std::all_of(f.begin(), f.begin() + count, [](const auto &field) { return field.has_value(); });
    };
    if (n < 2 || !uses(2))
        return std::nullopt;
    if (*f[0] == 2) {
        if (!uses(n))
            return std::nullopt;
        EventLine text{TEXT, 0};
        for (std::size_t i = 1; i < n; ++i) {
            const long c = *f[i];
            const bool control = (c < 32 && c != 9 && c != 10) || (c >= 127 && c <= 159);
            if (c < 0 || control || (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff)
                return std::nullopt;
            text.text.append(static_cast<char32_t>(c));
        }
        return text;
    }
    const int event = static_cast<int>(*f[1]);
    if (*f[0] == 1 && n >= 3 && uses(3))
        return EventLine{KEYBOARD, event == 0 ? 0 : 1, static_cast<int>(*f[2]), 0};
    if (*f[0] != 0)
        return std::nullopt;
    if ((event >= 0 && event <= 5) || (event >= 9 && event <= 12))
        return EventLine{MOUSE, event, 0, 0};
    if ((event == 6 || event == 13) && n == 3 && uses(3))
        return EventLine{MOUSE, event, static_cast<int>(*f[2]), 0};
    if ((event == 7 || event == 8) && n == 4 && uses(4))
        return EventLine{MOUSE, event, static_cast<int>(*f[2]), static_cast<int>(*f[3])};
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    // Chunk sizes from 1 to 766 bytes, so deliveries also straddle the limit.
    const std::size_t sizeBytes = std::min<std::size_t>(data[0] % 8 + 1, size - 1);
    std::vector<std::size_t> chunkSizes;
    for (std::size_t i = 1; i <= sizeBytes; ++i)
        chunkSizes.push_back(std::size_t{data[i]} * 3 + 1);
    if (chunkSizes.empty())
        chunkSizes.push_back(1);
    const std::string_view stream(reinterpret_cast<const char *>(data) + 1 + sizeBytes,
                                  size - 1 - sizeBytes);

    const Lines whole = framedLines(stream, {stream.size() + 1});
    check(whole == expectedLines(stream));
    check(framedLines(stream, chunkSizes) == whole);

    for (const std::string &line : whole) {
        const auto decoded = decodeEventLine(line);
        const auto expected = strictDecode(line);
        check(decoded.has_value() == expected.has_value());
        check(!decoded || *decoded == *expected);
        // The trace's reason: given for every line ignored, and only for those.
        check(explainIgnoredLine(line).empty() == decoded.has_value());
    }
    return 0;
}
