#include "commandline.h"
#include "mainwindow.h"
#include "quitsignals.h"

#include <QApplication>
#include <QSettings>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Harnelo"));
    QApplication::setApplicationName(QStringLiteral("harnelo"));
    QApplication::setApplicationVersion(QStringLiteral(HARNELO_VERSION));
    // The platform's usual place: ~/.config/Harnelo/harnelo.conf on Linux,
    // HKEY_CURRENT_USER\Software\Harnelo\harnelo on Windows.
    QSettings settings;

    // The toolkit has taken its own options out of the arguments by now.
    const ParsedCommandLine command = parseCommandLine(QApplication::arguments(), recallLinkChoice(settings));
    if (command.outcome == ParsedCommandLine::Refuse) {
        std::fprintf(stderr, "harnelo: %s (see harnelo --help)\n", qPrintable(command.message));
        return 2;
    }
    if (command.outcome == ParsedCommandLine::Exit) {
        std::fputs(qPrintable(command.message), stdout);
        return 0;
    }

    const WindowStart start{command.options.link, command.options.keepOpen, &settings};
    MainWindow window(nullptr, availableSerialPorts, createInputBackend(command.options.input), start);
    closeOnQuitRequests(&window);
    window.show();
    return QApplication::exec();
}
