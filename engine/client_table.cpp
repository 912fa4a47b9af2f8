#include "engine/client_table.h"

#include <algorithm>

namespace brevin {

ClientTable::Admission ClientTable::Admit(ClientAddress address, std::size_t open) {
    address = address.Host();
    if (m_limits.maxSessions != 0 && open >= m_limits.maxSessions) {
        return Admission::ServerFull;
    }
    Client& client = m_clients[address];
    if (m_limits.maxPerAddress != 0 && !IsLocal(address) &&
        client.sessions >= m_limits.maxPerAddress) {
        return Admission::AddressFull;
    }
    ++client.sessions;
    return Admission::Admitted;
}

void ClientTable::Leave(ClientAddress address) {
    address = address.Host();
    const auto found = m_clients.find(address);
    if (found == m_clients.end()) {
        return;
    }
    if (found->second.sessions > 0) {
        --found->second.sessions;
    }
    Expire(address, found->second, Clock::now());
}

std::chrono::milliseconds ClientTable::AddFailure(ClientAddress address, Clock::time_point now) {
    address = address.Host();
    if (m_clients.size() >= m_sweepAt) {
        Sweep(now);
    }
    Client& client = m_clients[address];
    Expire(address, client, now); // an old penalty starts over
    Client& fresh = m_clients[address];
    fresh.penalty =
        fresh.penalty.count() == 0 ? kFirstPenalty : std::min(2 * fresh.penalty, kMaxPenalty);
    fresh.lastFailure = now;
    return fresh.penalty;
}

std::chrono::milliseconds ClientTable::PasswordWait(ClientAddress address, Clock::time_point now) {
    address = address.Host();
    const auto found = m_clients.find(address);
    if (found == m_clients.end()) {
        return std::chrono::milliseconds(0);
    }
    Client& client = found->second;
    Expire(address, client, now);
    const auto again = m_clients.find(address);
    if (again == m_clients.end() || again->second.penalty.count() == 0) {
        return std::chrono::milliseconds(0);
    }
    Client& current = again->second;
    const auto wait = current.penalty * static_cast<std::int64_t>(current.waiting + 1);
    ++current.waiting;
    return wait;
}

void ClientTable::AnswerSent(ClientAddress address) {
    address = address.Host();
    const auto found = m_clients.find(address);
    if (found != m_clients.end() && found->second.waiting > 0) {
        --found->second.waiting;
        Expire(address, found->second, Clock::now());
    }
}

void ClientTable::Expire(ClientAddress address, Client& client, Clock::time_point now) {
    if (client.penalty.count() != 0 && now - client.lastFailure >= kForgetAfter) {
        client.penalty = std::chrono::milliseconds(0);
    }
    if (client.sessions == 0 && client.waiting == 0 && client.penalty.count() == 0) {
        m_clients.erase(address);
    }
}

void ClientTable::Sweep(Clock::time_point now) {
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        Client& client = it->second;
        if (client.penalty.count() != 0 && now - client.lastFailure >= kForgetAfter) {
            client.penalty = std::chrono::milliseconds(0);
        }
        const bool empty =
            client.sessions == 0 && client.waiting == 0 && client.penalty.count() == 0;
        it = empty ? m_clients.erase(it) : std::next(it);
    }
    m_sweepAt = std::max<std::size_t>(1024, 2 * m_clients.size());
}

} // namespace brevin
