// Runs with QT_SCALE_FACTOR=2: the toolkit's pixels are then not X pixels,
// so cursor moves go through the toolkit's cursor instead of XTest.

#include "linkedwindow.h"
#include "xserver.h"

#include <QGuiApplication>
#include <QtTest>

class TestScaledCursor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void movesThroughTheToolkitsCursor();
    void keepsWildMovesOnTheDesktop();

private:
    XServer x;
};

void TestScaledCursor::initTestCase()
{
    QVERIFY(x.isOpen());
    QCOMPARE(qApp->devicePixelRatio(), 2.0);
}

void TestScaledCursor::movesThroughTheToolkitsCursor()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send("0 7 100 50\n"));
    QTRY_COMPARE(x.pointer(), QPoint(200, 100));
    QVERIFY(linked.send("0 8 30 -10\n"));
    QTRY_COMPARE(x.pointer(), QPoint(260, 80));
    QVERIFY(linked.send("0 8 -5 7\n0 8 -5 7\n"));
    QTRY_COMPARE(x.pointer(), QPoint(240, 108));
}

void TestScaledCursor::keepsWildMovesOnTheDesktop()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    // The desktop's last logical pixel, in X pixels.
    const QPoint bottomRight = QGuiApplication::primaryScreen()->geometry().bottomRight() * 2;

    // A sum past the integer range must not wrap to the other side.
    QVERIFY(linked.send("0 7 100 100\n0 8 2147483647 2147483647\n"));
    QTRY_COMPARE(x.pointer(), bottomRight);
    QVERIFY(linked.send("0 8 -2147483648 -2147483648\n"));
    QTRY_COMPARE(x.pointer(), QPoint(0, 0));
    QVERIFY(linked.send("0 7 2147483647 -2147483648\n"));
    QTRY_COMPARE(x.pointer(), QPoint(bottomRight.x(), 0));
}

QTEST_MAIN(TestScaledCursor)
#include "tst_scaledcursor.moc"
