// Start-up with real windows: the order of the steps, the splash, where the main window
// stands at the end, and the start-up messages.
#include "shell/qt/main_frame.h"
#include "shell/qt/qt_window_side.h"
#include "shell/qt/splash_window.h"
#include "shell/server_app.h"
#include "shell/support.h"

#include <QApplication>
#include <QPointer>
#include <QTest>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace brevin;
using namespace brevin::test;

namespace {

// The real windows, with every step and every window hook written down as it happens.
class RecordingSide final : public QtWindowSide {
public:
    RecordingSide(ServerApp& app, bool tray) : QtWindowSide(app, tray) {}

    void BeforeStep(StartupStep step) override {
        log << QStringLiteral("step %1").arg(static_cast<int>(step));
        if (step == StartupStep::LoadUserList) {
            splashUpDuringUserList = Splash() != nullptr && Splash()->isVisible();
        }
    }
    void LoadIcons() override {
        log << QStringLiteral("LoadIcons");
        QtWindowSide::LoadIcons();
    }
    void ShowSplash() override {
        log << QStringLiteral("ShowSplash");
        QtWindowSide::ShowSplash();
    }
    void SetDialogColours() override {
        log << QStringLiteral("SetDialogColours");
        QtWindowSide::SetDialogColours();
    }
    void CreateMainFrame() override {
        log << QStringLiteral("CreateMainFrame");
        QtWindowSide::CreateMainFrame();
    }
    void HideMainWindow() override {
        log << QStringLiteral("HideMainWindow");
        QtWindowSide::HideMainWindow();
    }

    QStringList log;
    bool splashUpDuringUserList = false;
};

// A loopback port that something is listening on, so a listener cannot bind it.
class BusyPort {
public:
    BusyPort() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 1) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            qFatal("cannot occupy a loopback port");
        }
        m_port = ntohs(address.sin_port);
    }
    ~BusyPort() { ::close(m_fd); }
    BusyPort(const BusyPort&) = delete;
    BusyPort& operator=(const BusyPort&) = delete;
    [[nodiscard]] std::uint16_t Port() const { return m_port; }

private:
    int m_fd;
    std::uint16_t m_port = 0;
};

} // namespace

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void stepsRunInTheirOrderWithTheWindowHooksInPlace() {
        TempWorkDir work;
        ServerApp app(LoopbackOptions(), "brevin");
        RecordingSide side(app, true);
        QVERIFY(app.InitInstance(side));
        const QStringList expected = {
            "step 1",          "step 2", "step 3",         "LoadIcons",        "step 4",
            "ShowSplash",      "step 5", "step 6",         "SetDialogColours", "step 7",
            "CreateMainFrame", "step 8", "HideMainWindow", "step 9",           "step 10",
            "step 11",         "step 12"};
        QCOMPARE(side.log, expected);
        QVERIFY(side.splashUpDuringUserList);
        QVERIFY(app.m_listeners.smtp != nullptr);
        QVERIFY(app.m_listeners.pop3 != nullptr);
    }

    void profileAndUserListAreReadyBeforeTheFrameExists() {
        TempWorkDir work;
        {
            ProfileFile seed(work.File("brevin.INI"));
            QVERIFY(seed.Write("USERS", "anna", "anna"));
        }
        ServerApp app(LoopbackOptions(), "brevin");
        RecordingSide side(app, true);
        QVERIFY(app.InitInstance(side));
        QCOMPARE(QString::fromStdString(app.m_profilePath.string()),
                 QString::fromStdString(work.File("brevin.INI")));
        QVERIFY(app.m_userList != nullptr);
        QCOMPARE(QString::fromStdString(app.m_userList->m_text), QStringLiteral("anna"));
        // The store root was settled after the windows.
        QVERIFY(!app.Profile().Read("BREVIN", "store", "").empty());
    }

    void mainWindowStartsHiddenWhenThereIsATray() {
        TempWorkDir work;
        ServerApp app(LoopbackOptions(), "brevin");
        QtWindowSide side(app, true);
        QVERIFY(app.InitInstance(side));
        QVERIFY(side.MainFrame() != nullptr);
        QVERIFY(!side.MainFrame()->isVisible());
        QCOMPARE(side.MainFrame()->windowTitle(), QStringLiteral("Brevin"));
        QVERIFY(side.MainFrame()->TrayIcon().isVisible());
    }

    void mainWindowIsShownWhenThereIsNoTray() {
        TempWorkDir work;
        ServerApp app(LoopbackOptions(), "brevin");
        QtWindowSide side(app, false);
        QVERIFY(app.InitInstance(side));
        QVERIFY(side.MainFrame()->isVisible());
        QVERIFY(!side.MainFrame()->isMinimized());
        QVERIFY(!side.MainFrame()->TrayIcon().isVisible());
    }

    void iconsComeFromTheResources() {
        TempWorkDir work;
        ServerApp app(LoopbackOptions(), "brevin");
        QtWindowSide side(app, true);
        QVERIFY(app.InitInstance(side));
        QVERIFY(!side.IconMain().isNull());
        QVERIFY(!side.IconAlt().isNull());
        QVERIFY(side.IconMain().cacheKey() != side.IconAlt().cacheKey());
        QCOMPARE(side.MainFrame()->TrayIcon().icon().cacheKey(), side.IconMain().cacheKey());
    }

    void splashIsCentredInTheAvailableArea() {
        QCOMPARE(SplashGeometry(QRect(0, 0, 1024, 738)), QRect(424, 219, 175, 299));
        // Halves are truncated toward zero, also when the screen is smaller than the splash.
        QCOMPARE(SplashGeometry(QRect(0, 0, 175, 299)).topLeft(), QPoint(0, 0));
        QCOMPARE(SplashGeometry(QRect(0, 0, 100, 200)).topLeft(), QPoint(-37, -49));
        QCOMPARE(SplashGeometry(QRect(0, 30, 1024, 738)).topLeft(), QPoint(424, 249));
    }

    void splashIsFramelessOnTopAndClosesItselfOnItsTimer() {
        TempWorkDir work;
        ServerApp app(LoopbackOptions(), "brevin");
        QtWindowSide side(app, true);
        QVERIFY(app.InitInstance(side));
        QPointer<SplashWindow> splash = side.Splash();
        QVERIFY(splash != nullptr);
        QVERIFY(splash->isVisible());
        QCOMPARE(splash->size(), QSize(175, 299));
        QVERIFY(splash->windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(splash->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(splash->Timer().isActive());
        QVERIFY(splash->Timer().isSingleShot());
        QCOMPARE(splash->Timer().interval(), 5000);

        splash->OnTimer();
        QVERIFY(!splash->Timer().isActive());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(splash.isNull());
        QVERIFY(side.Splash() == nullptr);
    }

    void listenerThatCannotBindIsReportedByBoxAndStartupGoesOn() {
        TempWorkDir work;
        BusyPort busy;
        ServerOptions options = LoopbackOptions();
        options.smtpPort = busy.Port();
        ServerApp app(options, "brevin");
        BoxRecorder boxes;
        QtWindowSide side(app, true);
        QVERIFY(app.InitInstance(side));
        QCOMPARE(boxes.Shown().size(), std::size_t{1});
        QCOMPARE(boxes.Shown()[0].text, QStringLiteral("SMTP port"));
        QCOMPARE(boxes.Shown()[0].caption, QStringLiteral("Creation FAILED "));
        QVERIFY(boxes.Shown()[0].owner == nullptr);
        QVERIFY(app.m_listeners.pop3 != nullptr);
    }

    void addressThatCannotBeUsedEndsStartupAfterItsBoxes() {
        TempWorkDir work;
        ServerOptions options = LoopbackOptions();
        options.address = "not-an-address";
        ServerApp app(options, "brevin");
        BoxRecorder boxes;
        QtWindowSide side(app, true);
        QVERIFY(!app.InitInstance(side));
        QCOMPARE(boxes.Shown().size(), std::size_t{1});
        QCOMPARE(boxes.Shown()[0].text, QStringLiteral("Invalid address: not-an-address"));
        QCOMPARE(boxes.Shown()[0].caption, QStringLiteral("TCP/IP Protocol"));
        QVERIFY(app.m_listeners.smtp == nullptr);
    }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
