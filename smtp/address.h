#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// Reduces an address text to the user name SMTP looks up: the characters before the first
/// "@", then what follows the last blank, then what follows the last "<". Every other
/// character stays as it is (tabs, quotes, ">" and ":" too).
///
/// Returns false, with `name` holding the whole `text`, when there is no "@" or the text begins
/// with one; false with `name` empty when the reduction leaves nothing; true otherwise.
bool AddressToUserName(std::string_view text, std::string& name);

/// The form of a recipient's user name under which two RCPTs name the same mailbox: letters
/// lower-cased and blanks as dots, as the profile's names are typed. Whatever expands one name
/// into others (aliases, lists) expands this form, so that a repeated name is still found.
std::string RecipientKey(std::string_view userName);

/// The user names of every address in the From: fields of a message header (the bytes up to
/// the blank line that ends it), each reduced as `AddressToUserName` does; comments and quoted
/// display names are skipped, so a name there cannot pose as an address. An address that does
/// not reduce gives its whole text, which names nobody.
std::vector<std::string> FromHeaderUsers(std::string_view header);

} // namespace brevin
