// Faults from the board, the link and the user: whatever happens, nothing the
// board pressed stays down and nothing it did not ask for is injected.
//
// The X server gives no help here. X.Org 21.1 (this Xvfb) keeps keys and
// buttons that an XTest client pressed down after that client goes away,
// whether it closes its display, exits without closing it or crashes: every
// other client goes on seeing them held. So the program must release them
// itself before it ends, and after SIGKILL its guard process does.

#include "linkedwindow.h"
#include "quitsignals.h"
#include "xserver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

using namespace std::chrono_literals;

// Presses everything it can and lets little go: whenever it stops, something is down.
const QByteArray PressingLines = "0 0\n0 2\n1 0 16\n0 8 1 0\n1 0 65\n0 4\n1 1 65\n0 8 -1 0\n";

// Plays the board from a thread of its own, so the window goes on reading
// while the board writes more than the terminal holds.
class BoardThread
{
public:
    explicit BoardThread(std::function<void(const std::atomic<bool> &stop)> work)
        : thread([this, work] {
              work(stopping);
              finished = true;
          })
    {
    }
    ~BoardThread() { stop(); }

    void stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
    }
    bool isFinished() const { return finished; }

private:
    std::atomic<bool> stopping{false};
    std::atomic<bool> finished{false};
    std::thread thread;
};

// Writes data in small pieces, never far ahead of the reader, so it stops
// at once when told to even after the reader went away. Returns the bytes written.
qint64 writePaced(PseudoTerminal &board, const QByteArray &data, const std::atomic<bool> &stop)
{
    constexpr int Piece = 512;
    constexpr int MaxUnread = 2048;
    qint64 written = 0;
    while (written < data.size() && !stop) {
        if (board.unreadBytes() > MaxUnread) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        const QByteArray piece = data.mid(written, Piece);
        if (!board.write(piece))
            break;
        written += piece.size();
    }
    return written;
}

// Writes data over and over until stopped. Returns the bytes written.
qint64 pourIn(PseudoTerminal &board, const QByteArray &data, const std::atomic<bool> &stop)
{
    qint64 written = 0;
    while (!stop)
        written += writePaced(board, data, stop);
    return written;
}

struct Flood
{
    qint64 bytesSent = 0;
    int ticks = 0;         // timer ticks the window let run
    int expectedTicks = 0; // ticks the flood's length holds
    bool allRead = false;

    // A window kept busy by the flood for long stretches lets only few ticks
    // run; a busy machine only delays some of them.
    bool leftTheWindowFree() const { return ticks * 4 >= expectedTicks; }
    QByteArray summary() const
    {
        return QByteArray::number(ticks) + " of " + QByteArray::number(expectedTicks) + " ticks ran";
    }
};

// Pours data into the window for a while. The window shares this thread:
// a timer here ticks only while the window is free.
Flood flood(LinkedWindow &linked, const QByteArray &data, int milliseconds)
{
    constexpr int Tick = 10;
    Flood result;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++result.ticks; });
    ticker.start(Tick);
    QElapsedTimer elapsed;
    elapsed.start();
    {
        BoardThread board([&](const std::atomic<bool> &stop) {
            result.bytesSent = pourIn(linked.board, data, stop);
        });
        QTest::qWait(milliseconds);
    }
    result.expectedTicks = static_cast<int>(elapsed.elapsed() / Tick);
    ticker.stop();
    result.allRead = linked.board.waitUntilRead();
    return result;
}

// Starts harnelo_linked on terminal; true once it says the link is open.
bool startLinked(QProcess &program, const PseudoTerminal &terminal)
{
    program.start(QStringLiteral(HARNELO_LINKED), {terminal.devicePath()});
    return program.waitForReadyRead(10000) && program.readAllStandardOutput() == "open\n";
}

// The guard process the program forked at its start, or 0.
qint64 guardOf(qint64 program)
{
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(program));
    if (!children.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &child : children.readAll().split(' ')) {
        QFile name("/proc/" + child.trimmed() + "/comm");
        if (name.open(QIODevice::ReadOnly) && name.readAll() == "harnelo-guard\n")
            return child.trimmed().toLongLong();
    }
    return 0;
}

// Neither running nor waiting to be reaped: a zombie has ended too.
bool hasEnded(qint64 process)
{
    QFile status(QStringLiteral("/proc/%1/stat").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = status.readAll();
    const int state = line.lastIndexOf(')') + 2;
    return state < 2 || state >= line.size() || line.at(state) == 'Z' || line.at(state) == 'X';
}

// What a board may send that is not event lines, and lines that come close.
QByteArray garbage()
{
    QRandomGenerator random(7);
    QByteArray noise(16384, '\0');
    random.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);

    QByteArray wrongBaud(6000, '\0');
    for (char &byte : wrongBaud)
        byte = static_cast<char>(0x80 | random.bounded(128));

    const QByteArray banner = "\r\nESP-ROM:esp32s3-20210327\r\nrst:0x1 (POWERON),boot:0x8\r\n"
                              "Booting v1.2 ...\r\nready\r\n";
    const QByteArray nearMisses = "0  2\n0\t2\n0\t 2\n1 0 \r65\n0 2x\n0 0x2\n2 0 65\n0 14\n2 65 13\n"
                                  "0 8 1\n0 6 120 1\n0 7 2147483648 0\n1 0\n0 - 1\n"
        + QByteArray("0 2\0\n", 5);
    // Valid lines made too long to be taken.
    const QByteArray overlong = "0 2" + QByteArray(300, ' ') + "\n1 0 " + QByteArray(400, '0')
        + "65\n";
    return noise + "\n" + banner + wrongBaud + "\n" + nearMisses + overlong
        + QByteArray(70000, '7') + "\n" + banner;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void hangUpWhileHolding_data();
    void hangUpWhileHolding();
    void hangUpInTheMiddleOfABurst();
    void stopsMidBurst_data();
    void stopsMidBurst();
    void reopeningDropsWhatCameWhileClosed();
    void quitSignalWhileHolding_data();
    void quitSignalWhileHolding();
    void killedWhileHolding_data();
    void killedWhileHolding();
    void ignoredHangUpStaysIgnored();
    void sessionEndReleasesAndKeepsRunning();
    void garbageFloodInjectsNothing();
    void wheelFloodLeavesTheWindowFree();
    void showsWhyAPortMayNotBeOpened();
    void keymapChangeAfterAWindowIsGone();

private:
    // Waits for the X server to show nothing down; names what stays down.
    QString stillHeld();

    XServer x;
};

void TestFaults::init()
{
    QVERIFY(x.isOpen());
    x.releaseEverything();
}

void TestFaults::cleanup()
{
    x.releaseEverything();
}

QString TestFaults::stillHeld()
{
    static_cast<void>(QTest::qWaitFor(
        [this] { return x.buttonsDown().isEmpty() && x.keysDown().isEmpty(); }, 5000));
    QStringList held;
    for (const int button : x.buttonsDown())
        held << QStringLiteral("button %1").arg(button);
    for (const int keycode : x.keysDown())
        held << QStringLiteral("keycode %1").arg(keycode);
    return held.join(QStringLiteral(", "));
}

void TestFaults::hangUpWhileHolding_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QVector<int>>("buttons");
    QTest::addColumn<QVector<unsigned long>>("keys");
    QTest::newRow("right button") << QByteArray("0 0\n") << QVector<int>{3} << QVector<unsigned long>();
    QTest::newRow("left button") << QByteArray("0 2\n") << QVector<int>{1} << QVector<unsigned long>();
    QTest::newRow("middle button") << QByteArray("0 4\n") << QVector<int>{2} << QVector<unsigned long>();
    QTest::newRow("shift and a letter")
        << QByteArray("1 0 16\n1 0 65\n") << QVector<int>()
        << QVector<unsigned long>{XK_Shift_L, XK_a};
    QTest::newRow("all buttons, control, alt and delete")
        << QByteArray("0 0\n0 2\n0 4\n1 0 17\n1 0 18\n1 0 46\n") << QVector<int>{1, 2, 3}
        << QVector<unsigned long>{XK_Control_L, XK_Alt_L, XK_Delete};
}

void TestFaults::hangUpWhileHolding()
{
    QFETCH(QByteArray, lines);
    QFETCH(QVector<int>, buttons);
    QFETCH(QVector<unsigned long>, keys);
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send(lines));
    QTRY_COMPARE(x.buttonsDown(), buttons);
    for (const unsigned long key : keys)
        QTRY_VERIFY(x.isKeyDown(key));
    QCOMPARE(x.keysDown().size(), keys.size());

    linked.board.hangUp();
    QTRY_VERIFY(!linked.isLinkOpen());
    QCOMPARE(stillHeld(), QString());
}

void TestFaults::hangUpInTheMiddleOfABurst()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    // 8000 lines; the board goes away after some 4000, in the middle of a line.
    QByteArray burst = PressingLines.repeated(1000);
    burst.truncate(burst.size() / 2 + 3);

    BoardThread board([&](const std::atomic<bool> &stop) {
        writePaced(linked.board, burst, stop);
        linked.board.hangUp();
    });
    QTRY_VERIFY_WITH_TIMEOUT(board.isFinished(), 20000);
    QTRY_VERIFY(!linked.isLinkOpen());
    QCOMPARE(stillHeld(), QString());
}

void TestFaults::stopsMidBurst_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Close button") << QStringLiteral("button");
    QTest::newRow("window closed") << QStringLiteral("close");
    // The application told to quit: no close event, only the destructor.
    QTest::newRow("window destroyed") << QStringLiteral("destroy");
}

void TestFaults::stopsMidBurst()
{
    QFETCH(QString, how);
    auto linked = std::make_unique<LinkedWindow>();
    linked->showContent();
    QVERIFY(linked->clickOpenClose());
    EventRecorder recorder(x, 600, 400, 200, 200);
    QVERIFY(linked->send("0 7 700 500\n"));

    auto board = std::make_unique<BoardThread>(
        [&](const std::atomic<bool> &stop) { pourIn(linked->board, PressingLines, stop); });
    QTRY_COMPARE(x.buttonsDown(), QVector<int>({1, 2, 3}));
    if (how == QLatin1String("button")) {
        QVERIFY(!linked->clickOpenClose());
    } else if (how == QLatin1String("close")) {
        linked->window.close();
    } else {
        board->stop();
        linked.reset();
    }
    QCOMPARE(stillHeld(), QString());

    // The board goes on; none of it may arrive any more.
    recorder.clear();
    QTest::qWait(200);
    board.reset();
    QCOMPARE(recorder.events(), QStringList());
    QCOMPARE(x.buttonsDown(), QVector<int>());
}

void TestFaults::reopeningDropsWhatCameWhileClosed()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(!linked.clickOpenClose());
    QVERIFY(linked.board.write("0 2\n1 0 65\n0 8 1"));
    QTest::qWait(100);

    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send(" 1\n0 4\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{2});
    QCOMPARE(x.keysDown(), QVector<int>());
}

void TestFaults::quitSignalWhileHolding_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("linesPouringIn");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("SIGTERM while lines pour in") << int(SIGTERM) << true;
}

void TestFaults::quitSignalWhileHolding()
{
    QFETCH(int, signal);
    QFETCH(bool, linesPouringIn);
    PseudoTerminal terminal;
    QProcess program;
    QVERIFY(startLinked(program, terminal));
    const qint64 guard = guardOf(program.processId());
    QVERIFY(guard != 0);

    QVERIFY(terminal.write("0 0\n0 2\n0 4\n1 0 17\n1 0 65\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>({1, 2, 3}));
    QTRY_COMPARE(x.keysDown().size(), 2);
    std::unique_ptr<BoardThread> board;
    if (linesPouringIn) {
        board = std::make_unique<BoardThread>(
            [&](const std::atomic<bool> &stop) { pourIn(terminal, PressingLines, stop); });
        QTest::qWait(100);
    }

    QCOMPARE(::kill(static_cast<pid_t>(program.processId()), signal), 0);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    board.reset();
    QCOMPARE(stillHeld(), QString());
    QTRY_VERIFY(hasEnded(guard));
}

void TestFaults::killedWhileHolding_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QVector<int>>("buttons");
    QTest::addColumn<int>("keys");
    QTest::newRow("a button, a modifier and a key") << QByteArray("0 2\n1 0 17\n1 0 65\n") << QVector<int>{1} << 2;
    // F13 is on no key here: it is bound to a spare keycode while held.
    QTest::newRow("all buttons, shift and a key the keymap lacks")
        << QByteArray("0 0\n0 2\n0 4\n1 0 16\n1 0 124\n") << QVector<int>{1, 2, 3} << 2;
    QTest::newRow("nothing any more") << QByteArray("0 2\n1 0 17\n0 3\n1 1 17\n") << QVector<int>() << 0;
}

// Only the guard can release anything after SIGKILL: exactly what was held.
void TestFaults::killedWhileHolding()
{
    QFETCH(QByteArray, lines);
    QFETCH(QVector<int>, buttons);
    QFETCH(int, keys);
    PseudoTerminal terminal;
    QProcess program;
    QVERIFY(startLinked(program, terminal));
    const qint64 guard = guardOf(program.processId());
    QVERIFY(guard != 0);
    EventRecorder recorder(x, 600, 400, 200, 200);
    QVERIFY(terminal.write("0 7 700 500\n" + lines));
    QTRY_COMPARE(x.buttonsDown(), buttons);
    QTRY_COMPARE(x.keysDown().size(), keys);
    QTRY_COMPARE(x.pointer(), QPoint(700, 500));

    QStringList releases;
    for (const int button : buttons)
        releases << QStringLiteral("release %1").arg(button);
    for (const int keycode : x.keysDown())
        releases << QStringLiteral("keyup %1").arg(keycode);
    recorder.clear();
    QCOMPARE(::kill(static_cast<pid_t>(program.processId()), SIGKILL), 0);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    QTRY_VERIFY(hasEnded(guard));
    QCOMPARE(stillHeld(), QString());
    QStringList received = recorder.events();
    received.sort();
    releases.sort();
    QCOMPARE(received, releases);
}

void TestFaults::ignoredHangUpStaysIgnored()
{
    PseudoTerminal terminal;
    QProcess program;
    // As nohup starts it.
    program.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
    QVERIFY(startLinked(program, terminal));
    QVERIFY(terminal.write("0 2\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{1});

    QCOMPARE(::kill(static_cast<pid_t>(program.processId()), SIGHUP), 0);
    QVERIFY(terminal.write("0 3\n0 4\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{2});
    QCOMPARE(program.state(), QProcess::Running);

    QCOMPARE(::kill(static_cast<pid_t>(program.processId()), SIGTERM), 0);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(stillHeld(), QString());
}

void TestFaults::sessionEndReleasesAndKeepsRunning()
{
    LinkedWindow linked;
    closeOnQuitRequests(&linked.window);
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send("0 2\n1 0 65\n"));
    QTRY_COMPARE(x.buttonsDown(), QVector<int>{1});

    // The session manager asks programs to save their work before logging out.
    const QMetaObject *application = qApp->metaObject();
    const QMetaMethod commitData =
        application->method(application->indexOfSignal("commitDataRequest(QSessionManager&)"));
    QVERIFY(commitData.invoke(qApp, Qt::DirectConnection,
                              QGenericArgument("QSessionManager&", nullptr)));
    QVERIFY(!linked.isLinkOpen());
    QCOMPARE(stillHeld(), QString());
    QTest::qWait(100);
    QVERIFY(linked.window.isVisible());

    // The logout was cancelled: the user opens the link again.
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send("0 4\n0 5\n"));
}

void TestFaults::garbageFloodInjectsNothing()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    EventRecorder recorder(x, 600, 400, 200, 200);
    QVERIFY(linked.send("0 7 700 500\n"));
    QTRY_COMPARE(x.pointer(), QPoint(700, 500));
    recorder.clear();

    const QByteArray noise = garbage();
    const Flood result = flood(linked, noise, 3000);
    QVERIFY(result.allRead);
    QVERIFY2(result.bytesSent > 4 * noise.size(), qPrintable(QString::number(result.bytesSent)));
    QVERIFY2(result.leftTheWindowFree(), result.summary());
    qInfo("%s", result.summary().constData());
    QCOMPARE(recorder.events(), QStringList());
    QCOMPARE(x.buttonsDown(), QVector<int>());
    QCOMPARE(x.keysDown(), QVector<int>());
    QCOMPARE(x.pointer(), QPoint(700, 500));

    // Still listening: the first line after the garbage's last line feed counts.
    QVERIFY(linked.send("\n1 0 65\n1 1 65\n"));
    const QString a = QString::number(x.keycodeOf(XK_a));
    QTRY_COMPARE(recorder.events(), QStringList({"keydown " + a, "keyup " + a}));
}

void TestFaults::wheelFloodLeavesTheWindowFree()
{
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QVERIFY(linked.send("0 7 1270 1010\n"));

    // Every line asks for a hundred notches, the most one line may turn.
    const Flood result = flood(linked, QByteArray("0 6 2147483647\n0 6 -2147483648\n").repeated(100), 1500);
    QVERIFY(result.allRead);
    qInfo("%s", result.summary().constData());
    QVERIFY2(result.leftTheWindowFree(), result.summary());
}

void TestFaults::showsWhyAPortMayNotBeOpened()
{
    if (::geteuid() != 0) {
        LinkedWindow linked;
        QCOMPARE(::chmod(linked.board.devicePath().toLocal8Bit().constData(), 0), 0);
        linked.showContent();
        QString shown;
        QTimer::singleShot(300, this, [&shown] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            shown = box->windowTitle() + QStringLiteral(": ") + box->text();
            box->button(QMessageBox::Ok)->click();
        });
        QVERIFY(!linked.clickOpenClose());
        QCOMPARE(shown, QStringLiteral("Error: ") + QString::fromLocal8Bit(std::strerror(EACCES)));
        QCOMPARE(linked.button()->text(), QStringLiteral("Open"));
        return;
    }

    // Root may open any device, so this case runs again as nobody.
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        QSKIP("no user nobody to run as");
    QTemporaryDir runtimeDir;
    QVERIFY(::chown(runtimeDir.path().toLocal8Bit().constData(), nobody->pw_uid, nobody->pw_gid) == 0);
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("setpriv"),
                {QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                 QStringLiteral("--regid=%1").arg(nobody->pw_gid), QStringLiteral("--clear-groups"),
                 QCoreApplication::applicationFilePath(), QStringLiteral("showsWhyAPortMayNotBeOpened")});
    QVERIFY(child.waitForFinished(30000));
    const QByteArray output = child.readAll();
    if (child.exitCode() == 126 || child.exitCode() == 127)
        QSKIP(qPrintable("nobody cannot run this test from here: " + output));
    QVERIFY2(child.exitCode() == 0, output.constData());
    QVERIFY2(output.contains("PASS   : TestFaults::showsWhyAPortMayNotBeOpened()"), output.constData());
}

void TestFaults::keymapChangeAfterAWindowIsGone()
{
    // Each window watches the keymap; a window gone must stop watching.
    std::make_unique<MainWindow>(nullptr, [] { return QList<SerialPortEntry>(); }).reset();
    LinkedWindow linked;
    linked.showContent();
    QVERIFY(linked.clickOpenClose());
    QCOMPARE(x.keycodeOf(XK_F13), 0);

    KeymapChange keymap(x);
    const int f13 = x.emptyKeycodes().value(0);
    QVERIFY(f13 != 0);
    keymap.bind(f13, XK_F13);
    QTest::qWait(100);
    QVERIFY(linked.send("1 0 124\n"));
    QTRY_COMPARE(x.keysDown(), QVector<int>{f13});
    QVERIFY(linked.send("1 1 124\n"));
    QTRY_COMPARE(x.keysDown(), QVector<int>());
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
