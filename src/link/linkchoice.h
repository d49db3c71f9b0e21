#pragma once

#include "portlist.h"

#include <QList>
#include <QString>

#include <optional>

class QSettings;

// The port and rate a link is to be opened with, and the board expected there.
struct LinkChoice
{
    QString port;            // as QSerialPort::setPortName takes it; empty: none chosen
    std::optional<int> baud; // none: the rate selector keeps its own default
    BoardIdentity board;     // not known: whatever device the port leads to

    bool operator==(const LinkChoice &other) const
    {
        return port == other.port && baud == other.baud && board == other.board;
    }
};

// The rates the window offers, lowest first.
QList<int> offeredBaudRates();

// A whole number above zero written in decimal digits only, as a rate must be.
std::optional<int> parsePositiveNumber(const QString &text);

// The choice stored when a link was last opened. A value that is damaged or
// not ours (a rate not offered, text where a number belongs) is left out;
// so is a board's identity that is not whole.
LinkChoice recallLinkChoice(const QSettings &settings);
void rememberLinkChoice(QSettings &settings, const LinkChoice &choice);

// The port the selector shows and Open opens, beyond the user's own picks.
// A port chosen by name (remembered, given on the command line, or the one
// a link was opened or kept with) is selected whenever it is listed, until
// the user picks another; and Open opens it by that name, so a
// /dev/serial/by-id/... path stays one across Close and Open.
class PortChoice
{
public:
    explicit PortChoice(const QString &name = QString()) : chosen(name), following(!name.isEmpty()) {}

    // The entry to select in a new listing, given the name selected in the
    // last one; -1 leaves the selector's own choice.
    int entryToSelect(const QList<SerialPortEntry> &ports, const QString &selectedBefore) const;
    // The name to open the entry listed under listedName by.
    QString nameToOpen(const QString &listedName) const;
    void userPicked(const QString &listedName);
    void follow(const QString &name);

private:
    QString chosen;
    bool following;
};
