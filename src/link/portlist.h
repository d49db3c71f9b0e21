#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// Who a board is, as far as the system can tell, whatever name it takes.
struct BoardIdentity
{
    QString serialNumber; // the USB serial number; many clones have none
    quint16 vendorId = 0; // USB ids; 0: not a USB device, or not known yet
    quint16 productId = 0;
    // Where it is plugged in, e.g. "1-2:1.0" (bus 1, port 2, interface 0);
    // empty where the system does not say.
    QString location;

    bool isKnown() const { return vendorId != 0 || !serialNumber.isEmpty(); }
    bool operator==(const BoardIdentity &other) const
    {
        return serialNumber == other.serialNumber && vendorId == other.vendorId
            && productId == other.productId && location == other.location;
    }
    bool operator!=(const BoardIdentity &other) const { return !(*this == other); }
};

// Whether seen is the board known as kept: the same USB ids and serial
// number, or without a serial number, the same ids in the same USB socket.
// A kept board of no known identity (a pseudo-terminal, a built-in UART) is
// any device under its name.
bool isSameBoard(const BoardIdentity &kept, const BoardIdentity &seen);

// A serial port as the port selector lists it.
struct SerialPortEntry
{
    SerialPortEntry() = default;
    SerialPortEntry(const QString &name, const QString &description, const QString &manufacturer,
                    const BoardIdentity &identity = {})
        : name(name), description(description), manufacturer(manufacturer), identity(identity)
    {
    }

    QString name;        // as QSerialPort::setPortName takes it
    QString description; // the product, as the system names it
    QString manufacturer;
    BoardIdentity identity;

    bool operator==(const SerialPortEntry &other) const
    {
        return name == other.name && description == other.description
            && manufacturer == other.manufacturer && identity == other.identity;
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

// Whether two port names lead to the same device: "ttyACM0", "/dev/ttyACM0"
// and a link such as /dev/serial/by-id/... to it all do.
bool isSamePort(const QString &a, const QString &b);

// The entry of the list that leads to the device named name (a kernel name
// or any path to it), or -1.
int indexOfPort(const QList<SerialPortEntry> &ports, const QString &name);

// "COM4    -    Arduino Uno"; ports that do not say they are an Arduino
// are listed as "Unknown". A board whose product name leaves Arduino out
// (an Uno R3 on Linux reads "0043") is named by its manufacturer when that
// names Arduino: "ttyACM0    -    Arduino".
QString portLabel(const SerialPortEntry &port);

// "115200   Baud"
QString baudRateLabel(int rate);
