#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace brevin {

class MailSession;

/// What the engine says and logs on behalf of a protocol. Each protocol library defines one
/// for its sessions, with static storage: sessions and listeners keep only a pointer to it.
struct ServiceTraits {
    /// The first word of its log lines ("smtp"); upper-cased, it names the service to the
    /// administrator.
    std::string_view name;
    /// To a client turned away because its address has too many sessions (CR LF included).
    std::string_view addressFullReply;
    /// To a client turned away because the server has too many sessions (CR LF included).
    std::string_view serverFullReply;
};

/// Makes one session of a service, for a connection its listener accepted.
using SessionFactory = std::function<std::unique_ptr<MailSession>()>;

/// A service as start-up offers it: who it is, how its sessions are made, where it listens.
/// Adding a protocol means supplying one of these; the engine needs nothing else of it.
struct Service {
    const ServiceTraits* traits = nullptr;
    SessionFactory makeSession;
    /// The plain port, where the protocol's own command starts encryption; none: not opened,
    /// 0: any free port (tests).
    std::optional<std::uint16_t> port;
    /// The port whose sessions are encrypted from the first byte.
    std::optional<std::uint16_t> implicitTlsPort;
};

} // namespace brevin
