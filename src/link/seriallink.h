#pragma once

#include "eventline.h"

#include <QObject>
#include <QSerialPort>

#include <functional>
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
    // Called for every line dropped for being too long, when tracing.
    void whenLineDropped(std::function<void()> dropped) { line_dropped = std::move(dropped); }

    // Whether error means that the device went away. Windows reports a
    // vanished device as ResourceError. On Unix a read that finds nothing
    // is reported as ReadError or ResourceError, whether the tty hung up
    // or another program took what there was to read: only the first is a loss.
    bool isDeviceLoss(QSerialPort::SerialPortError error) const;
    // The device path the port was opened by, e.g. /dev/serial/by-id/...
    QString devicePath() const;

signals:
    void readyRead();
    void errorOccurred(QSerialPort::SerialPortError error);
    // A read found nothing while the device is there: another program
    // reads the port too. The link goes on reading.
    void readNothing();

private:
    void handleError(QSerialPort::SerialPortError error);

    QSerialPort *serial_port;
    LineFramer line_framer;
    QString opened_name;
    std::function<void()> line_dropped;
};

template<typename OnLine>
void SerialLink::readLines(OnLine &&onLine)
{
    char chunk[4096];
    qint64 size;
    while ((size = serial_port->read(chunk, sizeof chunk)) > 0)
        line_framer.feed(std::string_view(chunk, static_cast<std::size_t>(size)), onLine, [this] {
            if (line_dropped)
                line_dropped();
        });
}
