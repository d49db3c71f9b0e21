#include "link/portlist.h"

#include <QtTest>

class TestPortList : public QObject
{
    Q_OBJECT

private slots:
    void labelsPorts_data();
    void labelsPorts();
    void labelsRates();
    void listsAgainOnlyAfterAChange();
    void listsEveryTimeWithoutAFingerprint();
};

void TestPortList::labelsPorts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("label");
    QTest::newRow("arduino") << "COM4" << "Arduino Uno" << "" << "COM4    -    Arduino Uno";
    QTest::newRow("word inside") << "ttyACM0" << "Genuine Arduino Mega 2560" << "" << "ttyACM0    -    Genuine Arduino Mega 2560";
    QTest::newRow("description wins") << "COM4" << "Arduino Uno" << "Arduino LLC (www.arduino.cc)" << "COM4    -    Arduino Uno";
    QTest::newRow("other device") << "COM1" << "Communications Port" << "(Standard port types)" << "COM1    -    Unknown";
    QTest::newRow("lower case is not enough") << "COM5" << "arduino clone" << "" << "COM5    -    Unknown";
    QTest::newRow("no description") << "ttyS0" << "" << "" << "ttyS0    -    Unknown";

    // Boards without a product name, as udev and as sysfs report them.
    QTest::newRow("uno r3 from udev") << "ttyACM0" << "0043" << "Arduino  www.arduino.cc " << "ttyACM0    -    Arduino";
    QTest::newRow("uno r3 from sysfs") << "ttyACM0" << "" << "Arduino (www.arduino.cc)" << "ttyACM0    -    Arduino";
    QTest::newRow("maker and model") << "ttyACM1" << "UNO R4 Minima" << "Arduino" << "ttyACM1    -    Arduino UNO R4 Minima";
    QTest::newRow("ch340 clone") << "ttyUSB0" << "USB2.0-Serial" << "1a86" << "ttyUSB0    -    Unknown";
    QTest::newRow("maker in lower case") << "ttyUSB1" << "0043" << "arduino compatible" << "ttyUSB1    -    Unknown";
    QTest::newRow("only a web address") << "ttyUSB2" << "7523" << "http://Arduino.example www.Arduino.cc" << "ttyUSB2    -    Unknown";
}

void TestPortList::labelsPorts()
{
    QFETCH(QString, name);
    QFETCH(QString, description);
    QFETCH(QString, manufacturer);
    QFETCH(QString, label);
    QCOMPARE(portLabel({name, description, manufacturer}), label);
}

void TestPortList::labelsRates()
{
    QCOMPARE(baudRateLabel(115200), QStringLiteral("115200   Baud"));
    QCOMPARE(baudRateLabel(300), QStringLiteral("300   Baud"));
}

// A system whose port listing and fingerprint the test sets, counting listings.
struct FakeSystem
{
    QList<SerialPortEntry> ports{{QStringLiteral("ttyACM0"), QStringLiteral("Arduino Uno"), QString()}};
    std::optional<QByteArray> fingerprint = QByteArray("ttyACM0 7");
    int listings = 0;

    ListOnChange lister()
    {
        return ListOnChange([this] { ++listings; return ports; }, [this] { return fingerprint; });
    }
};

void TestPortList::listsAgainOnlyAfterAChange()
{
    FakeSystem system;
    ListOnChange lister = system.lister();
    for (int call = 0; call < 1 + ListOnChange::SettleCalls; ++call)
        lister();
    QCOMPARE(system.listings, 1 + ListOnChange::SettleCalls);

    // Settled: the last listing stands, without asking the system.
    system.ports.clear();
    QCOMPARE(lister().size(), 1);
    QCOMPARE(system.listings, 1 + ListOnChange::SettleCalls);

    // A board swapped for another on the same name is listed at once.
    system.ports = {{QStringLiteral("ttyACM0"), QStringLiteral("Arduino Mega"), QString()}};
    system.fingerprint = QByteArray("ttyACM0 9");
    QCOMPARE(lister(), system.ports);

    // Descriptions that arrive a little after the device still show.
    system.ports = {{QStringLiteral("ttyACM0"), QStringLiteral("Arduino Mega 2560"), QString()}};
    QCOMPARE(lister(), system.ports);
}

void TestPortList::listsEveryTimeWithoutAFingerprint()
{
    FakeSystem system;
    system.fingerprint = std::nullopt;
    ListOnChange lister = system.lister();
    for (int call = 0; call < 3 * ListOnChange::SettleCalls; ++call)
        lister();
    QCOMPARE(system.listings, 3 * ListOnChange::SettleCalls);
}

QTEST_APPLESS_MAIN(TestPortList)
#include "tst_portlist.moc"
