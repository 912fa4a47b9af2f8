#pragma once

#include "base/log.h"
#include "engine/mail_session.h"
#include "smtp/smtp_session.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brevin {

/// What the command line can change; with no options the server listens on the host's first
/// address, ports 25, 110, 143, 587, 465 and 993.
struct ServerOptions {
    std::vector<std::string> addresses; // empty: the host's first IPv4 address, and IPv6 beside
    std::uint16_t smtpPort = 25;
    std::uint16_t pop3Port = 110;
    std::uint16_t submissionPort = 587; // 0: none; STARTTLS, then a login
    std::uint16_t smtpsPort = 465;      // submission over implicit TLS; 0: none
    std::uint16_t pop3sPort = 0;        // 0: no implicit-TLS listener
    std::uint16_t imapPort = 143;       // 0: none; STARTTLS
    std::uint16_t imapsPort = 993;      // IMAP over implicit TLS; 0: none
    std::uint16_t autoconfigPort = 0;   // HTTP for clients' automatic set-up; 0: none
    bool requireLogin = false;          // every SMTP session logs in before MAIL
    std::string tlsCertificate;         // empty: the generated certificate
    std::string tlsKey;
    // The office CA's certificate is renewed when less than this is left, checked this often;
    // not in --help: tests shorten them to see a renewal happen.
    std::chrono::seconds tlsRenewWithin = std::chrono::hours(24 * 30);
    std::chrono::seconds tlsCheckEvery = std::chrono::hours(24);
    SessionOptions session;
    SmtpLimits smtp;
    /// maxSessions 0: as many as the descriptor limit allows (see `SessionsForDescriptors`).
    ConnectionLimits connections;
    LogLevel logLevel = LogLevel::Normal;
    bool headless = false;
    bool help = false;
    bool version = false;
};

/// The sessions `descriptors` (the soft RLIMIT_NOFILE) can carry: each may hold its connection
/// and a message file, and a reserve stays for the listeners, the profile and the loop.
std::size_t SessionsForDescriptors(std::uint64_t descriptors);

/// Parses the options after the program name. Returns nothing and sets `error` on a bad one.
std::optional<ServerOptions> ParseOptions(const std::vector<std::string>& args, std::string& error);

/// The usage text printed by --help and after a bad option.
std::string UsageText(const std::string& program);

} // namespace brevin
