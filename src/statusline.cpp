#include "statusline.h"

#include <QLabel>
#include <QStatusBar>
#include <QTimer>

namespace {

// What the status bar's frame and margins take of its width.
constexpr int Margins = 24;

void showShortened(QLabel *label, const QString &text, int width, Qt::TextElideMode mode)
{
    label->setToolTip(text);
    label->setText(label->fontMetrics().elidedText(text, mode, width));
}

} // namespace

StatusLine::StatusLine(QStatusBar *bar)
    : QObject(bar),
      bar(bar),
      link_state_label(new QLabel(bar)),
      input_notice_label(new QLabel(bar)),
      notice_timer(new QTimer(this))
{
    link_state_label->setObjectName(QStringLiteral("link_state_label"));
    input_notice_label->setObjectName(QStringLiteral("input_notice_label"));
    for (QLabel *label : {link_state_label, input_notice_label}) {
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        bar->addWidget(label, 1);
    }
    notice_timer->setSingleShot(true);
    connect(notice_timer, &QTimer::timeout, this, [this] { showInputNotice(QString()); });
    update();
}

void StatusLine::showLinkState(const QString &text)
{
    link_state = text;
    update();
}

void StatusLine::showInputNotice(const QString &text)
{
    input_notice = text;
    if (!text.isEmpty())
        notice_timer->start(NoticeShownFor);
    update();
}

void StatusLine::setShown(bool shown)
{
    this->shown = shown;
    update();
}

void StatusLine::update()
{
    const bool hasNotice = !input_notice.isEmpty();
    const int width = bar->window()->width() - Margins;
    const int stateWidth = hasNotice ? width / 2 : width;
    showShortened(link_state_label, link_state, stateWidth, Qt::ElideMiddle);
    showShortened(input_notice_label, input_notice, width - stateWidth, Qt::ElideRight);
    link_state_label->setVisible(shown);
    input_notice_label->setVisible(shown && hasNotice);
}
