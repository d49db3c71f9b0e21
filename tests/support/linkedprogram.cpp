// The program as a user runs it, except that its only serial port is the
// device given on the command line (a pseudo-terminal, listed while it
// exists), that the splash is skipped and that it remembers its choices only
// in the file HARNELO_SETTINGS names. The program's own options may follow
// the device. Without --open it opens the link at once and prints "open"
// when it did; with --open the window opens it itself, and every time the
// link opens or closes the program prints "open" or "closed".
// Tests and benchmarks run it to reach the window from another process.

#include "commandline.h"
#include "input/heldinputguard.h"
#include "mainwindow.h"
#include "quitsignals.h"

#include <QApplication>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

std::unique_ptr<QSettings> settingsFromEnvironment()
{
    const QString file = qEnvironmentVariable("HARNELO_SETTINGS");
    if (file.isEmpty())
        return nullptr;
    return std::make_unique<QSettings>(file, QSettings::IniFormat);
}

} // namespace

int main(int argc, char **argv)
{
    if (const std::optional<int> guardStatus = HeldInputGuard::start(argc, argv))
        return *guardStatus;
    QApplication app(argc, argv);
    QStringList arguments = QApplication::arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: %s DEVICE [OPTION...]\n", argv[0]);
        return 2;
    }
    const QString device = arguments.takeAt(1);
    const std::unique_ptr<QSettings> settings = settingsFromEnvironment();
    const ParsedCommandLine command =
        parseCommandLine(arguments, settings ? recallLinkChoice(*settings) : LinkChoice());
    if (command.outcome != ParsedCommandLine::Run) {
        std::fprintf(stderr, "%s\n", qPrintable(command.message));
        return 2;
    }
    const SerialPortEntry port{device, QStringLiteral("Arduino Uno"), QString()};
    const auto listPort = [port] {
        return QFileInfo::exists(port.name) ? QList<SerialPortEntry>{port} : QList<SerialPortEntry>();
    };
    const WindowStart start{command.options.link, command.options.keepOpen, settings.get(), command.options.trace};
    MainWindow window(nullptr, listPort,
                      createInputBackend(command.options.input, std::nullopt, command.options.keyboardLayout.toStdString()),
                      start);
    closeOnQuitRequests(&window);
    window.show();

    auto *button = window.findChild<QPushButton *>(QStringLiteral("open_close_pb"));
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [button, wasOpen = false]() mutable {
        const bool open = button->property("open").toBool();
        if (open != wasOpen) {
            std::printf(open ? "open\n" : "closed\n");
            std::fflush(stdout);
        }
        wasOpen = open;
    });
    QMetaObject::invokeMethod(&window, "showContentApp");
    if (command.options.keepOpen) {
        watch.start(20);
    } else {
        QTimer::singleShot(0, &window, [button] {
            button->click();
            std::printf(button->property("open").toBool() ? "open\n" : "failed\n");
            std::fflush(stdout);
        });
    }
    return QApplication::exec();
}
