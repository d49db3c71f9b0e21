#include "commandline.h"
#include "input/heldinputguard.h"
#include "mainwindow.h"
#include "quitsignals.h"
#include "windowlessbridge.h"

#include <QApplication>
#include <QSettings>

#include <cstdio>
#include <cstring>

namespace {

void nameTheProgram()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Harnelo"));
    QCoreApplication::setApplicationName(QStringLiteral("harnelo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HARNELO_VERSION));
}

// Whether the window can be shown: the toolkit ends the program when it
// finds no display, before it could say why or answer --help.
bool hasDisplay(int argc, char **argv)
{
#ifdef Q_OS_LINUX
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    static_cast<void>(argc), static_cast<void>(argv);
    return true;
#endif
}

bool asksForNoWindow(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            break;
        if (std::strcmp(argv[i], "--no-window") == 0)
            return true;
    }
    return false;
}

// Nothing to run, or something wrong: what to print, and the exit status.
std::optional<int> answerWithoutRunning(const ParsedCommandLine &command)
{
    if (command.outcome == ParsedCommandLine::Refuse) {
        std::fprintf(stderr, "harnelo: %s (see harnelo --help)\n", qPrintable(command.message));
        return 2;
    }
    if (command.outcome == ParsedCommandLine::Exit) {
        std::fputs(qPrintable(command.message), stdout);
        return 0;
    }
    return std::nullopt;
}

// The command line, over the choice remembered in settings. The toolkit has
// taken its own options out of the arguments by now.
ParsedCommandLine readCommandLine(const QSettings &settings)
{
    return parseCommandLine(QCoreApplication::arguments(), recallLinkChoice(settings));
}

// Without a window there is no session's display to inject into: input goes
// through uinput unless --input says otherwise.
InputSetup windowlessInput(const CommandLine &options)
{
    const bool chosen = options.input != InputSystem::Automatic;
    std::optional<DesktopArea> desktop;
    if (options.desktop)
        desktop = DesktopArea{0, 0, options.desktop->width(), options.desktop->height()};
    InputSetup input = createInputBackend(chosen ? options.input : InputSystem::Uinput, desktop,
                                          options.keyboardLayout.toStdString());
    // Its first sentence says why; what follows, which keyboard layout it types with.
    if (!chosen) {
        const auto why = input.route.find(". ");
        input.route.replace(0, why == std::string::npos ? input.route.size() : why + 1,
                            "Input goes through the kernel (uinput), as it does without a window.");
    }
    return input;
}

int runWithoutWindow(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    nameTheProgram();
    QSettings settings;
    const ParsedCommandLine command = readCommandLine(settings);
    if (const std::optional<int> status = answerWithoutRunning(command))
        return *status;
    const CommandLine &options = command.options;
    if (!options.noWindow) {
        std::fprintf(stderr, "harnelo: there is no display to show the window on (DISPLAY and WAYLAND_DISPLAY "
                             "are not set). Start it from a desktop session, or run the bridge alone with "
                             "--no-window --port NAME --baud RATE --open.\n");
        return 1;
    }

    InputSetup input = windowlessInput(options);
    if (!input.route.empty())
        std::fprintf(stderr, "%s\n", input.route.c_str());
    if (!input.problem.empty()) {
        std::fprintf(stderr, "%s\n", input.problem.c_str());
        return 1;
    }
    WindowlessBridge bridge(options.link, std::move(input.backend), &settings);
    if (!options.desktop)
        bridge.ignoreAbsolutePositions();
    if (options.trace)
        bridge.traceLines();
    stopOnQuitSignals(&bridge, [&bridge] { bridge.stop(); });
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (const std::optional<int> guardStatus = HeldInputGuard::start(argc, argv))
        return *guardStatus;
    if (asksForNoWindow(argc, argv) || !hasDisplay(argc, argv))
        return runWithoutWindow(argc, argv);

    QApplication app(argc, argv);
    nameTheProgram();
    // The platform's usual place: ~/.config/Harnelo/harnelo.conf on Linux,
    // HKEY_CURRENT_USER\Software\Harnelo\harnelo on Windows.
    QSettings settings;
    const ParsedCommandLine command = readCommandLine(settings);
    if (const std::optional<int> status = answerWithoutRunning(command))
        return *status;

    const WindowStart start{command.options.link, command.options.keepOpen, &settings, command.options.trace};
    MainWindow window(nullptr, availableSerialPorts,
                      createInputBackend(command.options.input, std::nullopt, command.options.keyboardLayout.toStdString()),
                      start);
    closeOnQuitRequests(&window);
    window.show();
    return QApplication::exec();
}
