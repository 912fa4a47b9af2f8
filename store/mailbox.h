#pragma once

#include "base/unique_fd.h"

#include <cstddef>
#include <cstdint>
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
/// marked for deletion are removed by `Expunge`, not before.
class Mailbox {
public:
    Mailbox() = default;
    explicit Mailbox(std::string folderPath);

    [[nodiscard]] bool IsOpen() const { return !m_folder.empty(); }
    [[nodiscard]] std::size_t Count() const { return m_entries.size(); }
    /// Entry `index` (from 0) of the listing taken at opening.
    [[nodiscard]] const MailboxEntry& Entry(std::size_t index) const { return m_entries[index]; }

    struct OpenedMessage {
        UniqueFd fd;            // invalid when the message is gone
        std::uint64_t size = 0; // as the file is now
    };
    /// Opens message `index` for reading.
    [[nodiscard]] OpenedMessage Open(std::size_t index) const;

    /// Marks message `index` for deletion by `Expunge`; marking twice is harmless.
    void Mark(std::size_t index);
    /// Deletes the marked messages. A message already gone (deleted by another session) counts
    /// as deleted. Returns the names of those that could not be removed.
    std::vector<std::string> Expunge();

private:
    [[nodiscard]] std::string PathOf(std::size_t index) const;

    std::string m_folder;
    std::vector<MailboxEntry> m_entries;
    std::vector<std::size_t> m_marked; // in marking order
};

} // namespace brevin
