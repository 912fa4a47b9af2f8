#pragma once

// A folder's index: the UID, flags, mod-sequence, date and size of every message, so that a
// client that comes back (or a second device) finds the mailbox as it left it. It lives in the
// folder's metadata directory as one text file that grows by appended records and is compacted
// by rename. Every message file stays what it was: flags are the folder's, never the file's,
// so one file hard-linked into several folders keeps separate flags in each.

#include "base/unique_fd.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// IMAP's system flags, one bit each.
namespace system_flag {
inline constexpr std::uint8_t kSeen = 1;
inline constexpr std::uint8_t kAnswered = 2;
inline constexpr std::uint8_t kFlagged = 4;
inline constexpr std::uint8_t kDeleted = 8;
inline constexpr std::uint8_t kDraft = 16;
inline constexpr std::uint8_t kAll = 31;
} // namespace system_flag

struct MessageFlags {
    std::uint8_t system = 0;    // system_flag bits
    std::uint64_t keywords = 0; // bit i: the folder's keyword i
    bool operator==(const MessageFlags&) const = default;
};

struct IndexedMessage {
    std::uint32_t uid = 0;
    MessageFlags flags;
    std::uint64_t modSeq = 0;
    std::int64_t internalDate = 0; // seconds since the epoch
    std::uint64_t size = 0;        // as a client holds it (POP3 and IMAP agree)
    std::string name;              // the file's, within the folder
};

/// A folder's index at one moment. Never changed once handed out, so sessions share it.
struct FolderSnapshot {
    std::uint32_t uidValidity = 0;
    std::uint32_t uidNext = 1;
    std::uint64_t highestModSeq = 0;
    std::vector<std::string> keywords;    // the names of the keyword bits, in bit order
    std::vector<IndexedMessage> messages; // ascending UID
    std::uint64_t totalSize = 0;          // the messages' sizes together
    /// The UIDs are on disk. False for a folder whose index cannot be written: its messages can
    /// be listed, but no client may be shown a UID.
    bool durable = false;

    /// The message with that UID, or null.
    [[nodiscard]] const IndexedMessage* Find(std::uint32_t uid) const;
};

/// What changed from one snapshot of a folder to a later one.
struct FolderChanges {
    bool newValidity = false;            // the UIDs start over: everything is new
    std::vector<std::uint32_t> expunged; // ascending
    std::vector<std::uint32_t> added;    // ascending
    std::vector<std::uint32_t> flagged;  // kept, with a new mod-sequence
};
FolderChanges CompareSnapshots(const FolderSnapshot& before, const FolderSnapshot& after);

/// New flags for one message (they replace the old ones).
struct FlagChange {
    std::uint32_t uid = 0;
    MessageFlags flags;
};

/// The index's text as records, for the reader and its fuzz target: the snapshot they describe
/// and whether any line was damaged (skipped). A text without a valid first line describes
/// nothing (`uidValidity` 0).
struct ReadIndex {
    FolderSnapshot snapshot;
    std::timespec scanned{}; // the folder's modification time at its last full scan
    std::size_t records = 0; // lines that count, to tell when compacting pays
    bool damaged = false;
};
ReadIndex ReadIndexText(std::string_view text);

/// One folder's index, kept up to date with the folder. Blocking file work, used by one thread
/// at a time (the store's worker); the snapshots it hands out may go anywhere.
///
/// The rules it keeps: a UID is on disk before any snapshot shows it, and never given twice
/// under one UIDVALIDITY; a flag change is written (not flushed) before its call returns, so a
/// killed server keeps it; files that appear in the folder get UIDs in listing order at the
/// next look, files that disappear leave the index. A missing or damaged index is rebuilt from
/// the folder: known files keep their UIDs where the records say so; an index whose first line
/// is lost starts over with a new UIDVALIDITY.
class FolderIndex {
public:
    static constexpr std::size_t kMaxKeywords = 64;

    explicit FolderIndex(std::string folderPath);
    FolderIndex(const FolderIndex&) = delete;
    FolderIndex& operator=(const FolderIndex&) = delete;

    /// Brings the index up to date with the folder: cheap (two stat calls) when the folder has
    /// not changed since the last look. A missing folder is empty, and nothing is created for it.
    std::shared_ptr<const FolderSnapshot> Refresh();

    /// Replaces the flags of the messages named (unknown UIDs are skipped), each with a new
    /// mod-sequence. False with errno set when the index cannot be written; then nothing changed.
    bool SetFlags(std::span<const FlagChange> changes);
    /// The bit of keyword `name` (as given: keywords compare without regard to case), defining it
    /// when new; nothing when the folder has kMaxKeywords already or the index cannot be written.
    std::optional<unsigned> Keyword(std::string_view name);
    /// Removes the files of the messages named and their entries. Returns the UIDs that left the
    /// index (a file already gone counts as removed).
    std::vector<std::uint32_t> Expunge(std::span<const std::uint32_t> uids);
    /// Files already removed (by POP3, say): their entries go.
    void Forget(std::span<const std::string> names);
    /// Indexes files just named in the folder, in this order, durably; returns their UIDs (0 for
    /// a name that is no file). `dates` (seconds, one per name, or empty) override the files'
    /// own times as internal dates.
    std::vector<std::uint32_t> Add(std::span<const std::string> names,
                                   std::span<const std::int64_t> dates = {});

    /// The last snapshot, without looking at the folder.
    [[nodiscard]] std::shared_ptr<const FolderSnapshot> Current() const { return m_published; }
    [[nodiscard]] const std::string& Folder() const { return m_folder; }

private:
    /// Reads the index file, or starts one; true when it can be written.
    bool Load();
    /// Lists the folder and records what came and went since the index last saw it.
    void Scan(const std::timespec& folderTime);
    /// Appends records (one write, then a data flush when `flush`) and applies them. False with
    /// errno set when they could not be written; nothing is applied then.
    bool Append(const std::string& records, bool flush);
    /// Rewrites the index with only the live records, when the dead ones dominate.
    void CompactIfWorthIt();
    void Publish();
    /// The record that adds file `name` with the next UID, or empty when it is no regular file.
    std::string AddRecord(const std::string& name, std::optional<std::int64_t> date);

    std::string m_folder;
    std::string m_indexPath;
    UniqueFd m_fd;
    FolderSnapshot m_state;
    std::shared_ptr<const FolderSnapshot> m_published;
    std::timespec m_scanned{};  // the folder's time at the last scan
    bool m_scanTrusted = false; // that time was old enough to rule out changes within its tick
    bool m_loaded = false;
    bool m_changed = true; // m_state differs from m_published
    std::size_t m_records = 0;
};

} // namespace brevin
