#pragma once

#include <QByteArray>
#include <QString>

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
    // The board goes away: the device side hangs up.
    void hangUp();

private:
    int controller = -1;
    // Held open so the device side stays usable between the window's opens.
    int keeper = -1;
    QString path;
};
