#pragma once

#include "input/inputbackend.h"

#include <QString>

class QCoreApplication;

// What the command line asks for, beyond what the toolkit itself takes.
struct CommandLine
{
    InputSystem input = InputSystem::Automatic;
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

ParsedCommandLine parseCommandLine(const QStringList &arguments);
