#include "portlist.h"

#include <QtTest>

class TestPortList : public QObject
{
    Q_OBJECT

private slots:
    void labelsPorts_data();
    void labelsPorts();
    void labelsRates();
};

void TestPortList::labelsPorts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("label");
    QTest::newRow("arduino") << "COM4" << "Arduino Uno" << "COM4    -    Arduino Uno";
    QTest::newRow("word inside") << "ttyACM0" << "Genuine Arduino Mega 2560" << "ttyACM0    -    Genuine Arduino Mega 2560";
    QTest::newRow("other device") << "COM1" << "Communications Port" << "COM1    -    Unknown";
    QTest::newRow("lower case is not enough") << "COM5" << "arduino clone" << "COM5    -    Unknown";
    QTest::newRow("no description") << "ttyS0" << "" << "ttyS0    -    Unknown";
}

void TestPortList::labelsPorts()
{
    QFETCH(QString, name);
    QFETCH(QString, description);
    QFETCH(QString, label);
    QCOMPARE(portLabel({name, description}), label);
}

void TestPortList::labelsRates()
{
    QCOMPARE(baudRateLabel(115200), QStringLiteral("115200   Baud"));
    QCOMPARE(baudRateLabel(300), QStringLiteral("300   Baud"));
}

QTEST_APPLESS_MAIN(TestPortList)
#include "tst_portlist.moc"
