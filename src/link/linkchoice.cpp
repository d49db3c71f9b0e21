#include "linkchoice.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSettings>

#include <algorithm>

namespace {

const QString PortKey = QStringLiteral("link/port");
const QString BaudKey = QStringLiteral("link/baud");

// Longer than any device path; a longer value is not one we stored.
constexpr int MaxPortNameLength = 1024;
// Nine digits always fit an int.
constexpr int MaxRateDigits = 9;

std::optional<QString> storedPort(const QVariant &value)
{
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString name = value.toString();
    const bool printable = std::all_of(name.begin(), name.end(), [](QChar c) { return c.isPrint(); });
    if (name.isEmpty() || name.size() > MaxPortNameLength || !printable)
        return std::nullopt;
    return name;
}

std::optional<int> storedBaud(const QVariant &value)
{
    // Text files hold strings; the Windows registry holds numbers.
    static const QList<int> numberTypes = {QMetaType::QString, QMetaType::Int, QMetaType::UInt,
                                           QMetaType::LongLong, QMetaType::ULongLong};
    if (!numberTypes.contains(value.typeId()))
        return std::nullopt;
    const std::optional<int> rate = parsePositiveNumber(value.toString());
    if (!rate || !offeredBaudRates().contains(*rate))
        return std::nullopt;
    return rate;
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
    return choice;
}

void rememberLinkChoice(QSettings &settings, const QString &port, int baud)
{
    settings.setValue(PortKey, port);
    settings.setValue(BaudKey, baud);
    settings.sync();
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
