#include "autoconfig/autoconfig_service.h"

#include "autoconfig/autoconfig_session.h"

#include <algorithm>

namespace brevin {

const ServiceTraits kAutoconfigTraits{
    .name = "http",
    .addressFullReply = "HTTP/1.1 429 Too Many Requests\r\nContent-Length: 0\r\n"
                        "Connection: close\r\nRetry-After: 10\r\n\r\n",
    .serverFullReply = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                       "Connection: close\r\nRetry-After: 10\r\n\r\n",
};

SessionOptions AutoconfigOptions(const SessionOptions& options) {
    SessionOptions http = options;
    http.pause = std::chrono::milliseconds(0);
    if (http.idleTimeout.count() == 0 || http.idleTimeout > kHttpKeepAlive) {
        http.idleTimeout = kHttpKeepAlive;
    }
    return http;
}

Service AutoconfigService(EventLoop& loop, const SessionOptions& options,
                          const ClientSettings& settings, const UserDirectory& users,
                          std::optional<std::uint16_t> port) {
    return {&kAutoconfigTraits,
            [&loop, &options, &settings, &users] {
                return std::make_unique<AutoconfigSession>(loop, options, settings, users);
            },
            port, std::nullopt};
}

} // namespace brevin
