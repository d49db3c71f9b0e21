#include "seriallink.h"

SerialLink::SerialLink(QObject *parent) : QObject(parent), serial_port(new QSerialPort(this))
{
    connect(serial_port, &QSerialPort::readyRead, this, &SerialLink::readyRead);
    connect(serial_port, &QSerialPort::errorOccurred, this, &SerialLink::errorOccurred);
}

bool SerialLink::open(const QString &port, int baud)
{
    serial_port->setPortName(port);
    serial_port->setBaudRate(baud, QSerialPort::AllDirections);
    serial_port->setDataBits(QSerialPort::Data8);
    serial_port->setParity(QSerialPort::NoParity);
    serial_port->setStopBits(QSerialPort::OneStop);
    if (!serial_port->open(QIODevice::ReadOnly))
        return false;
    serial_port->clear(QSerialPort::Input);
    line_framer = LineFramer();
    return true;
}

void SerialLink::close()
{
    serial_port->close();
}

bool SerialLink::isDeviceLoss(QSerialPort::SerialPortError error) const
{
    return error == QSerialPort::ResourceError || (error == QSerialPort::ReadError && serial_port->isOpen());
}
