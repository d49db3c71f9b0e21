#include "mainwindow.h"
#include "xserver.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QSize WindowSize(457, 221);
const QString Title = QStringLiteral("Harnelo     V1.0");

QList<SerialPortEntry> noPorts()
{
    return {};
}

QStackedWidget *pages(const MainWindow &window)
{
    return window.findChild<QStackedWidget *>(QStringLiteral("content_sw"));
}

void checkFixedSize(MainWindow &window)
{
    QCOMPARE(window.size(), WindowSize);
    QCOMPARE(window.minimumSize(), WindowSize);
    QCOMPARE(window.maximumSize(), WindowSize);
    window.resize(800, 600);
    QCOMPARE(window.size(), WindowSize);
    QVERIFY(!window.statusBar()->isSizeGripEnabled());
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void startsAsFramelessDarkSplash();
    void switchesToContentAfterThreeSeconds();
    void buildsTheWidgetTree();
    void fillsTheSelectors();
    void survivesBeingDestroyedDuringTheSplash();
    void programEndsWhenClosedDuringTheSplash();
    void saysWhenNothingCanBeInjected();
    void showsAnInputFailureBesideTheLinkState();
};

void TestMainWindow::startsAsFramelessDarkSplash()
{
    MainWindow window(nullptr, noPorts);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowTitle(), Title);
    QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(pages(window)->currentIndex(), int(SPLASH));
    QCOMPARE(window.styleSheet(), QStringLiteral("background-color: rgb(60, 60, 60)"));
    checkFixedSize(window);

    const auto *logo = window.findChild<QLabel *>(QStringLiteral("splash_image_label"));
    QCOMPARE(logo->pixmap().size(), QSize(120, 120));
    QCOMPARE(logo->alignment(), Qt::AlignCenter);
    QVERIFY(logo->text().isEmpty());
    QVERIFY(!window.windowIcon().isNull());
}

void TestMainWindow::switchesToContentAfterThreeSeconds()
{
    QElapsedTimer sinceConstruction;
    sinceConstruction.start();
    MainWindow window(nullptr, noPorts);
    window.show();

    // Clicking around does not cut the splash short.
    QTest::mouseClick(&window, Qt::LeftButton);
    QTest::qWait(2700 - int(sinceConstruction.elapsed()));
    QCOMPARE(pages(window)->currentIndex(), int(SPLASH));

    QTRY_COMPARE_WITH_TIMEOUT(pages(window)->currentIndex(), int(CONTENT), 1500);
    QVERIFY(sinceConstruction.elapsed() >= 3000);
    QVERIFY(!(window.windowFlags() & Qt::FramelessWindowHint));
    QCOMPARE(window.windowType(), Qt::Window);
    QVERIFY(window.isVisible());
    QVERIFY(window.styleSheet().isEmpty());
    checkFixedSize(window);
}

void TestMainWindow::buildsTheWidgetTree()
{
    MainWindow window(nullptr, noPorts);
    const auto geometryOf = [&](const char *name) {
        return window.findChild<QWidget *>(QLatin1String(name))->geometry();
    };
    QCOMPARE(geometryOf("port_cb"), QRect(20, 30, 221, 24));
    QCOMPARE(geometryOf("baud_rate_cb"), QRect(290, 30, 131, 24));
    QCOMPARE(geometryOf("open_close_pb"), QRect(170, 110, 80, 24));
    QCOMPARE(window.menuBar()->objectName(), QStringLiteral("menubar"));
    QCOMPARE(window.statusBar()->objectName(), QStringLiteral("statusbar"));

    QStackedWidget *stack = pages(window);
    QCOMPARE(stack->count(), 2);
    QCOMPARE(stack->widget(SPLASH)->objectName(), QStringLiteral("splash_page"));
    QCOMPARE(stack->widget(CONTENT)->objectName(), QStringLiteral("content_page"));
    QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralwidget"));

    const auto *button = window.findChild<QPushButton *>(QStringLiteral("open_close_pb"));
    QCOMPARE(button->text(), QStringLiteral("Open"));
    QCOMPARE(button->property("open"), QVariant(false));
    QVERIFY(!button->isCheckable());
    QVERIFY(!button->isFlat());
    QVERIFY(!button->isDefault());
    QVERIFY(button->autoFillBackground());
    QVERIFY(button->isEnabled());
}

void TestMainWindow::fillsTheSelectors()
{
    MainWindow window(nullptr, noPorts);
    const auto *ports = window.findChild<QComboBox *>(QStringLiteral("port_cb"));
    const auto *rates = window.findChild<QComboBox *>(QStringLiteral("baud_rate_cb"));
    QCOMPARE(ports->count(), 0);

    const QList<qint32> standard = QSerialPortInfo::standardBaudRates();
    QCOMPARE(rates->count(), standard.size());
    for (int i = 0; i < standard.size(); ++i)
        QCOMPARE(rates->itemText(i), QString::number(standard[i]) + QStringLiteral("   Baud"));
    QCOMPARE(rates->currentIndex(), 0);
}

void TestMainWindow::survivesBeingDestroyedDuringTheSplash()
{
    auto window = std::make_unique<MainWindow>(nullptr, noPorts);
    window->show();
    QTest::qWait(200);
    window.reset();
    // The pending switch to the content page must not run on the dead window.
    QTest::qWait(3300);
}

void TestMainWindow::programEndsWhenClosedDuringTheSplash()
{
    XServer x;
    QVERIFY(x.isOpen());
    // Settings of its own, never the user's.
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(HARNELO_PROGRAM), {});
    QVERIFY(program.waitForStarted());

    unsigned long window = 0;
    QTRY_VERIFY_WITH_TIMEOUT((window = x.findWindow(Title)) != 0, 2500);
    x.requestClose(window);
    QVERIFY(program.waitForFinished(2000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

void TestMainWindow::saysWhenNothingCanBeInjected()
{
    const QString problem = QStringLiteral("Harnelo cannot move the mouse or press keys: because.");
    MainWindow window(nullptr, noPorts, {createNoInput(), problem.toStdString()});
    window.show();
    QVERIFY(!window.findChild<QMessageBox *>());
    QMetaObject::invokeMethod(&window, "showContentApp");
    auto *box = window.findChild<QMessageBox *>();
    QVERIFY(box);
    QTRY_VERIFY(box->isVisible());
    QCOMPARE(box->text(), problem);
}

void TestMainWindow::showsAnInputFailureBesideTheLinkState()
{
    // Refuses everything, as a backend does when the system stops taking input.
    class RefusingInput final : public InputBackend
    {
    public:
        void pressButton(MouseButton) override {}
        void releaseButton(MouseButton) override {}
        void sendKey(int, bool) override {}
        void typeCharacter(char32_t) override {}
        void releaseAllKeys() override {}
        std::string takeError() override { return "/dev/uinput: write: No such device (3 writes failed in all)"; }

    protected:
        void sendWheel(int) override {}
        void sendHorizontalWheel(int) override {}
    };
    const QString route = QStringLiteral("Input goes nowhere: this is a test.");
    MainWindow window(nullptr, noPorts, {std::make_unique<RefusingInput>(), {}, route.toStdString()});
    window.show();
    QMetaObject::invokeMethod(&window, "showContentApp");
    const auto *state = window.findChild<QLabel *>(QStringLiteral("link_state_label"));
    const auto *failure = window.findChild<QLabel *>(QStringLiteral("input_notice_label"));
    // Which way input goes is said once, at start.
    QCOMPARE(failure->toolTip(), route);
    QMetaObject::invokeMethod(&window, "releaseButtonsAndKeys");
    QTRY_VERIFY(state->isVisible() && failure->isVisible());
    QCOMPARE(state->toolTip(), QStringLiteral("Closed"));
    QCOMPARE(failure->toolTip(), QStringLiteral("Input failed: /dev/uinput: write: No such device (3 writes failed in all)"));
    for (const QLabel *label : {state, failure})
        QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
