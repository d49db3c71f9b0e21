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

// The fields of a line; past the fourth only their number is kept.
struct Fields
{
    std::string_view text[MaxFields];
    std::size_t count = 0;
};

Fields splitFields(std::string_view line)
{
    Fields fields;
    for (;;) {
        const std::size_t space = line.find(' ');
        if (fields.count < MaxFields)
            fields.text[fields.count] = line.substr(0, space);
        ++fields.count;
        if (space == std::string_view::npos)
            return fields;
        line.remove_prefix(space + 1);
    }
}

std::optional<EventLine> mouseEvent(int event, const Fields &fields)
{
    switch (event) {
    case MOVE:
    case POSITION: {
        if (fields.count != 4)
            return std::nullopt;
        const auto first = parseInt(fields.text[2]);
        const auto second = parseInt(fields.text[3]);
        if (!first || !second)
            return std::nullopt;
        return EventLine{MOUSE, event, *first, *second};
    }
    case SCROLL:
    case HORIZONTAL_SCROLL: {
        if (fields.count != 3)
            return std::nullopt;
        const auto amount = parseInt(fields.text[2]);
        if (!amount)
            return std::nullopt;
        return EventLine{MOUSE, event, *amount, 0};
    }
    case RIGHT_PRESS:
    case RIGHT_RELEASE:
    case LEFT_PRESS:
    case LEFT_RELEASE:
    case MIDDLE_PRESS:
    case MIDDLE_RELEASE:
    case BACK_PRESS:
    case BACK_RELEASE:
    case FORWARD_PRESS:
    case FORWARD_RELEASE:
        return EventLine{MOUSE, event, 0, 0};
    default:
        return std::nullopt;
    }
}

std::optional<EventLine> keyboardEvent(int event, const Fields &fields)
{
    if (fields.count < 3)
        return std::nullopt;
    const auto key = parseInt(fields.text[2]);
    if (!key)
        return std::nullopt;
    return EventLine{KEYBOARD, event == PRESS ? PRESS : RELEASE, *key, 0};
}

// Every field after the device is one character.
std::optional<EventLine> textEvent(std::string_view characters)
{
    EventLine line{TEXT, 0};
    for (;;) {
        const std::size_t space = characters.find(' ');
        const auto character = parseInt(characters.substr(0, space));
        if (!character || !isTypableCharacter(*character) || !line.text.append(static_cast<char32_t>(*character)))
            return std::nullopt;
        if (space == std::string_view::npos)
            return line;
        characters.remove_prefix(space + 1);
    }
}

std::string notANumber(std::size_t field)
{
    return "field " + std::to_string(field) + " is not a number";
}

std::string explainMouseLine(int event, const Fields &fields)
{
    const auto needs = [&](const char *what, std::size_t count) {
        return fields.count == count ? std::string()
                                     : what + std::string(" needs exactly ") + std::to_string(count) + " fields";
    };
    std::string fault;
    switch (event) {
    case MOVE:
        fault = needs("move", 4);
        break;
    case POSITION:
        fault = needs("position", 4);
        break;
    case SCROLL:
        fault = needs("wheel", 3);
        break;
    case HORIZONTAL_SCROLL:
        fault = needs("horizontal wheel", 3);
        break;
    default:
        return mouseEvent(event, fields) ? std::string() : "unknown mouse event " + std::to_string(event);
    }
    for (std::size_t field = 2; fault.empty() && field < fields.count; ++field) {
        if (!parseInt(fields.text[field]))
            fault = notANumber(field + 1);
    }
    return fault;
}

std::string explainTextLine(std::string_view characters)
{
    std::size_t count = 0;
    for (std::size_t field = 2;; ++field) {
        const std::size_t space = characters.find(' ');
        const auto character = parseInt(characters.substr(0, space));
        if (!character)
            return notANumber(field);
        if (!isTypableCharacter(*character))
            return "character " + std::to_string(*character) + " cannot be typed";
        if (++count > TypedText::MaxLength)
            return "more than " + std::to_string(TypedText::MaxLength) + " characters";
        if (space == std::string_view::npos)
            return std::string();
        characters.remove_prefix(space + 1);
    }
}

} // namespace

bool TypedText::append(char32_t character)
{
    if (length == MaxLength)
        return false;
    characters[length++] = character;
    return true;
}

bool isTypableCharacter(long long character)
{
    if (character == '\t' || character == '\n')
        return true;
    const bool control = character < 0x20 || (character >= 0x7f && character <= 0x9f);
    const bool surrogate = character >= 0xd800 && character <= 0xdfff;
    return !control && !surrogate && character <= 0x10ffff;
}

std::optional<EventLine> decodeEventLine(std::string_view line)
{
    line = trimmed(line);
    const Fields fields = splitFields(line);
    if (fields.count < 2)
        return std::nullopt;
    // The fields a line uses must be integers; those past them on a button
    // or key line may hold anything.
    const auto device = parseInt(fields.text[0]);
    if (device == TEXT)
        return textEvent(line.substr(fields.text[0].size() + 1));
    const auto event = parseInt(fields.text[1]);
    if (!device || !event)
        return std::nullopt;
    switch (*device) {
    case MOUSE:
        return mouseEvent(*event, fields);
    case KEYBOARD:
        return keyboardEvent(*event, fields);
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

std::string explainIgnoredLine(std::string_view line)
{
    line = trimmed(line);
    if (line.empty())
        return "empty line";
    const Fields fields = splitFields(line);
    if (fields.count < 2)
        return "fewer than 2 fields";
    const auto device = parseInt(fields.text[0]);
    if (!device)
        return notANumber(1);
    if (device == TEXT)
        return explainTextLine(line.substr(fields.text[0].size() + 1));
    const auto event = parseInt(fields.text[1]);
    if (!event)
        return notANumber(2);
    if (*device == MOUSE)
        return explainMouseLine(*event, fields);
    if (*device != KEYBOARD)
        return "unknown device " + std::to_string(*device);
    if (fields.count < 3)
        return "key needs 3 fields";
    return parseInt(fields.text[2]) ? std::string() : notANumber(3);
}
