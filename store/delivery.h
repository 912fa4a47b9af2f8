#pragma once

#include "base/unique_fd.h"
#include "store/message_size.h"
#include "store/profile_file.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brevin {

class UserDirectory;

/// The counter's text as a number: leading white space skipped, one optional "+" or "-", then
/// digits up to the first non-digit (none give 0), wrapping modulo 2^32.
std::uint32_t ParseCounter(std::string_view text);
/// Takes `count` consecutive message numbers from the profile's counter in one durable rewrite
/// of the profile (32-bit, wrapping); returns the first.
std::uint32_t TakeMessageNumbers(ProfileFile& profile, std::uint32_t count = 1);

/// Hands out message numbers from blocks reserved in the profile's counter: one durable rewrite
/// of the profile moves the counter past a whole block, so most numbers cost no write at all.
/// The counter on disk is thus always past every number handed out; what a crash leaves of a
/// block is skipped, never reused. One per thread: it is not shared.
class MessageNumbers {
public:
    static constexpr std::uint32_t kBlock = 4096;

    explicit MessageNumbers(ProfileFile& profile, std::uint32_t block = kBlock)
        : m_profile(profile), m_block(block) {}

    /// `count` consecutive numbers; returns the first. When the profile cannot be written the
    /// numbers are handed out all the same, past every number this object handed out before
    /// (a name never replaces a file; a clash moves past the folder's highest number).
    std::uint32_t Take(std::uint32_t count = 1);
    /// The next number after a name clash in a folder whose highest number is `highest` (-1
    /// for none): the counter runs behind that folder, so it is moved past it first.
    std::uint32_t TakeAfterClash(long long highest);

private:
    /// Reserves a block of at least `count` from a counter of at least `floor`; returns its
    /// first number.
    std::uint32_t Reserve(std::uint32_t count, long long floor);

    ProfileFile& m_profile;
    std::uint32_t m_block;
    std::uint32_t m_next = 0;
    std::uint32_t m_left = 0; // numbers of the block not handed out yet
    long long m_end = 0;      // one past the last number reserved by this object
    bool m_handedOut = false; // m_end holds
};

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

    /// Takes a number and creates the temporary file in `folderPath` (a full path; a missing
    /// folder is created, one level). False when the file cannot be created; the number stays
    /// used either way.
    bool Open(MessageNumbers& numbers, const std::string& folderPath);
    /// The same with a number already taken.
    bool Open(const std::string& folderPath, std::uint32_t number);
    /// False once any write failed (a full disk); the message must then be discarded.
    bool Append(std::span<const char> bytes);
    /// The size a POP3 client will hold of what was appended (as `SIZE=` counts it: without
    /// doubled dots and the final "." line), written or not.
    [[nodiscard]] std::uint64_t ClientSize() const { return m_clientSize.Size(); }
    /// fsync, rename to the final name (taking the next number while the name is taken), fsync
    /// the folder. False on any failure, and then nothing of the message stays on disk.
    /// Committing a committed message does nothing and returns true. `FileMessages` does the
    /// same for many messages at a time.
    bool Commit(MessageNumbers& numbers);
    /// Removes whatever this message left on disk: the temporary file, or the committed one.
    void Discard();

    [[nodiscard]] bool IsOpen() const { return m_fd.Valid(); }
    /// The errno of the first failure (0 for none): ENOSPC or EDQUOT for a full disk.
    [[nodiscard]] int Error() const { return m_error; }
    /// The final path once committed; the intended one before.
    [[nodiscard]] const std::string& Path() const { return m_path; }
    [[nodiscard]] const std::string& Folder() const { return m_folder; }

private:
    friend void FileMessages(MessageNumbers& numbers, std::span<Delivery* const> deliveries,
                             const std::string& journalPath);

    // The steps of a commit, which `FileMessages` takes for many files at a time.
    /// Starts writing the data out without waiting, so that the flushes that follow overlap.
    void StartWriteback() const;
    /// fsync and close; false when the data may not be on disk. A shared copy has nothing of
    /// its own to flush: its data is its source's. `syncNow` false leaves the fsync to the
    /// caller, which flushes the whole file system once for many files, then calls Settle.
    bool Flush(bool syncNow = true);
    /// After a flush of the whole file system: false when this file's data failed to reach the
    /// disk since it was opened. Closes the file.
    bool Settle();
    /// Closes the file after its flush; false (and failed) when either failed.
    bool Closed(bool flushed);
    /// Gives the flushed file its final name; `naming` hears each name before it is tried.
    bool Name(MessageNumbers& numbers,
              const std::function<void(const IncomingMessage&)>& naming = nullptr);
    /// Records errno as the failure, unless an earlier one is recorded. Returns false.
    bool Fail();
    /// Appends the whole data of `source` (open, not yet flushed).
    bool CopyFrom(const IncomingMessage& source);
    /// Makes this a copy of `source` (open, not yet named) in `folder` under `number`: a second
    /// name of the same file where the file system allows, a copy of the bytes otherwise.
    bool ShareOrCopy(const IncomingMessage& source, const std::string& folder,
                     std::uint32_t number);

    UniqueFd m_fd;
    MessageSizeCounter m_clientSize; // recorded with the file, for POP3 listings
    std::string m_folder;
    std::string m_tempPath;
    std::string m_path;
    std::uint32_t m_number = 0;
    bool m_committed = false;
    bool m_failed = false;     // a write failed; only Discard is left
    bool m_shared = false;     // a second name of another message's file
    bool m_madeFolder = false; // Open created the folder: its entry needs a flush too
    int m_error = 0;
};

/// A complete message and the further folders (full paths) that each get a copy of it.
struct Delivery {
    IncomingMessage message;
    std::vector<std::string> copyFolders;
    // The first of the copies' consecutive numbers, when taken before filing; else filing
    // takes them.
    std::optional<std::uint32_t> firstCopyNumber;

    // Set by `FileMessages`.
    bool filed = false;
    int error = 0;          // when not filed: the errno of the failure (ENOSPC: disk full)
    std::string failedPath; // and the file or folder it concerns
    std::vector<IncomingMessage> copies; // committed with the message, in `copyFolders` order
};

/// Files every delivery: makes its copies (creating a missing copy folder, one level, and
/// taking one number per copy unless the delivery brings them; a copy shares the message's
/// file where it can), then flushes every file, then names them all, then flushes each folder
/// once. The journal then commits about as few times for many messages as for one, so
/// messages that finish together are filed together. A delivery any of whose files fails
/// leaves none of them behind (`filed` false); the others are not affected. Blocking file
/// work: the server runs it on a worker.
///
/// No file of the round gets its final name before every file of the round is flushed. With a
/// `journalPath`, the names about to be given are listed there before the first one is, and
/// the list is removed (durably) once every name and folder is flushed: a crash in between
/// leaves the list, and `RollBackUnfinishedFiling` removes those names at the next start.
void FileMessages(MessageNumbers& numbers, std::span<Delivery* const> deliveries,
                  const std::string& journalPath = {});

/// The list of names a round of `FileMessages` writes into the store root.
std::string FilingJournalPath(const std::string& storeRoot);
/// Start-up: removes the files named by a round that a crash interrupted (its sender never
/// heard that it was filed), then the list itself. Returns how many files were removed.
std::size_t RollBackUnfinishedFiling(const std::string& journalPath);

/// Removes every file of filed deliveries again and flushes each folder once: for messages
/// whose sender went away before hearing that they were filed.
void UnfileMessages(std::span<Delivery* const> deliveries);

/// Removes the temporary files of messages whose reception was cut short by a crash or a power
/// cut, in every user's folder. Only for start-up, while no message can be in progress.
/// Returns how many were removed.
std::size_t RemoveAbandonedMessages(const UserDirectory& users);

} // namespace brevin
