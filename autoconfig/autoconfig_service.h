#pragma once

#include "autoconfig/client_documents.h"
#include "engine/event_loop.h"
#include "engine/mail_session.h"
#include "engine/service.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace brevin {

class UserDirectory;

/// The settings responder's words to the engine: its log name and the responses to clients
/// turned away.
extern const ServiceTraits kAutoconfigTraits;

/// A browser keeps an idle connection open for reuse; longer than this it only holds a
/// session that someone else could use.
inline constexpr std::chrono::seconds kHttpKeepAlive{15};

/// The session options the responder runs with: no pause (nothing here is guessed at), and the
/// server's idle timeout cut to `kHttpKeepAlive`.
SessionOptions AutoconfigOptions(const SessionOptions& options);

/// The settings responder on `port` (plain HTTP). `options` must be `AutoconfigOptions` of the
/// server's; it, `settings` and `users` must outlive the service.
Service AutoconfigService(EventLoop& loop, const SessionOptions& options,
                          const ClientSettings& settings, const UserDirectory& users,
                          std::optional<std::uint16_t> port);

} // namespace brevin
