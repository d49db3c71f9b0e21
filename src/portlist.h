#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// A serial port as the port selector lists it.
struct SerialPortEntry
{
    QString name;        // as QSerialPort::setPortName takes it
    QString description; // the product, as the system names it
    QString manufacturer;

    bool operator==(const SerialPortEntry &other) const
    {
        return name == other.name && description == other.description
            && manufacturer == other.manufacturer;
    }
};

using PortLister = std::function<QList<SerialPortEntry>()>;

// The serial ports present on this machine, in the system's order. Cheap
// enough to call every second: on Linux the ports are listed again only when
// a tty device came, went or was replaced since the last call.
QList<SerialPortEntry> availableSerialPorts();

// Lists with fullListing only when fingerprint() changed since the last
// call, and for SettleCalls calls after that while the device manager may
// still be filling in descriptions; otherwise gives the last listing. A
// fingerprint of nothing means the system cannot tell: it always lists.
class ListOnChange
{
public:
    static constexpr int SettleCalls = 5;

    ListOnChange(PortLister fullListing, std::function<std::optional<QByteArray>()> fingerprint);
    QList<SerialPortEntry> operator()();

private:
    PortLister full_listing;
    std::function<std::optional<QByteArray>()> fingerprint;
    std::optional<QByteArray> last_fingerprint;
    int settle_calls_left = 0;
    QList<SerialPortEntry> last_listing;
};

// "COM4    -    Arduino Uno"; ports that do not say they are an Arduino
// are listed as "Unknown". A board whose product name leaves Arduino out
// (an Uno R3 on Linux reads "0043") is named by its manufacturer when that
// names Arduino: "ttyACM0    -    Arduino".
QString portLabel(const SerialPortEntry &port);

// "115200   Baud"
QString baudRateLabel(int rate);
