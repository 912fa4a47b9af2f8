#include "smtp/address.h"

namespace brevin {

bool AddressToUserName(std::string_view text, std::string& name) {
    name.assign(text);
    const auto at = text.find('@');
    if (at == std::string_view::npos || at == 0) {
        return false;
    }
    std::string_view local = text.substr(0, at);
    // Cutting at the first blank for as long as one is left ends after the last blank.
    if (const auto blank = local.rfind(' '); blank != std::string_view::npos) {
        local.remove_prefix(blank + 1);
    }
    if (const auto angle = local.rfind('<'); angle != std::string_view::npos) {
        local.remove_prefix(angle + 1);
    }
    name.assign(local);
    return !name.empty();
}

} // namespace brevin
