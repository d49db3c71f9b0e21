#include "seriallink.h"

#include "portsharing.h"

SerialLink::SerialLink(QObject *parent) : QObject(parent), serial_port(new QSerialPort(this))
{
    connect(serial_port, &QSerialPort::readyRead, this, &SerialLink::readyRead);
    connect(serial_port, &QSerialPort::errorOccurred, this, &SerialLink::handleError);
}

bool SerialLink::open(const QString &port, int baud)
{
    opened_name = port;
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
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
        return false;
    if (!serial_port->isOpen())
        return error == QSerialPort::ResourceError;
#ifdef Q_OS_UNIX
    return hasHungUp(serial_port->handle());
#else
    return true;
#endif
}

QString SerialLink::devicePath() const
{
#ifdef Q_OS_WIN
    return opened_name;
#else
    return opened_name.startsWith(QLatin1Char('/')) ? opened_name : QStringLiteral("/dev/") + opened_name;
#endif
}

void SerialLink::handleError(QSerialPort::SerialPortError error)
{
    const bool readError = error == QSerialPort::ReadError || error == QSerialPort::ResourceError;
    if (readError && serial_port->isOpen() && !isDeviceLoss(error)) {
        // The port stops watching for input after a ResourceError; setting
        // its buffer size is the one public way to have it watch again.
        serial_port->setReadBufferSize(serial_port->readBufferSize());
        emit readNothing();
    }
    emit errorOccurred(error);
}
