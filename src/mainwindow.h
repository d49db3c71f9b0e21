#pragma once

#include "eventline.h"
#include "input/inputbackend.h"
#include "portlist.h"

#include <QList>
#include <QMainWindow>
#include <QSerialPort>

#include <cstdint>
#include <map>
#include <memory>
#include <string_view>

class QTimer;

enum StackedWidget_Index { SPLASH = 0, CONTENT = 1 };

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
    MainWindow(QWidget *parent, PortLister portLister, InputSetup input = createInputBackend());
    ~MainWindow() override;

    // Closes the link, if open, and releases everything the board holds.
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

private:
    void injectWhatArrived();
    void releaseHeldInput();
    void applyEvent(const EventLine &line);
    void moveMouseBy(int dx, int dy);
    void recordKey(int key, bool held);
    void rebuildPortSelector();
    void showLinkState(bool open);
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
};
