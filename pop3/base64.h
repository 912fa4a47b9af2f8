#pragma once

#include <string>
#include <string_view>

namespace brevin {

/// Base64 as mail uses it (standard alphabet, "=" padding, no line breaks), for input of any
/// length. The unique id of a message is this text of its file name.
std::string EncodeBase64(std::string_view bytes);

} // namespace brevin
