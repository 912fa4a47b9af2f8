// Folder names on arbitrary bytes: UTF-8 survives a trip through modified UTF-7, every wire
// spelling that decodes is the one the encoder writes, and a disk name never shows what it
// must hide and always reads back as the level it came from.

#include "base/text.h"
#include "store/folder_names.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool IsSafeDiskName(std::string_view disk) {
    if (disk.starts_with('.') || brevin::EndsWithIgnoringCase(disk, ".bvn")) {
        return false;
    }
    for (const char c : disk) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (brevin::IsValidUtf8(text) &&
        brevin::DecodeModifiedUtf7(brevin::EncodeModifiedUtf7(text)) != text) {
        std::abort();
    }
    if (const auto utf8 = brevin::DecodeModifiedUtf7(text);
        utf8 && (!brevin::IsValidUtf8(*utf8) || brevin::EncodeModifiedUtf7(*utf8) != text)) {
        std::abort();
    }
    const std::string disk = brevin::DiskLevelName(text);
    if (!IsSafeDiskName(disk)) {
        std::abort();
    }
    // Every level a folder name may have comes back from its directory name.
    const bool goodLevel = text.find('/') == std::string_view::npos &&
                           brevin::CheckFolderName(text) == brevin::FolderNameProblem::Ok;
    if (const auto level = brevin::LevelFromDisk(disk);
        goodLevel ? level != text : level.has_value()) {
        std::abort();
    }
    // And what a directory name reads back as maps to that directory name again.
    if (const auto level = brevin::LevelFromDisk(text);
        level && brevin::DiskLevelName(*level) != text) {
        std::abort();
    }
    return 0;
}
