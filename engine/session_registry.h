#pragma once

#include "base/unique_fd.h"
#include "engine/client_table.h"
#include "engine/event_loop.h"
#include "engine/mail_session.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace brevin {

/// Owns the open sessions of a server. A session that ends is destroyed once the call that
/// ended it has returned; destroying the registry (or `CloseAll`) closes the rest, so every
/// session's own clean-up runs at shutdown too.
class SessionRegistry {
public:
    explicit SessionRegistry(EventLoop& loop);
    ~SessionRegistry();
    SessionRegistry(const SessionRegistry&) = delete;
    SessionRegistry& operator=(const SessionRegistry&) = delete;

    /// Takes `session` over with its connection and greets the client. False (the session
    /// destroyed, the connection closed) when the loop cannot watch the connection, or when
    /// the connection limits refuse the client: it then hears why, in its service's words,
    /// and the connection closes at once. With `implicitTls` the client is greeted only after
    /// the handshake (and a refused one is only closed).
    bool Start(std::unique_ptr<MailSession> session, UniqueFd connection, bool implicitTls = false,
               ClientAddress peer = {});
    /// Closes and destroys every session.
    void CloseAll();
    /// Sessions whose connection is open.
    [[nodiscard]] std::size_t Count() const { return m_sessions.size() - m_ended.size(); }
    [[nodiscard]] ClientTable& Clients() { return m_clients; }

private:
    friend class MailSession;

    void Release(std::uint64_t id);
    void DestroyEnded();
    static void Refuse(const ServiceTraits& service, UniqueFd connection, bool implicitTls,
                       ClientAddress peer, ClientTable::Admission why);

    ClientTable m_clients;

    std::unordered_map<std::uint64_t, std::unique_ptr<MailSession>> m_sessions;
    std::vector<std::uint64_t> m_ended; // closed, destroyed by `m_release`
    std::uint64_t m_nextId = 1;
    Deferred m_release;
};

} // namespace brevin
