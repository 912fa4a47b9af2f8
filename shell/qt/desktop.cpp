#include "shell/qt/desktop.h"

#include "shell/qt/main_window.h"
#include "shell/qt/qt_window_side.h"
#include "shell/server_app.h"

#include <QApplication>
#include <QByteArray>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace brevin {

namespace {

// Qt ends the process when no platform can be opened. Offering "offscreen" as the last choice
// turns that into something we can see and answer by running headless instead.
struct PlatformChoice {
    QByteArray saved;
    bool hadValue = false;
    bool offscreenAsked = false;
};

PlatformChoice OfferOffscreenFallback() {
    PlatformChoice choice;
    choice.hadValue = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    choice.saved = qgetenv("QT_QPA_PLATFORM");
    QByteArray wanted = choice.saved;
    if (wanted.isEmpty()) {
        const bool wayland = qgetenv("XDG_SESSION_TYPE") == "wayland" &&
                             qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
        wanted = wayland ? "wayland;xcb" : "xcb";
    }
    choice.offscreenAsked = wanted.contains("offscreen") || wanted.contains("minimal");
    if (!choice.offscreenAsked) {
        qputenv("QT_QPA_PLATFORM", wanted + ";offscreen");
    }
    return choice;
}

void RestorePlatformVariable(const PlatformChoice& choice) {
    if (choice.hadValue) {
        qputenv("QT_QPA_PLATFORM", choice.saved);
    } else {
        qunsetenv("QT_QPA_PLATFORM");
    }
}

// The platform plugins' complaints about a display they cannot open; the caller says it in
// one line of its own.
void Quiet(QtMsgType /*type*/, const QMessageLogContext& /*context*/, const QString& /*text*/) {}

// SIGTERM (systemd, a logout, kill) ends the desktop as File > Esci does; the handler only
// wakes the Qt loop, which closes the window there.
int g_termPipe[2] = {-1, -1};

void WakeOnSignal(int /*signal*/) {
    const int saved = errno;
    const char byte = 1;
    (void)::write(g_termPipe[1], &byte, 1);
    errno = saved;
}

std::unique_ptr<QSocketNotifier> CloseOnSigterm(MainWindow& window) {
    if (::pipe2(g_termPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return nullptr;
    }
    auto notifier = std::make_unique<QSocketNotifier>(g_termPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &window, [&window] {
        char bytes[16];
        while (::read(g_termPipe[0], bytes, sizeof bytes) > 0) {
        }
        window.close();
    });
    struct sigaction action {};
    action.sa_handler = WakeOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    return notifier;
}

} // namespace

int RunDesktop(ServerApp& app, int& argc, char** argv) {
    const PlatformChoice choice = OfferOffscreenFallback();
    const QtMessageHandler previous = qInstallMessageHandler(Quiet);
    QApplication application(argc, argv);
    qInstallMessageHandler(previous);
    RestorePlatformVariable(choice);
    if (!choice.offscreenAsked && QGuiApplication::platformName() == QLatin1String("offscreen")) {
        return kNoDisplay;
    }

    (void)std::signal(SIGPIPE, SIG_IGN); // a client that vanishes must not end the server
    // Closing the splash must not end the program while the main window is hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Brevin"));
    QApplication::setApplicationVersion(QStringLiteral(BREVIN_VERSION));

    const std::unique_ptr<QSocketNotifier> notifier(WatchEventLoop(app.Loop()));

    QtWindowSide windows(app);
    if (!app.Start(windows)) {
        return 1;
    }
    QObject::connect(windows.Window(), &MainWindow::Exiting, &application, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    const std::unique_ptr<QSocketNotifier> sigterm = CloseOnSigterm(*windows.Window());
    return QApplication::exec();
}

} // namespace brevin
