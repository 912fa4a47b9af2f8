#include "smtp/smtp_service.h"

#include "smtp/delivery_queue.h"

namespace brevin {

const ServiceTraits kSmtpTraits{
    .name = "smtp",
    .addressFullReply = "421 Brevin Server : too many connections from your address\r\n",
    .serverFullReply = "421 Brevin Server : too many connections, try again later\r\n",
};

const ServiceTraits kSubmissionTraits{
    .name = "submission",
    .addressFullReply = kSmtpTraits.addressFullReply,
    .serverFullReply = kSmtpTraits.serverFullReply,
};

Service SmtpService(EventLoop& loop, const SessionOptions& options, DeliveryQueue& deliveries,
                    LoginGuard& logins, const SmtpLimits& limits, SmtpRules rules,
                    std::optional<std::uint16_t> port,
                    std::optional<std::uint16_t> implicitTlsPort) {
    // The limits are read when each session starts, so a change reaches the next client.
    return {rules.submission ? &kSubmissionTraits : &kSmtpTraits,
            [&loop, &options, &deliveries, &logins, &limits, rules] {
                return std::make_unique<SmtpSession>(loop, options, deliveries, logins, limits,
                                                     rules);
            },
            port, implicitTlsPort};
}

} // namespace brevin
