#include "pop3/pop3_command.h"

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
    std::size_t at = 0;
    const auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (at < argument.size() && isSpace(argument[at])) {
        ++at;
    }
    bool negative = false;
    if (at < argument.size() && (argument[at] == '+' || argument[at] == '-')) {
        negative = argument[at] == '-';
        ++at;
    }
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; at < argument.size() && argument[at] >= '0' && argument[at] <= '9'; ++at) {
        value = std::min(kLimit, value * 10 + (argument[at] - '0'));
    }
    if (negative) {
        value = -value;
    }
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

} // namespace brevin
