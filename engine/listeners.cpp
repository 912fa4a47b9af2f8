#include "engine/listeners.h"

#include "base/host_name.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brevin {

namespace {

// Wait before accepting again after the process ran out of descriptors.
constexpr std::chrono::milliseconds kAcceptRetry{100};
// Connections taken per notification.
constexpr int kAcceptBurst = 16;

} // namespace

Listener::Listener(EventLoop& loop, ServiceKind kind, SessionFactory factory,
                   SessionRegistry& sessions, bool implicitTls)
    : AsyncSocket(loop), m_kind(kind), m_factory(std::move(factory)), m_sessions(sessions),
      m_retry(loop, [this] { ResumeAccepting(); }), m_implicitTls(implicitTls) {}

void Listener::OnAccept() {
    // A few at a time: a burst of connections (refused ones included) is taken in a few turns,
    // and still no turn goes to accepting alone.
    for (int taken = 0; taken < kAcceptBurst; ++taken) {
        ClientAddress peer = 0;
        UniqueFd connection = Accept(&peer);
        if (!connection) {
            const int error = LastError();
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // The connection stays queued; accepting again at once would spin. Existing
                // sessions go on, and one of them ending frees a descriptor before the retry.
                AsyncSelect(Interest::None);
                m_retry.Start(kAcceptRetry);
            }
            return;
        }
        // A connection the loop cannot watch, or one over a limit, is closed again.
        m_sessions.Start(m_factory(m_kind), std::move(connection), m_implicitTls, peer);
    }
}

void Listener::ResumeAccepting() {
    AsyncSelect(Interest::Accept);
}

std::vector<std::pair<std::string, std::string>> InterfaceAddresses(bool withLoopback) {
    std::vector<std::pair<std::string, std::string>> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return found;
    }
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
            (i->ifa_flags & IFF_UP) == 0 || (!withLoopback && (i->ifa_flags & IFF_LOOPBACK) != 0)) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text,
                  sizeof text);
        if (!withLoopback && std::string_view(text).starts_with("127.")) {
            continue;
        }
        found.emplace_back(i->ifa_name, text);
    }
    freeifaddrs(list);
    return found;
}

AddressError FindLocalAddress(HostAddress& host, std::string_view override) {
    in_addr address{};
    if (!override.empty()) {
        if (inet_pton(AF_INET, std::string(override).c_str(), &address) != 1) {
            return AddressError::InvalidOverride;
        }
    } else {
        const std::string name = HostName();
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
            return AddressError::LookupFailed;
        }
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
        if ((ntohl(address.s_addr) >> 24) == 127) {
            const auto interfaces = InterfaceAddresses(false);
            if (!interfaces.empty() &&
                inet_pton(AF_INET, interfaces.front().second.c_str(), &address) == 1) {
                host.interface = interfaces.front().first;
            }
        }
    }
    const auto bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
    for (std::size_t i = 0; i < 4; ++i) {
        host.octets[i] = bytes[i];
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    host.address = text;
    host.reachable.clear();
    if (address.s_addr == htonl(INADDR_ANY)) {
        for (auto& [name, dotted] : InterfaceAddresses(true)) {
            host.reachable.push_back(std::move(dotted));
        }
    } else {
        host.reachable.push_back(host.address);
    }
    return AddressError::None;
}

Listeners CreateListeners(EventLoop& loop, const std::string& address, ListenerPorts ports,
                          const SessionFactory& factory, SessionRegistry& sessions) {
    Listeners listeners;
    const auto make = [&](ServiceKind kind, std::uint16_t port,
                          bool tls = false) -> std::unique_ptr<Listener> {
        auto listener = std::make_unique<Listener>(loop, kind, factory, sessions, tls);
        if (!listener->Create(port, Interest::Accept, address.c_str())) {
            listeners.failures.push_back({kind, ListenerStep::Create, listener->LastError(), tls});
            return nullptr;
        }
        if (!listener->SetReuseAddress()) {
            listeners.failures.push_back({kind, ListenerStep::Reuse, listener->LastError(), tls});
        }
        // The classic backlog of 5 was the largest the old socket libraries allowed; here
        // the largest is the system's own, so a burst of clients is not turned away.
        if (!listener->Listen(SOMAXCONN)) {
            listeners.failures.push_back({kind, ListenerStep::Listen, listener->LastError(), tls});
            return nullptr;
        }
        return listener;
    };
    listeners.smtp = make(ServiceKind::SMTP, ports.smtp);
    listeners.pop3 = make(ServiceKind::POP3, ports.pop3);
    if (ports.smtps != 0) {
        listeners.smtps = make(ServiceKind::SMTP, ports.smtps, true);
    }
    if (ports.pop3s != 0) {
        listeners.pop3s = make(ServiceKind::POP3, ports.pop3s, true);
    }
    return listeners;
}

} // namespace brevin
