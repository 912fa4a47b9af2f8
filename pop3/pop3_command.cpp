#include "pop3/pop3_command.h"

#include "base/text.h"

#include <algorithm>
#include <limits>

namespace brevin {

std::string ExtractArgument(std::string_view text, std::size_t wordLength) {
    if (text.size() <= wordLength + 1) {
        return {};
    }
    std::string_view argument = text.substr(wordLength + 1);
    if (const auto lineEnd = argument.find('\n'); lineEnd != std::string_view::npos) {
        argument = argument.substr(0, lineEnd);
        if (!argument.empty() && argument.back() == '\r') {
            argument.remove_suffix(1);
        }
    }
    return std::string(argument);
}

std::int32_t ParseNumber(std::string_view argument) {
    bool negative = false;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (const char digit : LeadingDigits(argument, negative)) {
        value = std::min(kLimit, value * 10 + (digit - '0'));
    }
    if (negative) {
        value = -value;
    }
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

} // namespace brevin
