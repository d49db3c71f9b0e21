#include "quitsignals.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop does the rest.
void onQuitSignal(int signal)
{
    const char byte = static_cast<char>(signal);
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    static_cast<void>(written);
}

bool openSignalPipe()
{
    if (::pipe(signalPipe) != 0)
        return false;
    for (const int fd : signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    return true;
}

void closeOnQuitSignals(QWidget *window)
{
    if (signalPipe[0] < 0 && !openSignalPipe())
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        window->close();
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}

} // namespace
#endif

void closeOnQuitRequests(QWidget *window)
{
#ifdef Q_OS_UNIX
    closeOnQuitSignals(window);
#endif
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, window, &QWidget::close);
}
