#pragma once

#include "engine/event_loop.h"
#include "engine/mail_session.h"
#include "engine/service.h"
#include "smtp/smtp_session.h"

#include <cstdint>
#include <optional>

namespace brevin {

class DeliveryQueue;

/// SMTP's words to the engine: its log name and the replies to clients turned away.
extern const ServiceTraits kSmtpTraits;

/// SMTP as start-up offers it, on `port` and (when given) `implicitTlsPort`.
Service SmtpService(EventLoop& loop, const SessionOptions& options, DeliveryQueue& deliveries,
                    const SmtpLimits& limits, std::optional<std::uint16_t> port,
                    std::optional<std::uint16_t> implicitTlsPort = std::nullopt);

} // namespace brevin
