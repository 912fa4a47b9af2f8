#include "engine/client_address.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <string_view>

namespace brevin {

namespace {

constexpr std::array<std::uint8_t, 12> kMappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

} // namespace

ClientAddress ClientAddress::FromIPv4(std::uint32_t address) {
    ClientAddress made;
    if (address == 0) {
        return made; // 0.0.0.0 is no client's address; keep it apart from a real one
    }
    std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), made.m_bytes.begin());
    for (std::size_t i = 0; i < 4; ++i) {
        made.m_bytes[12 + i] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
    }
    return made;
}

ClientAddress ClientAddress::FromIPv6(const std::uint8_t* bytes) {
    ClientAddress made;
    std::copy(bytes, bytes + 16, made.m_bytes.begin());
    return made;
}

ClientAddress ClientAddress::FromSocket(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, &address, sizeof v4);
        return FromIPv4(ntohl(v4.sin_addr.s_addr));
    }
    if (address.ss_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, &address, sizeof v6);
        return FromIPv6(v6.sin6_addr.s6_addr);
    }
    return {};
}

bool ClientAddress::IsIPv4() const {
    return std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), m_bytes.begin());
}

bool ClientAddress::IsLoopback() const {
    if (IsIPv4()) {
        return m_bytes[12] == 127;
    }
    static constexpr std::array<std::uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                            0, 0, 0, 0, 0, 0, 0, 1};
    return m_bytes == kLoopback;
}

ClientAddress ClientAddress::Host() const {
    if (IsIPv4() || IsLoopback() || IsNone()) {
        return *this;
    }
    ClientAddress prefix = *this;
    std::fill(prefix.m_bytes.begin() + 8, prefix.m_bytes.end(), std::uint8_t{0});
    return prefix;
}

std::string ClientAddress::Text() const {
    if (IsNone()) {
        return "local";
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (IsIPv4()) {
        inet_ntop(AF_INET, m_bytes.data() + 12, text, sizeof text);
    } else {
        inet_ntop(AF_INET6, m_bytes.data(), text, sizeof text);
    }
    return text;
}

std::size_t ClientAddressHash::operator()(const ClientAddress& address) const {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, address.Bytes().data(), 8);
    std::memcpy(&low, address.Bytes().data() + 8, 8);
    return std::hash<std::uint64_t>{}(high * 0x9E3779B97F4A7C15ULL ^ low);
}

std::string EndpointText(const sockaddr_storage& address) {
    std::uint16_t port = 0;
    if (address.ss_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, &address, sizeof v4);
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, &address, sizeof v6);
        port = ntohs(v6.sin6_port);
    } else {
        return "?:0";
    }
    const ClientAddress client = ClientAddress::FromSocket(address);
    std::string text;
    if (address.ss_family == AF_INET6) {
        text.append("[").append(client.Text()).append("]");
    } else {
        text.append(client.Text());
    }
    text.append(":").append(std::to_string(port));
    return text;
}

std::string PeerEndpoint(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return "?:0";
    }
    return EndpointText(peer);
}

} // namespace brevin
