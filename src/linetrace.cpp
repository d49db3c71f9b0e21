#include "linetrace.h"

#include "link/linkkeeper.h"
#include "link/seriallink.h"
#include "remoteinput.h"

#include <QTimer>

namespace {

// A full buffer goes out at once, whatever the event loop does.
constexpr std::size_t FlushAt = 64 * 1024;

void appendEscaped(std::string &text, std::string_view line)
{
    static const char digits[] = "0123456789abcdef";
    text += '"';
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\t') {
            text += "\\t";
        } else if (byte >= 0x20 && byte < 0x7f) {
            text += c;
        } else {
            text += "\\x";
            text += digits[byte >> 4];
            text += digits[byte & 0xf];
        }
    }
    text += '"';
}

const char *buttonName(int event)
{
    switch (event) {
    case RIGHT_PRESS:
    case RIGHT_RELEASE:
        return "right";
    case LEFT_PRESS:
    case LEFT_RELEASE:
        return "left";
    case MIDDLE_PRESS:
    case MIDDLE_RELEASE:
        return "middle";
    case BACK_PRESS:
    case BACK_RELEASE:
        return "back";
    default:
        return "forward";
    }
}

std::string pair(int a, int b)
{
    return std::to_string(a) + ',' + std::to_string(b);
}

std::string whatItDoes(const EventLine &event)
{
    if (event.device == TEXT) {
        const std::size_t count = event.text.view().size();
        return "type " + std::to_string(count) + (count == 1 ? " character" : " characters");
    }
    if (event.device == KEYBOARD)
        return (event.event == PRESS ? "press key " : "release key ") + std::to_string(event.arg1);
    switch (event.event) {
    case MOVE:
        return "move by " + pair(event.arg1, event.arg2);
    case POSITION:
        return "place at " + pair(event.arg1, event.arg2);
    case SCROLL:
        return "wheel " + std::to_string(event.arg1);
    case HORIZONTAL_SCROLL:
        return "horizontal wheel " + std::to_string(event.arg1);
    default:
        // Presses have even codes up to MIDDLE_RELEASE, odd ones from BACK_PRESS.
        const bool down = event.event < SCROLL ? event.event % 2 == 0 : event.event % 2 == 1;
        return std::string(buttonName(event.event)) + (down ? " button down" : " button up");
    }
}

} // namespace

LineTrace::LineTrace(std::FILE *out, QObject *parent) : QObject(parent), out(out)
{
    clock.start();
}

LineTrace::~LineTrace()
{
    flush();
}

void LineTrace::follow(SerialLink &link, LinkKeeper &keeper, RemoteInput &input)
{
    input.traceTo(this);
    link.whenLineDropped([this] { traceDroppedLine(); });
    connect(&link, &SerialLink::readNothing, this,
            [this] { traceLinkEvent(QStringLiteral("a read found nothing: another program reads the port")); });
    connect(&keeper, &LinkKeeper::stateChanged, this, [this, &keeper] { traceLinkEvent(keeper.describe()); });
    traceLinkEvent(keeper.describe());
}

std::string LineTrace::describe(std::string_view line, const std::optional<EventLine> &event)
{
    std::string text;
    appendEscaped(text, line);
    text += ' ';
    text += event ? whatItDoes(*event) : "ignored: " + explainIgnoredLine(line);
    return text;
}

void LineTrace::traceLine(std::string_view line, const std::optional<EventLine> &event)
{
    stamp();
    pending += describe(line, event);
    pending += '\n';
}

void LineTrace::traceDroppedLine()
{
    stamp();
    pending += "... ignored: line longer than " + std::to_string(LineFramer::MaxLineLength) + " bytes\n";
}

void LineTrace::traceLinkEvent(const QString &text)
{
    stamp();
    pending += "link: " + text.toStdString() + '\n';
    // Rare, and what comes after may be the program's end.
    flush();
}

void LineTrace::stamp()
{
    if (pending.size() >= FlushAt)
        flush();
    char time[32];
    std::snprintf(time, sizeof time, "%10.3f ", static_cast<double>(clock.nsecsElapsed()) / 1e6);
    pending += time;
    if (!flush_due) {
        flush_due = true;
        QTimer::singleShot(0, this, &LineTrace::flush);
    }
}

void LineTrace::flush()
{
    flush_due = false;
    if (pending.empty())
        return;
    std::fwrite(pending.data(), 1, pending.size(), out);
    std::fflush(out);
    pending.clear();
}
