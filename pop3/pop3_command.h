#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brevin {

/// The first four bytes of a command line, A to Z lower-cased, packed with the first byte
/// most significant. Missing bytes count as zero, so a shorter line matches no command.
std::uint32_t CommandWord(std::string_view line);

/// The same packing of a four-letter lower-case command name.
constexpr std::uint32_t Word(const char (&name)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[3]));
}

/// Everything after the fifth character (which is skipped whatever it is, normally the blank
/// after the command word), up to the end of the first line (CR LF, or a bare LF).
std::string ExtractArgument(std::string_view text);

/// The decimal number at the start of an argument: leading white space, an optional sign,
/// then digits up to the first non-digit. No digits give 0; values beyond the 32-bit range
/// stop at its ends, so they never wrap onto a real message number.
std::int32_t ParseNumber(std::string_view argument);

} // namespace brevin
