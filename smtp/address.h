#pragma once

#include <string>
#include <string_view>

namespace brevin {

/// Reduces an address text to the user name SMTP looks up: the characters before the first
/// "@", then what follows the last blank, then what follows the last "<". Every other
/// character stays as it is (tabs, quotes, ">" and ":" too).
///
/// Returns false, with `name` holding the whole `text`, when there is no "@" or the text begins
/// with one; false with `name` empty when the reduction leaves nothing; true otherwise.
bool AddressToUserName(std::string_view text, std::string& name);

} // namespace brevin
