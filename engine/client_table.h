#pragma once

#include "engine/client_address.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace brevin {

/// How many sessions a server keeps, in all and per client address.
struct ConnectionLimits {
    /// Sessions from one address at most; 0: no limit. Local clients are exempt.
    std::size_t maxPerAddress = 20;
    /// Sessions in all at most; 0: no limit (the shell derives one from the descriptors).
    std::size_t maxSessions = 0;
};

/// The open sessions of each client host (an IPv4 address, an IPv6 /64, see
/// `ClientAddress::Host`). Everything runs on the loop's thread, so nothing is locked.
class ClientTable {
public:
    enum class Admission { Admitted, AddressFull, ServerFull };

    explicit ClientTable(ConnectionLimits limits = {}) : m_limits(limits) {}

    void SetLimits(ConnectionLimits limits) { m_limits = limits; }

    /// Counts a new session from `address` when the limits allow it; `open` is the number of
    /// sessions already open.
    Admission Admit(ClientAddress address, std::size_t open);
    /// The session that `Admit` counted has ended.
    void Leave(ClientAddress address);

    /// Hosts with a session open.
    [[nodiscard]] std::size_t Size() const { return m_sessions.size(); }

private:
    ConnectionLimits m_limits;
    std::unordered_map<ClientAddress, std::size_t, ClientAddressHash> m_sessions; // by host
};

} // namespace brevin
