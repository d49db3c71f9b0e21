#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

#ifdef Q_OS_LINUX
constexpr bool HasInputChoice = true;
#else
constexpr bool HasInputChoice = false;
#endif

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Lets a microcontroller board drive the mouse and keyboard over a serial port."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption input(QStringLiteral("input"),
                                   QStringLiteral("How to inject input: x11 (XTest) or uinput (the kernel, "
                                                  "for Wayland and console sessions). Default: what suits "
                                                  "the session."),
                                   QStringLiteral("x11|uinput"));
    if (HasInputChoice)
        parser.addOption(input);

    ParsedCommandLine parsed;
    if (!parser.parse(arguments)) {
        parsed.outcome = ParsedCommandLine::Refuse;
        parsed.message = parser.errorText();
        return parsed;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        parsed.outcome = ParsedCommandLine::Exit;
        parsed.message = parser.isSet(help)
            ? parser.helpText()
            : QCoreApplication::applicationName() + QLatin1Char(' ')
                + QCoreApplication::applicationVersion() + QLatin1Char('\n');
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.outcome = ParsedCommandLine::Refuse;
        parsed.message = QStringLiteral("Unexpected argument: ") + parser.positionalArguments().first();
        return parsed;
    }
    if (HasInputChoice && parser.isSet(input)) {
        const QString system = parser.value(input);
        if (system == QLatin1String("x11")) {
            parsed.options.input = InputSystem::X11;
        } else if (system == QLatin1String("uinput")) {
            parsed.options.input = InputSystem::Uinput;
        } else {
            parsed.outcome = ParsedCommandLine::Refuse;
            parsed.message = QStringLiteral("--input takes x11 or uinput, not ") + system;
        }
    }
    return parsed;
}
