#pragma once

#include <cstdint>
#include <string_view>

namespace brevin {

/// Both services know a command by its first four bytes, letters in any case: packed into one
/// number, first byte most significant, so a command is one switch case.

/// The packing of a four-letter lower-case command name ("helo" is 0x68656C6F).
constexpr std::uint32_t Word(const char (&name)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[3]));
}

/// The first four bytes of a command line, A to Z lower-cased. Missing bytes count as zero,
/// so a shorter line matches no command.
constexpr std::uint32_t CommandWord(std::string_view line) {
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        unsigned c = i < line.size() ? static_cast<unsigned char>(line[i]) : 0U;
        if (c >= 'A' && c <= 'Z') {
            c = c - 'A' + 'a';
        }
        word = word << 8 | c;
    }
    return word;
}

} // namespace brevin
