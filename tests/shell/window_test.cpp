// Start-up with real windows, the splash, and the main window with its tray icon.
#include "shell/qt/app_view.h"
#include "shell/qt/main_frame.h"
#include "shell/qt/qt_window_side.h"
#include "shell/qt/splash_window.h"
#include "shell/server_app.h"
#include "shell/support.h"

#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>
#include <memory>

using namespace brevin;
using namespace brevin::test;

namespace {

// The real windows, with every step and every window hook written down as it happens.
class RecordingSide final : public QtWindowSide {
public:
    using QtWindowSide::QtWindowSide;

    void BeforeStep(StartupStep step) override {
        log << QString::number(static_cast<int>(step));
        if (step == StartupStep::LoadUserList) {
            splashUpDuringUserList = Splash() != nullptr && Splash()->isVisible();
        }
    }
    void LoadIcons() override { log << "LoadIcons", QtWindowSide::LoadIcons(); }
    void ShowSplash() override { log << "ShowSplash", QtWindowSide::ShowSplash(); }
    void SetDialogColours() override { log << "Colours", QtWindowSide::SetDialogColours(); }
    void CreateMainFrame() override { log << "CreateFrame", QtWindowSide::CreateMainFrame(); }
    void HideMainWindow() override { log << "HideWindow", QtWindowSide::HideMainWindow(); }

    QStringList log;
    bool splashUpDuringUserList = false;
};

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempWorkDir> m_work;
    std::unique_ptr<ServerApp> m_app;
    std::unique_ptr<RecordingSide> m_side;

    bool Start(bool tray, const ServerOptions& options = LoopbackOptions()) {
        cleanup();
        m_work = std::make_unique<TempWorkDir>();
        m_app = std::make_unique<ServerApp>(options, "brevin");
        m_side = std::make_unique<RecordingSide>(*m_app, tray);
        return m_app->Start(*m_side);
    }
    CMainFrame& Frame() { return *m_side->MainFrame(); }

private slots:
    void cleanup() {
        m_side.reset();
        m_app.reset();
        m_work.reset();
    }

    void startup_data() {
        QTest::addColumn<bool>("tray");
        QTest::newRow("tray") << true;
        QTest::newRow("no tray") << false;
    }
    void startup() {
        QFETCH(bool, tray);
        QVERIFY(Start(tray));
        QCOMPARE(m_side->log.join(' '), "1 2 3 LoadIcons 4 ShowSplash 5 6 Colours 7 CreateFrame "
                                        "8 HideWindow 9 10 11 12");
        QVERIFY(m_side->splashUpDuringUserList);
        QVERIFY(m_app->m_listeners.smtp != nullptr && m_app->m_listeners.pop3 != nullptr);

        // Without a tray the window is the only way in: shown, and minimising only minimises.
        QCOMPARE(Frame().windowTitle(), QStringLiteral("Brevin"));
        QCOMPARE(Frame().isVisible(), !tray);
        QCOMPARE(Frame().TrayIcon().isVisible(), tray);
        Frame().showNormal();
        Frame().setWindowState(Qt::WindowMinimized);
        QCOMPARE(Frame().isVisible(), !tray);

        QPointer<SplashWindow> splash = m_side->Splash();
        QVERIFY(splash != nullptr && splash->isVisible());
        QCOMPARE(splash->size(), QSize(175, 299));
        QVERIFY(
            splash->windowFlags().testFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint));
        QVERIFY(splash->Timer().isActive() && splash->Timer().isSingleShot());
        QCOMPARE(splash->Timer().interval(), 5000);
        splash->OnTimer();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(splash.isNull());
    }

    void addressThatCannotBeUsedEndsStartupAfterItsBox() {
        ServerOptions options = LoopbackOptions();
        options.address = "not-an-address";
        BoxRecorder boxes;
        QVERIFY(!Start(true, options));
        QCOMPARE(boxes.Texts(), QStringList{"Invalid address: not-an-address"});
        QCOMPARE(boxes.Shown()[0].caption, QStringLiteral("TCP/IP Protocol"));
    }

    void splashIsCentredInTheAvailableArea() {
        QCOMPARE(SplashGeometry({0, 0, 1024, 738}), QRect(424, 219, 175, 299));
        QCOMPARE(SplashGeometry({0, 30, 1024, 738}), QRect(424, 249, 175, 299)); // below a panel
        QCOMPARE(SplashGeometry({0, 0, 100, 200}), QRect(-37, -49, 175, 299));   // halves truncated
    }

    void tilingStaggersTheRows() {
        const auto tiles = [](QRect client, QSize picture, int scroll = 0) {
            const std::vector<QPoint> got = TileBackground(client, picture, scroll);
            return QList<QPoint>(got.begin(), got.end());
        };
        QCOMPARE(tiles({0, 0, 500, 120}, {200, 40}), QList<QPoint>({{0, 0},
                                                                    {200, 0},
                                                                    {400, 0},
                                                                    {-45, 40},
                                                                    {155, 40},
                                                                    {355, 40},
                                                                    {-90, 80},
                                                                    {110, 80},
                                                                    {310, 80}}));
        QCOMPARE(tiles({0, 0, 100, 30}, {200, 40}, 1), QList<QPoint>({{0, 20}}));
        QVERIFY(tiles({0, 0, 100, 30}, {0, 40}).isEmpty());
    }

    void menuToolbarAndView() {
        QVERIFY(Start(false));
        QStringList texts; // menus in brackets, disabled items in parentheses
        for (QAction* menu : Frame().menuBar()->actions()) {
            texts << "[" + menu->text() + "]";
            for (QAction* item : menu->menu()->actions()) {
                texts << (item->isSeparator() ? QStringLiteral("-")
                          : item->isEnabled() ? item->text()
                                              : "(" + item->text() + ")");
            }
        }
        QCOMPARE(texts,
                 QStringList({"[&File]", "About...", "&Users", "How to access...", "&Esci",
                              "[&Visualizza]", "Barra degli st&rumenti", "Barra di st&ato", "[&?]",
                              "(&Argomenti della Guida)", "-", "Infor&mazioni su BREVIN"}));
        QCOMPARE(Frame().ToolBar()->iconSize(), QSize(32, 32));
        QCOMPARE(Frame().ToolBar()->actions().size(), 3);
        Frame().findChild<QAction*>("ID_VIEW_TOOLBAR")->trigger();
        QVERIFY(!Frame().ToolBar()->isVisible());

        // The view shows FONDO from its top left corner.
        const QImage shot = Frame().View()->viewport()->grab().toImage();
        const QImage fondo = Frame().View()->Background().toImage().convertToFormat(shot.format());
        QCOMPARE(shot.pixel(5, 5), fondo.pixel(5, 5));
    }

    void trayAnimatesAndItsClickTogglesTheWindow() {
        QVERIFY(Start(true));
        QSystemTrayIcon& icon = Frame().TrayIcon();
        QCOMPARE(icon.toolTip(), QStringLiteral("BREVIN  Intranet Mail Server  "));
        QVERIFY(Frame().TrayTimer().isActive());
        QCOMPARE(Frame().TrayTimer().interval(), 2000);
        // At 0, 2, 4, 6 and 8 seconds: the main image twice, then the two alternate.
        const qint64 main = m_side->IconMain().cacheKey();
        const qint64 alt = m_side->IconAlt().cacheKey();
        QVERIFY(main != alt);
        QList<qint64> shown = {icon.icon().cacheKey()};
        for (int tick = 0; tick < 4; ++tick) {
            Frame().OnTrayTimer();
            shown << icon.icon().cacheKey();
        }
        QCOMPARE(shown, QList<qint64>({main, main, alt, main, alt}));

        emit icon.activated(QSystemTrayIcon::Context); // only a left-button release toggles
        emit icon.activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!Frame().isVisible());
        emit icon.activated(QSystemTrayIcon::Trigger);
        QVERIFY(Frame().isVisible());
        Frame().setWindowState(Qt::WindowMinimized);
        QVERIFY(!Frame().isVisible());
        emit icon.activated(QSystemTrayIcon::Trigger);
        QVERIFY(Frame().isVisible() && !Frame().isMinimized());
        emit icon.activated(QSystemTrayIcon::Trigger);
        QVERIFY(!Frame().isVisible());
    }

    void closing_data() {
        QTest::addColumn<bool>("esci");
        QTest::newRow("close box") << false;
        QTest::newRow("&Esci") << true;
    }
    void closing() {
        QFETCH(bool, esci);
        QVERIFY(Start(true));
        emit Frame().TrayIcon().activated(QSystemTrayIcon::Trigger);
        QSignalSpy exiting(&Frame(), &CMainFrame::Exiting);
        esci ? Frame().findChild<QAction*>("ID_APP_EXIT")->trigger() : void(Frame().close());
        QCOMPARE(exiting.count(), 1);
        QVERIFY(!Frame().isVisible());
        QVERIFY(!Frame().TrayIcon().isVisible() && !Frame().TrayTimer().isActive());
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
