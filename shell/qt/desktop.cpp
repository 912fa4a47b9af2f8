#include "shell/qt/desktop.h"

#include "shell/qt/main_frame.h"
#include "shell/qt/qt_window_side.h"
#include "shell/server_app.h"

#include <QApplication>
#include <QByteArray>
#include <QSocketNotifier>
#include <csignal>
#include <memory>

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
    QObject::connect(windows.MainFrame(), &CMainFrame::Exiting, &application,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    return QApplication::exec();
}

} // namespace brevin
