#include "imap/imap_service.h"

namespace brevin {

const ServiceTraits kImapTraits{
    .name = "imap",
    .addressFullReply = "* BYE Brevin server: too many connections from your address\r\n",
    .serverFullReply = "* BYE Brevin server: too many connections, try again later\r\n",
};

SessionOptions ImapOptions(const SessionOptions& options) {
    SessionOptions imap = options;
    imap.pause = std::chrono::milliseconds(0);
    return imap;
}

Service ImapService(EventLoop& loop, const SessionOptions& options, LoginGuard& logins,
                    FolderService& folders, const ImapLimits& limits,
                    std::optional<std::uint16_t> port,
                    std::optional<std::uint16_t> implicitTlsPort) {
    return {&kImapTraits,
            [&loop, &options, &logins, &folders, &limits] {
                return std::make_unique<ImapSession>(loop, options, logins, folders, limits);
            },
            port, implicitTlsPort};
}

} // namespace brevin
