#include "portsharing.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif
#ifdef Q_OS_LINUX
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#endif

bool hasHungUp(qintptr fd)
{
#ifdef Q_OS_UNIX
    pollfd port{static_cast<int>(fd), POLLIN, 0};
    if (fd < 0 || ::poll(&port, 1, 0) < 0)
        return true;
    return (port.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    static_cast<void>(fd);
    return true;
#endif
}

#ifdef Q_OS_LINUX
namespace {

// Enough for any desktop or server; a scan never runs away on a huge one.
constexpr int MaxProcesses = 65536;
constexpr int MaxFilesPerProcess = 4096;

bool isNumber(const char *name)
{
    if (!*name)
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

bool holds(const QByteArray &process, const QByteArray &device)
{
    const QByteArray folder = "/proc/" + process + "/fd";
    DIR *files = opendir(folder.constData());
    if (!files)
        return false;
    bool found = false;
    char target[4096];
    int seen = 0;
    while (const dirent *entry = readdir(files)) {
        if (++seen > MaxFilesPerProcess || found)
            break;
        const QByteArray link = folder + '/' + entry->d_name;
        const ssize_t length = readlink(link.constData(), target, sizeof target);
        found = length > 0 && QByteArray(target, length) == device;
    }
    closedir(files);
    return found;
}

QString nameOf(const QByteArray &process)
{
    QFile comm(QString::fromLatin1("/proc/" + process + "/comm"));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(comm.read(64).trimmed());
}

} // namespace
#endif

QStringList otherProgramsWith(const QString &device)
{
    QStringList programs;
#ifdef Q_OS_LINUX
    const QByteArray path = QFileInfo(device).canonicalFilePath().toLocal8Bit();
    DIR *processes = opendir("/proc");
    if (path.isEmpty() || !processes)
        return programs;
    const QByteArray self = QByteArray::number(static_cast<qlonglong>(getpid()));
    int seen = 0;
    while (const dirent *entry = readdir(processes)) {
        if (++seen > MaxProcesses)
            break;
        const QByteArray process(entry->d_name);
        if (isNumber(entry->d_name) && process != self && holds(process, path))
            programs << QStringLiteral("%1 (pid %2)").arg(nameOf(process), QString::fromLatin1(process));
    }
    closedir(processes);
#else
    static_cast<void>(device);
#endif
    return programs;
}
