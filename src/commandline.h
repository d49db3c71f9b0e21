#pragma once

#include "input/inputbackend.h"
#include "link/linkchoice.h"

#include <QSize>
#include <QString>

#include <optional>

class QCoreApplication;

// What the command line asks for, beyond what the toolkit itself takes.
struct CommandLine
{
    InputSystem input = InputSystem::Automatic;
    // --port and --baud, each over the remembered choice.
    LinkChoice link;
    // --open: open the link at start and again whenever the port comes back.
    bool keepOpen = false;
    // --no-window: the bridge alone, for consoles, kiosks and services.
    bool noWindow = false;
    // --desktop, with --no-window: where absolute positions are placed.
    std::optional<QSize> desktop;
    // --layout: the keyboard layout input through uinput types with, by its
    // XKB names; empty for the session's.
    QString keyboardLayout;
    // --trace: every line the board sends, and what it did, on standard error.
    bool trace = false;
};

struct ParsedCommandLine
{
    enum Outcome { Run, Exit, Refuse };
    Outcome outcome = Run;
    CommandLine options;
    // For Exit: what to print on standard output (--help, --version).
    // For Refuse: the one line that says what is wrong.
    QString message;
};

// remembered: the choice stored when a link was last opened.
ParsedCommandLine parseCommandLine(const QStringList &arguments, const LinkChoice &remembered = {});
