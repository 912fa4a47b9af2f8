// Any text parses into a structure whose offsets stay inside it and which survives the cache's
// encoding unchanged; any bytes handed to Deserialize are refused or read, never a crash.

#include "store/message_structure.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool Inside(const brevin::BodyPart& part, std::uint64_t size) {
    if (part.headerStart > part.bodyStart || part.bodyStart > part.end || part.end > size) {
        return false;
    }
    for (const brevin::BodyPart& child : part.children) {
        if (!Inside(child, size)) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const brevin::MessageStructure structure = brevin::ParseStructure(bytes);
    if (!Inside(structure.body, size) ||
        brevin::Deserialize(brevin::Serialize(structure)) != structure) {
        std::abort();
    }
    (void)brevin::Deserialize(bytes);
    return 0;
}
