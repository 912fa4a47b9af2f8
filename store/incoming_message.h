#pragma once

#include "base/unique_fd.h"
#include "store/message_size.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace brevin {

class MessageNumbers;

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
    /// Gives the flushed file its final name; `naming` hears each name before it is tried.
    bool Name(MessageNumbers& numbers,
              const std::function<void(const IncomingMessage&)>& naming = nullptr);
    /// Makes this a copy of `source` (open, not yet named) in `folder` under `number`: a second
    /// name of the same file where the file system allows, a copy of the bytes otherwise.
    bool ShareOrCopy(const IncomingMessage& source, const std::string& folder,
                     std::uint32_t number);

    // What a filing round needs to know of each file.
    /// A write failed: only Discard is left.
    [[nodiscard]] bool Failed() const { return m_failed; }
    [[nodiscard]] bool Committed() const { return m_committed; }
    /// A second name of another message's file, which holds no descriptor of its own.
    [[nodiscard]] bool Shared() const { return m_shared; }
    /// Open created the folder: its entry in the parent needs a flush too.
    [[nodiscard]] bool MadeFolder() const { return m_madeFolder; }
    /// The open file, until its flush: for flushing its whole file system at once.
    [[nodiscard]] int Descriptor() const { return m_fd.Get(); }
    /// The temporary name until the file is named; empty after.
    [[nodiscard]] const std::string& TemporaryPath() const { return m_tempPath; }

private:
    /// Closes the file after its flush; false (and failed) when either failed.
    bool Closed(bool flushed);
    /// Records errno as the failure, unless an earlier one is recorded. Returns false.
    bool Fail();
    /// Appends the whole data of `source` (open, not yet flushed).
    bool CopyFrom(const IncomingMessage& source);

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

} // namespace brevin
