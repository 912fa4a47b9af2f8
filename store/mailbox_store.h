#pragma once

#include "store/profile_file.h"

#include <cstdint>
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

struct Delivery;

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
    /// The same with a number already taken.
    bool Open(const std::string& folderPath, std::uint32_t number);
    /// False once any write failed (a full disk); the message must then be discarded.
    bool Append(std::span<const char> bytes);
    /// fsync, rename to the final name (taking the next number while the name is taken), fsync
    /// the folder. False on any failure, and then nothing of the message stays on disk.
    /// Committing a committed message does nothing and returns true. `FileMessages` does the
    /// same for many messages at a time.
    bool Commit(ProfileFile& profile);
    /// Removes whatever this message left on disk: the temporary file, or the committed one.
    void Discard();

    [[nodiscard]] bool IsOpen() const { return m_fd >= 0; }
    /// The final path once committed; the intended one before.
    [[nodiscard]] const std::string& Path() const { return m_path; }
    [[nodiscard]] const std::string& Folder() const { return m_folder; }

private:
    friend void FileMessages(ProfileFile& profile, std::span<Delivery* const> deliveries);

    // The steps of a commit, which `FileMessages` takes for many files at a time.
    /// Starts writing the data out without waiting, so that the flushes that follow overlap.
    void StartWriteback() const;
    /// fsync and close; false when the data may not be on disk.
    bool Flush();
    /// Gives the flushed file its final name.
    bool Name(ProfileFile& profile);
    /// Appends the whole data of `source` (open, not yet flushed).
    bool CopyFrom(const IncomingMessage& source);

    int m_fd = -1;
    std::string m_folder;
    std::string m_tempPath;
    std::string m_path;
    std::uint32_t m_number = 0;
    bool m_committed = false;
    bool m_failed = false; // a write failed; only Discard is left
};

/// A complete message and the further folders (full paths) that each get a copy of it.
struct Delivery {
    IncomingMessage message;
    std::vector<std::string> copyFolders;

    // Set by `FileMessages`.
    bool filed = false;
    std::vector<IncomingMessage> copies; // committed with the message, in `copyFolders` order
};

/// Files every delivery: makes its copies (creating a missing copy folder, one level, and
/// taking one number per copy), then flushes all the files together, names them, and flushes
/// each folder once. A round of flushes costs about as much for many files as for one, so
/// messages that finish together are filed together. A delivery any of whose files fails
/// leaves none of them behind (`filed` false); the others are not affected.
void FileMessages(ProfileFile& profile, std::span<Delivery* const> deliveries);

/// Removes the temporary files of messages whose reception was cut short by a crash or a power
/// cut, in every user's folder. Only for start-up, while no message can be in progress.
/// Returns how many were removed.
std::size_t RemoveAbandonedMessages(const ProfileFile& profile);

} // namespace brevin
