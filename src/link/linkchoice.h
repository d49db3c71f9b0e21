#pragma once

#include <QList>
#include <QString>

#include <optional>

class QSettings;

// The port and rate a link is to be opened with.
struct LinkChoice
{
    QString port;            // as QSerialPort::setPortName takes it; empty: none chosen
    std::optional<int> baud; // none: the rate selector keeps its own default

    bool operator==(const LinkChoice &other) const { return port == other.port && baud == other.baud; }
};

// The rates the window offers, lowest first.
QList<int> offeredBaudRates();

// A whole number above zero written in decimal digits only, as a rate must be.
std::optional<int> parsePositiveNumber(const QString &text);

// The choice stored when a link was last opened. A value that is damaged or
// not ours (a rate not offered, text where a number belongs) is left out.
LinkChoice recallLinkChoice(const QSettings &settings);
void rememberLinkChoice(QSettings &settings, const QString &port, int baud);

// Whether two port names lead to the same device: "ttyACM0", "/dev/ttyACM0"
// and a link such as /dev/serial/by-id/... to it all do.
bool isSamePort(const QString &a, const QString &b);
