#include "portlist.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#ifdef Q_OS_LINUX
#include <dirent.h>
#endif

namespace {

#ifdef Q_OS_LINUX
// The USB interface a tty hangs off, from its place in sysfs:
// /sys/devices/.../usb1/1-2/1-2:1.0/tty/ttyACM0 gives "1-2:1.0". Empty for other ttys.
QString usbLocation(const QString &portName)
{
    static const QRegularExpression usbInterface(QStringLiteral("^\\d+-[\\d.]+:\\d+\\.\\d+$"));
    const QString device = QFileInfo(QStringLiteral("/sys/class/tty/") + portName)
                               .canonicalFilePath();
    const QStringList parts = device.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        if (usbInterface.match(*part).hasMatch())
            return *part;
    }
    return QString();
}
#endif

BoardIdentity identityOf(const QSerialPortInfo &info)
{
    BoardIdentity identity;
    identity.serialNumber = info.serialNumber();
    if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
        identity.vendorId = info.vendorIdentifier();
        identity.productId = info.productIdentifier();
    }
#ifdef Q_OS_LINUX
    if (identity.isKnown())
        identity.location = usbLocation(info.portName());
#endif
    return identity;
}

// On Linux this takes some 20 ms with the usual 70 ttys: libudev reads about
// forty sysfs files for each, some 2900 opens in all.
QList<SerialPortEntry> listSerialPorts()
{
    QList<SerialPortEntry> ports;
    const auto infos = QSerialPortInfo::availablePorts();
    ports.reserve(infos.size());
    for (const QSerialPortInfo &info : infos)
        ports.append({info.portName(), info.description(), info.manufacturer(), identityOf(info)});
    return ports;
}

#ifdef Q_OS_LINUX
// The names and inode numbers of the kernel's tty devices, read in one
// directory listing. Sysfs numbers every new entry afresh, so a board
// swapped for another between two calls changes this too.
std::optional<QByteArray> ttyDevicesFingerprint()
{
    DIR *directory = opendir("/sys/class/tty");
    if (!directory)
        return std::nullopt;
    QByteArray fingerprint;
    while (const dirent *entry = readdir(directory)) {
        fingerprint += entry->d_name;
        fingerprint += ' ';
        fingerprint += QByteArray::number(static_cast<qulonglong>(entry->d_ino));
        fingerprint += '\n';
    }
    closedir(directory);
    return fingerprint;
}
#endif

bool namesArduino(const QString &text)
{
    return text.contains(QLatin1String("Arduino"), Qt::CaseSensitive);
}

// udev gives the product id in place of a product name the board lacks.
bool isBareProductId(const QString &description)
{
    static const QRegularExpression productId(QStringLiteral("^[0-9A-Fa-f]{4}$"));
    return productId.match(description).hasMatch();
}

bool isWebAddress(const QString &word)
{
    static const QRegularExpression address(QStringLiteral("^[(\\[<]*(www\\.|[a-z]+://)"),
                                            QRegularExpression::CaseInsensitiveOption);
    return address.match(word).hasMatch();
}

// udev turns the spaces and brackets of "Arduino (www.arduino.cc)" into '_',
// which Qt gives back as spaces: "Arduino  www.arduino.cc ". Either way the
// board maker's name is what is left without the web address.
QString manufacturerName(const QString &manufacturer)
{
    QStringList words = manufacturer.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    words.removeIf(isWebAddress);
    return words.join(QLatin1Char(' '));
}

// Empty unless the port says it is an Arduino.
QString arduinoName(const SerialPortEntry &port)
{
    if (namesArduino(port.description))
        return port.description;
    const QString maker = manufacturerName(port.manufacturer);
    if (!namesArduino(maker))
        return QString();
    const QString product = port.description.simplified();
    if (product.isEmpty() || isBareProductId(product))
        return maker;
    return maker + QLatin1Char(' ') + product;
}

// The device a port name opens, as QSerialPort resolves it.
QString deviceOf(const QString &name)
{
#ifdef Q_OS_WIN
    const bool hasPrefix = name.startsWith(QLatin1String("\\\\.\\")) || name.startsWith(QLatin1String("//./"));
    return (hasPrefix ? name.mid(4) : name).toUpper();
#else
    const bool isPath = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
        || name.startsWith(QLatin1String("../"));
    return isPath ? name : QStringLiteral("/dev/") + name;
#endif
}

} // namespace

bool isSameBoard(const BoardIdentity &kept, const BoardIdentity &seen)
{
    if (!kept.isKnown())
        return true;
    if (kept.vendorId != seen.vendorId || kept.productId != seen.productId
        || kept.serialNumber != seen.serialNumber)
        return false;
    return !kept.serialNumber.isEmpty() || kept.location == seen.location;
}

bool isSamePort(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    const QString deviceA = deviceOf(a);
    const QString deviceB = deviceOf(b);
    if (deviceA == deviceB)
        return true;
#ifdef Q_OS_WIN
    return false;
#else
    // Empty for a device that is not there.
    const QString resolvedA = QFileInfo(deviceA).canonicalFilePath();
    return !resolvedA.isEmpty() && resolvedA == QFileInfo(deviceB).canonicalFilePath();
#endif
}

int indexOfPort(const QList<SerialPortEntry> &ports, const QString &name)
{
    for (int i = 0; i < ports.size(); ++i) {
        if (isSamePort(ports.at(i).name, name))
            return i;
    }
    return -1;
}

QList<SerialPortEntry> availableSerialPorts()
{
#ifdef Q_OS_LINUX
    static ListOnChange lister(listSerialPorts, ttyDevicesFingerprint);
    return lister();
#else
    return listSerialPorts();
#endif
}

ListOnChange::ListOnChange(PortLister fullListing,
                           std::function<std::optional<QByteArray>()> fingerprint)
    : full_listing(std::move(fullListing)), fingerprint(std::move(fingerprint))
{
}

QList<SerialPortEntry> ListOnChange::operator()()
{
    const std::optional<QByteArray> now = fingerprint();
    if (!now || now != last_fingerprint)
        settle_calls_left = SettleCalls + 1;
    last_fingerprint = now;
    if (settle_calls_left > 0) {
        --settle_calls_left;
        last_listing = full_listing();
    }
    return last_listing;
}

QString portLabel(const SerialPortEntry &port)
{
    const QString board = arduinoName(port);
    return port.name + QLatin1String("    -    ") + (board.isEmpty() ? QStringLiteral("Unknown") : board);
}

QString baudRateLabel(int rate)
{
    return QString::number(rate) + QLatin1String("   Baud");
}
