#include "login/sasl.h"

#include "base/base64.h"

#include <algorithm>

namespace brevin {

std::optional<SaslCredentials> DecodePlain(std::string_view response, SaslProblem& problem) {
    const auto decoded = DecodeBase64(response);
    if (!decoded) {
        problem = SaslProblem::NotBase64;
        return std::nullopt;
    }
    const std::string_view text(*decoded);
    const std::size_t first = text.find('\0');
    const std::size_t second = first == std::string_view::npos ? first : text.find('\0', first + 1);
    if (second == std::string_view::npos || text.find('\0', second + 1) != std::string_view::npos ||
        second == first + 1 || second + 1 == text.size()) {
        problem = SaslProblem::Malformed;
        return std::nullopt;
    }
    const std::string_view identity = text.substr(0, first);
    SaslCredentials credentials{std::string(text.substr(first + 1, second - first - 1)),
                                std::string(text.substr(second + 1))};
    // Nobody may act for another; naming oneself is allowed, as some clients do.
    if (!identity.empty() && identity != credentials.user) {
        problem = SaslProblem::OtherIdentity;
        return std::nullopt;
    }
    problem = SaslProblem::None;
    return credentials;
}

std::optional<std::string> DecodeLoginStep(std::string_view response) {
    auto decoded = DecodeBase64(response);
    if (!decoded || std::ranges::find(*decoded, '\0') != decoded->end()) {
        return std::nullopt;
    }
    return decoded;
}

} // namespace brevin
