#pragma once

#include "engine/command_word.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace brevin {

/// Everything after the command word and the character after it (skipped whatever it is,
/// normally a blank), up to the end of the first line (CR LF, or a bare LF).
std::string ExtractArgument(std::string_view text, std::size_t wordLength = 4);

/// The decimal number at the start of an argument: leading white space, an optional sign,
/// then digits up to the first non-digit. No digits give 0; values beyond the 32-bit range
/// stop at its ends, so they never wrap onto a real message number.
std::int32_t ParseNumber(std::string_view argument);

} // namespace brevin
