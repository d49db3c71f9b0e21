#pragma once

#include <QObject>
#include <QString>

class QLabel;
class QStatusBar;
class QTimer;

// The status bar's line: the link's state, and beside it for a while a word
// about input (the last failure to inject, or which way input goes). Texts
// too long for the fixed window give way, and show whole as tooltips.
class StatusLine : public QObject
{
    Q_OBJECT

public:
    // How long a word about input stays beside the link's state (ms).
    static constexpr int NoticeShownFor = 10000;

    explicit StatusLine(QStatusBar *bar);

    void showLinkState(const QString &text);
    void showInputNotice(const QString &text);
    // Hidden on the splash.
    void setShown(bool shown);

private:
    void update();

    QStatusBar *bar;
    QLabel *link_state_label;
    QLabel *input_notice_label;
    QTimer *notice_timer;
    QString link_state;
    QString input_notice;
    bool shown = false;
};
