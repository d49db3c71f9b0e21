#include "quitsignals.h"

#include "mainwindow.h"

#include <QCoreApplication>
#include <QGuiApplication>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop does the rest.
void onQuitSignal(int signal)
{
    // The code this interrupted may be about to read errno.
    const int savedErrno = errno;
    const char byte = static_cast<char>(signal);
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    static_cast<void>(written);
    errno = savedErrno;
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

} // namespace
#endif

void stopOnQuitSignals(QObject *context, const std::function<void()> &stop)
{
#ifdef Q_OS_UNIX
    if (signalPipe[0] < 0 && !openSignalPipe())
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [stop] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        stop();
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        // A signal ignored when the program started (SIGHUP under nohup) is
        // meant to stay ignored.
        struct sigaction previous = {};
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
#else
    static_cast<void>(context), static_cast<void>(stop);
#endif
}

void closeOnQuitRequests(MainWindow *window)
{
    stopOnQuitSignals(window, [window] { window->close(); });
    // The user may still cancel the logout: the window stays, the board's
    // input does not.
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, window, &MainWindow::closeLink);
}
