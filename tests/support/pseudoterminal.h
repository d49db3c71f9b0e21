#pragma once

#include "link/portlist.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A pseudo-terminal standing in for a board: the window opens the device
// side as its serial port, the test writes event lines to the controller side.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isOpen() const { return controller >= 0; }
    // The device path the window opens, e.g. /dev/pts/3.
    QString devicePath() const { return path; }
    // The controller side, where the test plays the board.
    int controllerFd() const { return controller; }

    // Writes all of data; while the terminal's buffer is full the event loop
    // runs, so an in-process window can read.
    bool write(const QByteArray &data);
    // Bytes written that the device side has not read yet.
    int unreadBytes() const;
    // Waits, running the event loop, until the device side has read all
    // that was written; false when it has not within timeout.
    bool waitUntilRead(int timeout = 10000) const;
    // The board goes away: the device side hangs up.
    void hangUp();

private:
    int controller = -1;
    // Held open so the device side stays usable between the window's opens.
    int keeper = -1;
    QString path;
};

// A board that can be unplugged and plugged in again, each time as a new
// pseudo-terminal. Like a USB board it has a stable name, a link as
// /dev/serial/by-id/... is, and is listed under the terminal's own path,
// as a system lists the kernel's name for it (/dev/ttyACM0).
class PluggableBoard
{
public:
    void plugIn(const BoardIdentity &identity = {});
    void unplug();
    bool isPluggedIn() const { return terminal != nullptr; }
    // The identity the port list shows from now on.
    void describeAs(const BoardIdentity &identity) { this->identity = identity; }
    QString stableName() const { return name; }
    PortLister lister() const;
    // Writes lines and waits until the other side has read them.
    bool send(const QByteArray &lines);

private:
    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("usb-Board-if00"));
    std::unique_ptr<PseudoTerminal> terminal;
    BoardIdentity identity;
};
