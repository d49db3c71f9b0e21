// The real program from outside: its command line, what it remembers, and
// how it says that it cannot inject. Runs harnelo_linked, which opens its
// port at once and prints "open" when it did. Every run keeps its settings
// in a folder of the test's own, never the user's.

#ifdef HARNELO_UMOCKDEV_WRAPPER
// Before any Qt header: GLib's headers use "signals" as a name.
#include <umockdev.h>
#endif

#include "input/inputbackend.h"
#include "link/linkchoice.h"
#include "pseudoterminal.h"
#include "xserver.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

#include <X11/keysym.h>

namespace {

const QByteArray CannotInject = "Harnelo cannot move the mouse or press keys: ";

// Where the uinput device is present this machine cannot show its absence.
bool hasUinput()
{
    return QFileInfo::exists(QStringLiteral("/dev/uinput"));
}

const QString Title = QStringLiteral("Harnelo     V1.0");

// Settings under home: $XDG_CONFIG_HOME/Harnelo/harnelo.conf for the program,
// home/linked.conf for harnelo_linked.
QProcessEnvironment withSettingsIn(const QTemporaryDir &home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("HARNELO_SETTINGS"), home.filePath(QStringLiteral("linked.conf")));
    return environment;
}

// As on a console, or in a service started before any desktop.
QProcessEnvironment withoutDisplay(QProcessEnvironment environment)
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    return environment;
}

bool writeRememberedChoice(const QTemporaryDir &home, const QByteArray &settings)
{
    const QString folder = home.filePath(QStringLiteral("config/Harnelo"));
    QFile file(folder + QStringLiteral("/harnelo.conf"));
    return QDir().mkpath(folder) && file.open(QIODevice::WriteOnly) && file.write(settings) == settings.size();
}

struct Run
{
    QByteArray output;
    QByteArray errors;
};

// Starts the linked program on the board, waits until it has opened the
// link, then stops it as the desktop would.
Run runLinked(const PseudoTerminal &board, const QStringList &options, const QProcessEnvironment &environment)
{
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(HARNELO_LINKED), QStringList{board.devicePath()} + options);
    Run run;
    if (!program.waitForReadyRead(20000))
        return run;
    run.output = program.readAllStandardOutput();
    program.terminate();
    program.waitForFinished(10000);
    run.errors = program.readAllStandardError();
    return run;
}

// A real Wayland compositor drawing into memory, its socket harnelo-test in
// runtime, and with xwayland an Xwayland whose display it returns once it
// listens. Returns nothing else when weston is not there to run.
QString startWeston(QProcess &compositor, const QTemporaryDir &runtime, bool xwayland)
{
    QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    environment.remove(QStringLiteral("DISPLAY"));
    compositor.setProcessEnvironment(environment);
    const QString log = runtime.filePath(QStringLiteral("weston.log"));
    QStringList options{"--backend=headless-backend.so", "--socket=harnelo-test", "--idle-time=0", "--log=" + log};
    if (xwayland)
        options << QStringLiteral("--xwayland");
    compositor.start(QStringLiteral("weston"), options);
    if (!compositor.waitForStarted())
        return {};
    const QRegularExpression listening(QStringLiteral("xserver listening on display (:\\d+)"));
    for (QDeadlineTimer deadline(20000); !deadline.hasExpired(); QThread::msleep(50)) {
        QFile logFile(log);
        const QByteArray logged = logFile.open(QIODevice::ReadOnly) ? logFile.readAll() : QByteArray();
        const QString display = listening.match(QString::fromUtf8(logged)).captured(1);
        if (QFileInfo::exists(runtime.filePath(QStringLiteral("harnelo-test"))) && (!xwayland || !display.isEmpty()))
            return display;
    }
    return {};
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void refusesBadOptions_data();
    void refusesBadOptions();
    void startsWithoutADisplay_data();
    void startsWithoutADisplay();
    void opensTheRememberedPortWhenAsked();
    void remembersTheLastLink();
    void saysWhenItCannotInject_data();
    void saysWhenItCannotInject();
    void saysWhichWayInputGoes_data();
    void saysWhichWayInputGoes();
    void followsTheKeymapWithoutAWindow();
    void endsWithoutAWindowOnSigtermWithAllReleased();

private:
    PseudoTerminal board;
};

void TestProgram::refusesBadOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("complaint");
    const QByteArray aRate = "--baud takes a whole number of baud above 0, not ";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QByteArray("Unknown option 'bogus'");
    QTest::newRow("unknown input") << QStringList{"--input", "xtest"} << QByteArray("--input takes x11 or uinput");
    QTest::newRow("stray argument") << QStringList{"COM3"} << QByteArray("Unexpected argument: COM3");
    QTest::newRow("rate of 0") << QStringList{"--baud", "0"} << aRate + "0";
    QTest::newRow("text for a rate") << QStringList{"--baud", "fast"} << aRate + "fast";
    QTest::newRow("rate not offered") << QStringList{"--baud", "250000"}
                                      << QByteArray("--baud 250000 is not one of the rates offered: 50, ");
    QTest::newRow("open, no port") << QStringList{"--open"}
                                   << QByteArray("--open needs a port: no port was opened before, so give --port NAME");
    QTest::newRow("no window, not opened") << QStringList{"--no-window", "--port", "ttyACM0", "--baud", "9600"}
                                           << QByteArray("--no-window needs --port NAME and --open");
    QTest::newRow("desktop, no size") << QStringList{"--no-window", "--desktop", "1920"}
                                      << QByteArray("--desktop takes a size such as 1920x1080, not 1920");
    QTest::newRow("desktop with a window") << QStringList{"--desktop", "1920x1080"}
                                           << QByteArray("--desktop is for --no-window");
    QTest::newRow("unknown keyboard layout")
        << QStringList{"--layout", "xx"}
        << QByteArray("--layout takes a keyboard layout XKB knows, such as de, fr or de(nodeadkeys), not xx");
    QTest::newRow("open, no rate") << QStringList{"--port", "ttyACM0", "--open"}
                                   << QByteArray("--open needs a rate: none was used before, so give --baud RATE, one of: 50, ");
}

void TestProgram::refusesBadOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, complaint);
    QTemporaryDir home;
    // The same with a display and without one.
    for (const bool display : {true, false}) {
        QProcess program;
        program.setProcessEnvironment(display ? withSettingsIn(home) : withoutDisplay(withSettingsIn(home)));
        program.start(QStringLiteral(HARNELO_PROGRAM), arguments);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 2);
        const QList<QByteArray> lines = program.readAllStandardError().trimmed().split('\n');
        QVERIFY2(lines.last().startsWith("harnelo: " + complaint), lines.last().constData());
    }
}

void TestProgram::startsWithoutADisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("--no-window");
    QTest::newRow("version") << QStringList{"--version"} << 0 << QByteArray("harnelo 1.0\n");
    QTest::newRow("the window") << QStringList() << 1 << QByteArray("harnelo: there is no display to show");
    if (!hasUinput()) {
        QTest::newRow("no window, no uinput")
            << QStringList{"--no-window", "--port", "ttyS0", "--baud", "9600", "--open"} << 1
            << CannotInject + "/dev/uinput: No such file or directory";
    }
}

void TestProgram::startsWithoutADisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, said);
    QTemporaryDir home;
    QProcess program;
    program.setProcessEnvironment(withoutDisplay(withSettingsIn(home)));
    program.start(QStringLiteral(HARNELO_PROGRAM), arguments);
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), status);
    const QByteArray output = program.readAllStandardOutput() + program.readAllStandardError();
    QVERIFY2(output.contains(said), output.constData());
}

void TestProgram::opensTheRememberedPortWhenAsked()
{
    XServer x;
    QVERIFY(x.isOpen());
    QTemporaryDir home;
    QVERIFY(writeRememberedChoice(home, "[link]\nport=ttyHARNELO9\nbaud=115200\n"));
    QProcess program;
    program.setProcessEnvironment(withSettingsIn(home));
    program.start(QStringLiteral(HARNELO_PROGRAM), {QStringLiteral("--open")});
    // It waits for the port instead of refusing to start.
    QTRY_VERIFY_WITH_TIMEOUT(x.findWindow(Title) != 0, 10000);
    program.terminate();
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
}

void TestProgram::remembersTheLastLink()
{
    QTemporaryDir home;
    const Run first = runLinked(board, {QStringLiteral("--baud"), QStringLiteral("57600")}, withSettingsIn(home));
    QCOMPARE(first.output, QByteArray("open\n"));
    const QSettings settings(home.filePath(QStringLiteral("linked.conf")), QSettings::IniFormat);
    QCOMPARE(recallLinkChoice(settings), (LinkChoice{board.devicePath(), 57600, {}}));

    // No --port: the remembered one is opened.
    const Run second = runLinked(board, {QStringLiteral("--open")}, withSettingsIn(home));
    QCOMPARE(second.output, QByteArray("open\n"));
}

void TestProgram::saysWhenItCannotInject_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("reason");
    if (!hasUinput()) {
        QTest::newRow("uinput asked for") << QStringList{"--input", "uinput"} << QStringList()
                                          << QByteArray("/dev/uinput: No such file or directory");
        // A Wayland session, though the toolkit runs through Xwayland.
        QTest::newRow("Wayland session on X") << QStringList() << QStringList{"XDG_SESSION_TYPE=wayland"}
                                              << QByteArray("/dev/uinput: No such file or directory");
    }
    QTest::newRow("X11 asked for without X") << QStringList{"--input", "x11"}
                                             << QStringList{"DISPLAY=", "QT_QPA_PLATFORM=offscreen"}
                                             << QByteArray("no X server to inject into");
}

void TestProgram::saysWhenItCannotInject()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, reason);
    QProcessEnvironment changed = QProcessEnvironment::systemEnvironment();
    for (const QString &setting : environment) {
        const QString name = setting.section(QLatin1Char('='), 0, 0);
        const QString value = setting.section(QLatin1Char('='), 1);
        if (value.isEmpty())
            changed.remove(name);
        else
            changed.insert(name, value);
    }
    const Run run = runLinked(board, options, changed);
    // Opening the link still works: only injecting does not.
    QCOMPARE(run.output, QByteArray("open\n"));
    QVERIFY2(run.errors.contains(CannotInject + reason), run.errors.constData());
}

void TestProgram::saysWhichWayInputGoes_data()
{
    QTest::addColumn<QString>("session");
    QTest::addColumn<QByteArray>("route");
    const QByteArray throughKernel = "Input goes through the kernel (uinput): ";
    QTest::newRow("X11") << "x11"
                         << "Input goes to the X server " + qgetenv("DISPLAY") + " through XTest: this is an X11 session.";
    QTest::newRow("Wayland") << "wayland"
                             << throughKernel + "the window runs on Wayland, so this is a Wayland session.";
    // As under sudo or in a user service: DISPLAY alone, leading to Xwayland.
    QTest::newRow("Xwayland, DISPLAY alone")
        << "xwayland" << throughKernel + "the X server %1 is Xwayland, so this is a Wayland session.";
}

void TestProgram::saysWhichWayInputGoes()
{
    QFETCH(QString, session);
    QFETCH(QByteArray, route);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QTemporaryDir runtime;
    QProcess compositor;
    if (session != QLatin1String("x11")) {
        const bool xwayland = session == QLatin1String("xwayland");
        if (QStandardPaths::findExecutable(xwayland ? "Xwayland" : "weston").isEmpty())
            QSKIP("weston or Xwayland is not installed (scripts/install-deps test installs them)");
        const QString xDisplay = startWeston(compositor, runtime, xwayland);
        QVERIFY2(!xwayland || !xDisplay.isEmpty(), "weston started no Xwayland");
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        environment.remove(QStringLiteral("XDG_SESSION_TYPE"));
        if (xwayland) {
            environment.insert(QStringLiteral("DISPLAY"), xDisplay);
        } else {
            environment.remove(QStringLiteral("DISPLAY"));
            environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("harnelo-test"));
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        }
        route.replace("%1", xDisplay.toUtf8());
    }
    const Run run = runLinked(board, {}, environment);
    compositor.terminate();
    compositor.waitForFinished(10000);
    QCOMPARE(run.output, QByteArray("open\n"));
    // Through uinput the keyboard layout follows the route, on the same line.
    QVERIFY2(run.errors.contains(route + (route.contains("uinput") && hasUinput() ? " Keyboard layout " : "\n")),
             run.errors.constData());
    // Where this machine has no uinput device, the reason for it still stands.
    if (route.contains("uinput") && !hasUinput())
        QVERIFY2(run.errors.contains(CannotInject + "/dev/uinput"), run.errors.constData());
}

// Without a window, as with --no-window --input x11, the backend has an X
// connection of its own that no toolkit reads.
void TestProgram::followsTheKeymapWithoutAWindow()
{
    XServer x;
    QVERIFY(x.isOpen());
    const InputSetup input = createInputBackend(InputSystem::X11);
    QVERIFY(input.problem.empty());
    const KeyboardLayout french(QStringLiteral("fr"));
    QVERIFY(french.isSwitched());
    EventRecorder recorder(x, 600, 400, 100, 100);
    QTest::qWait(200); // the backend hears of the change

    input.backend->typeCharacter(U'a');
    QTRY_COMPARE(recorder.events().size(), 2);
    const int typed = recorder.events().value(0).section(QLatin1Char(' '), 1).toInt();
    QCOMPARE(x.keysymOf(typed), static_cast<unsigned long>(XK_a));
}

// As a service: SIGTERM ends it with status 0 and everything the board held
// released; --trace tells each line on standard error.
void TestProgram::endsWithoutAWindowOnSigtermWithAllReleased()
{
#ifndef HARNELO_UMOCKDEV_WRAPPER
    QSKIP("umockdev is not installed (scripts/install-deps test installs it)");
#else
    XServer x;
    QVERIFY(x.isOpen());
    x.releaseEverything();
    UMockdevTestbed *testbed = umockdev_testbed_new();
    // A device node ("N:") of a tty is backed by a pseudo-terminal; the
    // toolkit lists only ttys that hang off a device.
    QVERIFY(umockdev_testbed_add_from_string(testbed,
                                             "P: /devices/board\nE: SUBSYSTEM=usb\n\n"
                                             "P: /devices/board/ttyHARNELO0\nN: ttyHARNELO0\nE: SUBSYSTEM=tty\n"
                                             "E: DEVNAME=/dev/ttyHARNELO0\nA: dev=166:0\n",
                                             nullptr));
    const int board = umockdev_testbed_get_dev_fd(testbed, "/dev/ttyHARNELO0");
    QVERIFY(board >= 0);
    QTemporaryDir home;
    QProcessEnvironment environment = withSettingsIn(home);
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    environment.insert(QStringLiteral("UMOCKDEV_DIR"), QString::fromLocal8Bit(root));
    g_free(root);
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(HARNELO_UMOCKDEV_WRAPPER),
                  {QStringLiteral(HARNELO_PROGRAM), "--no-window", "--input", "x11", "--port", "ttyHARNELO0", "--baud",
                   "115200", "--open", "--trace"});
    QByteArray errors;
    QTRY_VERIFY2_WITH_TIMEOUT((errors += program.readAllStandardError()).contains("Reading ttyHARNELO0"), errors.constData(), 10000);
    const QByteArray lines = "1 0 65\n0 2\n";
    QCOMPARE(::write(board, lines.constData(), lines.size()), lines.size());
    QTRY_VERIFY(x.isKeyDown(XK_a) && x.buttonsDown() == QVector<int>{1});

    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(x.keysDown(), QVector<int>());
    QCOMPARE(x.buttonsDown(), QVector<int>());
    errors += program.readAllStandardError();
    QVERIFY2(errors.contains("\"1 0 65\" press key 65\n"), errors.constData());
    g_object_unref(testbed);
#endif
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
