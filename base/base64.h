#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brevin {

/// Base64 as mail uses it (standard alphabet, "=" padding, no line breaks), for input of any
/// length. The unique id of a POP3 message is this text of its file name.
std::string EncodeBase64(std::string_view bytes);

/// The bytes that `text` encodes, or nothing when it is not exactly what `EncodeBase64` makes
/// of some bytes: a length that is no multiple of four, a byte outside the alphabet, padding
/// anywhere but at the end, or bits left over in the last group. Clients' authentication
/// answers are read with it, so anything it returns is canonical.
std::optional<std::string> DecodeBase64(std::string_view text);

} // namespace brevin
