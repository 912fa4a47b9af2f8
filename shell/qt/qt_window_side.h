#pragma once

#include "shell/window_side.h"

#include <QIcon>
#include <QPointer>
#include <QSocketNotifier>
#include <memory>
#include <optional>

namespace brevin {

class MainWindow;
class EventLoop;
class ServerApp;
class SplashWindow;

/// Makes the pictures of the resource file available; idempotent.
void InitDesktopResources();

/// Serves the server's loop from Qt's: whenever its descriptor is readable, one batch of
/// ready work is dispatched. Qt runs it in menus and modal dialogs too, so mail keeps flowing.
QSocketNotifier* WatchEventLoop(EventLoop& loop, QObject* parent = nullptr);

/// The windows of start-up: icons, splash, dialog colours, the main window.
class QtWindowSide : public WindowSide {
public:
    /// `trayAvailable` replaces the desktop's answer (tests); unset asks the desktop.
    explicit QtWindowSide(ServerApp& app, std::optional<bool> trayAvailable = {});
    ~QtWindowSide() override;
    QtWindowSide(const QtWindowSide&) = delete;
    QtWindowSide& operator=(const QtWindowSide&) = delete;

    void LoadIcons() override;
    void ShowSplash() override;
    void SetDialogColours() override;
    void CreateMainFrame() override;
    void HideMainWindow() override;
    void MessageBox(std::string_view text, std::string_view caption) override;

    [[nodiscard]] MainWindow* Window() const { return m_window.get(); }
    /// The splash while it is up; null once it closed.
    [[nodiscard]] SplashWindow* Splash() const;
    [[nodiscard]] const QIcon& IconMain() const { return m_iconMain; }
    [[nodiscard]] const QIcon& IconAlt() const { return m_iconAlt; }

private:
    ServerApp& m_app;
    std::optional<bool> m_trayAvailable;
    QIcon m_iconMain;
    QIcon m_iconAlt;
    QPointer<SplashWindow> m_splash; // deletes itself when it closes
    std::unique_ptr<MainWindow> m_window;
};

} // namespace brevin
