#include "engine/listeners.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brevin {

namespace {

// Wait before accepting again after the process ran out of descriptors.
constexpr std::chrono::milliseconds kAcceptRetry{100};

struct ListenerTexts {
    std::string_view createText, reuseText, listenText;
};

} // namespace

std::string_view BannerFor(ServiceKind kind) {
    return kind == ServiceKind::SMTP ? "220 Ok. Brevin Server ready "
                                     : "+OK Brevin SMTP/POP3 server";
}

WaitSock::WaitSock(EventLoop& loop, ServiceKind kind, SessionFactory factory)
    : AsyncSocket(loop), m_kind(kind), m_factory(std::move(factory)),
      m_retry(loop, [this] { ResumeAccepting(); }) {}

void WaitSock::OnAccept(int /*error*/) {
    MailSession* session = m_factory(m_kind);
    if (!Accept(session->Socket())) {
        const int error = LastError();
        delete session;
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            // The connection stays queued; accepting again at once would spin. Existing
            // sessions go on, and one of them ending frees a descriptor before the retry.
            AsyncSelect(0);
            m_retry.Start(kAcceptRetry);
        }
        return;
    }
    session->Begin(BannerFor(m_kind));
}

void WaitSock::ResumeAccepting() {
    AsyncSelect(kAccept);
}

bool InitNetwork(const MessageBoxFn& /*show*/) {
    return true;
}

bool FindLocalAddress(HostAddress& host, const MessageBoxFn& show, std::string_view override) {
    in_addr address{};
    if (!override.empty()) {
        if (inet_pton(AF_INET, std::string(override).c_str(), &address) != 1) {
            show("Invalid address: " + std::string(override), "TCP/IP Protocol");
            return false;
        }
    } else {
        char name[100] = {};
        gethostname(name, sizeof name - 1);
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
            show("gethostbyname error", "TCP/IP Protocol");
            show("Protocollo mancante o mal definito \nProtocol corrupted or bad defined!",
                 "TCP/IP Protocol");
            show("End Program", "KESTRIN");
            return false;
        }
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    const auto bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
    for (std::size_t i = 0; i < 4; ++i) {
        host.m_hostOctets[i] = bytes[i];
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    host.m_hostAddress = text;
    return true;
}

bool CreateListeners(EventLoop& loop, const std::string& address, ListenerPorts ports,
                     const SessionFactory& factory, const MessageBoxFn& show,
                     Listeners& listeners) {
    const auto make = [&](ServiceKind kind, std::uint16_t port,
                          const ListenerTexts& texts) -> std::unique_ptr<WaitSock> {
        auto listener = std::make_unique<WaitSock>(loop, kind, factory);
        if (!listener->Create(port, kAccept, address.c_str())) {
            show(texts.createText, "Creation FAILED ");
            return nullptr;
        }
        if (!listener->SetReuseAddress()) {
            show(texts.reuseText, "no reuse");
        }
        // The classic backlog of 5 was the largest the old socket libraries allowed; here
        // the largest is the system's own, so a burst of clients is not turned away.
        if (!listener->Listen(SOMAXCONN)) {
            show(texts.listenText, "Listen FAILED ");
            return nullptr;
        }
        return listener;
    };
    listeners.smtp = make(ServiceKind::SMTP, ports.smtp, {"SMTP port", "Port SMTP", "PORT SMTP"});
    listeners.pop3 = make(ServiceKind::POP3, ports.pop3, {"POP3 port", "Port POP3", "PORT POP3"});
    return true;
}

} // namespace brevin
