#include "engine/session_registry.h"

#include "base/log.h"

#include <sys/socket.h>
#include <utility>

namespace brevin {

SessionRegistry::SessionRegistry(EventLoop& loop) : m_release(loop, [this] { DestroyEnded(); }) {}

SessionRegistry::~SessionRegistry() {
    CloseAll();
}

bool SessionRegistry::Start(std::unique_ptr<MailSession> session, UniqueFd connection,
                            bool implicitTls, ClientAddress peer) {
    if (!session) {
        return false; // the connection closes with `connection`
    }
    if (const auto admission = m_clients.Admit(peer, Count());
        admission != ClientTable::Admission::Admitted) {
        Refuse(session->Service(), std::move(connection), implicitTls, peer, admission);
        return false;
    }
    const std::uint64_t id = m_nextId++;
    MailSession& started = *session;
    m_sessions.emplace(id, std::move(session));
    if (!started.Open(std::move(connection), *this, id, implicitTls, peer)) {
        m_sessions.erase(id); // it never ran: nothing of it is on the stack
        m_clients.Leave(peer);
        return false;
    }
    return true;
}

// The client hears why at once instead of waiting for a banner that never comes. The few
// bytes always fit the new socket's buffer; what the client sent is read first, so that the
// close does not reset the connection before the reply is read.
void SessionRegistry::Refuse(const ServiceTraits& service, UniqueFd connection, bool implicitTls,
                             ClientAddress peer, ClientTable::Admission why) {
    const bool perAddress = why == ClientTable::Admission::AddressFull;
    LogEvent(service.name, "refused")
        .Add("client", AddressText(peer))
        .Add("reason", perAddress ? "per-address limit" : "session limit")
        .Failed();
    if (!implicitTls) {
        const std::string_view reply =
            perAddress ? service.addressFullReply : service.serverFullReply;
        [[maybe_unused]] const ssize_t sent =
            send(connection.Get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    shutdown(connection.Get(), SHUT_WR);
    char drain[4096];
    for (int i = 0; i < 4 && recv(connection.Get(), drain, sizeof drain, MSG_DONTWAIT) > 0; ++i) {
    }
}

void SessionRegistry::Release(std::uint64_t id) {
    if (const auto found = m_sessions.find(id); found != m_sessions.end()) {
        m_clients.Leave(found->second->PeerAddress());
    }
    m_ended.push_back(id);
    m_release.Post();
}

void SessionRegistry::DestroyEnded() {
    for (const std::uint64_t id : std::exchange(m_ended, {})) {
        m_sessions.erase(id);
    }
}

void SessionRegistry::CloseAll() {
    m_release.Cancel();
    m_ended.clear();
    // Taken out first: a session's clean-up must not find the map half torn down.
    auto sessions = std::exchange(m_sessions, {});
    for (const auto& [id, session] : sessions) {
        if (!session->m_ended) {
            m_clients.Leave(session->PeerAddress());
        }
    }
    sessions.clear();
}

} // namespace brevin
