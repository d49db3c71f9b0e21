#pragma once

#include "eventline.h"

#include <QObject>
#include <QSerialPort>

#include <string_view>

// The serial port a board talks through, cut into event lines: opened
// read-only at 8 data bits, no parity and one stop bit.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    explicit SerialLink(QObject *parent = nullptr);

    // Drops whatever the board sent before, so that only what comes after
    // Open is acted on. On failure errorString() says why.
    bool open(const QString &port, int baud);
    void close();
    bool isOpen() const { return serial_port->isOpen(); }
    QString errorString() const { return serial_port->errorString(); }
    QString portName() const { return serial_port->portName(); }
    int baudRate() const { return serial_port->baudRate(); }

    // Calls onLine(std::string_view) for every complete line that arrived, in order.
    template<typename OnLine>
    void readLines(OnLine &&onLine);

    // Whether error means that the device went away. Windows reports a
    // vanished device as ResourceError; on Linux a tty that hangs up reads
    // as end of file, which the port reports as ReadError.
    bool isDeviceLoss(QSerialPort::SerialPortError error) const;

signals:
    void readyRead();
    void errorOccurred(QSerialPort::SerialPortError error);

private:
    QSerialPort *serial_port;
    LineFramer line_framer;
};

template<typename OnLine>
void SerialLink::readLines(OnLine &&onLine)
{
    char chunk[4096];
    qint64 size;
    while ((size = serial_port->read(chunk, sizeof chunk)) > 0)
        line_framer.feed(std::string_view(chunk, static_cast<std::size_t>(size)), onLine);
}
