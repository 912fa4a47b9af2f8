#pragma once

// What a crash can leave of mail on its way in, and how start-up takes it back: no sender that
// was not told a message was filed finds it filed, and no half-written file stays behind.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace brevin {

class UserDirectory;

/// The list of names a filing round is about to give, written before the first of them: one
/// line "DEVICE INODE PATH" per name. A name is removed at start-up only while it still names
/// that very file, so a name that turned out to be another message's is never touched.
class FilingJournal {
public:
    /// No list is kept when `path` is empty.
    explicit FilingJournal(std::string path) : m_path(std::move(path)) {}
    FilingJournal(const FilingJournal&) = delete;
    FilingJournal& operator=(const FilingJournal&) = delete;
    ~FilingJournal();

    /// Adds the name `path` that the file now called `tempPath` is about to get. The text
    /// reaches the page cache at once, which a killed process leaves behind; a power cut is
    /// not what it is for.
    void Add(const std::string& path, const std::string& tempPath);
    /// Every name is given: the list goes. Returns the folder whose flush makes that last (it
    /// is flushed with the mailbox folders, before anyone hears 250), or nothing.
    std::optional<std::string> Finish();

private:
    std::string m_path;
    int m_fd = -1;
};

/// The list of names a round of `FileMessages` writes into the store root.
std::string FilingJournalPath(const std::string& storeRoot);
/// Start-up: removes the files named by a round that a crash interrupted (its sender never
/// heard that it was filed), then the list itself. Returns how many files were removed.
std::size_t RollBackUnfinishedFiling(const std::string& journalPath);

/// Removes the temporary files of messages whose reception was cut short by a crash or a power
/// cut, in every user's folder. Only for start-up, while no message can be in progress.
/// Returns how many were removed.
std::size_t RemoveAbandonedMessages(const UserDirectory& users);

} // namespace brevin
