#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>

namespace brevin {

/// A client's address. IPv4 is kept as an IPv4-mapped IPv6 address, so that both families
/// share one type and one table; all zeros stands for a connection without an address (a
/// socketpair in tests and tools).
class ClientAddress {
public:
    ClientAddress() = default;
    /// From an IPv4 address in host byte order.
    static ClientAddress FromIPv4(std::uint32_t address);
    /// From 16 bytes in network order; an IPv4-mapped address counts as that IPv4 address.
    static ClientAddress FromIPv6(const std::uint8_t* bytes);
    /// From what accept(2) or getpeername(2) filled in; none for another family.
    static ClientAddress FromSocket(const sockaddr_storage& address);

    [[nodiscard]] bool IsNone() const { return m_bytes == std::array<std::uint8_t, 16>{}; }
    [[nodiscard]] bool IsIPv4() const;
    /// 127.0.0.0/8 or ::1.
    [[nodiscard]] bool IsLoopback() const;
    /// What counts as one client host for the limits and the guessing penalty: an IPv4 address
    /// whole, an IPv6 address by its /64 (one host is given a whole /64 and may pick any
    /// address in it).
    [[nodiscard]] ClientAddress Host() const;
    /// "192.0.2.7", "2001:db8::7", or "local" for none.
    [[nodiscard]] std::string Text() const;
    [[nodiscard]] const std::array<std::uint8_t, 16>& Bytes() const { return m_bytes; }

    friend bool operator==(const ClientAddress&, const ClientAddress&) = default;

private:
    std::array<std::uint8_t, 16> m_bytes{};
};

struct ClientAddressHash {
    std::size_t operator()(const ClientAddress& address) const;
};

/// "192.0.2.7", "2001:db8::7", or "local" for a connection without an address.
inline std::string AddressText(const ClientAddress& address) {
    return address.Text();
}
/// Loopback, and the address-less connections of tests and tools.
inline bool IsLocal(const ClientAddress& address) {
    return address.IsNone() || address.IsLoopback();
}
/// "192.0.2.7:5123", "[2001:db8::7]:5123" (as URLs write it, so the port stays apart), or
/// "?:0" for another family.
std::string EndpointText(const sockaddr_storage& address);
/// The far end of a connected socket, as `EndpointText` words it.
std::string PeerEndpoint(int fd);

} // namespace brevin
