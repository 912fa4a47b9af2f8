#pragma once

#include "engine/event_loop.h"
#include "engine/mail_session.h"
#include "engine/service.h"
#include "smtp/smtp_session.h"

#include <cstdint>
#include <optional>

namespace brevin {

class DeliveryQueue;
class LoginGuard;

/// SMTP's words to the engine: its log name and the replies to clients turned away.
extern const ServiceTraits kSmtpTraits;
/// The same for mail submission (RFC 6409, 8314), where every client logs in.
extern const ServiceTraits kSubmissionTraits;

/// SMTP as start-up offers it, on `port` and (when given) `implicitTlsPort`: submission when
/// `rules` say so.
Service SmtpService(EventLoop& loop, const SessionOptions& options, DeliveryQueue& deliveries,
                    LoginGuard& logins, const SmtpLimits& limits, SmtpRules rules,
                    std::optional<std::uint16_t> port,
                    std::optional<std::uint16_t> implicitTlsPort = std::nullopt);

} // namespace brevin
