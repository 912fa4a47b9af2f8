#pragma once

#include "engine/event_loop.h"
#include "engine/mail_session.h"
#include "engine/service.h"
#include "imap/imap_session.h"

#include <cstdint>
#include <optional>

namespace brevin {

class FolderService;
class LoginGuard;

/// IMAP's words to the engine: its log name and the replies to clients turned away.
extern const ServiceTraits kImapTraits;

/// An authenticated IMAP session may sit idle this long at least (RFC 9051 §5.4): clients
/// renew IDLE every 29 minutes.
inline constexpr std::chrono::seconds kImapIdleTimeout{31 * 60};

/// The session options IMAP runs with: no pause before replies (a client syncing a folder
/// sends many commands, and nothing here slows a guesser that the login gate does not), and
/// the server's idle timeout until a login (the session then waits `kImapIdleTimeout`).
SessionOptions ImapOptions(const SessionOptions& options);

/// IMAP as start-up offers it, on `port` (STARTTLS) and `implicitTlsPort`. `options` must be
/// `ImapOptions` of the server's, and outlive the service.
Service ImapService(EventLoop& loop, const SessionOptions& options, LoginGuard& logins,
                    FolderService& folders, const ImapLimits& limits,
                    std::optional<std::uint16_t> port,
                    std::optional<std::uint16_t> implicitTlsPort = std::nullopt);

} // namespace brevin
