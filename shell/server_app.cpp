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

std::unique_ptr<MailSession> ServerApp::MakeSession(ServiceKind kind) {
    if (kind == ServiceKind::SMTP) {
        return std::make_unique<SmtpSession>(m_loop, m_options.session, *m_deliveries,
                                             m_options.smtp);
    }
    return std::make_unique<Pop3Session>(m_loop, m_options.session, *m_users);
}

void ServerApp::ReportListenerFailure(const ListenerFailure& failure, WindowSide& windows) {
    const bool smtp = failure.kind == ServiceKind::SMTP;
    switch (failure.step) {
    case ListenerStep::Create:
        windows.MessageBox(smtp ? "SMTP port" : "POP3 port", "Creation FAILED ");
        return;
    case ListenerStep::Reuse:
        windows.MessageBox(smtp ? "Port SMTP" : "Port POP3", "no reuse");
        return;
    case ListenerStep::Listen:
        windows.MessageBox(smtp ? "PORT SMTP" : "PORT POP3", "Listen FAILED ");
        return;
    }
}

bool ServerApp::Start(WindowSide& windows) {
    std::setlocale(LC_ALL, "");

    m_profilePath = BuildProfilePath(m_workingDirectory, m_programPath);
    m_profile = std::make_unique<ProfileFile>(m_profilePath);
    m_users = std::make_unique<UserDirectory>(*m_profile);
    m_deliveries = std::make_unique<DeliveryQueue>(m_loop, *m_users);

    windows.LoadIcons();
    windows.ShowSplash();
    windows.SetDialogColours();
    windows.CreateMainFrame();
    windows.HideMainWindow();

    m_users->SettleStoreRoot();
    RemoveAbandonedMessages(*m_users);

    switch (FindLocalAddress(m_host, m_options.address)) {
    case AddressError::None:
        break;
    case AddressError::InvalidOverride:
        windows.MessageBox("Invalid address: " + m_options.address, "TCP/IP Protocol");
        return false;
    case AddressError::LookupFailed:
        windows.MessageBox("gethostbyname error", "TCP/IP Protocol");
        windows.MessageBox(
            "Protocollo mancante o mal definito \nProtocol corrupted or bad defined!",
            "TCP/IP Protocol");
        windows.MessageBox("End Program", "KESTRIN");
        return false;
    }

    // A listener that cannot start is reported and left out; the server runs with the other.
    m_listeners = CreateListeners(
        m_loop, m_host.address, {m_options.smtpPort, m_options.pop3Port},
        [this](ServiceKind kind) { return MakeSession(kind); }, m_sessions);
    for (const ListenerFailure& failure : m_listeners.failures) {
        ReportListenerFailure(failure, windows);
    }
    return true;
}

} // namespace brevin
