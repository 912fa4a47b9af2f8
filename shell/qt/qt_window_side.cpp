#include "shell/qt/qt_window_side.h"

#include "shell/qt/dialog_look.h"
#include "shell/qt/main_window.h"
#include "shell/qt/message_box.h"
#include "shell/qt/splash_window.h"
#include "shell/server_app.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>

// Outside any namespace, as the resource initialiser requires.
static void InitResourceFile() {
    Q_INIT_RESOURCE(brevin);
}

namespace brevin {

void InitDesktopResources() {
    static const bool done = [] {
        InitResourceFile();
        return true;
    }();
    (void)done;
}

QSocketNotifier* WatchEventLoop(EventLoop& loop, QObject* parent) {
    auto* notifier = new QSocketNotifier(loop.fd(), QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [&loop] { loop.ProcessReady(0); });
    return notifier;
}

QtWindowSide::QtWindowSide(ServerApp& app, std::optional<bool> trayAvailable)
    : m_app(app), m_trayAvailable(trayAvailable) {
    InitDesktopResources();
}

QtWindowSide::~QtWindowSide() {
    if (m_splash) {
        delete m_splash.data();
    }
}

SplashWindow* QtWindowSide::Splash() const {
    return m_splash.data();
}

void QtWindowSide::LoadIcons() {
    m_iconMain = QIcon(QStringLiteral(":/res/BREVICO"));
    m_iconAlt = QIcon(QStringLiteral(":/res/BREVIC2"));
}

void QtWindowSide::ShowSplash() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect available = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 640, 480);
    m_splash = new SplashWindow(available);
    m_splash->Start();
}

void QtWindowSide::SetDialogColours() {
    brevin::SetDialogColours();
}

void QtWindowSide::CreateMainFrame() {
    const bool tray = m_trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    m_window = std::make_unique<MainWindow>(m_app, m_iconMain, m_iconAlt, tray);
}

void QtWindowSide::HideMainWindow() {
    if (m_window) {
        m_window->HideAtStart();
    }
}

void QtWindowSide::MessageBox(std::string_view text, std::string_view caption) {
    ShowMessageBox(nullptr, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                   QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
}

} // namespace brevin
