#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brevin {

/// One change for `ProfileFile::Apply`: set `section`/`key` to `value`, or remove the key
/// when `value` is empty (std::nullopt).
struct ProfileChange {
    std::string_view section;
    std::string_view key;
    std::optional<std::string_view> value;
};

/// One read for `ProfileFile::Read` of several keys.
struct ProfileRead {
    std::string_view section;
    std::string_view key;
    std::string_view fallback;
};

/// How hard a profile write works to survive a power cut.
enum class ProfileSync {
    /// The new file's data and the folder are flushed: the change survives a power cut.
    Durable,
    /// The new file's data is flushed before it replaces the old one, so the file is never torn
    /// or empty, but the change itself may be lost with a power cut (the old file comes back).
    Atomic,
};

/// The server's INI profile: its only configuration and its user database.
///
/// Sections and keys compare without regard to letter case; values are read without their
/// surrounding blanks and cut at 254 characters; a missing file, section or key gives the
/// default. Every read sees the file as it is on disk now. A write replaces the value in
/// place (a new key goes to the end of its section, a new section to the end of the file),
/// keeps every other line as it was, and replaces the file atomically: a crash or a full disk
/// leaves either the old file or the new one, never a torn one.
///
/// Lines beginning with ";" are comments. Files with CR LF or LF line ends are read; new lines
/// take the line end the file already uses (LF for a new file).
///
/// Writing keeps two hidden files beside the profile: ".NAME.spare", which receives the new
/// contents and then trades places with the profile in one rename, and ".NAME.lock", whose
/// record lock makes each read-modify-write one step for all Brevin processes (the server and
/// `brevin user`), so neither loses the other's change.
class ProfileFile {
public:
    static constexpr std::size_t kMaxValue = 254;

    explicit ProfileFile(std::filesystem::path path);

    [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }
    /// The hidden lock and spare files that writes keep beside the profile.
    [[nodiscard]] std::vector<std::filesystem::path> CompanionPaths() const;

    static constexpr std::chrono::milliseconds kDefaultLockPatience{5000};
    /// How long a read or write waits for another process's lock: a read then goes on
    /// without it, a write fails. The server keeps this to a few milliseconds, so that no
    /// lock held elsewhere stops its loop; `brevin user` can afford to wait.
    void SetLockPatience(std::chrono::milliseconds patience) { m_lockPatience = patience; }
    [[nodiscard]] std::chrono::milliseconds LockPatience() const { return m_lockPatience; }

    [[nodiscard]] std::string Read(std::string_view section, std::string_view key,
                                   std::string_view fallback) const;
    /// Several reads that see the same version of the file; values in the order asked.
    [[nodiscard]] std::vector<std::string> Read(std::span<const ProfileRead> reads) const;
    /// The keys of `section` with their values as `Read` gives them, in file order (a key
    /// repeated in the section counts once); empty when the file or section is missing.
    [[nodiscard]] std::vector<std::pair<std::string, std::string>>
    Entries(std::string_view section) const;
    /// The key names of `section` in file order; empty when the file or section is missing.
    [[nodiscard]] std::vector<std::string> Keys(std::string_view section) const;
    /// Whether the file can be read now: false when it is missing, not a regular file, or
    /// unreadable, so that a caller can tell "nobody of that name" from "cannot tell".
    [[nodiscard]] bool Readable() const { return Load() != nullptr; }
    /// False when the file could not be replaced; the old file is then left intact.
    bool Write(std::string_view section, std::string_view key, std::string_view value);
    /// Removes a key; true when the file no longer holds it.
    bool Remove(std::string_view section, std::string_view key);
    /// Makes several changes in one replacement of the file: all of them land, or none. False
    /// when a name or value cannot be stored (a line end in it, "=" or a leading "[" or ";" in
    /// a key, "]" in a section) or the file could not be replaced.
    bool Apply(std::span<const ProfileChange> changes, ProfileSync sync = ProfileSync::Durable);
    /// Rewrites the values of `section` as `next` gives them for each key and value (as `Read`
    /// gives it; std::nullopt keeps it), on every line of the key, repeats included, as one
    /// step that no other Brevin process can come between. Nothing of the old file is left
    /// beside the new one: it takes the profile's place by a rename that drops the old file
    /// rather than keeping it as the spare, and the next write makes a new spare. For values
    /// that must not outlive their change, such as passwords kept in the clear. The number of
    /// values changed (0 writes nothing); std::nullopt when the file could not be replaced, or
    /// a value holds a line break, and then nothing changed.
    std::optional<std::size_t>
    Rewrite(std::string_view section,
            const std::function<std::optional<std::string>(std::string_view key,
                                                           std::string_view value)>& next);
    /// Reads `section`/`key` as `Read` does and writes back `next(value)`, as one step that no
    /// other Brevin process can come between. Returns the value read, also when the write
    /// failed (`written`, when given, tells which).
    std::string Update(std::string_view section, std::string_view key, std::string_view fallback,
                       const std::function<std::string(std::string_view)>& next,
                       ProfileSync sync = ProfileSync::Durable, bool* written = nullptr);

    /// The file as last read, kept while the file's identity, size and times stay the same.
    struct Snapshot;

private:
    /// The file as it is now. `writerLockHeld`: the caller holds the writers' lock, so the
    /// file cannot change underneath and no reader's lock is taken.
    [[nodiscard]] std::shared_ptr<const Snapshot> Load(bool writerLockHeld = false) const;
    /// The read-modify-write under the writers' lock. `edit` changes the snapshot's contents and
    /// says whether anything changed. `keepOld`: the old file becomes the spare (else it is
    /// dropped).
    bool Modify(const std::function<bool(Snapshot&)>& edit, ProfileSync sync, bool keepOld = true);

    std::filesystem::path m_path;
    std::chrono::milliseconds m_lockPatience = kDefaultLockPatience;
    mutable std::shared_ptr<const Snapshot> m_cache;
};

} // namespace brevin
