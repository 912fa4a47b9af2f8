// Address reduction on arbitrary text: a name it accepts is never empty and holds no "@",
// no blank and no "<"; a refused text leaves either the whole text or nothing.

#include "smtp/address.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string name = "previous";
    const bool ok = brevin::AddressToUserName(text, name);
    if (ok && (name.empty() || name.find_first_of("@ <") != std::string::npos)) {
        std::abort();
    }
    if (!ok && !name.empty() && name != text) {
        std::abort();
    }
    return 0;
}
