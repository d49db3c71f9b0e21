#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#ifdef Q_OS_LINUX
#include "input/uinputlayout.h"
#endif

namespace {

#ifdef Q_OS_LINUX
constexpr bool HasInputChoice = true;
#else
constexpr bool HasInputChoice = false;
#endif

ParsedCommandLine refusal(const QString &message)
{
    ParsedCommandLine parsed;
    parsed.outcome = ParsedCommandLine::Refuse;
    parsed.message = message;
    return parsed;
}

QString joinedRates(const QList<int> &rates)
{
    QStringList texts;
    for (const int rate : rates)
        texts << QString::number(rate);
    return texts.join(QLatin1String(", "));
}

void addLinkOptions(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("port"),
                      QStringLiteral("The board's serial port, e.g. /dev/ttyACM0 or COM3. Default: the port "
                                     "opened last time."),
                      QStringLiteral("name")});
    parser.addOption({QStringLiteral("baud"),
                      QStringLiteral("The rate the board's sketch passes to Serial.begin(), e.g. 115200. "
                                     "Default: the rate used last time."),
                      QStringLiteral("rate")});
    parser.addOption({QStringLiteral("open"),
                      QStringLiteral("Open the port once it is present, and open it again whenever the board "
                                     "comes back after a reset or replug.")});
    parser.addOption({QStringLiteral("trace"),
                      QStringLiteral("Write every line the board sends to standard error, with the time it came "
                                     "(ms since start) and what it did or why it was ignored; and what the "
                                     "link does.")});
}

// Takes --port, --baud and --open into options; the reason when one is wrong.
QString takeLinkOptions(const QCommandLineParser &parser, const LinkChoice &remembered, CommandLine &options)
{
    options.link = remembered;
    if (parser.isSet(QStringLiteral("port"))) {
        options.link.port = parser.value(QStringLiteral("port"));
        if (options.link.port.isEmpty())
            return QStringLiteral("--port needs the name of a port");
        // The board remembered is the one behind the remembered port only.
        if (options.link.port != remembered.port)
            options.link.board = {};
    }
    if (parser.isSet(QStringLiteral("baud"))) {
        const QString text = parser.value(QStringLiteral("baud"));
        options.link.baud = parsePositiveNumber(text);
        if (!options.link.baud)
            return QStringLiteral("--baud takes a whole number of baud above 0, not ") + text;
        // The selector can show only the rates it lists.
        const QList<int> offered = offeredBaudRates();
        if (!offered.contains(*options.link.baud))
            return QStringLiteral("--baud %1 is not one of the rates offered: %2").arg(text, joinedRates(offered));
    }
    options.keepOpen = parser.isSet(QStringLiteral("open"));
    options.trace = parser.isSet(QStringLiteral("trace"));
    if (options.keepOpen && options.link.port.isEmpty())
        return QStringLiteral("--open needs a port: no port was opened before, so give --port NAME");
    // The first rate offered is almost never the board's.
    if (options.keepOpen && !options.link.baud)
        return QStringLiteral("--open needs a rate: none was used before, so give --baud RATE, one of: ")
            + joinedRates(offeredBaudRates());
    return QString();
}

void addWindowlessOptions(QCommandLineParser &parser)
{
    parser.addOption({QStringLiteral("no-window"),
                      QStringLiteral("Run without a window, for consoles, kiosks and services: needs --port and "
                                     "--open, injects through uinput unless --input says otherwise, and ends "
                                     "on SIGTERM with everything released.")});
    parser.addOption({QStringLiteral("desktop"),
                      QStringLiteral("With --no-window: the desktop's size in pixels, e.g. 1920x1080, on which "
                                     "absolute positions (0 7 x y) are placed. Without it they are ignored."),
                      QStringLiteral("WIDTHxHEIGHT")});
    parser.addOption({QStringLiteral("layout"),
                      QStringLiteral("The keyboard layout that input through uinput types with, as XKB names it, "
                                     "e.g. de, fr or de(nodeadkeys). Default: the X server's, else the one in "
                                     "/etc/default/keyboard, else us."),
                      QStringLiteral("layout")});
}

#ifdef Q_OS_LINUX
QString takeLayoutOption(const QCommandLineParser &parser, CommandLine &options)
{
    if (!parser.isSet(QStringLiteral("layout")))
        return QString();
    options.keyboardLayout = parser.value(QStringLiteral("layout"));
    if (!isKnownKeyboardLayout(options.keyboardLayout.toStdString()))
        return QStringLiteral("--layout takes a keyboard layout XKB knows, such as de, fr or de(nodeadkeys), not ")
            + options.keyboardLayout;
    return QString();
}
#endif

// "1920x1080" as a size of at least one pixel each way.
std::optional<QSize> parseSize(const QString &text)
{
    const QStringList sides = text.split(QLatin1Char('x'));
    if (sides.size() != 2)
        return std::nullopt;
    const std::optional<int> width = parsePositiveNumber(sides.at(0));
    const std::optional<int> height = parsePositiveNumber(sides.at(1));
    if (!width || !height)
        return std::nullopt;
    return QSize(*width, *height);
}

QString takeWindowlessOptions(const QCommandLineParser &parser, CommandLine &options)
{
    options.noWindow = parser.isSet(QStringLiteral("no-window"));
    if (parser.isSet(QStringLiteral("desktop"))) {
        const QString text = parser.value(QStringLiteral("desktop"));
        options.desktop = parseSize(text);
        if (!options.desktop)
            return QStringLiteral("--desktop takes a size such as 1920x1080, not ") + text;
        if (!options.noWindow)
            return QStringLiteral("--desktop is for --no-window: with a window the desktop's size is known");
    }
    // Nothing else could open the link, and nobody would see a remembered
    // port chosen for them.
    if (options.noWindow && (!parser.isSet(QStringLiteral("port")) || !options.keepOpen))
        return QStringLiteral("--no-window needs --port NAME and --open");
    return QString();
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments, const LinkChoice &remembered)
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
    addLinkOptions(parser);
    if (HasInputChoice)
        addWindowlessOptions(parser);

    if (!parser.parse(arguments))
        return refusal(parser.errorText());
    ParsedCommandLine parsed;
    if (parser.isSet(help) || parser.isSet(version)) {
        parsed.outcome = ParsedCommandLine::Exit;
        parsed.message = parser.isSet(help)
            ? parser.helpText()
            : QCoreApplication::applicationName() + QLatin1Char(' ')
                + QCoreApplication::applicationVersion() + QLatin1Char('\n');
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty())
        return refusal(QStringLiteral("Unexpected argument: ") + parser.positionalArguments().first());
    if (HasInputChoice && parser.isSet(input)) {
        const QString system = parser.value(input);
        if (system == QLatin1String("x11"))
            parsed.options.input = InputSystem::X11;
        else if (system == QLatin1String("uinput"))
            parsed.options.input = InputSystem::Uinput;
        else
            return refusal(QStringLiteral("--input takes x11 or uinput, not ") + system);
    }
    QString wrong = takeLinkOptions(parser, remembered, parsed.options);
    if (wrong.isEmpty() && HasInputChoice)
        wrong = takeWindowlessOptions(parser, parsed.options);
#ifdef Q_OS_LINUX
    if (wrong.isEmpty())
        wrong = takeLayoutOption(parser, parsed.options);
#endif
    if (!wrong.isEmpty())
        return refusal(wrong);
    return parsed;
}
