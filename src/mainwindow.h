#pragma once

#include "eventline.h"
#include "input/inputbackend.h"
#include "link/linkchoice.h"
#include "link/linkkeeper.h"
#include "link/portlist.h"
#include "link/seriallink.h"
#include "remoteinput.h"

#include <QList>
#include <QMainWindow>
#include <QSerialPort>

#include <memory>
#include <optional>
#include <string_view>

class StatusLine;
class QSettings;
class QTimer;

enum StackedWidget_Index { SPLASH = 0, CONTENT = 1 };

// What the window starts with beyond its defaults.
struct WindowStart
{
    // Selected once listed, unless the user picks another port first.
    LinkChoice preselect;
    // Keeps preselect open from the end of the splash until the user closes
    // it; Open then keeps the chosen port open too.
    bool keepOpen = false;
    // Where every link that opens is remembered; must outlive the window.
    // None: nowhere.
    QSettings *memory = nullptr;
    // Every line the board sends, and what it did, on standard error.
    bool traceLines = false;
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

private:
    void rebuildPortSelector();
    void selectBaudRate(int rate);
    LinkChoice selectedLink() const;
    void showLinkState();
    // Tells the user when input could not be injected.
    void reportInputFailure();

    Ui::MainWindow *ui;
    QTimer *device_refresh_timer = nullptr;
    QList<SerialPortEntry> serial_ports_list;
    SerialLink *serial_link = nullptr;
    LinkKeeper *link_keeper = nullptr;
    QList<int> baud_rate_list;
    // The buttons and keys the board holds, and what its lines do.
    RemoteInput remote_input;

    PortLister port_lister;
    QString input_problem;
    QString input_route;

    PortChoice port_choice;
    bool may_keep_open = false;
    // Kept open once the splash is over, when the command line asked.
    std::optional<LinkChoice> keep_at_start;

    StatusLine *status_line = nullptr;
};
