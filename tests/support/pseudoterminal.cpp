#include "pseudoterminal.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    // Non-blocking: a test writing more than the terminal buffers must go on
    // running the window's event loop so the window can read.
    // Close-on-exec: a program the test starts must not hold the board open.
    controller = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (controller < 0)
        return;
    if (grantpt(controller) != 0 || unlockpt(controller) != 0) {
        hangUp();
        return;
    }
    path = QString::fromLocal8Bit(ptsname(controller));
    keeper = ::open(ptsname(controller), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (keeper >= 0 && tcgetattr(keeper, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(keeper, TCSANOW, &settings);
    }
}

PseudoTerminal::~PseudoTerminal()
{
    hangUp();
}

bool PseudoTerminal::write(const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t written = ::write(controller, data.constData() + done,
                                        static_cast<size_t>(data.size() - done));
        if (written > 0) {
            done += written;
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            pollfd waitForRoom{controller, POLLOUT, 0};
            poll(&waitForRoom, 1, 1);
        }
    }
    return true;
}

int PseudoTerminal::unreadBytes() const
{
    int count = 0;
    if (keeper < 0 || ioctl(keeper, FIONREAD, &count) != 0)
        return 0;
    return count;
}

bool PseudoTerminal::waitUntilRead(int timeout) const
{
    // Written bytes reach the device side a moment later, from a kernel work
    // queue: until then nothing shows unread. So nothing unread must hold twice.
    const auto allRead = [this] {
        if (unreadBytes() != 0)
            return false;
        QTest::qWait(20);
        return unreadBytes() == 0;
    };
    return QTest::qWaitFor(allRead, timeout);
}

void PseudoTerminal::hangUp()
{
    if (keeper >= 0)
        ::close(keeper);
    if (controller >= 0)
        ::close(controller);
    keeper = controller = -1;
}

void PluggableBoard::plugIn(const BoardIdentity &identity)
{
    terminal = std::make_unique<PseudoTerminal>();
    this->identity = identity;
    QFile::remove(name);
    QFile::link(terminal->devicePath(), name);
}

void PluggableBoard::unplug()
{
    terminal.reset();
    QFile::remove(name);
}

PortLister PluggableBoard::lister() const
{
    return [this] {
        if (!terminal)
            return QList<SerialPortEntry>();
        return QList<SerialPortEntry>{{terminal->devicePath(), QStringLiteral("Arduino Uno"), QString(), identity}};
    };
}

bool PluggableBoard::send(const QByteArray &lines)
{
    return terminal && terminal->write(lines)
        && terminal->waitUntilRead();
}
