// Lists serial ports the way the program does, through Qt and libudev, over
// devices that umockdev makes up: its preload library shows this process a
// /sys and udev database of the test's own. Runs under umockdev-wrapper.

// Before any Qt header: GLib's headers use "signals" as a name.
#include <umockdev.h>

#include "link/portlist.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

// Read as "75833353035351B0F1B1 2341:0043 at 1-1:1.0" when a comparison fails.
char *toString(const BoardIdentity &board)
{
    return QTest::toString(QStringLiteral("%1 %2:%3 at %4")
                               .arg(board.serialNumber)
                               .arg(board.vendorId, 4, 16, QLatin1Char('0'))
                               .arg(board.productId, 4, 16, QLatin1Char('0'))
                               .arg(board.location));
}

namespace {

// A USB serial board as udev describes it: the manufacturer and product
// with blanks and brackets turned into '_', or the vendor or product id
// where the board gives no string; and its serial number, if it has one.
struct Board
{
    const char *vendorId;
    const char *productId;
    const char *vendor;
    const char *model;
    const char *serial;
};

const Board unoR3{"2341", "0043", "Arduino__www.arduino.cc_", "0043", "75833353035351B0F1B1"};
const Board namedUno{"2341", "0001", "Arduino__www.arduino.cc_", "Arduino_Uno", "A1"};
const Board ch340Clone{"1a86", "7523", "1a86", "USB2.0-Serial", nullptr};

// The devices this process sees under /sys and in udev's database.
class MockSystem
{
public:
    MockSystem() : testbed(umockdev_testbed_new())
    {
        // Without a tty it can list, Qt looks for ports in the real /dev.
        g_free(umockdev_testbed_add_device(testbed, "tty", "tty0", nullptr, nullptr, "DEVNAME", "/dev/tty0", nullptr));
    }

    ~MockSystem()
    {
        for (const int entry : held_entries)
            close(entry);
        g_object_unref(testbed);
    }

    // The tty appears before udev has described it, as on a real system.
    void plugUndescribed(const char *tty)
    {
        const QByteArray usbName = "1-" + QByteArray::number(++usb_ports_used);
        gchar *usb = umockdev_testbed_add_device(testbed, "usb", usbName.constData(), nullptr, nullptr, nullptr);
        const QByteArray interfaceName = usbName + ":1.0";
        gchar *interface = umockdev_testbed_add_device(testbed, "usb", interfaceName.constData(), usb, nullptr, nullptr);
        const QByteArray node = QByteArray("/dev/") + tty;
        gchar *device = umockdev_testbed_add_device(testbed, "tty", tty, interface, nullptr, "DEVNAME", node.constData(), nullptr);
        plugged.insert(tty, {device, usb});
        g_free(device);
        g_free(interface);
        g_free(usb);
    }

    void describe(const char *tty, const Board &board)
    {
        const QByteArray device = plugged.value(tty).first;
        umockdev_testbed_set_property(testbed, device, "ID_VENDOR", board.vendor);
        umockdev_testbed_set_property(testbed, device, "ID_VENDOR_ID", board.vendorId);
        umockdev_testbed_set_property(testbed, device, "ID_MODEL", board.model);
        umockdev_testbed_set_property(testbed, device, "ID_MODEL_ID", board.productId);
        if (board.serial)
            umockdev_testbed_set_property(testbed, device, "ID_SERIAL_SHORT", board.serial);
    }

    void plug(const char *tty, const Board &board)
    {
        plugUndescribed(tty);
        describe(tty, board);
    }

    void unplug(const QByteArray &tty)
    {
        // Sysfs never gives a new entry the number of one removed; a disk
        // file system would, so the old entry is kept alive.
        gchar *sys = umockdev_testbed_get_sys_dir(testbed);
        const QByteArray entry = QByteArray(sys) + "/class/tty/" + tty;
        g_free(sys);
        held_entries.push_back(open(entry.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        QVERIFY2(held_entries.back() >= 0, entry.constData());

        const auto [device, usb] = plugged.take(tty);
        umockdev_testbed_remove_device(testbed, device);
        umockdev_testbed_remove_device(testbed, usb);
    }

    void unplugAll()
    {
        for (const QByteArray &tty : plugged.keys())
            unplug(tty);
    }

private:
    UMockdevTestbed *testbed;
    QHash<QByteArray, std::pair<QByteArray, QByteArray>> plugged; // tty: its device and USB device
    std::vector<int> held_entries;
    int usb_ports_used = 0;
};

QStringList listedLabels()
{
    QStringList labels;
    for (const SerialPortEntry &port : availableSerialPorts())
        labels.append(portLabel(port));
    labels.sort();
    return labels;
}

// Lists until the listing is settled: from then on only a change under
// /sys/class/tty lists again.
void settle()
{
    for (int call = 0; call <= ListOnChange::SettleCalls; ++call)
        availableSerialPorts();
}

} // namespace

class TestPortEnumeration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void labelsBoardsAsTheSystemDescribesThem_data();
    void labelsBoardsAsTheSystemDescribesThem();
    void readsWhoABoardIs();
    void seesBoardsComeAndGo();
    void seesABoardSwappedOnTheSameName();
    void seesDescriptionsThatArriveLate();
    void listsAgainOnlyWhenTheTtysChange();

private:
    MockSystem system;
};

void TestPortEnumeration::initTestCase()
{
    const QStringList ttys = QDir(QStringLiteral("/sys/class/tty")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    QVERIFY2(ttys == QStringList{QStringLiteral("tty0")},
             "this test sees the machine's own devices: run it under umockdev-wrapper");
}

void TestPortEnumeration::cleanup()
{
    system.unplugAll();
}

void TestPortEnumeration::labelsBoardsAsTheSystemDescribesThem_data()
{
    QTest::addColumn<const Board *>("board");
    QTest::addColumn<QString>("label");
    QTest::newRow("uno r3 without a product name") << &unoR3 << "ttyACM0    -    Arduino";
    QTest::newRow("board that names itself") << &namedUno << "ttyACM0    -    Arduino Uno";
    QTest::newRow("ch340 clone") << &ch340Clone << "ttyACM0    -    Unknown";
}

void TestPortEnumeration::labelsBoardsAsTheSystemDescribesThem()
{
    QFETCH(const Board *, board);
    QFETCH(QString, label);
    system.plug("ttyACM0", *board);
    QCOMPARE(listedLabels(), QStringList{label});
}

void TestPortEnumeration::readsWhoABoardIs()
{
    system.plug("ttyACM0", unoR3);
    system.plug("ttyUSB0", ch340Clone);
    QList<SerialPortEntry> ports = availableSerialPorts();
    std::sort(ports.begin(), ports.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
    QCOMPARE(ports.size(), 2);
    // Each sits in a USB socket of its own.
    const QString uno = ports[0].identity.location;
    const QString clone = ports[1].identity.location;
    QVERIFY2(uno.contains(QRegularExpression("^1-\\d+:1\\.0$")) && uno != clone, qPrintable(uno + " " + clone));
    QCOMPARE(ports[0].identity, (BoardIdentity{"75833353035351B0F1B1", 0x2341, 0x0043, uno}));
    QCOMPARE(ports[1].identity, (BoardIdentity{"", 0x1a86, 0x7523, clone}));
}

void TestPortEnumeration::seesBoardsComeAndGo()
{
    settle();
    QCOMPARE(listedLabels(), QStringList());
    system.plug("ttyACM0", unoR3);
    QCOMPARE(listedLabels(), QStringList{"ttyACM0    -    Arduino"});
    settle();
    system.plug("ttyUSB0", ch340Clone);
    QCOMPARE(listedLabels(), QStringList({"ttyACM0    -    Arduino", "ttyUSB0    -    Unknown"}));
    settle();
    system.unplug("ttyACM0");
    QCOMPARE(listedLabels(), QStringList{"ttyUSB0    -    Unknown"});
    settle();
    system.unplug("ttyUSB0");
    QCOMPARE(listedLabels(), QStringList());
}

void TestPortEnumeration::seesABoardSwappedOnTheSameName()
{
    system.plug("ttyACM0", unoR3);
    settle();
    system.unplug("ttyACM0");
    system.plug("ttyACM0", ch340Clone);
    QCOMPARE(listedLabels(), QStringList{"ttyACM0    -    Unknown"});
}

void TestPortEnumeration::seesDescriptionsThatArriveLate()
{
    settle();
    system.plugUndescribed("ttyACM0");
    QCOMPARE(listedLabels(), QStringList{"ttyACM0    -    Unknown"});
    // udev is done by the last call that still lists.
    for (int call = 1; call < ListOnChange::SettleCalls; ++call)
        availableSerialPorts();
    system.describe("ttyACM0", unoR3);
    QCOMPARE(listedLabels(), QStringList{"ttyACM0    -    Arduino"});
}

void TestPortEnumeration::listsAgainOnlyWhenTheTtysChange()
{
    system.plug("ttyACM0", unoR3);
    settle();
    system.describe("ttyACM0", ch340Clone);
    QCOMPARE(listedLabels(), QStringList{"ttyACM0    -    Arduino"});

    system.plug("ttyUSB0", ch340Clone);
    QCOMPARE(listedLabels(), QStringList({"ttyACM0    -    Unknown", "ttyUSB0    -    Unknown"}));
}

QTEST_APPLESS_MAIN(TestPortEnumeration)
#include "tst_portenumeration.moc"
