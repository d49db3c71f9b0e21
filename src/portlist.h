#pragma once

#include <QList>
#include <QString>

#include <functional>

// A serial port as the port selector lists it.
struct SerialPortEntry
{
    QString name;        // as QSerialPort::setPortName takes it
    QString description;

    bool operator==(const SerialPortEntry &other) const
    {
        return name == other.name && description == other.description;
    }
};

using PortLister = std::function<QList<SerialPortEntry>()>;

// The serial ports present on this machine, in the system's order.
QList<SerialPortEntry> availableSerialPorts();

// "COM4    -    Arduino Uno"; ports that do not say they are an Arduino
// are listed as "Unknown".
QString portLabel(const SerialPortEntry &port);

// "115200   Baud"
QString baudRateLabel(int rate);
