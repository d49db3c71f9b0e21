#pragma once

#include "eventline.h"
#include "input/inputbackend.h"
#include "linkchoice.h"
#include "portlist.h"

#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QSerialPort>

#include <cstdint>
#include <map>
#include <memory>
#include <string_view>

class QLabel;
class QSettings;
class QTimer;

enum StackedWidget_Index { SPLASH = 0, CONTENT = 1 };

// What the window starts with beyond its defaults.
struct WindowStart
{
    // Selected once listed, unless the user picks another port first.
    LinkChoice preselect;
    // Opens preselect.port once the splash is over and the port is present,
    // and again whenever it comes back after a loss, until the user closes it.
    bool keepOpen = false;
    // Where the port and rate are stored whenever a link opens; must outlive
    // the window. None: nowhere.
    QSettings *memory = nullptr;
};

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // portLister says which serial ports exist; tests list pseudo-terminals.
    // input injects what the board sends; when it cannot, the window says why.
    MainWindow(QWidget *parent, PortLister portLister, InputSetup input = createInputBackend(),
               const WindowStart &start = {});
    ~MainWindow() override;

    // Closes the link, if open, stops keeping it open and releases
    // everything the board holds.
    void closeLink();
    // Acts on one event line as if it had come from the port.
    void handleLine(std::string_view line);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void showContentApp();
    void updateDeviceList();
    void loadBaudRate();
    void readData();
    void handleError(QSerialPort::SerialPortError error);
    void setMousePosition(int x, int y);
    void rightPress();
    void rightRelease();
    void leftPress();
    void leftRelease();
    void middlePress();
    void middleRelease();
    void keyboardEvent(KeyboardEvent event, int key);
    void on_open_close_pb_clicked();
    void releaseButtonsAndKeys();
    void keepLinkOpen();

private:
    enum class LinkState { Closed, Waiting, Reading, Lost, Failing };

    int indexOfPort(const QString &name) const;
    void selectPendingPort();
    void selectBaudRate(int rate);
    bool openLink(const QString &port, int baud);
    void startKeepingOpen(const QString &port, int baud);
    void attemptToKeepOpen(int portIndex);
    void handleDeviceLoss();
    void injectWhatArrived();
    void releaseHeldInput();
    void applyEvent(const EventLine &line);
    void moveMouseBy(int dx, int dy);
    void recordKey(int key, bool held);
    void rebuildPortSelector();
    void showLinkState(LinkState state);
    QString describeLinkState(LinkState state) const;
    // Tells the user when input could not be injected.
    void reportInputFailure();

    Ui::MainWindow *ui;
    QTimer *device_refresh_timer = nullptr;
    QList<SerialPortEntry> serial_ports_list;
    QSerialPort *serial_port = nullptr;
    QList<int> baud_rate_list;
    std::map<MouseEvent, bool> mouse_event_state;
    std::map<std::uint32_t, bool> keyboard_event_state;

    PortLister port_lister;
    std::unique_ptr<InputBackend> input;
    QString input_problem;
    std::string last_input_failure;
    LineFramer line_framer;

    QSettings *memory = nullptr;
    QLabel *link_state_label = nullptr;
    // The remembered or given port, selected when it appears until the user picks one.
    QString pending_port;
    bool may_keep_open = false;
    bool open_at_start = false;
    bool keeping_open = false;
    bool link_lost = false;
    // What a link kept open opens.
    QString kept_port;
    int kept_baud = 0;
    QString open_failure;
    QElapsedTimer last_open_attempt;
    QTimer *reopen_timer = nullptr;
};
