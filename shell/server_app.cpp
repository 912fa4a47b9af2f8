#include "shell/server_app.h"

#include "autoconfig/autoconfig_service.h"
#include "base/log.h"
#include "imap/imap_service.h"
#include "pop3/pop3_service.h"
#include "shell/client_config.h"
#include "shell/tls_setup.h"
#include "smtp/smtp_service.h"
#include "store/delivery.h"
#include "store/users.h"

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace brevin {

ServerApp::ServerApp(ServerOptions options, std::string programPath)
    : m_options(std::move(options)), m_programPath(std::move(programPath)) {
    std::error_code ec;
    m_workingDirectory = std::filesystem::current_path(ec);
}

ServerApp::~ServerApp() {
    if (m_started) {
        LogEvent("brevin", "stop").Add("sessions", m_sessions.Count());
    }
}

void ServerApp::LogStart() const {
    LogEvent event("brevin", "start");
    event.Add("version", BREVIN_VERSION).Add("address", m_host.address);
    std::string reachable;
    for (const std::string& address : m_host.reachable) {
        reachable += (reachable.empty() ? "" : ",") + address;
    }
    event.Add("reachable", reachable);
    // Each port once, under the service's name ("s" added for implicit TLS), when it is open.
    for (const bool tls : {false, true}) {
        for (const Service& service : m_services) {
            const auto port = tls ? service.implicitTlsPort : service.port;
            if (port && m_listeners.Find(service.traits->name, tls) != nullptr) {
                event.Add(std::string(service.traits->name) + (tls ? "s" : ""), *port);
            }
        }
    }
    event.Add("store", m_users->StoreRoot());
    if (m_tls != nullptr) {
        event.Add("tls", m_tls->Fingerprint());
    }
}

namespace {

/// The service's log name upper-cased, as the administrator's messages name it ("SMTP").
std::string AdminName(const ServiceTraits& traits) {
    std::string name(traits.name);
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

} // namespace

std::string ServerApp::PortsText() const {
    std::string text;
    for (const Service& service : m_services) {
        std::string ports;
        for (const bool tls : {false, true}) {
            const auto port = tls ? service.implicitTlsPort : service.port;
            const Listener* listener = m_listeners.Find(service.traits->name, tls);
            if (port && listener != nullptr) {
                ports += (ports.empty() ? "" : " and ") + std::to_string(listener->LocalPort()) +
                         (tls ? " (SSL/TLS)" : "");
            }
        }
        if (!ports.empty()) {
            text += (text.empty() ? "" : ", ") + AdminName(*service.traits) + " " + ports;
        }
    }
    return text;
}

void ServerApp::SettleClientSettings() {
    m_clientSettings = MakeClientSettings(m_options, ClientHostName(m_host.address),
                                          m_tls != nullptr, &m_listeners);
    m_clientSettings.fingerprint = TlsFingerprint();
    if (m_tls != nullptr) {
        const auto trusted = TrustedCertificatePath(m_options, m_profilePath.parent_path());
        if (!trusted.empty()) {
            std::ifstream in(trusted, std::ios::binary);
            m_clientSettings.caCertificatePem.assign(std::istreambuf_iterator<char>(in), {});
        }
    }
    // By address, so that a phone reaches the page without any name service.
    if (const Listener* http = m_listeners.Find(kAutoconfigTraits.name); http != nullptr) {
        const bool six = m_host.address.find(':') != std::string::npos;
        const std::uint16_t port = http->LocalPort();
        std::string& page = m_clientSettings.pageAddress;
        page = six ? "http://[" : "http://";
        page += m_host.address;
        page += six ? "]" : "";
        if (port != 80) {
            page += ':';
            page += std::to_string(port);
        }
        page += '/';
    }
}

std::string ServerApp::TlsFingerprint() const {
    return m_tls != nullptr ? m_tls->Fingerprint() : std::string();
}

std::filesystem::path ServerApp::TlsCaPath() const {
    return m_tlsCa;
}

void ServerApp::ReportListenerFailure(const ListenerFailure& failure, WindowSide& windows) {
    std::string name = AdminName(*failure.service) + (failure.implicitTls ? "S" : "");
    LogEvent event(failure.service->name, "listener");
    event.Add("address", failure.address)
        .Add("port", failure.port)
        .Add("implicit_tls", failure.implicitTls ? "yes" : "no")
        .Add("step", failure.step == ListenerStep::Create  ? "create"
                     : failure.step == ListenerStep::Reuse ? "reuse"
                                                           : "listen")
        .Add("error", std::strerror(failure.error));
    if (failure.optional) {
        // An address the server chose itself (IPv6 beside the IPv4 one): it runs without it.
        event.Add("optional", "yes");
        return;
    }
    event.Failed();
    m_startProblem = true;
    switch (failure.step) {
    case ListenerStep::Create:
        windows.MessageBox(name + " port", "Creation FAILED ");
        if (failure.error == EACCES && !std::exchange(m_privilegeHinted, true)) {
            // Ports below 1024 need a privilege an ordinary user's program lacks.
            std::error_code ec;
            const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
            windows.MessageBox("Ports below 1024 need privilege: run `sudo setcap "
                               "cap_net_bind_service=+ep " +
                                   (ec ? m_programPath : self.string()) +
                                   "` once (make run offers it), or use --smtp-port and "
                                   "--pop3-port above 1023",
                               name + " port");
        }
        return;
    case ListenerStep::Reuse:
        windows.MessageBox("Port " + name, "no reuse");
        return;
    case ListenerStep::Listen:
        windows.MessageBox("PORT " + name, "Listen FAILED ");
        return;
    }
}

namespace {

/// Raises the soft descriptor limit to the hard one (the usual 1,024 would cap a LAN's clients
/// at a few hundred) and returns the limit in force.
std::uint64_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? std::uint64_t{1} << 20 : limit.rlim_cur;
}

} // namespace

void ServerApp::HashPlainPasswords() const {
    // Nothing else runs yet, so this may wait for `brevin user`'s lock as long as it does.
    ProfileFile patient(m_profilePath);
    std::string error;
    const std::optional<std::size_t> hashed = UserDirectory(patient).HashPlainPasswords(error);
    if (!hashed) {
        LogEvent("profile", "passwords").Add("error", error).Failed();
    } else if (*hashed > 0) {
        LogEvent("profile", "passwords").Add("hashed", *hashed);
    }
}

bool ServerApp::Start(WindowSide& windows) {
    std::setlocale(LC_ALL, "");
    LogEvent::SetLevel(m_options.logLevel);

    ConnectionLimits limits = m_options.connections;
    if (limits.maxSessions == 0) {
        limits.maxSessions = SessionsForDescriptors(RaiseDescriptorLimit());
    } else {
        RaiseDescriptorLimit();
    }
    m_sessions.Clients().SetLimits(limits);

    m_profilePath = BuildProfilePath(m_workingDirectory, m_programPath);
    m_profile = std::make_unique<ProfileFile>(m_profilePath);
    // Another process's lock on the profile must not stop the loop: past this, reads go on
    // without it and number blocks come from memory (the worker's profile takes the same).
    m_profile->SetLockPatience(std::chrono::milliseconds(3));
    m_users = std::make_unique<UserDirectory>(*m_profile);
    m_deliveries = std::make_unique<DeliveryQueue>(m_loop, *m_users);
    m_logins = std::make_unique<LoginGuard>(m_loop, *m_users);
    m_folders = std::make_unique<FolderService>(m_loop, m_profilePath);
    m_deliveries->OnFiled(
        [this](const std::string& folder, const std::vector<DeliveryQueue::FiledFile>& files) {
            std::vector<FolderService::NewFile> told;
            told.reserve(files.size());
            for (const auto& file : files) {
                told.push_back({file.name, file.size});
            }
            m_folders->Filed(folder, std::move(told));
        });
    m_deliveries->MeasureWith(*m_folders);

    windows.LoadIcons();
    windows.ShowSplash();
    windows.SetDialogColours();
    windows.CreateMainFrame();
    windows.HideMainWindow();

    // A profile that exists but cannot be read would leave the server without users, silently.
    if (const int fd = ::open(m_profilePath.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        ::close(fd);
    } else if (errno != ENOENT) {
        windows.MessageBox("Cannot read " + m_profilePath.string() + ": " + std::strerror(errno),
                           "Profile");
        m_startProblem = true;
    }

    m_users->SettleStoreRoot();
    HashPlainPasswords();
    // What a crash cut short: first the names of an unanswered filing round, then the files
    // still under their temporary names.
    RollBackUnfinishedFiling(FilingJournalPath(m_users->StoreRoot()));
    RemoveAbandonedMessages(*m_users);

    switch (FindLocalAddress(m_host, m_options.addresses)) {
    case AddressError::None:
        if (!m_host.interface.empty()) {
            windows.Notice("the host name resolves to loopback; listening on " + m_host.address +
                               " (" + m_host.interface + ") so that the LAN can reach the server",
                           "TCP/IP Protocol");
        }
        break;
    case AddressError::InvalidOverride:
        windows.MessageBox("Invalid address: " + m_options.addresses.front(), "TCP/IP Protocol");
        return false;
    case AddressError::LookupFailed:
        windows.MessageBox("gethostbyname error", "TCP/IP Protocol");
        windows.MessageBox(
            "Protocollo mancante o mal definito \nProtocol corrupted or bad defined!",
            "TCP/IP Protocol");
        windows.MessageBox("End Program", "KESTRIN");
        return false;
    }

    // The administrator's own certificate must work; a generated one that cannot be made only
    // leaves the server without encryption.
    const std::filesystem::path directory = m_profilePath.parent_path();
    TlsSetup tls = SetUpTls(m_options, directory, m_host);
    if (tls.fatal) {
        windows.MessageBox(tls.problem, "TLS certificate");
        return false;
    }
    if (!tls.problem.empty()) {
        windows.MessageBox(tls.problem, "TLS");
    }
    const OfficeCaFiles caFiles = OfficeCaFiles::In(directory);
    if (tls.report.change != CertificateChange::None || tls.report.madeCa) {
        LogEvent event("tls", "certificate");
        event.Add("change", ChangeName(tls.report.change))
            .Add("ca", tls.report.madeCa ? "made" : "kept");
        if (!tls.report.detail.empty()) {
            event.Add("added", tls.report.detail);
        }
    }
    if (tls.report.change == CertificateChange::ReplacedSelfSigned) {
        windows.Notice(CertificateNote(tls.report, caFiles), "TLS certificate");
    }
    m_tls = std::move(tls.context);
    if (tls.officeCa) {
        m_tlsCa = caFiles.caCertificate;
        m_renewal = std::make_unique<CertificateRenewal>(
            m_loop, *m_tls, caFiles, [this] { return NamesForHost(m_host); },
            m_options.tlsRenewWithin, m_options.tlsCheckEvery);
    }
    m_options.session.tls = m_tls.get();
    const auto implicit = [&](std::uint16_t port,
                              std::string_view name) -> std::optional<std::uint16_t> {
        if (port == 0) {
            return std::nullopt;
        }
        if (m_tls == nullptr) {
            windows.MessageBox(std::string(name) + " port", "No certificate, not started ");
            return std::nullopt;
        }
        return port;
    };
    const SmtpRules relay{.requireLogin = m_options.requireLogin};
    m_services.push_back(SmtpService(m_loop, m_options.session, *m_deliveries, *m_logins,
                                     m_options.smtp, relay, m_options.smtpPort));
    const auto submission = m_options.submissionPort != 0
                                ? std::optional<std::uint16_t>(m_options.submissionPort)
                                : std::nullopt;
    const auto submissions = implicit(m_options.smtpsPort, "SMTPS");
    if (submission || submissions) {
        m_services.push_back(SmtpService(m_loop, m_options.session, *m_deliveries, *m_logins,
                                         m_options.smtp, {.submission = true, .requireLogin = true},
                                         submission, submissions));
    }
    const auto imap =
        m_options.imapPort != 0 ? std::optional<std::uint16_t>(m_options.imapPort) : std::nullopt;
    const auto imaps = implicit(m_options.imapsPort, "IMAPS");
    if (imap || imaps) {
        m_imapOptions = ImapOptions(m_options.session);
        m_imapLimits = {.maxMessageSize = m_options.smtp.maxMessageSize,
                        .minFreeBytes = m_options.smtp.minFreeBytes};
        m_services.push_back(
            ImapService(m_loop, m_imapOptions, *m_logins, *m_folders, m_imapLimits, imap, imaps));
    }
    m_services.push_back(Pop3Service(m_loop, m_options.session, *m_logins, *m_folders,
                                     m_options.pop3Port, implicit(m_options.pop3sPort, "POP3S")));
    if (m_options.autoconfigPort != 0) {
        m_httpOptions = AutoconfigOptions(m_options.session);
        m_services.push_back(AutoconfigService(m_loop, m_httpOptions, m_clientSettings, *m_users,
                                               m_options.autoconfigPort));
    }

    // A listener that cannot start is reported and left out; the server runs with the others.
    m_listeners = CreateListeners(m_loop, m_host.listen, m_services, m_sessions);
    for (const ListenerFailure& failure : m_listeners.failures) {
        ReportListenerFailure(failure, windows);
    }
    SettleClientSettings();
    LogStart();
    m_started = true;
    return true;
}

} // namespace brevin
