#pragma once

#include "engine/client_address.h"
#include "engine/event_loop.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace brevin {

/// How many sessions a server keeps, in all and per client address.
struct ConnectionLimits {
    /// Sessions from one address at most; 0: no limit. Local clients are exempt.
    std::size_t maxPerAddress = 20;
    /// Sessions in all at most; 0: no limit (the shell derives one from the descriptors).
    std::size_t maxSessions = 0;
};

/// What the server knows of each client host (an IPv4 address, an IPv6 /64, see
/// `ClientAddress::Host`): its open sessions and its password-guessing penalty. Everything runs
/// on the loop's thread, so nothing is locked.
///
/// The penalty: every failed login, through any service, raises it (2 s, doubling, at most
/// 15 s); five minutes without a failure forget it. While it lasts, each password from the
/// address is answered only after the penalty times one more than the answers from that address
/// already waiting, so however many connections it opens, the answers come about one per
/// penalty.
class ClientTable {
public:
    using Clock = EventLoop::Clock;

    static constexpr std::chrono::milliseconds kFirstPenalty{2000};
    static constexpr std::chrono::milliseconds kMaxPenalty{15000};
    static constexpr std::chrono::minutes kForgetAfter{5};

    enum class Admission { Admitted, AddressFull, ServerFull };

    explicit ClientTable(ConnectionLimits limits = {}) : m_limits(limits) {}

    void SetLimits(ConnectionLimits limits) { m_limits = limits; }

    /// Counts a new session from `address` when the limits allow it; `open` is the number of
    /// sessions already open.
    Admission Admit(ClientAddress address, std::size_t open);
    /// The session that `Admit` counted has ended.
    void Leave(ClientAddress address);

    /// A failed login from `address`: raises its penalty and returns the new one.
    std::chrono::milliseconds AddFailure(ClientAddress address, Clock::time_point now);
    /// How long a password from `address` waits now (zero without a penalty). A nonzero wait
    /// counts as waiting until `AnswerSent` (called too when its session ends first).
    std::chrono::milliseconds PasswordWait(ClientAddress address, Clock::time_point now);
    void AnswerSent(ClientAddress address);

    /// Addresses the table still remembers.
    [[nodiscard]] std::size_t Size() const { return m_clients.size(); }

private:
    struct Client {
        std::size_t sessions = 0;
        std::chrono::milliseconds penalty{0};
        Clock::time_point lastFailure{};
        std::size_t waiting = 0; // answers to passwords not yet sent
    };

    /// Forgets a penalty five minutes old; drops the entry once nothing is left of it.
    void Expire(ClientAddress address, Client& client, Clock::time_point now);
    void Sweep(Clock::time_point now);

    ConnectionLimits m_limits;
    std::unordered_map<ClientAddress, Client, ClientAddressHash> m_clients; // by host
    std::size_t m_sweepAt = 1024; // sweep the penalties of gone clients once this many entries
};

} // namespace brevin
