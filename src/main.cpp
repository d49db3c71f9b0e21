#include "commandline.h"
#include "mainwindow.h"
#include "quitsignals.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("harnelo"));
    QApplication::setApplicationVersion(QStringLiteral(HARNELO_VERSION));

    // The toolkit has taken its own options out of the arguments by now.
    const ParsedCommandLine command = parseCommandLine(QApplication::arguments());
    if (command.outcome == ParsedCommandLine::Refuse) {
        std::fprintf(stderr, "harnelo: %s (see harnelo --help)\n", qPrintable(command.message));
        return 2;
    }
    if (command.outcome == ParsedCommandLine::Exit) {
        std::fputs(qPrintable(command.message), stdout);
        return 0;
    }

    MainWindow window(nullptr, availableSerialPorts, createInputBackend(command.options.input));
    closeOnQuitRequests(&window);
    window.show();
    return QApplication::exec();
}
