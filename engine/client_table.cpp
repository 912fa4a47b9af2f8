#include "engine/client_table.h"

namespace brevin {

ClientTable::Admission ClientTable::Admit(ClientAddress address, std::size_t open) {
    address = address.Host();
    if (m_limits.maxSessions != 0 && open >= m_limits.maxSessions) {
        return Admission::ServerFull;
    }
    std::size_t& sessions = m_sessions[address];
    if (m_limits.maxPerAddress != 0 && !IsLocal(address) && sessions >= m_limits.maxPerAddress) {
        return Admission::AddressFull;
    }
    ++sessions;
    return Admission::Admitted;
}

void ClientTable::Leave(ClientAddress address) {
    const auto found = m_sessions.find(address.Host());
    if (found != m_sessions.end() && --found->second == 0) {
        m_sessions.erase(found);
    }
}

} // namespace brevin
