#pragma once

#include "eventline.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

class LinkKeeper;
class RemoteInput;
class SerialLink;

// For finding out why a board's lines do nothing: one line on standard
// error for every line the board sent, with what it did or the rule it
// broke, and for what the link went through. Written in bursts from the
// event loop, so a board that floods the port does not wait for the terminal.
class LineTrace : public QObject
{
    Q_OBJECT

public:
    explicit LineTrace(std::FILE *out = stderr, QObject *parent = nullptr);
    ~LineTrace() override;

    // Traces every line link reads and input acts on, and what link and
    // keeper go through. All three must outlive the trace.
    void follow(SerialLink &link, LinkKeeper &keeper, RemoteInput &input);

    void traceLine(std::string_view line, const std::optional<EventLine> &event);
    void traceDroppedLine();
    void traceLinkEvent(const QString &text);
    void flush();

    // The line as received, quoted and escaped, and what it does or why it
    // is ignored: "\"0 8 10 -5\\r\" move by 10,-5".
    static std::string describe(std::string_view line, const std::optional<EventLine> &event);

private:
    void stamp();

    std::FILE *out;
    QElapsedTimer clock;
    std::string pending;
    bool flush_due = false;
};

// Decodes line, and tells trace, when there is one, what it was.
inline std::optional<EventLine> decodeTraced(std::string_view line, LineTrace *trace)
{
    std::optional<EventLine> event = decodeEventLine(line);
    if (trace)
        trace->traceLine(line, event);
    return event;
}
