// Base64 on arbitrary text: whatever decodes encodes back to the same text, and any bytes
// survive a round trip.

#include "base/base64.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto bytes = brevin::DecodeBase64(text);
        bytes && brevin::EncodeBase64(*bytes) != text) {
        std::abort();
    }
    if (brevin::DecodeBase64(brevin::EncodeBase64(text)) != text) {
        std::abort();
    }
    return 0;
}
