#include "shell/server_app.h"

#include "pop3/pop3_session.h"
#include "smtp/smtp_session.h"
#include "store/delivery.h"
#include "store/users.h"

#include <clocale>
#include <system_error>

namespace brevin {

ServerApp::ServerApp(ServerOptions options, std::string programPath)
    : m_options(std::move(options)), m_programPath(std::move(programPath)) {
    std::error_code ec;
    m_workingDirectory = std::filesystem::current_path(ec);
}

ServerApp::~ServerApp() = default;

MailSession* ServerApp::MakeSession(ServiceKind kind) {
    if (kind == ServiceKind::SMTP) {
        return new SmtpSession(m_loop, m_options.session, *m_deliveries);
    }
    return new Pop3Session(m_loop, m_options.session, *m_users);
}

bool ServerApp::Start(WindowSide& windows) {
    const auto show = [&windows](std::string_view text, std::string_view caption) {
        windows.MessageBox(text, caption);
    };
    windows.BeforeStep(StartupStep::SetLocale);
    std::setlocale(LC_ALL, "");

    windows.BeforeStep(StartupStep::BuildProfilePath);
    m_profilePath = BuildProfilePath(m_workingDirectory, m_programPath);
    m_profile = std::make_unique<ProfileFile>(m_profilePath);
    m_users = std::make_unique<UserDirectory>(*m_profile);
    m_deliveries = std::make_unique<DeliveryQueue>(m_loop, *m_users);

    windows.BeforeStep(StartupStep::LoadIcons);
    windows.LoadIcons();
    windows.BeforeStep(StartupStep::ShowSplash);
    windows.ShowSplash();
    windows.BeforeStep(StartupStep::LoadUserList);

    windows.BeforeStep(StartupStep::SetDialogColours);
    windows.SetDialogColours();
    windows.BeforeStep(StartupStep::CreateMainFrame);
    windows.CreateMainFrame();
    windows.BeforeStep(StartupStep::HideMainWindow);
    windows.HideMainWindow();

    windows.BeforeStep(StartupStep::EnsureStoreRoot);
    m_users->SettleStoreRoot();
    RemoveAbandonedMessages(*m_users);

    windows.BeforeStep(StartupStep::InitNetwork);
    if (!InitNetwork(show)) {
        return false;
    }
    windows.BeforeStep(StartupStep::FindLocalAddress);
    if (!FindLocalAddress(m_host, show, m_options.address)) {
        return false;
    }
    windows.BeforeStep(StartupStep::CreateListeners);
    return CreateListeners(
        m_loop, m_host.m_hostAddress, {m_options.smtpPort, m_options.pop3Port},
        [this](ServiceKind kind) { return MakeSession(kind); }, show, m_listeners);
}

} // namespace brevin
