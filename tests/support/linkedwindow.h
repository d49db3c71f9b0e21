#pragma once

#include "mainwindow.h"
#include "pseudoterminal.h"

#include <QComboBox>
#include <QPushButton>

// The real window, with a pseudo-terminal listed as its only serial port:
// the test plays the board on the terminal's controller side.
class LinkedWindow
{
public:
    explicit LinkedWindow(const QString &description = QStringLiteral("Arduino Uno"));

    // Skips the splash's wait so the content page shows at once.
    void showContent();
    // Clicks the real button; true when the link is open afterwards.
    bool clickOpenClose();
    bool isLinkOpen() const;
    // Writes to the board's end and lets the window read it.
    bool send(const QByteArray &lines);
    // Waits until the window has read everything written so far.
    void settle();

    QPushButton *button() const;
    QComboBox *portSelector() const;
    QComboBox *rateSelector() const;

    PseudoTerminal board;
    QList<SerialPortEntry> ports;
    MainWindow window;
};
