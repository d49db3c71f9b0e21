// The Windows build as users get it, run under Wine on the tests' X server:
// the program from its folder and as the installer puts it, and the line
// test built for Windows. Wine windows are X windows, so the X server shows
// what they do; a COM port of the Wine prefix leads to a pseudo-terminal.

#include "pseudoterminal.h"
#include "xserver.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <termios.h>
#include <unistd.h>

namespace {

const QString WindowTitle = QStringLiteral("Harnelo     V1.0");
// Wine maps COM1 to /dev/ttyS0 unless told otherwise; here it is the board.
const QString ComPort = QStringLiteral("COM1");
const QString UninstallKey =
    QStringLiteral("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Harnelo");

QString cacheDirectory()
{
    const QString chosen = qEnvironmentVariable("HARNELO_CACHE_DIR");
    if (!chosen.isEmpty())
        return chosen;
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
        + QStringLiteral("/harnelo");
}

// Processes other than this one that have the device open.
bool openedElsewhere(const QString &device)
{
    const QString self = QString::number(::getpid());
    QDirIterator processes(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (processes.hasNext()) {
        const QString process = processes.next();
        bool isProcess = false;
        processes.fileName().toInt(&isProcess);
        if (!isProcess || processes.fileName() == self)
            continue;
        QDirIterator files(process + QStringLiteral("/fd"), QDir::Files | QDir::System);
        while (files.hasNext()) {
            if (QFileInfo(files.next()).symLinkTarget() == device)
                return true;
        }
    }
    return false;
}

// Guards (harnelo.exe --guard ..., or the line test's) still running in this Wine prefix.
QStringList guardProcesses(const QString &prefix)
{
    QStringList guards;
    QDirIterator processes(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (processes.hasNext()) {
        const QString process = processes.next();
        QFile commandLine(process + QStringLiteral("/cmdline"));
        QFile environment(process + QStringLiteral("/environ"));
        if (!commandLine.open(QIODevice::ReadOnly) || !environment.open(QIODevice::ReadOnly))
            continue;
        const QByteArray words = commandLine.readAll().replace('\0', ' ');
        if (words.contains(".exe --guard ")
            && environment.readAll().split('\0').contains("WINEPREFIX=" + prefix.toLocal8Bit()))
            guards << processes.fileName();
    }
    return guards;
}

bool isSplashGrey(const QColor &colour)
{
    return qAbs(colour.red() - 60) < 8 && qAbs(colour.green() - 60) < 8 && qAbs(colour.blue() - 60) < 8;
}

} // namespace

class TestWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void linesReachWindowsInput();
    void programRunsFromItsFolder();
    void killedProgramLeavesNothingHeld_data();
    void killedProgramLeavesNothingHeld();
    void installerInstallsAndUninstalls();

private:
    // Runs wine with arguments and waits; returns its exit code, -1 if it hung.
    int wine(const QStringList &arguments, int timeout = 120000, QByteArray *output = nullptr);
    void stopWineServer();
    // Starts the program, checks its window, opens and closes the COM port,
    // then closes the window.
    void runProgram(const QString &program);

    QTemporaryDir prefix;
    QProcessEnvironment environment;
    PseudoTerminal board;
    XServer x;
};

void TestWine::initTestCase()
{
    QVERIFY(x.isOpen());
    QVERIFY(board.isOpen());
    environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No dialogs offering to download Mono and Gecko.
    environment.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));

    // A prefix is made once and copied for every run; making one takes 20 s.
    QProcess probe;
    probe.start(QStringLiteral(WINE_PROGRAM), {QStringLiteral("--version")});
    QVERIFY(probe.waitForFinished(30000));
    const QString wineVersion = QString::fromLatin1(probe.readAll().trimmed())
                                    .replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9.]+")),
                                             QStringLiteral("-"));
    const QString pristine = cacheDirectory() + QStringLiteral("/wineprefix-") + wineVersion;
    QDir().mkpath(cacheDirectory());
    QLockFile lock(pristine + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    QVERIFY(lock.tryLock(300000));
    if (!QFileInfo::exists(pristine + QStringLiteral("/.prepared"))) {
        qInfo("making a Wine prefix in %s (once)", qPrintable(pristine));
        QDir(pristine).removeRecursively();
        environment.insert(QStringLiteral("WINEPREFIX"), pristine);
        QCOMPARE(wine({QStringLiteral("wineboot"), QStringLiteral("-i")}, 240000), 0);
        stopWineServer();
        QFile marker(pristine + QStringLiteral("/.prepared"));
        QVERIFY(marker.open(QIODevice::WriteOnly));
    }
    QVERIFY(prefix.isValid());
    QCOMPARE(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), pristine + QStringLiteral("/."),
                                                      prefix.path()}),
             0);
    lock.unlock();
    environment.insert(QStringLiteral("WINEPREFIX"), prefix.path());

    // The COM port leads to the board's pseudo-terminal once the server restarts.
    QCOMPARE(wine({QStringLiteral("reg"), QStringLiteral("add"), QStringLiteral("HKLM\\Software\\Wine\\Ports"),
                   QStringLiteral("/v"), ComPort, QStringLiteral("/d"), board.devicePath(),
                   QStringLiteral("/f")}),
             0);
    stopWineServer();
}

void TestWine::cleanupTestCase()
{
    stopWineServer();
}

int TestWine::wine(const QStringList &arguments, int timeout, QByteArray *output)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(WINE_PROGRAM), arguments);
    const bool finished = process.waitForFinished(timeout);
    const QByteArray printed = process.readAll();
    if (output)
        *output = printed;
    if (!finished) {
        process.kill();
        process.waitForFinished();
        qWarning("wine %s hung:\n%s", qPrintable(arguments.join(' ')), printed.constData());
        return -1;
    }
    return process.exitCode();
}

void TestWine::stopWineServer()
{
    QProcess server;
    server.setProcessEnvironment(environment);
    server.start(QStringLiteral(WINESERVER_PROGRAM), {QStringLiteral("-k")});
    server.waitForFinished(30000);
    server.start(QStringLiteral(WINESERVER_PROGRAM), {QStringLiteral("-w")});
    server.waitForFinished(60000);
}

void TestWine::linesReachWindowsInput()
{
    // Under Wine the test's console output is lost; its report goes to a file.
    const QString report = prefix.filePath(QStringLiteral("lines.txt"));
    environment.insert(QStringLiteral("HARNELO_TEST_PORT"), ComPort);
    const int status = wine({QStringLiteral(WINDOWS_BUILD "/Harnelo-tests/tst_windowslines.exe"),
                             QStringLiteral("-o"), report + QStringLiteral(",txt")},
                            180000);
    environment.remove(QStringLiteral("HARNELO_TEST_PORT"));
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray output = file.readAll();
    QVERIFY2(status == 0, output.constData());
    QVERIFY2(output.contains("PASS   : TestWindowsLines::opensAndClosesAComPort()"), output.constData());
}

speed_t boardSpeed(const PseudoTerminal &board)
{
    termios settings{};
    return ::tcgetattr(board.controllerFd(), &settings) == 0 ? cfgetospeed(&settings) : B0;
}

void TestWine::runProgram(const QString &program)
{
    QProcess harnelo;
    harnelo.setProcessEnvironment(environment);
    harnelo.setProcessChannelMode(QProcess::ForwardedChannels);
    harnelo.start(QStringLiteral(WINE_PROGRAM), {program});
    unsigned long window = 0;
    QTRY_VERIFY_WITH_TIMEOUT((window = x.findWindow(WindowTitle)) != 0, 60000);
    QTRY_COMPARE(x.geometry(window).size(), QSize(457, 221));
    QCOMPARE(guardProcesses(prefix.path()).size(), 1);
    const QRect frame = x.geometry(window);

    // A grey splash first, then the content page's lighter look.
    const QPoint belowTheLogo = frame.topLeft() + QPoint(20, 200);
    QTRY_VERIFY_WITH_TIMEOUT(isSplashGrey(x.pixelAt(belowTheLogo)), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(x.pixelAt(belowTheLogo).lightness() > 150, 10000);

    // The button, below the menu bar and the layout's margin.
    const QPoint button = frame.topLeft() + QPoint(10 + 170 + 40, 21 + 10 + 110 + 12);
    QVERIFY(!openedElsewhere(board.devicePath()));
    QVERIFY(boardSpeed(board) != B110);
    x.click(button);
    // Opened at the rate list's first entry, 110 baud on Windows.
    QTRY_VERIFY_WITH_TIMEOUT(openedElsewhere(board.devicePath()), 10000);
    QTRY_COMPARE(boardSpeed(board), speed_t(B110));
    x.click(button);
    QTRY_VERIFY_WITH_TIMEOUT(!openedElsewhere(board.devicePath()), 10000);

    x.requestClose(window);
    QVERIFY(harnelo.waitForFinished(30000));
    QCOMPARE(harnelo.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(guardProcesses(prefix.path()), QStringList(), 30000);
}

void TestWine::programRunsFromItsFolder()
{
    runProgram(QStringLiteral(WINDOWS_BUILD "/Harnelo/harnelo.exe"));
}

void TestWine::killedProgramLeavesNothingHeld_data()
{
    QTest::addColumn<QString>("lines");
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("releases");
    // Control and Shift show as themselves and as their left keys.
    QTest::newRow("left button, control and a letter")
        << QStringLiteral("0 2,1 0 17,1 0 65") << QStringLiteral("1 17 65 162")
        << QStringLiteral("WM_LBUTTONUP,WM_KEYUP 17,WM_KEYUP 65");
    QTest::newRow("right button, shift and an extended key")
        << QStringLiteral("0 0,1 0 16,1 0 46") << QStringLiteral("2 16 46 160")
        << QStringLiteral("WM_RBUTTONUP,WM_KEYUP 16,WM_KEYUP 46 extended");
}

// Windows keeps what a killed program pressed down; its guard lets go of
// exactly that. The line test plays both the program, which holds keys
// until it is killed, and the watcher, whose hooks see the releases.
void TestWine::killedProgramLeavesNothingHeld()
{
    QFETCH(QString, lines);
    QFETCH(QString, held);
    QFETCH(QString, releases);
    // The watcher's hooks swallow the releases, so what the program held
    // stays down in Windows' key state until the Wine server starts afresh:
    // before each case and after the last.
    stopWineServer();
    const QString lineTest = QStringLiteral(WINDOWS_BUILD "/Harnelo-tests/tst_windowslines.exe");
    const QString holding = prefix.filePath(QStringLiteral("holding"));
    const QString ready = prefix.filePath(QStringLiteral("watcher-ready"));
    const QString report = prefix.filePath(QStringLiteral("watcher.txt"));
    QFile::remove(holding);
    QFile::remove(ready);
    QProcessEnvironment holds = environment;
    holds.insert(QStringLiteral("HARNELO_HOLD"), lines);
    holds.insert(QStringLiteral("HARNELO_HOLDING"), QStringLiteral("Z:") + holding);
    QProcess program;
    program.setProcessEnvironment(holds);
    program.start(QStringLiteral(WINE_PROGRAM), {lineTest});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(holding), 60000);
    QCOMPARE(guardProcesses(prefix.path()).size(), 1);

    QProcessEnvironment watching = environment;
    watching.insert(QStringLiteral("HARNELO_WATCHER_READY"), QStringLiteral("Z:") + ready);
    watching.insert(QStringLiteral("HARNELO_EXPECTED_HELD"), held);
    watching.insert(QStringLiteral("HARNELO_EXPECTED_RELEASES"), releases);
    QProcess watcher;
    watcher.setProcessEnvironment(watching);
    watcher.start(QStringLiteral(WINE_PROGRAM), {lineTest, QStringLiteral("watchesAProgramBeingKilled"),
                                                 QStringLiteral("-o"), report + QStringLiteral(",txt")});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(ready) || watcher.state() == QProcess::NotRunning, 60000);

    QCOMPARE(::kill(static_cast<pid_t>(program.processId()), SIGKILL), 0);
    QVERIFY(program.waitForFinished(30000));
    QVERIFY(watcher.state() == QProcess::NotRunning || watcher.waitForFinished(120000));
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray output = file.readAll();
    QVERIFY2(watcher.exitCode() == 0 && output.contains("PASS   : TestWindowsLines::watchesAProgramBeingKilled()"),
             output.constData());
    QTRY_COMPARE_WITH_TIMEOUT(guardProcesses(prefix.path()), QStringList(), 30000);
    stopWineServer();
}

void TestWine::installerInstallsAndUninstalls()
{
    const QString installed = prefix.path() + QStringLiteral("/drive_c/Program Files/Harnelo");
    const QString shortcut = prefix.path()
        + QStringLiteral("/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Harnelo.lnk");
    QCOMPARE(wine({QStringLiteral(WINDOWS_BUILD "/harnelo-" HARNELO_VERSION "-setup.exe"), QStringLiteral("/S")}),
             0);
    stopWineServer();
    for (const char *file : {"harnelo.exe", "Qt6Widgets.dll", "platforms/qwindows.dll",
                             "imageformats/qico.dll", "Uninstall.exe"})
        QVERIFY2(QFileInfo::exists(installed + QLatin1Char('/') + QLatin1String(file)), file);
    QVERIFY(QFileInfo::exists(shortcut));
    QCOMPARE(wine({QStringLiteral("reg"), QStringLiteral("query"), UninstallKey}), 0);

    runProgram(QStringLiteral("C:\\Program Files\\Harnelo\\harnelo.exe"));

    QCOMPARE(wine({QStringLiteral("C:\\Program Files\\Harnelo\\Uninstall.exe"), QStringLiteral("/S")}), 0);
    // The uninstaller goes on from a copy of itself; the server ends after it.
    QProcess server;
    server.setProcessEnvironment(environment);
    server.start(QStringLiteral(WINESERVER_PROGRAM), {QStringLiteral("-w")});
    QVERIFY(server.waitForFinished(120000));
    if (QFileInfo::exists(installed))
        qWarning() << "left behind:" << QDir(installed).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QVERIFY(!QFileInfo::exists(installed));
    QVERIFY(!QFileInfo::exists(shortcut));
    QVERIFY(wine({QStringLiteral("reg"), QStringLiteral("query"), UninstallKey}) != 0);
}

QTEST_MAIN(TestWine)
#include "tst_wine.moc"
