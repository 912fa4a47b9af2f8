#pragma once

#include "base/unique_fd.h"
#include "store/message_size.h"
#include "store/profile_file.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace brevin {

class UserDirectory;

/// The counter's text as a number: leading white space skipped, one optional "+" or "-", then
/// digits up to the first non-digit (none give 0), wrapping modulo 2^32.
std::uint32_t ParseCounter(std::string_view text);
/// Takes `count` consecutive message numbers from the profile's counter in one rewrite of the
/// profile (32-bit, wrapping); returns the first.
std::uint32_t TakeMessageNumbers(ProfileFile& profile, std::uint32_t count = 1);

/// The path a message of that number gets in `folder` (for tools that fill a mailbox).
std::string MessagePath(const std::string& folder, std::uint32_t number);

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

    [[nodiscard]] bool IsOpen() const { return m_fd.Valid(); }
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

    UniqueFd m_fd;
    MessageSizeCounter m_clientSize; // recorded with the file, for POP3 listings
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
std::size_t RemoveAbandonedMessages(const UserDirectory& users);

} // namespace brevin
