#pragma once

#include "store/profile_file.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brevin {

/// `folder` + "/MSG%05lu.bvn".
std::string MessagePath(const std::string& folder, std::uint32_t number);

/// One message of a mailbox listing.
struct MailboxEntry {
    std::string name;   // file name, without the folder
    std::uint64_t size; // bytes, the final CR LF "." CR LF included
};

/// The messages of a mailbox folder (a full path): regular files whose names end in ".bvn"
/// in any letter case, ordered by message number, then by name for names without one.
/// Files still being written are never listed. Empty when the folder is missing.
std::vector<MailboxEntry> ListMailbox(const std::string& folderPath);

/// Counts the messages of a user's mailbox (folder relative to the store root) and measures
/// the first one. False when the folder is missing or holds no message.
bool ScanMailbox(const ProfileFile& profile, const std::string& folder, int& count,
                 std::uint64_t& firstSize);
/// Finds message `n` (from 1) of a user's mailbox. False when there is none.
bool FindMessage(const ProfileFile& profile, long n, const std::string& folder, std::string& name,
                 std::uint64_t& size);

/// A message file being written: invisible (a temporary name not ending in ".bvn") until
/// `Commit`, which makes it durable and gives it its `MSG…bvn` name without ever replacing an
/// existing file. Destroying an uncommitted message removes its temporary file.
class IncomingMessage {
public:
    IncomingMessage() = default;
    ~IncomingMessage();
    IncomingMessage(IncomingMessage&& other) noexcept;
    IncomingMessage& operator=(IncomingMessage&& other) noexcept;
    IncomingMessage(const IncomingMessage&) = delete;
    IncomingMessage& operator=(const IncomingMessage&) = delete;

    /// Takes a number from the profile and creates the temporary file in `folderPath` (a full
    /// path; the folder is not created). False when the file cannot be created; the number
    /// stays used either way.
    bool Open(ProfileFile& profile, const std::string& folderPath);
    /// False once any write failed (a full disk); the message must then be discarded.
    bool Append(std::span<const char> bytes);
    /// fsync, rename to the final name (taking the next number while the name is taken), fsync
    /// the folder. False on any failure, and then nothing of the message stays on disk.
    /// Committing a committed message does nothing and returns true.
    bool Commit(ProfileFile& profile);
    /// Removes whatever this message left on disk: the temporary file, or the committed one.
    void Discard();

    [[nodiscard]] bool IsOpen() const { return m_fd >= 0; }
    /// The final path once committed; the intended one before.
    [[nodiscard]] const std::string& Path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_folder;
    std::string m_tempPath;
    std::string m_path;
    std::uint32_t m_number = 0;
    bool m_committed = false;
    bool m_failed = false; // a write failed; only Discard is left
};

/// Copies the committed message at `sourcePath` into `folderPath` the same way (temporary
/// name, fsync, rename without replacing, folder fsync), taking its own number. A missing
/// `folderPath` is created first (one level), as the copy for a further recipient always does.
/// Returns the final path, or nothing on failure (nothing left behind).
std::optional<std::string> CopyMessage(ProfileFile& profile, const std::string& sourcePath,
                                       const std::string& folderPath);

} // namespace brevin
