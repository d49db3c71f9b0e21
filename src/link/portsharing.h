#pragma once

#include <QString>
#include <QStringList>

// What the system can tell about a serial port beyond what the toolkit says.

// Whether the device open on fd has hung up or gone (a board unplugged or
// reset), as opposed to merely having nothing to read. Always true where
// the system cannot tell.
bool hasHungUp(qintptr fd);

// The other programs that have device open, as "ModemManager (pid 612)",
// where the system says (Linux, and only the processes this one may look
// into); empty elsewhere.
QStringList otherProgramsWith(const QString &device);
