#include "windowlessbridge.h"

#include "linetrace.h"

#include <cstdio>

WindowlessBridge::WindowlessBridge(const LinkChoice &board, std::unique_ptr<InputBackend> input,
                                   QSettings *memory, PortLister portLister)
    : link_keeper(serial_link, memory), remote_input(std::move(input)), port_lister(std::move(portLister))
{
    remote_input.backend().whenFailingLater([this] { reportInputFailure(); });
    connect(&serial_link, &SerialLink::readyRead, this, &WindowlessBridge::readData);
    connect(&serial_link, &SerialLink::errorOccurred, this, &WindowlessBridge::handleError);
    connect(&link_keeper, &LinkKeeper::stateChanged, this, [this] {
        std::fprintf(stderr, "%s\n", qPrintable(link_keeper.describe()));
    });
    connect(&link_keeper, &LinkKeeper::notice, this,
            [](const QString &text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
    connect(&device_refresh_timer, &QTimer::timeout, this, &WindowlessBridge::updateDeviceList);
    device_refresh_timer.start(1000);
    updateDeviceList();
    link_keeper.keep(board);
}

void WindowlessBridge::stop()
{
    link_keeper.close();
    remote_input.releaseButtonsAndKeys();
    reportInputFailure();
}

void WindowlessBridge::traceLines()
{
    (new LineTrace(stderr, this))->follow(serial_link, link_keeper, remote_input);
}

void WindowlessBridge::readData()
{
    {
        InputBatch batch(remote_input.backend());
        serial_link.readLines([this](std::string_view line) { remote_input.handleLine(line); });
    }
    reportInputFailure();
}

void WindowlessBridge::handleError(QSerialPort::SerialPortError error)
{
    if (!link_keeper.handleError(error))
        return;
    remote_input.releaseButtonsAndKeys();
    reportInputFailure();
}

void WindowlessBridge::updateDeviceList()
{
    link_keeper.setPorts(port_lister());
}

void WindowlessBridge::reportInputFailure()
{
    // Written to standard error, once for each kind of failure.
    remote_input.takeFailure();
}
