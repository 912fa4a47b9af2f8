#include "base/base64.h"

#include <cstdint>

namespace brevin {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::uint32_t Byte(std::string_view bytes, std::size_t at) {
    return static_cast<unsigned char>(bytes[at]);
}

/// The value of an alphabet letter, or -1.
int Sextet(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

} // namespace

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t at = 0;
    for (; at + 3 <= bytes.size(); at += 3) {
        const std::uint32_t v =
            Byte(bytes, at) << 16 | Byte(bytes, at + 1) << 8 | Byte(bytes, at + 2);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t left = bytes.size() - at;
    if (left == 2) {
        const std::uint32_t v = Byte(bytes, at) << 16 | Byte(bytes, at + 1) << 8;
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += '=';
    } else if (left == 1) {
        const std::uint32_t v = Byte(bytes, at) << 16;
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += "==";
    }
    return out;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        // Only the last group may be padded: "xx==" carries one byte, "xxx=" two.
        const std::size_t padding = !last                 ? 0
                                    : text[at + 2] == '=' ? 2
                                    : text[at + 3] == '=' ? 1
                                                          : 0;
        if (padding == 2 && text[at + 3] != '=') {
            return std::nullopt;
        }
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int sextet = i < 4 - padding ? Sextet(text[at + i]) : 0;
            if (sextet < 0) {
                return std::nullopt;
            }
            v = v << 6 | static_cast<std::uint32_t>(sextet);
        }
        // Bits the padding leaves over must be zero, or two texts would mean the same bytes.
        if ((padding == 2 && (v & 0xFFFF) != 0) || (padding == 1 && (v & 0xFF) != 0)) {
            return std::nullopt;
        }
        out += static_cast<char>(v >> 16 & 0xFF);
        if (padding < 2) {
            out += static_cast<char>(v >> 8 & 0xFF);
        }
        if (padding < 1) {
            out += static_cast<char>(v & 0xFF);
        }
    }
    return out;
}

} // namespace brevin
