#include "portlist.h"

#include <QSerialPortInfo>

QList<SerialPortEntry> availableSerialPorts()
{
    QList<SerialPortEntry> ports;
    const auto infos = QSerialPortInfo::availablePorts();
    ports.reserve(infos.size());
    for (const QSerialPortInfo &info : infos)
        ports.append({info.portName(), info.description()});
    return ports;
}

QString portLabel(const SerialPortEntry &port)
{
    const bool isArduino = port.description.contains(QLatin1String("Arduino"), Qt::CaseSensitive);
    return port.name + QLatin1String("    -    ")
        + (isArduino ? port.description : QStringLiteral("Unknown"));
}

QString baudRateLabel(int rate)
{
    return QString::number(rate) + QLatin1String("   Baud");
}
