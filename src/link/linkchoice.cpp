#include "linkchoice.h"

#include <QSerialPortInfo>
#include <QSettings>

#include <algorithm>

namespace {

const QString PortKey = QStringLiteral("link/port");
const QString BaudKey = QStringLiteral("link/baud");
const QString SerialNumberKey = QStringLiteral("board/serial");
const QString VendorKey = QStringLiteral("board/vendor");
const QString ProductKey = QStringLiteral("board/product");
const QString LocationKey = QStringLiteral("board/location");

// Longer than any device path; a longer value is not one we stored.
constexpr int MaxPortNameLength = 1024;
// Nine digits always fit an int.
constexpr int MaxRateDigits = 9;

std::optional<QString> storedText(const QVariant &value)
{
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString text = value.toString();
    const bool printable = std::all_of(text.begin(), text.end(), [](QChar c) { return c.isPrint(); });
    if (text.size() > MaxPortNameLength || !printable)
        return std::nullopt;
    return text;
}

std::optional<QString> storedPort(const QVariant &value)
{
    const std::optional<QString> name = storedText(value);
    if (!name || name->isEmpty())
        return std::nullopt;
    return name;
}

// Text files hold strings; the Windows registry holds numbers.
std::optional<int> storedNumber(const QVariant &value)
{
    static const QList<int> numberTypes = {QMetaType::QString, QMetaType::Int, QMetaType::UInt,
                                           QMetaType::LongLong, QMetaType::ULongLong};
    if (!numberTypes.contains(value.typeId()))
        return std::nullopt;
    return parsePositiveNumber(value.toString());
}

std::optional<int> storedBaud(const QVariant &value)
{
    const std::optional<int> rate = storedNumber(value);
    if (!rate || !offeredBaudRates().contains(*rate))
        return std::nullopt;
    return rate;
}

std::optional<quint16> storedUsbId(const QVariant &value)
{
    if (value.toString() == QLatin1String("0"))
        return 0;
    const std::optional<int> id = storedNumber(value);
    if (!id || *id > 0xFFFF)
        return std::nullopt;
    return static_cast<quint16>(*id);
}

// Settings written before boards were known by identity have none.
BoardIdentity storedBoard(const QSettings &settings)
{
    const std::optional<quint16> vendor = storedUsbId(settings.value(VendorKey));
    const std::optional<quint16> product = storedUsbId(settings.value(ProductKey));
    const std::optional<QString> serialNumber = storedText(settings.value(SerialNumberKey, QString()));
    const std::optional<QString> location = storedText(settings.value(LocationKey, QString()));
    if (!vendor || !product || !serialNumber || !location)
        return {};
    return {*serialNumber, *vendor, *product, *location};
}

} // namespace

QList<int> offeredBaudRates()
{
    return QSerialPortInfo::standardBaudRates();
}

std::optional<int> parsePositiveNumber(const QString &text)
{
    const bool digitsOnly = std::all_of(text.begin(), text.end(),
                                        [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    if (text.isEmpty() || text.size() > MaxRateDigits || !digitsOnly)
        return std::nullopt;
    const int number = text.toInt();
    if (number <= 0)
        return std::nullopt;
    return number;
}

LinkChoice recallLinkChoice(const QSettings &settings)
{
    LinkChoice choice;
    choice.port = storedPort(settings.value(PortKey)).value_or(QString());
    choice.baud = storedBaud(settings.value(BaudKey));
    if (!choice.port.isEmpty())
        choice.board = storedBoard(settings);
    return choice;
}

void rememberLinkChoice(QSettings &settings, const LinkChoice &choice)
{
    settings.setValue(PortKey, choice.port);
    if (choice.baud)
        settings.setValue(BaudKey, *choice.baud);
    if (choice.board.isKnown()) {
        settings.setValue(SerialNumberKey, choice.board.serialNumber);
        settings.setValue(VendorKey, choice.board.vendorId);
        settings.setValue(ProductKey, choice.board.productId);
        settings.setValue(LocationKey, choice.board.location);
    } else {
        settings.remove(QStringLiteral("board"));
    }
    settings.sync();
}

int PortChoice::entryToSelect(const QList<SerialPortEntry> &ports, const QString &selectedBefore) const
{
    const int index = following ? indexOfPort(ports, chosen) : -1;
    // Plugging in another device must not retarget Open to a different port.
    return index >= 0 ? index : indexOfPort(ports, selectedBefore);
}

QString PortChoice::nameToOpen(const QString &listedName) const
{
    return isSamePort(chosen, listedName) ? chosen : listedName;
}

void PortChoice::userPicked(const QString &listedName)
{
    following = false;
    if (!isSamePort(chosen, listedName))
        chosen = listedName;
}

void PortChoice::follow(const QString &name)
{
    chosen = name;
    following = true;
}
