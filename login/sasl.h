#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brevin {

/// What a client's SASL response names: who logs in, with what password.
struct SaslCredentials {
    std::string user;
    std::string password;
};

/// Why a PLAIN response (RFC 4616) is refused.
enum class SaslProblem {
    None,
    NotBase64,     ///< the response does not decode
    Malformed,     ///< not "authzid NUL user NUL password", or a part is empty
    OtherIdentity, ///< asks to act as another user than the one logging in
};

/// The credentials of a PLAIN response, given in base64 as it arrives; `problem` says why
/// there are none.
std::optional<SaslCredentials> DecodePlain(std::string_view response, SaslProblem& problem);

/// One LOGIN step's answer (a user name or a password, in base64); nothing when it does not
/// decode or holds a zero byte.
std::optional<std::string> DecodeLoginStep(std::string_view response);

} // namespace brevin
