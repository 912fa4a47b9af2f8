#include "smtp/smtp_service.h"

#include "smtp/delivery_queue.h"

namespace brevin {

const ServiceTraits kSmtpTraits{
    .name = "smtp",
    .addressFullReply = "421 Brevin Server : too many connections from your address\r\n",
    .serverFullReply = "421 Brevin Server : too many connections, try again later\r\n",
};

Service SmtpService(EventLoop& loop, const SessionOptions& options, DeliveryQueue& deliveries,
                    const SmtpLimits& limits, std::optional<std::uint16_t> port,
                    std::optional<std::uint16_t> implicitTlsPort) {
    // The limits are read when each session starts, so a change reaches the next client.
    return {&kSmtpTraits,
            [&loop, &options, &deliveries, &limits] {
                return std::make_unique<SmtpSession>(loop, options, deliveries, limits);
            },
            port, implicitTlsPort};
}

} // namespace brevin
