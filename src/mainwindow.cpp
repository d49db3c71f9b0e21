#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "input/inputbackend.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSerialPortInfo>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

// Past this many entries the key record forgets the ones that can send
// nothing on release, so a board naming endless key codes cannot exhaust memory.
constexpr std::size_t KeyRecordPruneSize = 1024;

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

MainWindow::MainWindow(QWidget *parent, PortLister portLister, InputSetup inputSetup)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      port_lister(std::move(portLister)),
      input(std::move(inputSetup.backend)),
      input_problem(QString::fromStdString(inputSetup.problem))
{
    if (!input_problem.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(input_problem));
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    statusBar()->setSizeGripEnabled(false);

    updateDeviceList();
    loadBaudRate();

    mouse_event_state[RIGHT_PRESS] = false;
    mouse_event_state[LEFT_PRESS] = false;
    mouse_event_state[MIDDLE_PRESS] = false;

    // A precise timer: a coarse one may end the splash up to 150 ms early.
    QTimer::singleShot(3000, Qt::PreciseTimer, this, &MainWindow::showContentApp);

    device_refresh_timer = new QTimer(this);
    connect(device_refresh_timer, SIGNAL(timeout()), this, SLOT(updateDeviceList()));
    device_refresh_timer->start(1000);

    serial_port = new QSerialPort(this);
    connect(serial_port, SIGNAL(readyRead()), this, SLOT(readData()));
    connect(serial_port, &QSerialPort::errorOccurred, this, &MainWindow::handleError);

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
    releaseButtonsAndKeys();
    serial_port->close();
    event->accept();
}

void MainWindow::showContentApp()
{
    setStyleSheet(QString());
    ui->content_sw->setCurrentIndex(CONTENT);
    setWindowFlags(Qt::Window);
    show();
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
    if (ports == serial_ports_list)
        return;

    const int chosen = ui->port_cb->currentIndex();
    const QString chosenName = chosen >= 0 && chosen < serial_ports_list.size()
        ? serial_ports_list.at(chosen).name
        : QString();
    serial_ports_list = ports;
    rebuildPortSelector();

    // Plugging in another device must not retarget Open to a different port.
    for (int i = 0; i < serial_ports_list.size(); ++i) {
        if (serial_ports_list.at(i).name == chosenName) {
            ui->port_cb->setCurrentIndex(i);
            break;
        }
    }
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
    baud_rate_list = QSerialPortInfo::standardBaudRates();
    for (const int rate : std::as_const(baud_rate_list))
        ui->baud_rate_cb->addItem(baudRateLabel(rate));
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
    statusBar()->showMessage(tr("Input failed: %1").arg(QString::fromStdString(failure)));
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
    if (deviceLost)
        closeLink();
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
    if (ui->open_close_pb->property("open").toBool()) {
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

    serial_port->setPortName(serial_ports_list.at(current_port).name);
    serial_port->setBaudRate(baud_rate_list.at(current_br), QSerialPort::AllDirections);
    serial_port->setDataBits(QSerialPort::Data8);
    serial_port->setParity(QSerialPort::NoParity);
    serial_port->setStopBits(QSerialPort::OneStop);

    if (serial_port->open(QIODevice::ReadOnly)) {
        // What the board sent before Open was pressed is nothing the user asked for.
        serial_port->clear(QSerialPort::Input);
        line_framer = LineFramer();
        showLinkState(true);
    } else {
        QMessageBox::critical(this, tr("Error"), serial_port->errorString());
    }
}

void MainWindow::closeLink()
{
    serial_port->close();
    showLinkState(false);
    releaseButtonsAndKeys();
}

void MainWindow::showLinkState(bool open)
{
    ui->open_close_pb->setText(open ? QStringLiteral("Close") : QStringLiteral("Open"));
    ui->open_close_pb->setProperty("open", open);
    ui->port_cb->setDisabled(open);
    ui->baud_rate_cb->setDisabled(open);
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
