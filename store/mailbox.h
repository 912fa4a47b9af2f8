#pragma once

#include "base/unique_fd.h"
#include "store/folder_index.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brevin {

/// One message of a mailbox listing.
struct MailboxEntry {
    std::string name;   // file name, without the folder; stable for the message's life
    std::uint64_t size; // bytes as stored
};

/// The messages of a mailbox folder (a full path), ordered by message number, then by name for
/// names without one. Files still being written are never listed. Empty when the folder is
/// missing.
std::vector<MailboxEntry> ListMailbox(const std::string& folderPath);

/// A user's mailbox as one POP3 session sees it: the INBOX's index at the moment it was opened,
/// so message numbers stay what the client saw even while other sessions deliver or delete.
/// Messages marked for deletion are left out of the counts and removed at QUIT, not before.
class Mailbox {
public:
    Mailbox() = default;
    /// The folder as its index describes it now (indexing what is new).
    explicit Mailbox(const std::string& folderPath);
    Mailbox(std::string folderPath, std::shared_ptr<const FolderSnapshot> snapshot);

    /// Messages in the listing taken at opening, marked ones included: the numbers run to it.
    [[nodiscard]] std::size_t Count() const { return m_marked.size(); }
    /// Entry `index` (from 0) of the listing.
    [[nodiscard]] const IndexedMessage& Entry(std::size_t index) const {
        return m_snapshot->messages[index];
    }
    /// The message's size as a POP3 client will hold it (no final "." line, no stuffing
    /// dots), from the index.
    [[nodiscard]] std::uint64_t ClientSize(std::size_t index) const { return Entry(index).size; }

    /// Messages not marked, and their client sizes added up.
    [[nodiscard]] std::size_t LiveCount() const { return m_marked.size() - m_markedCount; }
    [[nodiscard]] std::uint64_t LiveSize() const;

    struct OpenedMessage {
        UniqueFd fd;            // invalid when the message is gone
        std::uint64_t size = 0; // bytes as stored now
    };
    /// Opens message `index` for reading.
    [[nodiscard]] OpenedMessage Open(std::size_t index) const;

    [[nodiscard]] bool IsMarked(std::size_t index) const { return m_marked[index]; }
    /// Marks message `index` for deletion.
    void Mark(std::size_t index);
    /// Takes every mark back.
    void UnmarkAll();
    /// The file names of the marked messages.
    [[nodiscard]] std::vector<std::string> MarkedNames() const;
    [[nodiscard]] const std::string& Folder() const { return m_folder; }

private:
    std::string m_folder;
    std::shared_ptr<const FolderSnapshot> m_snapshot;
    std::vector<bool> m_marked;
    std::size_t m_markedCount = 0;
};

/// Deletes the named message files of a folder and takes them out of its index. A message
/// already gone (deleted by another session) counts as deleted. Returns the names of those that
/// could not be removed. Blocking file work.
std::vector<std::string> RemoveMessages(FolderIndex& index, const std::vector<std::string>& names);

} // namespace brevin
