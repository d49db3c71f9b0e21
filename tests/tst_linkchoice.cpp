// The remembered port, rate and board: a real settings file, damaged values
// ignored; and how boards and ports chosen by name are told apart.

#include "link/linkchoice.h"
#include "link/portlist.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(BoardIdentity)

class TestLinkChoice : public QObject
{
    Q_OBJECT

private slots:
    void roundTripsThroughASettingsFile();
    void ignoresDamagedValues_data();
    void ignoresDamagedValues();
    void tellsBoardsApart_data();
    void tellsBoardsApart();
    void followsThePortChosenByName();
    void findsAPortByAnyOfItsNames();

private:
    QTemporaryDir folder;
};

void TestLinkChoice::roundTripsThroughASettingsFile()
{
    const QString file = folder.filePath(QStringLiteral("roundtrip.conf"));
    const QString port = QStringLiteral("/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043-if00");
    const LinkChoice uno{port, 115200, {QStringLiteral("75833353035351B0F1B1"), 0x2341, 0x0043, "1-2:1.0"}};
    const LinkChoice pty{QStringLiteral("/dev/pts/3"), 9600, {}};
    {
        QSettings settings(file, QSettings::IniFormat);
        QCOMPARE(recallLinkChoice(settings), LinkChoice());
        rememberLinkChoice(settings, uno);
    }
    QCOMPARE(recallLinkChoice(QSettings(file, QSettings::IniFormat)), uno);
    {
        // A device without identity leaves none of the last board's behind.
        QSettings settings(file, QSettings::IniFormat);
        rememberLinkChoice(settings, pty);
    }
    QCOMPARE(recallLinkChoice(QSettings(file, QSettings::IniFormat)), pty);
}

void TestLinkChoice::ignoresDamagedValues_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("baud"); // 0: none recalled
    QTest::addColumn<bool>("board"); // whether a board's identity is recalled
    const QByteArray port = "[link]\nport=ttyACM0\n";
    // As the version before boards were known by identity wrote it.
    QTest::newRow("sound") << port + "baud=115200" << "ttyACM0" << 115200 << false;
    QTest::newRow("rate of 0") << port + "baud=0" << "ttyACM0" << 0 << false;
    QTest::newRow("negative rate") << port + "baud=-9600" << "ttyACM0" << 0 << false;
    QTest::newRow("rate not offered") << port + "baud=250000" << "ttyACM0" << 0 << false;
    QTest::newRow("text for a rate") << port + "baud=fast" << "ttyACM0" << 0 << false;
    QTest::newRow("rate beyond int") << port + "baud=99999999999" << "ttyACM0" << 0 << false;
    QTest::newRow("list for a rate") << port + "baud=9600, 115200" << "ttyACM0" << 0 << false;
    QTest::newRow("empty port") << QByteArray("[link]\nport=\nbaud=9600") << "" << 9600 << false;
    QTest::newRow("control character in port") << QByteArray("[link]\nport=tty\\x1b[2J") << "" << 0 << false;
    const QByteArray board = port + "baud=9600\n[board]\n";
    QTest::newRow("board") << board + "serial=A1\nvendor=9025\nproduct=67\nlocation=1-2:1.0" << "ttyACM0" << 9600
                           << true;
    QTest::newRow("board without serial number")
        << board + "serial=\nvendor=6790\nproduct=29987\nlocation=1-2:1.0" << "ttyACM0" << 9600 << true;
    QTest::newRow("vendor beyond 16 bits") << board + "serial=A1\nvendor=65536\nproduct=67" << "ttyACM0" << 9600
                                           << false;
    QTest::newRow("product missing") << board + "serial=A1\nvendor=9025" << "ttyACM0" << 9600 << false;
    QTest::newRow("text for a vendor") << board + "serial=A1\nvendor=arduino\nproduct=67" << "ttyACM0" << 9600
                                       << false;
}

void TestLinkChoice::ignoresDamagedValues()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, port);
    QFETCH(int, baud);
    QFETCH(bool, board);
    // One file each: the toolkit caches settings files by name, size and time.
    QFile file(folder.filePath(QLatin1String(QTest::currentDataTag()) + QStringLiteral(".conf")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(stored) == stored.size());
    file.close();
    const LinkChoice recalled = recallLinkChoice(QSettings(file.fileName(), QSettings::IniFormat));
    QCOMPARE(recalled.port, port);
    QCOMPARE(recalled.baud.value_or(0), baud);
    QCOMPARE(recalled.board.isKnown(), board);
}

void TestLinkChoice::tellsBoardsApart_data()
{
    QTest::addColumn<BoardIdentity>("kept");
    QTest::addColumn<BoardIdentity>("seen");
    QTest::addColumn<bool>("same");
    const BoardIdentity uno{"A1", 0x2341, 0x0043, "1-2:1.0"};
    const BoardIdentity clone{"", 0x1a86, 0x7523, "1-2:1.0"};
    QTest::newRow("the same board") << uno << uno << true;
    QTest::newRow("in another socket") << uno << BoardIdentity{"A1", 0x2341, 0x0043, "1-3:1.0"} << true;
    QTest::newRow("another serial number") << uno << BoardIdentity{"B2", 0x2341, 0x0043, "1-2:1.0"} << false;
    QTest::newRow("its boot loader") << uno << BoardIdentity{"A1", 0x2341, 0x0036, "1-2:1.0"} << false;
    QTest::newRow("a clone in its socket") << clone << clone << true;
    QTest::newRow("a clone in another socket") << clone << BoardIdentity{"", 0x1a86, 0x7523, "1-3:1.0"} << false;
    QTest::newRow("a device without identity") << uno << BoardIdentity() << false;
    QTest::newRow("kept by name only") << BoardIdentity() << uno << true;
}

void TestLinkChoice::tellsBoardsApart()
{
    QFETCH(BoardIdentity, kept);
    QFETCH(BoardIdentity, seen);
    QFETCH(bool, same);
    QCOMPARE(isSameBoard(kept, seen), same);
}

// A port chosen by a stable name stays chosen by it until the user picks another.
void TestLinkChoice::followsThePortChosenByName()
{
    const QString byId = folder.filePath(QStringLiteral("usb-Board-if00"));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), byId));
    const QList<SerialPortEntry> ports{{"ttyS0", {}, {}}, {"/dev/null", {}, {}}, {"ttyS1", {}, {}}};

    PortChoice choice(byId);
    QCOMPARE(choice.entryToSelect(ports, QStringLiteral("ttyS0")), 1);
    QCOMPARE(choice.nameToOpen(QStringLiteral("/dev/null")), byId);
    QCOMPARE(choice.nameToOpen(QStringLiteral("ttyS1")), QStringLiteral("ttyS1"));
    // Picking the same entry keeps the stable name; picking another ends following it.
    choice.userPicked(QStringLiteral("/dev/null"));
    QCOMPARE(choice.nameToOpen(QStringLiteral("/dev/null")), byId);
    choice.userPicked(QStringLiteral("ttyS1"));
    QCOMPARE(choice.entryToSelect(ports, QStringLiteral("ttyS1")), 2);
    QCOMPARE(choice.nameToOpen(QStringLiteral("/dev/null")), QStringLiteral("/dev/null"));
    // A link kept by the stable name brings it back.
    choice.follow(byId);
    QCOMPARE(choice.entryToSelect(ports, QStringLiteral("ttyS1")), 1);
    QCOMPARE(choice.entryToSelect({{"ttyS1", {}, {}}}, QStringLiteral("ttyS1")), 0);
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
