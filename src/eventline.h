#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The board speaks in event lines: space-separated decimal fields ended by a
// line feed, for example "0 8 10 -5" (move the cursor by 10, -5), "1 0 65"
// (press the A key) or "2 72 105" (type "Hi" as the user's layout types it).

enum Device { MOUSE = 0, KEYBOARD = 1, TEXT = 2 };

enum MouseEvent {
    RIGHT_PRESS = 0,
    RIGHT_RELEASE = 1,
    LEFT_PRESS = 2,
    LEFT_RELEASE = 3,
    MIDDLE_PRESS = 4,
    MIDDLE_RELEASE = 5,
    SCROLL = 6,
    POSITION = 7,
    MOVE = 8,
    BACK_PRESS = 9,
    BACK_RELEASE = 10,
    FORWARD_PRESS = 11,
    FORWARD_RELEASE = 12,
    HORIZONTAL_SCROLL = 13,
};

enum KeyboardEvent { PRESS = 0, RELEASE = 1 };

// The characters of one text line, as Unicode code points: tab (9), line
// feed (10, typed as Return) and printable characters only.
class TypedText
{
public:
    // A line holds at most this many: each takes a digit and a space.
    static constexpr std::size_t MaxLength = 128;

    bool append(char32_t character);
    std::u32string_view view() const { return {characters, length}; }
    bool operator==(const TypedText &other) const { return view() == other.view(); }

private:
    char32_t characters[MaxLength];
    std::size_t length = 0;
};

// Whether a text line may type character: tab, line feed, or a Unicode
// scalar value that is not a control character.
bool isTypableCharacter(long long character);

struct EventLine
{
    EventLine() = default;
    EventLine(Device device, int event, int arg1 = 0, int arg2 = 0)
        : device(device), event(event), arg1(arg1), arg2(arg2)
    {
    }

    Device device = MOUSE;
    int event = 0;  // a MouseEvent, or PRESS / RELEASE for the keyboard
    int arg1 = 0;   // dx, x, wheel amount or key code
    int arg2 = 0;   // dy or y
    TypedText text; // for TEXT

    bool operator==(const EventLine &other) const
    {
        return device == other.device && event == other.event && arg1 == other.arg1
            && arg2 == other.arg2 && text == other.text;
    }
};

// Decodes one line (with or without its line feed). Lines that are not a
// valid event give nothing: every field the event uses must be a 32-bit
// decimal integer; fields past those of a button or key line may hold
// anything. A text line's fields are all characters, and one that may not
// be typed spoils the whole line.
std::optional<EventLine> decodeEventLine(std::string_view line);

// Why decodeEventLine ignores line, naming the rule it breaks, e.g.
// "unknown device 3" or "field 3 is not a number"; empty when it is a
// valid event. Slower than decoding: for tracing, not for every line.
std::string explainIgnoredLine(std::string_view line);

// Cuts a byte stream into lines at line feeds, holding at most one partial
// line. A line longer than MaxLineLength is dropped whole.
class LineFramer
{
public:
    static constexpr std::size_t MaxLineLength = 256;

    // Calls onLine(std::string_view) for every complete line in data, in
    // order, and onDropped() where a line too long was dropped.
    template<typename OnLine, typename OnDropped>
    void feed(std::string_view data, OnLine &&onLine, OnDropped &&onDropped);
    template<typename OnLine>
    void feed(std::string_view data, OnLine &&onLine)
    {
        feed(data, onLine, [] {});
    }

private:
    // Returns the line to hand on, or nothing when it was too long.
    std::optional<std::string_view> finishLine(std::string_view tail);
    void keepPartial(std::string_view tail);

    char partial[MaxLineLength];
    std::size_t partial_length = 0;
    bool discarding = false;
};

template<typename OnLine, typename OnDropped>
void LineFramer::feed(std::string_view data, OnLine &&onLine, OnDropped &&onDropped)
{
    while (!data.empty()) {
        const std::size_t end = data.find('\n');
        if (end == std::string_view::npos) {
            keepPartial(data);
            return;
        }
        if (const auto line = finishLine(data.substr(0, end)))
            onLine(*line);
        else
            onDropped();
        data.remove_prefix(end + 1);
    }
}
