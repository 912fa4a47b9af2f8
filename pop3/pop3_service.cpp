#include "pop3/pop3_service.h"

#include "pop3/pop3_session.h"

namespace brevin {

const ServiceTraits kPop3Traits{
    .name = "pop3",
    .addressFullReply = "-ERR Brevin server: too many connections from your address\r\n",
    .serverFullReply = "-ERR Brevin server: too many connections, try again later\r\n",
};

Service Pop3Service(EventLoop& loop, const SessionOptions& options, LoginGuard& logins,
                    FolderService& folders, std::optional<std::uint16_t> port,
                    std::optional<std::uint16_t> implicitTlsPort) {
    return {&kPop3Traits,
            [&loop, &options, &logins, &folders] {
                return std::make_unique<Pop3Session>(loop, options, logins, folders);
            },
            port, implicitTlsPort};
}

} // namespace brevin
