// SASL answers and From: fields as a hostile client sends them: decoding never crashes, what
// PLAIN accepts names a user and a password without zero bytes, and every From: address
// reduces to a name without "@".

#include "login/sasl.h"
#include "smtp/address.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    brevin::SaslProblem problem = brevin::SaslProblem::None;
    if (const auto credentials = brevin::DecodePlain(text, problem)) {
        if (problem != brevin::SaslProblem::None || credentials->user.empty() ||
            credentials->password.empty() || credentials->user.find('\0') != std::string::npos ||
            credentials->password.find('\0') != std::string::npos) {
            std::abort();
        }
    }
    if (const auto step = brevin::DecodeLoginStep(text);
        step && step->find('\0') != std::string::npos) {
        std::abort();
    }
    for (const std::string& name : brevin::FromHeaderUsers(text)) {
        if (name.empty()) {
            std::abort();
        }
    }
    return 0;
}
