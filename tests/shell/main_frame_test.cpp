// The main window: menu, toolbar, status bar, background tiling, tray icon and how the window
// hides, shows and ends the program.
#include "shell/qt/app_view.h"
#include "shell/qt/main_frame.h"
#include "shell/qt/qt_window_side.h"
#include "shell/qt/tray_animation.h"
#include "shell/server_app.h"
#include "shell/support.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <memory>

using namespace brevin;
using namespace brevin::test;

namespace {

struct Menu {
    QString title;
    QStringList items; // "-" for a separator
};

QList<Menu> MenuTexts(QMenuBar* bar) {
    QList<Menu> menus;
    for (QAction* top : bar->actions()) {
        Menu menu{top->text(), {}};
        for (QAction* item : top->menu()->actions()) {
            menu.items << (item->isSeparator() ? QStringLiteral("-") : item->text());
        }
        menus << menu;
    }
    return menus;
}

QAction* Item(QMenuBar* bar, const QString& text) {
    for (QAction* top : bar->actions()) {
        for (QAction* item : top->menu()->actions()) {
            if (item->text() == text) {
                return item;
            }
        }
    }
    return nullptr;
}

} // namespace

class MainFrameTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempWorkDir> m_work;
    std::unique_ptr<ServerApp> m_app;
    std::unique_ptr<QtWindowSide> m_side;

    CMainFrame& Start(bool tray) {
        m_side.reset();
        m_app.reset();
        m_work = std::make_unique<TempWorkDir>();
        m_app = std::make_unique<ServerApp>(LoopbackOptions(), "brevin");
        m_side = std::make_unique<QtWindowSide>(*m_app, tray);
        if (!m_app->InitInstance(*m_side)) {
            qFatal("start-up failed");
        }
        return *m_side->MainFrame();
    }

private slots:
    void cleanup() {
        m_side.reset();
        m_app.reset();
        m_work.reset();
    }

    // ---- menu and toolbar

    void menuHasItsCaptionsInOrder() {
        CMainFrame& frame = Start(true);
        const QList<Menu> menus = MenuTexts(frame.menuBar());
        QCOMPARE(menus.size(), 3);
        QCOMPARE(menus[0].title, QStringLiteral("&File"));
        QCOMPARE(menus[0].items, QStringList({"About...", "&Users", "How to access...", "&Esci"}));
        QCOMPARE(menus[1].title, QStringLiteral("&Visualizza"));
        QCOMPARE(menus[1].items, QStringList({"Barra degli st&rumenti", "Barra di st&ato"}));
        QCOMPARE(menus[2].title, QStringLiteral("&?"));
        QCOMPARE(menus[2].items,
                 QStringList({"&Argomenti della Guida", "-", "Infor&mazioni su BREVIN"}));
    }

    void helpTopicsAreDisabledAndEverythingElseEnabled() {
        CMainFrame& frame = Start(true);
        QVERIFY(!Item(frame.menuBar(), "&Argomenti della Guida")->isEnabled());
        for (const char* text :
             {"About...", "&Users", "How to access...", "&Esci", "Barra degli st&rumenti",
              "Barra di st&ato", "Infor&mazioni su BREVIN"}) {
            QVERIFY2(Item(frame.menuBar(), text)->isEnabled(), qPrintable(text));
        }
    }

    void commandsShowTheirPromptsInTheMessagePane() {
        CMainFrame& frame = Start(false);
        const QList<QPair<QString, QString>> prompts = {
            {"About...", "About Brevin"},
            {"&Users", "Users configuration"},
            {"How to access...", "How to access a user from mail client programs..."},
            {"&Esci", "Esce dall'applicazione e chiede di salvare i documenti"},
            {"Barra degli st&rumenti", "Mostra o nasconde la barra degli strumenti"},
            {"Barra di st&ato", "Mostra o nasconde la barra di stato"},
            {"&Argomenti della Guida", "Elenca gli argomenti della Guida"},
            {"Infor&mazioni su BREVIN", "About Brevin"}};
        for (const auto& [item, prompt] : prompts) {
            QAction* action = Item(frame.menuBar(), item);
            QCOMPARE(action->statusTip(), prompt);
            action->showStatusText(&frame);
            QCOMPARE(frame.statusBar()->currentMessage(), prompt);
        }
        frame.statusBar()->clearMessage();
        QCOMPARE(frame.StatusPane(CMainFrame::MessagePane)->text(),
                 QStringLiteral("Per informazioni, premere F1"));
        QVERIFY(frame.StatusPane(CMainFrame::MessagePane)->isVisible());
    }

    void toolbarHasThreeButtonsOf32PixelsWithoutTooltips() {
        CMainFrame& frame = Start(false);
        QToolBar* bar = frame.ToolBar();
        QCOMPARE(bar->iconSize(), QSize(32, 32));
        const QList<QAction*> actions = bar->actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions[0]->objectName(), QStringLiteral("ID_ABOUT"));
        QCOMPARE(actions[1]->objectName(), QStringLiteral("ID_USERS"));
        QCOMPARE(actions[2]->objectName(), QStringLiteral("ID_ACCESS"));
        for (QAction* action : actions) {
            QVERIFY(!action->icon().isNull());
            QWidget* button = bar->widgetForAction(action);
            QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), button->mapToGlobal(QPoint(2, 2)));
            QVERIFY(QApplication::sendEvent(button, &help)); // swallowed: no tooltip
        }
        QVERIFY(actions[0]->icon().cacheKey() != actions[1]->icon().cacheKey());
    }

    void viewItemsToggleTheBarsAndTheirChecks() {
        CMainFrame& frame = Start(false);
        QAction* toolbarItem = Item(frame.menuBar(), "Barra degli st&rumenti");
        QAction* statusItem = Item(frame.menuBar(), "Barra di st&ato");
        QVERIFY(toolbarItem->isCheckable() && toolbarItem->isChecked());
        QVERIFY(statusItem->isCheckable() && statusItem->isChecked());
        QVERIFY(frame.ToolBar()->isVisible());
        QVERIFY(frame.statusBar()->isVisible());

        toolbarItem->trigger();
        QVERIFY(!frame.ToolBar()->isVisible());
        QVERIFY(!toolbarItem->isChecked());
        statusItem->trigger();
        QVERIFY(!frame.statusBar()->isVisible());
        QVERIFY(!statusItem->isChecked());

        toolbarItem->trigger();
        statusItem->trigger();
        QVERIFY(frame.ToolBar()->isVisible() && toolbarItem->isChecked());
        QVERIFY(frame.statusBar()->isVisible() && statusItem->isChecked());
    }

    // ---- status bar

    void statusBarHasItsFivePanesInOrder() {
        CMainFrame& frame = Start(false);
        QCOMPARE(frame.m_datePane, 4);
        QList<QLabel*> panes;
        for (int pane = 0; pane < CMainFrame::PaneCount; ++pane) {
            panes << frame.StatusPane(static_cast<CMainFrame::Pane>(pane));
            QVERIFY(panes.back() != nullptr);
        }
        // Left to right: message, caps, num, scroll, date.
        for (int pane = 1; pane < panes.size(); ++pane) {
            QVERIFY(panes[pane - 1]->geometry().right() < panes[pane]->geometry().left());
        }
    }

    void lockIndicatorsShowTheirLettersWhenOn() {
        CMainFrame& frame = Start(false);
        frame.OnUpdateLocks({true, false, true});
        QCOMPARE(frame.StatusPane(CMainFrame::CapsPane)->text(), QStringLiteral("MA"));
        QCOMPARE(frame.StatusPane(CMainFrame::NumPane)->text(), QString());
        QCOMPARE(frame.StatusPane(CMainFrame::ScrollPane)->text(), QStringLiteral("BS"));
        frame.OnUpdateLocks({false, true, false});
        QCOMPARE(frame.StatusPane(CMainFrame::CapsPane)->text(), QString());
        QCOMPARE(frame.StatusPane(CMainFrame::NumPane)->text(), QStringLiteral("NUM"));
        QCOMPARE(frame.StatusPane(CMainFrame::ScrollPane)->text(), QString());
        // The pane keeps its width when dark, so the others do not move.
        const int width = frame.StatusPane(CMainFrame::NumPane)->width();
        frame.OnUpdateLocks({});
        QCOMPARE(frame.StatusPane(CMainFrame::NumPane)->width(), width);
    }

    void datePaneShowsTheLocaleDateAndFitsIt() {
        CMainFrame& frame = Start(false); // shown at start: no tray
        QLabel* pane = frame.StatusPane(CMainFrame::DatePane);
        const QString today = DatePaneText(std::time(nullptr));
        QVERIFY(!today.isEmpty());
        QCOMPARE(pane->text(), today);
        QVERIFY(pane->isEnabled());
        QVERIFY(pane->contentsRect().width() >= pane->fontMetrics().horizontalAdvance(today));
        QVERIFY(frame.DateTimer().isActive());
        QVERIFY(frame.DateTimer().interval() <= 60000);
    }

    void datePaneUsesTheFormatOfTheCLocale() {
        std::tm day{};
        day.tm_year = 2024 - 1900;
        day.tm_mon = 1;
        day.tm_mday = 29;
        day.tm_hour = 12;
        const std::time_t when = std::mktime(&day);
        char expected[64];
        QVERIFY(std::strftime(expected, sizeof expected, "%x", &day) > 0);
        QCOMPARE(DatePaneText(when), QString::fromLocal8Bit(expected));
        QVERIFY(DatePaneText(when).contains(QStringLiteral("29")));
    }

    // ---- background

    void tilingOf500By120GivesThreeStaggeredRows() {
        const std::vector<QPoint> tiles = TileBackground(QRect(0, 0, 500, 120), QSize(200, 40));
        QList<QPoint> rowStarts;
        for (const QPoint& tile : tiles) {
            if (rowStarts.isEmpty() || rowStarts.back().y() != tile.y()) {
                rowStarts << tile;
            }
        }
        QCOMPARE(rowStarts, QList<QPoint>({{0, 0}, {-45, 40}, {-90, 80}}));
        QCOMPARE(tiles.size(), std::size_t{9});
        // Every row covers the whole width.
        for (const QPoint& start : rowStarts) {
            int right = start.x();
            for (const QPoint& tile : tiles) {
                if (tile.y() == start.y()) {
                    QCOMPARE(tile.x(), right);
                    right += 200;
                }
            }
            QVERIFY(right >= 500);
        }
    }

    void tilingFollowsTheScrollPositionAndIgnoresEmptyPictures() {
        const std::vector<QPoint> tiles = TileBackground(QRect(0, 0, 100, 30), QSize(200, 40), 1);
        QCOMPARE(tiles.size(), std::size_t{1});
        QCOMPARE(tiles[0], QPoint(0, 20));
        QVERIFY(TileBackground(QRect(0, 0, 100, 30), QSize(0, 40)).empty());
        QVERIFY(TileBackground(QRect(0, 0, 0, 0), QSize(200, 40)).empty());
    }

    void viewTilesFondoAndHasAVerticalScrollBar() {
        CMainFrame& frame = Start(false);
        CAppView* view = frame.View();
        QCOMPARE(view->Background().size(), QSize(200, 40));
        QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(frame.centralWidget(), view);
        const QImage shot = view->viewport()->grab().toImage();
        const QImage fondo = view->Background().toImage().convertToFormat(shot.format());
        QCOMPARE(shot.pixel(5, 5), fondo.pixel(5, 5));
    }

    // ---- tray icon

    void trayTipIsTheProductLine() {
        CMainFrame& frame = Start(true);
        QCOMPARE(frame.TrayIcon().toolTip(), QStringLiteral("BREVIN  Intranet Mail Server  "));
        QCOMPARE(frame.TrayTimer().interval(), 2000);
        QVERIFY(frame.TrayTimer().isActive());
    }

    void trayPhaseStartsWithTheMainImageTwice() {
        TrayAnimation animation;
        QCOMPARE(animation.Phase(), 0);
        QList<bool> main;
        for (int tick = 0; tick < 5; ++tick) {
            main << animation.Tick();
        }
        QCOMPARE(main, QList<bool>({true, false, true, false, true}));
    }

    void trayIconShowsMainForFourSecondsThenAlternates() {
        CMainFrame& frame = Start(true);
        const qint64 mainKey = frame.IconMain().cacheKey();
        const qint64 altKey = frame.IconAlt().cacheKey();
        QList<qint64> shown = {frame.TrayIcon().icon().cacheKey()}; // at 0 s
        for (int tick = 0; tick < 4; ++tick) {                      // at 2, 4, 6, 8 s
            frame.OnTrayTimer();
            shown << frame.TrayIcon().icon().cacheKey();
        }
        QCOMPARE(shown, QList<qint64>({mainKey, mainKey, altKey, mainKey, altKey}));
    }

    void trayClickTogglesTheWindow() {
        CMainFrame& frame = Start(true);
        QVERIFY(!frame.isVisible());
        frame.OnTrayNotify(QSystemTrayIcon::Trigger);
        QVERIFY(frame.isVisible());
        QVERIFY(!frame.isMinimized());
        frame.OnTrayNotify(QSystemTrayIcon::Trigger);
        QVERIFY(!frame.isVisible());
    }

    void otherTrayEventsAreIgnored() {
        CMainFrame& frame = Start(true);
        for (const auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick,
                                  QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
            frame.OnTrayNotify(reason);
            QVERIFY(!frame.isVisible());
        }
        frame.OnTrayNotify(QSystemTrayIcon::Trigger);
        frame.OnTrayNotify(QSystemTrayIcon::DoubleClick);
        QVERIFY(frame.isVisible());
    }

    void trayIconSignalReachesTheToggle() {
        CMainFrame& frame = Start(true);
        emit frame.TrayIcon().activated(QSystemTrayIcon::Trigger);
        QVERIFY(frame.isVisible());
    }

    // ---- minimise and close

    void minimiseHidesAndTheTrayClickRestores() {
        CMainFrame& frame = Start(true);
        frame.OnTrayNotify(QSystemTrayIcon::Trigger);
        QVERIFY(frame.isVisible());
        frame.setWindowState(Qt::WindowMinimized);
        QVERIFY(!frame.isVisible());
        frame.OnTrayNotify(QSystemTrayIcon::Trigger);
        QVERIFY(frame.isVisible());
        QVERIFY(!frame.isMinimized());
    }

    void withoutATrayMinimiseOnlyMinimises() {
        CMainFrame& frame = Start(false);
        QVERIFY(frame.isVisible());
        frame.setWindowState(Qt::WindowMinimized);
        QVERIFY(frame.isMinimized());
        QVERIFY(frame.isVisible());
    }

    void closeBoxEndsTheProgramAndRemovesTheTrayIcon() {
        CMainFrame& frame = Start(true);
        frame.OnTrayNotify(QSystemTrayIcon::Trigger);
        QSignalSpy exiting(&frame, &CMainFrame::Exiting);
        QVERIFY(frame.close());
        QCOMPARE(exiting.count(), 1);
        QVERIFY(!frame.TrayIcon().isVisible());
        QVERIFY(!frame.TrayTimer().isActive());
    }

    void esciEndsTheProgramLikeTheCloseBox() {
        CMainFrame& frame = Start(true);
        frame.OnTrayNotify(QSystemTrayIcon::Trigger);
        QSignalSpy exiting(&frame, &CMainFrame::Exiting);
        Item(frame.menuBar(), "&Esci")->trigger();
        QCOMPARE(exiting.count(), 1);
        QVERIFY(!frame.isVisible());
        QVERIFY(!frame.TrayIcon().isVisible());
    }
};

QTEST_MAIN(MainFrameTest)
#include "main_frame_test.moc"
