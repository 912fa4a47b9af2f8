#include "shell/options.h"

#include <arpa/inet.h>
#include <charconv>
#include <limits>

namespace brevin {

namespace {

template <typename Number>
bool ParseNumber(const std::string& text, Number low, Number high, Number& out) {
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

} // namespace

std::size_t SessionsForDescriptors(std::uint64_t descriptors) {
    constexpr std::uint64_t kReserve = 32;
    const std::uint64_t perSession = 2;
    return descriptors > kReserve + perSession
               ? static_cast<std::size_t>((descriptors - kReserve) / perSession)
               : 1;
}

std::optional<ServerOptions> ParseOptions(const std::vector<std::string>& args,
                                          std::string& error) {
    ServerOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        const auto takeValue = [&]() -> std::optional<std::string> {
            if (value) {
                return value;
            }
            if (i + 1 < args.size()) {
                return args[++i];
            }
            error = "option " + name + " needs a value";
            return std::nullopt;
        };
        // The option's value as a number from `low` to `high`; `problem` says what it takes.
        const auto number = [&]<typename Number>(Number low, Number high,
                                                 const std::string& problem) {
            const auto text = takeValue();
            Number parsed{};
            if (!text || !ParseNumber<Number>(*text, low, high, parsed)) {
                error = error.empty() ? problem : error;
                return std::optional<Number>{};
            }
            return std::optional<Number>{parsed};
        };
        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--headless") {
            options.headless = true;
        } else if (name == "--address") {
            const auto text = takeValue();
            in_addr parsed{};
            in6_addr parsed6{};
            if (!text || (inet_pton(AF_INET, text->c_str(), &parsed) != 1 &&
                          inet_pton(AF_INET6, text->c_str(), &parsed6) != 1)) {
                error = error.empty() ? "--address needs an IPv4 or IPv6 address" : error;
                return std::nullopt;
            }
            options.addresses.push_back(*text);
        } else if (name == "--smtp-port" || name == "--pop3-port") {
            const auto port = number(std::uint16_t{1}, std::uint16_t{65535},
                                     name + " needs a port number from 1 to 65535");
            if (!port) {
                return std::nullopt;
            }
            (name == "--smtp-port" ? options.smtpPort : options.pop3Port) = *port;
        } else if (name == "--submission-port" || name == "--smtps-port" ||
                   name == "--pop3s-port" || name == "--imap-port" || name == "--imaps-port" ||
                   name == "--autoconfig-port") {
            const auto port = number(std::uint16_t{0}, std::uint16_t{65535},
                                     name + " needs a port number from 1 to 65535, or 0 for none");
            if (!port) {
                return std::nullopt;
            }
            (name == "--submission-port"   ? options.submissionPort
             : name == "--smtps-port"      ? options.smtpsPort
             : name == "--imap-port"       ? options.imapPort
             : name == "--imaps-port"      ? options.imapsPort
             : name == "--autoconfig-port" ? options.autoconfigPort
                                           : options.pop3sPort) = *port;
        } else if (name == "--require-auth") {
            options.requireLogin = true;
        } else if (name == "--tls-cert" || name == "--tls-key") {
            const auto text = takeValue();
            if (!text || text->empty()) {
                error = error.empty() ? name + " needs a file name" : error;
                return std::nullopt;
            }
            (name == "--tls-cert" ? options.tlsCertificate : options.tlsKey) = *text;
        } else if (name == "--tls-renew-within" || name == "--tls-check-every") {
            const auto seconds = number(long{1}, long{20} * 365 * 86400,
                                        name + " needs seconds from 1 to 630720000");
            if (!seconds) {
                return std::nullopt;
            }
            (name == "--tls-renew-within" ? options.tlsRenewWithin : options.tlsCheckEvery) =
                std::chrono::seconds(*seconds);
        } else if (name == "--require-tls") {
            options.session.requireTls = true;
        } else if (name == "--pause-ms") {
            const auto ms =
                number(long{0}, long{60'000}, "--pause-ms needs milliseconds from 0 to 60000");
            if (!ms) {
                return std::nullopt;
            }
            options.session.pause = std::chrono::milliseconds(*ms);
        } else if (name == "--max-message-size") {
            const auto bytes = number(std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max(),
                                      "--max-message-size needs bytes (0 = no limit)");
            if (!bytes) {
                return std::nullopt;
            }
            options.smtp.maxMessageSize = *bytes;
        } else if (name == "--min-free-mb") {
            const auto mb =
                number(std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max() >> 20,
                       "--min-free-mb needs megabytes (0 = no limit)");
            if (!mb) {
                return std::nullopt;
            }
            options.smtp.minFreeBytes = *mb << 20;
        } else if (name == "--log-level") {
            const auto text = takeValue();
            if (!text || !ParseLogLevel(*text, options.logLevel)) {
                error = error.empty() ? "--log-level needs quiet, normal or debug" : error;
                return std::nullopt;
            }
        } else if (name == "--idle-timeout") {
            const auto seconds =
                number(long{0}, long{86'400 * 7}, "--idle-timeout needs seconds (0 = never)");
            if (!seconds) {
                return std::nullopt;
            }
            options.session.idleTimeout = std::chrono::seconds(*seconds);
        } else if (name == "--command-timeout") {
            const auto seconds =
                number(long{0}, long{86'400}, "--command-timeout needs seconds (0 = never)");
            if (!seconds) {
                return std::nullopt;
            }
            options.session.commandTimeout = std::chrono::seconds(*seconds);
        } else if (name == "--max-per-address" || name == "--max-sessions") {
            const bool perAddress = name == "--max-per-address";
            const auto count = number(
                std::size_t{perAddress ? 0U : 1U}, std::size_t{10'000'000},
                name + (perAddress ? " needs a number (0 = no limit)" : " needs a number from 1"));
            if (!count) {
                return std::nullopt;
            }
            (perAddress ? options.connections.maxPerAddress : options.connections.maxSessions) =
                *count;
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
        error = "--tls-cert and --tls-key go together";
        return std::nullopt;
    }
    return options;
}

std::string UsageText(const std::string& program) {
    return "Usage: " + program +
           " [options]\n"
           "       " +
           program +
           " user list\n"
           "       " +
           program +
           " user set NAME FOLDER   (password read from standard input)\n"
           "       " +
           program +
           " user remove NAME\n"
           "       " +
           program +
           " alias|group|quota ...  (aliases, distribution lists, quotas; each with --help)\n"
           "       " +
           program +
           " tls fingerprint        (the certificate's fingerprint, for clients to pin)\n"
           "       " +
           program +
           " tls ca                 (the office CA's certificate, PEM, for clients to trust)\n"
           "       " +
           program +
           " client-config USER [--format thunderbird|autodiscover|mobileconfig]\n"
           "\n"
           "Brevin, an intranet mail server: SMTP delivery and submission, IMAP and POP3\n"
           "collection, "
           "for local users.\n"
           "It keeps its profile (brevin.INI) and its mail store in the working directory.\n"
           "\n"
           "Options:\n"
           "  --address ADDRESS     listen on this IPv4 or IPv6 address, may be repeated\n"
           "                        (default: the host's first IPv4 address, or a LAN\n"
           "                        interface's when that is loopback, with ::1 and that\n"
           "                        interface's IPv6 addresses; 0.0.0.0 and :: listen on all)\n"
           "  --smtp-port N         SMTP port (default 25)\n"
           "  --pop3-port N         POP3 port (default 110)\n"
           "  --pause-ms N          pause before every reply, in milliseconds (default 100)\n"
           "  --idle-timeout SECS   close sessions silent this long (default 600, 0 = never)\n"
           "  --command-timeout SECS\n"
           "                        close sessions whose command line is not complete this\n"
           "                        long after it began (default 60, 0 = never)\n"
           "  --max-per-address N   sessions from one client address at most (default 20,\n"
           "                        0 = no limit, an IPv6 /64 counts as one address;\n"
           "                        clients on 127.0.0.0/8 and ::1 are exempt)\n"
           "  --max-sessions N      sessions in all at most (default: what the descriptor\n"
           "                        limit allows, raised to its hard limit at start)\n"
           "  --max-message-size BYTES\n"
           "                        refuse longer messages (default 52428800, 0 = no limit)\n"
           "  --min-free-mb N       refuse mail (452) while the store's file system has less\n"
           "                        free than this (default 256, 0 = no limit)\n"
           "  --submission-port N   mail submission: STARTTLS, then a login (default 587,\n"
           "                        0 = none)\n"
           "  --smtps-port N        mail submission over implicit TLS (default 465, 0 = none)\n"
           "  --pop3s-port N        also POP3 with implicit TLS on this port (usually 995,\n"
           "                        default: none)\n"
           "  --imap-port N         IMAP port, STARTTLS before a login (default 143, 0 = none)\n"
           "  --imaps-port N        IMAP over implicit TLS (default 993, 0 = none)\n"
           "  --autoconfig-port N   answer mail clients' automatic set-up and serve the\n"
           "                        settings page over HTTP on this port (usually 80;\n"
           "                        default: none)\n"
           "  --tls-cert FILE       PEM certificate (chain) for TLS, with --tls-key\n"
           "  --tls-key FILE        its PEM private key (default: brevin-cert.pem and\n"
           "                        brevin-key.pem, issued by the office CA brevin-ca.pem\n"
           "                        made on the first start, renewed 30 days before they end)\n"
           "  --require-tls         accept passwords and mail only over encrypted sessions\n"
           "  --require-auth        every SMTP client logs in before sending, on port 25 too\n"
           "  --log-level LEVEL     quiet (failures only), normal (every event, the default)\n"
           "                        or debug (also every command line, passwords masked)\n"
           "  --headless            run without windows even when a display is available\n"
           "  --help                show this text\n"
           "  --version             show the version\n";
}

} // namespace brevin
