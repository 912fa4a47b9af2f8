#pragma once

#include "base/unique_fd.h"

#include <cstddef>
#include <cstdint>
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

/// A user's mailbox as one POP3 session sees it: listed once when it is opened, so message
/// numbers stay what the client saw even while other sessions deliver or delete. Messages
/// marked for deletion are left out of the counts and removed by `Expunge`, not before.
class Mailbox {
public:
    Mailbox() = default;
    explicit Mailbox(std::string folderPath);

    /// Messages in the listing taken at opening, marked ones included: the numbers run to it.
    [[nodiscard]] std::size_t Count() const { return m_entries.size(); }
    /// Entry `index` (from 0) of the listing.
    [[nodiscard]] const MailboxEntry& Entry(std::size_t index) const { return m_entries[index]; }
    /// The message's size as a POP3 client will hold it (no final "." line, no stuffing
    /// dots): recorded when it was filed, or measured once for a message that has no record.
    [[nodiscard]] std::uint64_t ClientSize(std::size_t index) const;

    /// Messages not marked, and their client sizes added up.
    [[nodiscard]] std::size_t LiveCount() const { return m_entries.size() - m_markedCount; }
    [[nodiscard]] std::uint64_t LiveSize() const;

    struct OpenedMessage {
        UniqueFd fd;            // invalid when the message is gone
        std::uint64_t size = 0; // bytes as stored now
    };
    /// Opens message `index` for reading.
    [[nodiscard]] OpenedMessage Open(std::size_t index) const;

    [[nodiscard]] bool IsMarked(std::size_t index) const { return m_marked[index]; }
    /// Marks message `index` for deletion by `Expunge`.
    void Mark(std::size_t index);
    /// Takes every mark back.
    void UnmarkAll();
    /// Deletes the marked messages. A message already gone (deleted by another session) counts
    /// as deleted. Returns the names of those that could not be removed.
    std::vector<std::string> Expunge();

private:
    [[nodiscard]] std::string PathOf(std::size_t index) const;

    std::string m_folder;
    std::vector<MailboxEntry> m_entries;
    mutable std::vector<std::optional<std::uint64_t>> m_clientSizes; // filled as needed
    std::vector<bool> m_marked;
    std::size_t m_markedCount = 0;
};

} // namespace brevin
