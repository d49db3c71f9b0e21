#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "input/inputbackend.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>

namespace {

// Past this many entries the key record forgets the ones that can send
// nothing on release, so a board naming endless key codes cannot exhaust memory.
constexpr std::size_t KeyRecordPruneSize = 1024;

// A port that will not open is tried again at most this often.
constexpr qint64 RetryInterval = 1000;
// How long a failure to inject stays over the link's state.
constexpr int InputFailureShownFor = 10000;
// What the status bar's frame and margins take of the window's width.
constexpr int StatusBarMargins = 24;

int saturatingAdd(int a, int b)
{
    const long long sum = static_cast<long long>(a) + b;
    return static_cast<int>(std::clamp<long long>(sum, INT_MIN, INT_MAX));
}

// The toolkit scales cursor positions to device pixels without bounds, so a
// wild position would overflow there; the desktop's edge is as far as it goes.
QPoint onDesktop(int x, int y)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return {x, y};
    const QRect desktop = screen->virtualGeometry();
    return {std::clamp(x, desktop.left(), desktop.right()),
            std::clamp(y, desktop.top(), desktop.bottom())};
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : MainWindow(parent, availableSerialPorts, createInputBackend()) {}

MainWindow::MainWindow(QWidget *parent, PortLister portLister, InputSetup inputSetup, const WindowStart &start)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      port_lister(std::move(portLister)),
      input(std::move(inputSetup.backend)),
      input_problem(QString::fromStdString(inputSetup.problem)),
      memory(start.memory),
      pending_port(start.preselect.port),
      may_keep_open(start.keepOpen),
      open_at_start(start.keepOpen),
      kept_port(start.preselect.port)
{
    if (!inputSetup.route.empty()) std::fprintf(stderr, "%s\n", inputSetup.route.c_str());
    if (!input_problem.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(input_problem));
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    statusBar()->setSizeGripEnabled(false);
    link_state_label = new QLabel(this);
    link_state_label->setObjectName(QStringLiteral("link_state_label"));
    link_state_label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(link_state_label, 1);
    // Not on the splash.
    link_state_label->hide();

    serial_port = new QSerialPort(this);
    connect(serial_port, SIGNAL(readyRead()), this, SLOT(readData()));
    connect(serial_port, &QSerialPort::errorOccurred, this, &MainWindow::handleError);
    reopen_timer = new QTimer(this);
    reopen_timer->setSingleShot(true);
    reopen_timer->setTimerType(Qt::PreciseTimer);
    connect(reopen_timer, &QTimer::timeout, this, &MainWindow::keepLinkOpen);

    // A port the user picks wins over the remembered one.
    connect(ui->port_cb, &QComboBox::activated, this, [this] { pending_port.clear(); });
    updateDeviceList();
    loadBaudRate();
    if (start.preselect.baud)
        selectBaudRate(*start.preselect.baud);
    showLinkState(LinkState::Closed);

    mouse_event_state[RIGHT_PRESS] = false;
    mouse_event_state[LEFT_PRESS] = false;
    mouse_event_state[MIDDLE_PRESS] = false;

    // A precise timer: a coarse one may end the splash up to 150 ms early.
    QTimer::singleShot(3000, Qt::PreciseTimer, this, &MainWindow::showContentApp);

    device_refresh_timer = new QTimer(this);
    connect(device_refresh_timer, SIGNAL(timeout()), this, SLOT(updateDeviceList()));
    device_refresh_timer->start(1000);

    setStyleSheet(QStringLiteral("background-color: rgb(60, 60, 60)"));
}

MainWindow::~MainWindow()
{
    // The program can end without a close event (the application told to
    // quit); nothing the board holds may outlive the window.
    releaseButtonsAndKeys();
    delete ui;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    closeLink();
    event->accept();
}

void MainWindow::showContentApp()
{
    setStyleSheet(QString());
    ui->content_sw->setCurrentIndex(CONTENT);
    setWindowFlags(Qt::Window);
    link_state_label->show();
    show();
    if (std::exchange(open_at_start, false))
        startKeepingOpen(kept_port, baud_rate_list.value(ui->baud_rate_cb->currentIndex()));
    // The link still opens; the user must know why nothing would happen.
    if (!input_problem.isEmpty()) {
        auto *box = new QMessageBox(QMessageBox::Warning, tr("Harnelo"), input_problem, QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
}

void MainWindow::updateDeviceList()
{
    const QList<SerialPortEntry> ports = port_lister();
    // Any change rebuilds the selector, not only a change in number: a board
    // swapped for another must never keep the old board's label.
    if (ports != serial_ports_list) {
        const int chosen = ui->port_cb->currentIndex();
        const QString chosenName = chosen >= 0 && chosen < serial_ports_list.size()
            ? serial_ports_list.at(chosen).name
            : QString();
        serial_ports_list = ports;
        rebuildPortSelector();

        // Plugging in another device must not retarget Open to a different port.
        const int stillThere = indexOfPort(chosenName);
        if (stillThere >= 0)
            ui->port_cb->setCurrentIndex(stillThere);
        selectPendingPort();
    }
    keepLinkOpen();
}

int MainWindow::indexOfPort(const QString &name) const
{
    for (int i = 0; i < serial_ports_list.size(); ++i) {
        if (isSamePort(serial_ports_list.at(i).name, name))
            return i;
    }
    return -1;
}

void MainWindow::selectPendingPort()
{
    const int index = pending_port.isEmpty() ? -1 : indexOfPort(pending_port);
    if (index >= 0)
        ui->port_cb->setCurrentIndex(index);
}

void MainWindow::rebuildPortSelector()
{
    ui->port_cb->clear();
    for (const SerialPortEntry &port : std::as_const(serial_ports_list))
        ui->port_cb->addItem(portLabel(port));
    if (ui->port_cb->isVisible())
        ui->port_cb->hidePopup();
}

void MainWindow::loadBaudRate()
{
    baud_rate_list = offeredBaudRates();
    for (const int rate : std::as_const(baud_rate_list))
        ui->baud_rate_cb->addItem(baudRateLabel(rate));
}

void MainWindow::selectBaudRate(int rate)
{
    const int index = static_cast<int>(baud_rate_list.indexOf(rate));
    if (index >= 0)
        ui->baud_rate_cb->setCurrentIndex(index);
}

void MainWindow::readData()
{
    injectWhatArrived();
    reportInputFailure();
}

void MainWindow::injectWhatArrived()
{
    InputBatch batch(*input);
    char chunk[4096];
    qint64 size;
    while ((size = serial_port->read(chunk, sizeof chunk)) > 0) {
        line_framer.feed(std::string_view(chunk, static_cast<std::size_t>(size)),
                         [this](std::string_view line) { handleLine(line); });
    }
}

void MainWindow::reportInputFailure()
{
    const std::string failure = input->takeError();
    if (failure.empty())
        return;
    // A failure that goes on shows again with the next line.
    statusBar()->showMessage(tr("Input failed: %1").arg(QString::fromStdString(failure)), InputFailureShownFor);
    // Once per kind of failure: a board pouring in lines must not flood the terminal.
    if (failure != last_input_failure)
        std::fprintf(stderr, "Harnelo could not inject input: %s\n", failure.c_str());
    last_input_failure = failure;
}

void MainWindow::handleLine(std::string_view line)
{
    if (const auto event = decodeEventLine(line))
        applyEvent(*event);
}

void MainWindow::applyEvent(const EventLine &line)
{
    if (line.device == KEYBOARD) {
        const auto event = static_cast<KeyboardEvent>(line.event);
        keyboardEvent(event, line.arg1);
        recordKey(line.arg1, event == PRESS);
        return;
    }
    switch (line.event) {
    case MOVE:
        moveMouseBy(line.arg1, line.arg2);
        break;
    case POSITION:
        setMousePosition(line.arg1, line.arg2);
        break;
    case SCROLL:
        input->turnWheel(line.arg1);
        break;
    case RIGHT_PRESS:
        rightPress();
        break;
    case RIGHT_RELEASE:
        rightRelease();
        break;
    case LEFT_PRESS:
        leftPress();
        break;
    case LEFT_RELEASE:
        leftRelease();
        break;
    case MIDDLE_PRESS:
        middlePress();
        break;
    case MIDDLE_RELEASE:
        middleRelease();
        break;
    }
}

void MainWindow::moveMouseBy(int dx, int dy)
{
    if (input->moveCursorBy(dx, dy))
        return;
    const QPoint current = QCursor::pos();
    setMousePosition(saturatingAdd(current.x(), dx), saturatingAdd(current.y(), dy));
}

void MainWindow::recordKey(int key, bool held)
{
    keyboard_event_state[static_cast<std::uint32_t>(key)] = held;
    if (keyboard_event_state.size() <= KeyRecordPruneSize)
        return;
    for (auto entry = keyboard_event_state.begin(); entry != keyboard_event_state.end();) {
        const bool sendsOnRelease = entry->second && isVirtualKey(static_cast<int>(entry->first));
        entry = sendsOnRelease ? std::next(entry) : keyboard_event_state.erase(entry);
    }
}

void MainWindow::handleError(QSerialPort::SerialPortError error)
{
    // A vanished device shows up as ResourceError on Windows; on Linux a tty
    // that hangs up reads as end of file, which the port reports as ReadError.
    const bool deviceLost = error == QSerialPort::ResourceError
        || (error == QSerialPort::ReadError && ui->open_close_pb->property("open").toBool());
    if (!deviceLost)
        return;
    if (keeping_open)
        handleDeviceLoss();
    else
        closeLink();
}

void MainWindow::handleDeviceLoss()
{
    serial_port->close();
    releaseButtonsAndKeys();
    link_lost = true;
    // The device is gone for now: the next try waits like any retry.
    last_open_attempt.start();
    showLinkState(LinkState::Lost);
    reopen_timer->start(RetryInterval);
}

void MainWindow::setMousePosition(int x, int y)
{
    if (!input->moveCursorTo(x, y))
        QCursor::setPos(onDesktop(x, y));
}

void MainWindow::rightPress()
{
    input->pressButton(MouseButton::Right);
    mouse_event_state[RIGHT_PRESS] = true;
}

void MainWindow::rightRelease()
{
    input->releaseButton(MouseButton::Right);
    mouse_event_state[RIGHT_PRESS] = false;
}

void MainWindow::leftPress()
{
    input->pressButton(MouseButton::Left);
    mouse_event_state[LEFT_PRESS] = true;
}

void MainWindow::leftRelease()
{
    input->releaseButton(MouseButton::Left);
    mouse_event_state[LEFT_PRESS] = false;
}

void MainWindow::middlePress()
{
    input->pressButton(MouseButton::Middle);
    mouse_event_state[MIDDLE_PRESS] = true;
}

void MainWindow::middleRelease()
{
    input->releaseButton(MouseButton::Middle);
    mouse_event_state[MIDDLE_PRESS] = false;
}

void MainWindow::keyboardEvent(KeyboardEvent event, int key)
{
    if (key == 0)
        return;
    input->sendKey(key, event == PRESS);
}

void MainWindow::on_open_close_pb_clicked()
{
    // Closing never depends on the port list: the port that is open may
    // already have left it.
    if (ui->open_close_pb->property("open").toBool() || keeping_open) {
        closeLink();
        return;
    }
    if (ui->port_cb->currentText().isEmpty())
        return;

    const int current_port = ui->port_cb->currentIndex();
    const int current_br = ui->baud_rate_cb->currentIndex();
    if (current_port < 0 || current_port >= serial_ports_list.size() || current_br < 0
        || current_br >= baud_rate_list.size())
        return;

    pending_port.clear();
    const QString port = serial_ports_list.at(current_port).name;
    const int baud = baud_rate_list.at(current_br);
    // Started to keep the link open: Open resumes that, and a port that will
    // not open is retried with the reason in the status bar.
    if (may_keep_open)
        startKeepingOpen(port, baud);
    else if (!openLink(port, baud))
        QMessageBox::critical(this, tr("Error"), serial_port->errorString());
}

bool MainWindow::openLink(const QString &port, int baud)
{
    serial_port->setPortName(port);
    serial_port->setBaudRate(baud, QSerialPort::AllDirections);
    serial_port->setDataBits(QSerialPort::Data8);
    serial_port->setParity(QSerialPort::NoParity);
    serial_port->setStopBits(QSerialPort::OneStop);
    if (!serial_port->open(QIODevice::ReadOnly))
        return false;

    // What the board sent before Open was pressed is nothing the user asked for.
    serial_port->clear(QSerialPort::Input);
    line_framer = LineFramer();
    link_lost = false;
    if (memory)
        rememberLinkChoice(*memory, port, baud);
    showLinkState(LinkState::Reading);
    return true;
}

void MainWindow::startKeepingOpen(const QString &port, int baud)
{
    keeping_open = true;
    link_lost = false;
    kept_port = port;
    kept_baud = baud;
    // The user asked just now: no need to wait for a retry.
    last_open_attempt.invalidate();
    showLinkState(LinkState::Waiting);
    keepLinkOpen();
}

void MainWindow::keepLinkOpen()
{
    if (!keeping_open || serial_port->isOpen())
        return;
    const int index = indexOfPort(kept_port);
    if (index < 0) {
        showLinkState(link_lost ? LinkState::Lost : LinkState::Waiting);
        return;
    }
    ui->port_cb->setCurrentIndex(index);
    const qint64 waited = last_open_attempt.isValid() ? last_open_attempt.elapsed() : RetryInterval;
    if (waited < RetryInterval) {
        reopen_timer->start(static_cast<int>(RetryInterval - waited));
        return;
    }
    attemptToKeepOpen(index);
}

void MainWindow::attemptToKeepOpen(int portIndex)
{
    last_open_attempt.start();
    if (openLink(serial_ports_list.at(portIndex).name, kept_baud))
        return;
    open_failure = serial_port->errorString();
    showLinkState(LinkState::Failing);
    reopen_timer->start(RetryInterval);
}

void MainWindow::closeLink()
{
    keeping_open = false;
    link_lost = false;
    reopen_timer->stop();
    serial_port->close();
    showLinkState(LinkState::Closed);
    releaseButtonsAndKeys();
}

void MainWindow::showLinkState(LinkState state)
{
    const bool open = state == LinkState::Reading;
    // While the link is kept open, Close stops that even before the port is there.
    const bool engaged = open || keeping_open;
    ui->open_close_pb->setText(engaged ? QStringLiteral("Close") : QStringLiteral("Open"));
    ui->open_close_pb->setProperty("open", open);
    ui->port_cb->setDisabled(engaged);
    ui->baud_rate_cb->setDisabled(engaged);

    const QString text = describeLinkState(state);
    link_state_label->setToolTip(text);
    // The window's width is fixed: a long port name gives way in the middle.
    link_state_label->setText(
        link_state_label->fontMetrics().elidedText(text, Qt::ElideMiddle, width() - StatusBarMargins));
}

QString MainWindow::describeLinkState(LinkState state) const
{
    switch (state) {
    case LinkState::Closed:
        break;
    case LinkState::Waiting:
        return tr("Waiting for %1").arg(kept_port);
    case LinkState::Reading:
        return tr("Reading %1 at %2 baud").arg(serial_port->portName()).arg(serial_port->baudRate());
    case LinkState::Lost:
        return tr("Lost %1 (reopening)").arg(kept_port);
    case LinkState::Failing:
        return tr("%1: %2 (retrying)").arg(kept_port, open_failure);
    }
    return tr("Closed");
}

void MainWindow::releaseButtonsAndKeys()
{
    releaseHeldInput();
    reportInputFailure();
}

void MainWindow::releaseHeldInput()
{
    InputBatch batch(*input);
    static const std::pair<MouseEvent, MouseButton> buttons[] = {
        {RIGHT_PRESS, MouseButton::Right},
        {LEFT_PRESS, MouseButton::Left},
        {MIDDLE_PRESS, MouseButton::Middle},
    };
    for (const auto &[state, button] : buttons) {
        if (mouse_event_state[state])
            input->releaseButton(button);
    }
    for (const auto &[state, button] : buttons)
        mouse_event_state[state] = false;

    for (auto &[code, held] : keyboard_event_state) {
        if (held) {
            keyboardEvent(RELEASE, static_cast<int>(code));
            held = false;
        }
    }
    // Whatever the record no longer names (it forgets codes that are not
    // keys), and what the backend set up to press keys.
    input->releaseAllKeys();
}
