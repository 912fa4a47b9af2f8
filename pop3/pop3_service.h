#pragma once

#include "engine/event_loop.h"
#include "engine/mail_session.h"
#include "engine/service.h"

#include <cstdint>
#include <optional>

namespace brevin {

class FolderService;
class LoginGuard;

/// POP3's words to the engine: its log name and the replies to clients turned away.
extern const ServiceTraits kPop3Traits;

/// POP3 as start-up offers it, on `port` and (when given) `implicitTlsPort`.
Service Pop3Service(EventLoop& loop, const SessionOptions& options, LoginGuard& logins,
                    FolderService& folders, std::optional<std::uint16_t> port,
                    std::optional<std::uint16_t> implicitTlsPort = std::nullopt);

} // namespace brevin
