// Arbitrary bytes as a profile file: the document gives back the very bytes it parsed, reading
// never fails, and a value written reads back as written while every other key keeps its value.

#include "store/ini_document.h"
#include "store/profile_file.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

const std::filesystem::path& Folder() {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() /
                    ("brevin-fuzz-profile-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (brevin::ini::Document::Parse(bytes).Serialise() != bytes) {
        std::abort(); // every line not edited must stay as it was
    }
    const auto path = Folder() / "brevin.INI";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    brevin::ProfileFile profile(path);
    const auto users = profile.Keys("USERS");
    std::vector<std::string> before;
    for (const auto& key : users) {
        before.push_back(profile.Read("USERS", key, "<none>"));
    }
    (void)profile.Read("BREVIN", "store", "zzz");
    (void)profile.Keys("PWD");

    if (profile.Write("PWD", "fuzz.user", "secret value")) {
        if (profile.Read("PWD", "fuzz.user", "") != "secret value") {
            std::abort(); // a written value must read back
        }
        for (std::size_t i = 0; i < users.size(); ++i) {
            // Keys that compare equal without letter case name one key: only the first counts.
            if (profile.Read("USERS", users[i], "<none>") != before[i]) {
                std::abort(); // a write must leave other keys alone
            }
        }
    }
    return 0;
}
