#include "eventline.h"

#include <climits>
#include <cstring>

namespace {

constexpr std::size_t MaxFields = 4;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// A decimal 32-bit integer with an optional sign, nothing else: a tab or CR
// beside a separating space ("0\t 2") makes the line invalid, as a tab alone does.
std::optional<int> parseInt(std::string_view field)
{
    bool negative = false;
    if (!field.empty() && (field.front() == '+' || field.front() == '-')) {
        negative = field.front() == '-';
        field.remove_prefix(1);
    }
    if (field.empty())
        return std::nullopt;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit)
            return std::nullopt;
    }
    return static_cast<int>(negative ? -value : value);
}

std::optional<EventLine> mouseEvent(const int *fields, std::size_t count)
{
    const int event = fields[1];
    switch (event) {
    case MOVE:
    case POSITION:
        if (count != 4)
            return std::nullopt;
        return EventLine{MOUSE, event, fields[2], fields[3]};
    case SCROLL:
        if (count != 3)
            return std::nullopt;
        return EventLine{MOUSE, event, fields[2], 0};
    case RIGHT_PRESS:
    case RIGHT_RELEASE:
    case LEFT_PRESS:
    case LEFT_RELEASE:
    case MIDDLE_PRESS:
    case MIDDLE_RELEASE:
        return EventLine{MOUSE, event, 0, 0};
    default:
        return std::nullopt;
    }
}

std::optional<EventLine> keyboardEvent(const int *fields, std::size_t count)
{
    if (count < 3)
        return std::nullopt;
    return EventLine{KEYBOARD, fields[1] == PRESS ? PRESS : RELEASE, fields[2], 0};
}

} // namespace

std::optional<EventLine> decodeEventLine(std::string_view line)
{
    line = trimmed(line);
    int fields[MaxFields] = {};
    std::size_t count = 0;
    // Fields past the fourth are never used, but they must still be numbers.
    for (;;) {
        const std::size_t space = line.find(' ');
        const auto value = parseInt(line.substr(0, space));
        if (!value)
            return std::nullopt;
        if (count < MaxFields)
            fields[count] = *value;
        ++count;
        if (space == std::string_view::npos)
            break;
        line.remove_prefix(space + 1);
    }
    if (count < 2)
        return std::nullopt;
    switch (fields[0]) {
    case MOUSE:
        return mouseEvent(fields, count);
    case KEYBOARD:
        return keyboardEvent(fields, count);
    default:
        return std::nullopt;
    }
}

std::optional<std::string_view> LineFramer::finishLine(std::string_view tail)
{
    if (partial_length == 0 && !discarding)
        return tail.size() <= MaxLineLength ? std::optional(tail) : std::nullopt;
    const bool tooLong = discarding || partial_length + tail.size() > MaxLineLength;
    discarding = false;
    if (tooLong) {
        partial_length = 0;
        return std::nullopt;
    }
    std::memcpy(partial + partial_length, tail.data(), tail.size());
    const std::string_view line(partial, partial_length + tail.size());
    partial_length = 0;
    return line;
}

void LineFramer::keepPartial(std::string_view tail)
{
    if (discarding)
        return;
    if (partial_length + tail.size() > MaxLineLength) {
        discarding = true;
        partial_length = 0;
        return;
    }
    std::memcpy(partial + partial_length, tail.data(), tail.size());
    partial_length += tail.size();
}
