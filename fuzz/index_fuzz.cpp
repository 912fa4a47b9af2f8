// The folder index as read back from disk, whatever a crash or a hand edit left in it: the
// reader never crashes, and what it describes keeps the rules every session relies on.
#include "store/folder_index.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const brevin::ReadIndex read =
        brevin::ReadIndexText({reinterpret_cast<const char*>(data), size});
    const brevin::FolderSnapshot& s = read.snapshot;
    std::uint32_t previous = 0;
    for (const brevin::IndexedMessage& m : s.messages) {
        // UIDs ascend, stay below UIDNEXT, and no mod-sequence passes the highest.
        if (m.uid <= previous || m.uid >= s.uidNext || m.modSeq > s.highestModSeq ||
            m.name.empty()) {
            std::abort();
        }
        previous = m.uid;
    }
    if (s.keywords.size() > brevin::FolderIndex::kMaxKeywords) {
        std::abort();
    }
    return 0;
}
