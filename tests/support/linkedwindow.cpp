#include "linkedwindow.h"

#include <QMetaObject>
#include <QtTest>

LinkedWindow::LinkedWindow(const QString &description)
    : ports({{board.devicePath(), description, QString()}}), window(nullptr, [this] { return ports; })
{
}

void LinkedWindow::showContent()
{
    window.show();
    QMetaObject::invokeMethod(&window, "showContentApp");
    QVERIFY(QTest::qWaitForWindowExposed(&window));
}

bool LinkedWindow::clickOpenClose()
{
    QTest::mouseClick(button(), Qt::LeftButton);
    return isLinkOpen();
}

bool LinkedWindow::isLinkOpen() const
{
    return button()->property("open").toBool();
}

bool LinkedWindow::send(const QByteArray &lines)
{
    if (!board.write(lines))
        return false;
    settle();
    return true;
}

void LinkedWindow::settle()
{
    QVERIFY2(board.waitUntilRead(), qPrintable(QString::number(board.unreadBytes()) + " bytes unread"));
    // The window reads and injects in one go; let the X server catch up.
    QTest::qWait(20);
}

QPushButton *LinkedWindow::button() const
{
    return window.findChild<QPushButton *>(QStringLiteral("open_close_pb"));
}

QComboBox *LinkedWindow::portSelector() const
{
    return window.findChild<QComboBox *>(QStringLiteral("port_cb"));
}

QComboBox *LinkedWindow::rateSelector() const
{
    return window.findChild<QComboBox *>(QStringLiteral("baud_rate_cb"));
}
