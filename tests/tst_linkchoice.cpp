// The remembered port and rate: a real settings file, damaged values ignored.

#include "linkchoice.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestLinkChoice : public QObject
{
    Q_OBJECT

private slots:
    void roundTripsThroughASettingsFile();
    void ignoresDamagedValues_data();
    void ignoresDamagedValues();
    void findsAPortByAnyOfItsNames();

private:
    QTemporaryDir folder;
};

void TestLinkChoice::roundTripsThroughASettingsFile()
{
    const QString file = folder.filePath(QStringLiteral("roundtrip.conf"));
    const QString port = QStringLiteral("/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043-if00");
    {
        QSettings settings(file, QSettings::IniFormat);
        QCOMPARE(recallLinkChoice(settings), LinkChoice());
        rememberLinkChoice(settings, QStringLiteral("COM3"), 9600);
        rememberLinkChoice(settings, port, 115200);
    }
    QCOMPARE(recallLinkChoice(QSettings(file, QSettings::IniFormat)), (LinkChoice{port, 115200}));
}

void TestLinkChoice::ignoresDamagedValues_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("baud"); // 0: none recalled
    const QByteArray port = "[link]\nport=ttyACM0\n";
    QTest::newRow("sound") << port + "baud=115200" << "ttyACM0" << 115200;
    QTest::newRow("rate of 0") << port + "baud=0" << "ttyACM0" << 0;
    QTest::newRow("negative rate") << port + "baud=-9600" << "ttyACM0" << 0;
    QTest::newRow("rate not offered") << port + "baud=250000" << "ttyACM0" << 0;
    QTest::newRow("text for a rate") << port + "baud=fast" << "ttyACM0" << 0;
    QTest::newRow("rate beyond int") << port + "baud=99999999999" << "ttyACM0" << 0;
    QTest::newRow("list for a rate") << port + "baud=9600, 115200" << "ttyACM0" << 0;
    QTest::newRow("empty port") << QByteArray("[link]\nport=\nbaud=9600") << "" << 9600;
    QTest::newRow("control character in port") << QByteArray("[link]\nport=tty\\x1b[2J") << "" << 0;
}

void TestLinkChoice::ignoresDamagedValues()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, port);
    QFETCH(int, baud);
    // One file each: the toolkit caches settings files by name, size and time.
    QFile file(folder.filePath(QLatin1String(QTest::currentDataTag()) + QStringLiteral(".conf")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(stored) == stored.size());
    file.close();
    const LinkChoice recalled = recallLinkChoice(QSettings(file.fileName(), QSettings::IniFormat));
    QCOMPARE(recalled.port, port);
    QCOMPARE(recalled.baud.value_or(0), baud);
}

void TestLinkChoice::findsAPortByAnyOfItsNames()
{
    const QString link = folder.filePath(QStringLiteral("usb-Arduino-if00"));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), link));
    QVERIFY(isSamePort(QStringLiteral("ttyACM0"), QStringLiteral("/dev/ttyACM0")));
    QVERIFY(isSamePort(link, QStringLiteral("null")));
    QVERIFY(!isSamePort(QStringLiteral("ttyACM0"), QStringLiteral("ttyACM1")));
    QVERIFY(QFile::remove(link) && QFile::link(folder.filePath(QStringLiteral("gone")), link));
    QVERIFY(!isSamePort(link, folder.filePath(QStringLiteral("gone"))));
}

QTEST_GUILESS_MAIN(TestLinkChoice)
#include "tst_linkchoice.moc"
