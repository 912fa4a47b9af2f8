#include "shell/client_config.h"

#include "base/host_name.h"
#include "engine/listeners.h"
#include "shell/tls_setup.h"
#include "store/profile_file.h"
#include "store/users.h"

#include <fstream>
#include <ostream>
#include <sstream>
#include <system_error>

namespace brevin {

namespace {

constexpr std::string_view kOfficeCa = "brevin-ca.pem";

std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void PrintUsage(std::ostream& stream) {
    stream << "Usage: brevin client-config USER [--format thunderbird|autodiscover|mobileconfig]"
              " [server options]\n"
              "\n"
              "Prints what a mail client fetches to set itself up for USER, from the settings\n"
              "the server runs with (give the same --*-port and --address options):\n"
              "  thunderbird   Thunderbird's config-v1.1.xml (the default)\n"
              "  autodiscover  Outlook's Autodiscover response\n"
              "  mobileconfig  an Apple configuration profile: the office certificate and\n"
              "                USER's IMAP and SMTP account (the device asks for the password)\n"
              "USER is a user name or an email address (its part before the @ is the login).\n";
}

} // namespace

std::filesystem::path TrustedCertificatePath(const ServerOptions& options,
                                             const std::filesystem::path& directory) {
    std::error_code ec;
    if (std::filesystem::exists(directory / kOfficeCa, ec)) {
        return directory / kOfficeCa;
    }
    if (!options.tlsCertificate.empty()) {
        return {};
    }
    return directory / kGeneratedCertificate;
}

std::string ClientHostName(std::string_view address) {
    const std::string name = HostName();
    return name.empty() ? std::string(address) : name;
}

ClientSettings MakeClientSettings(const ServerOptions& options, std::string host, bool encrypted,
                                  const Listeners* listeners) {
    ClientSettings settings;
    settings.name = host;
    settings.host = std::move(host);
    const PortEncryption upgraded = encrypted ? PortEncryption::StartTls : PortEncryption::None;
    const auto add = [&](MailProtocol protocol, std::string_view service, bool tls,
                         std::uint16_t port) {
        if (tls && !encrypted) {
            return;
        }
        // Port 0 is "none", except for the services that always listen, where a listener on
        // any free port (tests) says what it got.
        if (port == 0 && listeners == nullptr) {
            return;
        }
        if (listeners != nullptr) {
            const Listener* listener = listeners->Find(service, tls);
            if (listener == nullptr) {
                return;
            }
            port = listener->LocalPort();
        }
        settings.ports.push_back({protocol, port, tls ? PortEncryption::Tls : upgraded});
    };
    add(MailProtocol::Imap, "imap", true, options.imapsPort);
    add(MailProtocol::Imap, "imap", false, options.imapPort);
    add(MailProtocol::Pop3, "pop3", true, options.pop3sPort);
    add(MailProtocol::Pop3, "pop3", false, options.pop3Port);
    add(MailProtocol::Smtp, "submission", true, options.smtpsPort);
    add(MailProtocol::Smtp, "submission", false, options.submissionPort);
    return settings;
}

int RunClientConfigCommand(const std::vector<std::string>& args,
                           const std::filesystem::path& profilePath, std::ostream& out,
                           std::ostream& err) {
    if (!args.empty() && (args.front() == "--help" || args.front() == "-h")) {
        PrintUsage(out);
        return 0;
    }
    std::string format = "thunderbird";
    std::vector<std::string> serverArgs;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--format" && i + 1 < args.size()) {
            format = args[++i];
        } else if (args[i].starts_with("--format=")) {
            format = args[i].substr(9);
        } else {
            serverArgs.push_back(args[i]);
        }
    }
    std::string error;
    const auto options = ParseOptions(serverArgs, error);
    if (args.empty() || args.front().starts_with("-") || !options ||
        (format != "thunderbird" && format != "autodiscover" && format != "mobileconfig")) {
        err << "brevin client-config: "
            << (args.empty() || args.front().starts_with("-") ? "which user?"
                : !options                                    ? error
                                                              : "unknown format " + format)
            << "\n\n";
        PrintUsage(err);
        return 2;
    }
    const std::string& user = args.front();
    if (!LoginNameOf(user.find('@') == std::string::npos ? user + "@x" : user)) {
        err << "brevin client-config: " << user << " is neither a name nor an address\n";
        return 2;
    }
    // A bare name gets the host's domain, as the profile's account does.
    HostAddress address;
    if (FindLocalAddress(address, options->addresses) != AddressError::None) {
        address.address.clear();
    }
    const std::filesystem::path directory = profilePath.parent_path();
    const std::filesystem::path trusted = TrustedCertificatePath(*options, directory);
    // The server makes a certificate at its first start when it has none.
    ClientSettings settings = MakeClientSettings(*options, ClientHostName(address.address), true);
    if (!trusted.empty()) {
        settings.caCertificatePem = ReadWhole(trusted);
    }
    const std::string email =
        user.find('@') == std::string::npos ? user + "@" + settings.host : user;
    if (format == "thunderbird") {
        out << ThunderbirdConfig(settings, email);
    } else if (format == "autodiscover") {
        out << AutodiscoverResponse(settings, email);
    } else {
        ProfileFile profile(profilePath);
        const auto record = UserDirectory(profile).Find(*LoginNameOf(email));
        if (!record) {
            err << "brevin client-config: no user " << *LoginNameOf(email) << "\n";
            return 1;
        }
        out << AppleProfile(settings, record->name);
    }
    return 0;
}

} // namespace brevin
