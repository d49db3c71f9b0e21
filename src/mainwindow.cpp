#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "linetrace.h"
#include "statusline.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>
#include <utility>

MainWindow::MainWindow(QWidget *parent) : MainWindow(parent, availableSerialPorts, createInputBackend()) {}

MainWindow::MainWindow(QWidget *parent, PortLister portLister, InputSetup inputSetup, const WindowStart &start)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      remote_input(std::move(inputSetup.backend)),
      port_lister(std::move(portLister)),
      input_problem(QString::fromStdString(inputSetup.problem)),
      input_route(QString::fromStdString(inputSetup.route)),
      port_choice(start.preselect.port),
      may_keep_open(start.keepOpen)
{
    if (start.keepOpen)
        keep_at_start = start.preselect;
    // Which way input goes, said once at start: here and beside the link's state.
    if (!input_route.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(input_route));
    if (!input_problem.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(input_problem));
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    statusBar()->setSizeGripEnabled(false);
    status_line = new StatusLine(statusBar());

    // Events a backend held back may fail to go out after the line that sent them.
    remote_input.backend().whenFailingLater([this] { reportInputFailure(); });
    serial_link = new SerialLink(this);
    link_keeper = new LinkKeeper(*serial_link, start.memory, this);
    connect(serial_link, SIGNAL(readyRead()), this, SLOT(readData()));
    connect(serial_link, &SerialLink::errorOccurred, this, &MainWindow::handleError);
    connect(link_keeper, &LinkKeeper::stateChanged, this, &MainWindow::showLinkState);
    connect(link_keeper, &LinkKeeper::notice, status_line, &StatusLine::showInputNotice);
    if (start.traceLines)
        (new LineTrace(stderr, this))->follow(*serial_link, *link_keeper, remote_input);
    connect(ui->port_cb, &QComboBox::activated, this,
            [this](int index) { port_choice.userPicked(serial_ports_list.value(index).name); });

    updateDeviceList();
    loadBaudRate();
    if (start.preselect.baud)
        selectBaudRate(*start.preselect.baud);
    showLinkState();

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
    show();
    status_line->setShown(true);
    status_line->showInputNotice(input_route);
    if (std::optional<LinkChoice> choice = std::exchange(keep_at_start, std::nullopt)) {
        if (!choice->baud)
            choice->baud = baud_rate_list.value(ui->baud_rate_cb->currentIndex());
        link_keeper->keep(*choice);
    }
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
        const QString selected = serial_ports_list.value(ui->port_cb->currentIndex()).name;
        serial_ports_list = ports;
        rebuildPortSelector();
        const int index = port_choice.entryToSelect(serial_ports_list, selected);
        if (index >= 0)
            ui->port_cb->setCurrentIndex(index);
    }
    link_keeper->setPorts(serial_ports_list);
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
    {
        InputBatch batch(remote_input.backend());
        serial_link->readLines([this](std::string_view line) { handleLine(line); });
    }
    reportInputFailure();
}

void MainWindow::handleLine(std::string_view line)
{
    remote_input.handleLine(line);
}

void MainWindow::handleError(QSerialPort::SerialPortError error)
{
    if (link_keeper->handleError(error))
        releaseButtonsAndKeys();
}

void MainWindow::setMousePosition(int x, int y)
{
    remote_input.setMousePosition(x, y);
}

void MainWindow::rightPress() { remote_input.setButton(RIGHT_PRESS, true); }
void MainWindow::rightRelease() { remote_input.setButton(RIGHT_PRESS, false); }
void MainWindow::leftPress() { remote_input.setButton(LEFT_PRESS, true); }
void MainWindow::leftRelease() { remote_input.setButton(LEFT_PRESS, false); }
void MainWindow::middlePress() { remote_input.setButton(MIDDLE_PRESS, true); }
void MainWindow::middleRelease() { remote_input.setButton(MIDDLE_PRESS, false); }

void MainWindow::keyboardEvent(KeyboardEvent event, int key)
{
    remote_input.keyboardEvent(event, key);
}

void MainWindow::on_open_close_pb_clicked()
{
    // Closing never depends on the port list: the port that is open may
    // already have left it.
    if (link_keeper->isEngaged()) {
        closeLink();
        return;
    }
    if (ui->port_cb->currentText().isEmpty())
        return;
    const LinkChoice choice = selectedLink();
    if (choice.port.isEmpty() || !choice.baud)
        return;

    // Started to keep the link open: Open does that too, and a port that
    // will not open is retried with the reason in the status bar.
    if (may_keep_open)
        link_keeper->keep(choice);
    else if (!link_keeper->open(choice))
        QMessageBox::critical(this, tr("Error"), serial_link->errorString());
}

// The selected port, by the name it was chosen by, at the selected rate.
LinkChoice MainWindow::selectedLink() const
{
    LinkChoice choice;
    const QString listed = serial_ports_list.value(ui->port_cb->currentIndex()).name;
    choice.port = port_choice.nameToOpen(listed);
    const int rate = ui->baud_rate_cb->currentIndex();
    if (rate >= 0 && rate < baud_rate_list.size())
        choice.baud = baud_rate_list.at(rate);
    return choice;
}

void MainWindow::closeLink()
{
    link_keeper->close();
    releaseButtonsAndKeys();
}

void MainWindow::showLinkState()
{
    const bool engaged = link_keeper->isEngaged();
    ui->open_close_pb->setText(engaged ? QStringLiteral("Close") : QStringLiteral("Open"));
    ui->open_close_pb->setProperty("open", link_keeper->state() == LinkKeeper::State::Open);
    ui->port_cb->setDisabled(engaged);
    ui->baud_rate_cb->setDisabled(engaged);
    // What is open or kept stays selected, and is opened by the same name again.
    if (engaged) {
        port_choice.follow(link_keeper->choice().port);
        const int index = indexOfPort(serial_ports_list, link_keeper->choice().port);
        if (index >= 0)
            ui->port_cb->setCurrentIndex(index);
    }
    status_line->showLinkState(link_keeper->describe());
}

void MainWindow::reportInputFailure()
{
    const std::string failure = remote_input.takeFailure();
    if (failure.empty())
        return;
    // A failure that goes on shows again with the next line.
    status_line->showInputNotice(tr("Input failed: %1").arg(QString::fromStdString(failure)));
}

void MainWindow::releaseButtonsAndKeys()
{
    remote_input.releaseButtonsAndKeys();
    reportInputFailure();
}
