#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// The server's INI profile: its only configuration and its user database.
///
/// Sections and keys compare without regard to letter case; values are read without their
/// surrounding blanks and cut at 254 characters; a missing file, section or key gives the
/// default. Every read sees the file as it is on disk now. A write replaces the value in
/// place (a new key goes to the end of its section, a new section to the end of the file),
/// keeps every other line as it was, and replaces the file atomically: a crash or a full disk
/// leaves either the old file or the new one, never a torn one.
class ProfileFile {
public:
    static constexpr std::size_t kMaxValue = 254;

    explicit ProfileFile(std::filesystem::path path);

    [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }

    [[nodiscard]] std::string Read(std::string_view section, std::string_view key,
                                   std::string_view fallback) const;
    /// The key names of `section` in file order; empty when the file or section is missing.
    [[nodiscard]] std::vector<std::string> Keys(std::string_view section) const;
    /// False when the file could not be replaced; the old file is then left intact.
    bool Write(std::string_view section, std::string_view key, std::string_view value);
    /// Removes a key; true when the file no longer holds it.
    bool Remove(std::string_view section, std::string_view key);

private:
    std::filesystem::path m_path;
};

} // namespace brevin
