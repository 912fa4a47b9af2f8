#pragma once

#include "shell/qt/lock_state.h"
#include "shell/qt/tray_animation.h"

#include <QIcon>
#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QTimer>
#include <chrono>
#include <ctime>

class QAction;
class QLabel;
class QToolBar;

namespace brevin {

class ActivityView;
class BackgroundView;
class ServerApp;

/// The date pane's text: today in the locale's own date format ("%x").
QString DatePaneText(std::time_t now);

/// The main window: menu, toolbar, tiled background, status bar, and the tray icon through
/// which a hidden window is reached again.
class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    /// How long each tray image stays, and how often the date and lock panes are refreshed.
    static constexpr std::chrono::milliseconds kTrayPeriod{2000};
    static constexpr std::chrono::milliseconds kDatePeriod{60000};
    static inline const QString kTrayTip = QStringLiteral("BREVIN  Intranet Mail Server  ");

    /// Status bar panes, in order.
    enum Pane { MessagePane, CapsPane, NumPane, ScrollPane, DatePane, PaneCount };

    /// `trayAvailable`: whether the desktop has a notification area. Without one the window
    /// is the only way in, so it is shown at start and minimises like any other window.
    MainWindow(ServerApp& app, const QIcon& iconMain, const QIcon& iconAlt, bool trayAvailable);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    /// Start-up's "hide the main window" step (shows it when there is no tray).
    void HideAtStart();

    /// A click on the tray icon shows a hidden window and hides a shown one.
    void trayActivated(QSystemTrayIcon::ActivationReason reason);
    /// The next image of the tray animation.
    void animateTray();

    void showAbout();
    void editUsers();
    void editNames();
    void showAccess();

    [[nodiscard]] bool HasTray() const { return m_trayAvailable; }
    [[nodiscard]] QSystemTrayIcon& TrayIcon() { return m_trayIcon; }
    [[nodiscard]] const QTimer& TrayTimer() const { return m_trayTimer; }
    [[nodiscard]] const QTimer& DateTimer() const { return m_dateTimer; }
    [[nodiscard]] BackgroundView* View() const { return m_view; }
    [[nodiscard]] ActivityView* Activity() const { return m_activity; }
    [[nodiscard]] QToolBar* ToolBar() const { return m_toolBar; }
    [[nodiscard]] QLabel* StatusPane(Pane pane) const { return m_panes[pane]; }
    [[nodiscard]] const QIcon& IconMain() const { return m_iconMain; }
    [[nodiscard]] const QIcon& IconAlt() const { return m_iconAlt; }

signals:
    /// The window was closed (close box or "&Esci"): the program ends.
    void Exiting();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* Command(const char* name, const QString& text, const QString& prompt);
    void ShowDate();
    void ShowLocks(const LockState& state);
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();

    ServerApp& m_app;
    QIcon m_iconMain;
    QIcon m_iconAlt;
    bool m_trayAvailable;
    QSystemTrayIcon m_trayIcon;
    TrayAnimation m_trayPhase;
    QTimer m_trayTimer;
    QTimer m_dateTimer;
    QAction* m_aboutAction = nullptr;
    QAction* m_usersAction = nullptr;
    QAction* m_namesAction = nullptr;
    QAction* m_accessAction = nullptr;
    QToolBar* m_toolBar = nullptr;
    BackgroundView* m_view = nullptr;
    ActivityView* m_activity = nullptr; // a panel over the background, toggled from Visualizza
    QLabel* m_panes[PaneCount] = {};
};

} // namespace brevin
