#include "shell/console.h"

#include "shell/tls_setup.h"

#include <csignal>
#include <iostream>

namespace brevin {

namespace {

EventLoop* g_stopLoop = nullptr;

void StopOnSignal(int /*signal*/) {
    if (g_stopLoop != nullptr) {
        g_stopLoop->Stop();
    }
}

/// Message boxes as single lines, "CAPTION: TEXT", for a server without a display.
class ConsoleSide final : public WindowSide {
public:
    void Notice(std::string_view text, std::string_view caption) override {
        MessageBox(text, caption);
    }
    void MessageBox(std::string_view text, std::string_view caption) override {
        std::string line(text);
        for (char& c : line) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        std::cerr << (caption.empty() ? std::string_view("Brevin") : caption) << ": " << line
                  << std::endl;
    }
};

} // namespace

int RunConsole(ServerApp& app) {
    ConsoleSide console;
    // Under a supervisor, a failed listener or an unreadable profile must end the process
    // with a failure, so that it is restarted or seen, not left running half-way.
    if (!app.Start(console) || app.HadStartProblem()) {
        return 1;
    }
    if (const std::string fingerprint = app.TlsFingerprint(); !fingerprint.empty()) {
        std::cerr << TlsFingerprintLine(fingerprint) << std::endl;
    }
    g_stopLoop = &app.Loop();
    struct sigaction action {};
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    app.Loop().Run();
    g_stopLoop = nullptr;
    return 0;
}

} // namespace brevin
