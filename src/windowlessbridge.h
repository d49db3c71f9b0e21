#pragma once

#include "link/linkkeeper.h"
#include "link/portlist.h"
#include "link/seriallink.h"
#include "remoteinput.h"

#include <QObject>
#include <QTimer>

class QSettings;

// The bridge without a window, for consoles, kiosks and services: keeps the
// link to one board open as the window does with --open, injects what the
// board sends, and says on standard error what the link is doing.
class WindowlessBridge : public QObject
{
    Q_OBJECT

public:
    // memory, when given, must outlive the bridge.
    WindowlessBridge(const LinkChoice &board, std::unique_ptr<InputBackend> input, QSettings *memory = nullptr,
                     PortLister portLister = availableSerialPorts);

    // Closes the link and releases everything the board holds.
    void stop();
    // Absolute positions go nowhere: there is no desktop to place them on.
    void ignoreAbsolutePositions() { remote_input.ignoreAbsolutePositions(); }
    LinkKeeper::State state() const { return link_keeper.state(); }
    // Every line the board sends, and what it did, on standard error.
    void traceLines();

private:
    void readData();
    void handleError(QSerialPort::SerialPortError error);
    void updateDeviceList();
    void reportInputFailure();

    SerialLink serial_link;
    LinkKeeper link_keeper;
    RemoteInput remote_input;
    PortLister port_lister;
    QTimer device_refresh_timer;
};
