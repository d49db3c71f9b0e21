// The program as a user runs it, except that its only serial port is the
// device given on the command line (a pseudo-terminal), that the splash is
// skipped and that the link is opened at once. Prints "open" when it is.
// The program's own options may follow the device.
// Tests and benchmarks run it to reach the window from another process.

#include "commandline.h"
#include "mainwindow.h"
#include "quitsignals.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStringList arguments = QApplication::arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: %s DEVICE [OPTION...]\n", argv[0]);
        return 2;
    }
    const QString device = arguments.takeAt(1);
    const ParsedCommandLine command = parseCommandLine(arguments);
    if (command.outcome != ParsedCommandLine::Run) {
        std::fprintf(stderr, "%s\n", qPrintable(command.message));
        return 2;
    }
    const SerialPortEntry port{device, QStringLiteral("Arduino Uno"), QString()};
    MainWindow window(nullptr, [port] { return QList<SerialPortEntry>{port}; },
                      createInputBackend(command.options.input));
    closeOnQuitRequests(&window);
    window.show();
    QMetaObject::invokeMethod(&window, "showContentApp");

    auto *button = window.findChild<QPushButton *>(QStringLiteral("open_close_pb"));
    QTimer::singleShot(0, &window, [button] {
        button->click();
        std::printf(button->property("open").toBool() ? "open\n" : "failed\n");
        std::fflush(stdout);
    });
    return QApplication::exec();
}
