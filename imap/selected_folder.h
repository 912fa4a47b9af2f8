#pragma once

#include "folders/folder_service.h"
#include "imap/imap_parser.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brevin::imap {

/// A message's flags by name: the system flags, then its keywords in bit order.
std::vector<std::string> FlagNames(const MessageFlags& flags,
                                   const std::vector<std::string>& keywords);
/// "(\Seen \Flagged $Forwarded)": a message's flags as FETCH and FLAGS show them.
std::string FlagsText(const MessageFlags& flags, const std::vector<std::string>& keywords);

/// "1:3,7": ascending numbers as a sequence set.
std::string SetText(const std::vector<std::uint32_t>& numbers);
/// The UIDs within `within` ("*" standing for the last UID given) that no message of
/// `snapshot` has: what QRESYNC calls vanished, as a sequence set (empty: none). A UID never
/// given counts too, which RFC 7162 §3.2.10 allows: the client ignores UIDs it does not hold.
std::string VanishedText(const FolderSnapshot& snapshot, const SequenceSet& within);

/// A selected folder as one session sees it: its messages numbered from 1 in UID order, which
/// may lag behind the folder (an expunge is told only when the protocol allows it), the latest
/// snapshot of the folder, and what the client has not been told yet.
class SelectedFolder {
public:
    using Snapshot = FolderService::Snapshot;

    SelectedFolder(std::string name, std::string path, bool readOnly, Snapshot snapshot);

    [[nodiscard]] const std::string& Name() const { return m_name; }
    [[nodiscard]] const std::string& Path() const { return m_path; }
    [[nodiscard]] bool ReadOnly() const { return m_readOnly; }
    [[nodiscard]] const Snapshot& Latest() const { return m_latest; }
    /// Messages as the client numbers them now.
    [[nodiscard]] std::uint32_t Count() const { return static_cast<std::uint32_t>(m_uids.size()); }
    [[nodiscard]] std::uint32_t UidAt(std::uint32_t sequence) const { return m_uids[sequence - 1]; }

    struct Named {
        std::uint32_t sequence = 0;
        std::uint32_t uid = 0;
        const IndexedMessage* message = nullptr; // null: expunged, not told yet
    };
    /// The messages `set` names (sequence numbers, or UIDs when `uid`), ascending. A UID set
    /// names only messages that exist; "*" is the last message's number or UID.
    [[nodiscard]] std::vector<Named> Resolve(const SequenceSet& set, bool uid) const;

    /// A snapshot of the folder (from this session's change or another's). One older than the
    /// latest known (a command's answer overtaken by news of a later change) is ignored: every
    /// change raises the mod-sequence, and a new UIDVALIDITY starts over.
    void Update(Snapshot latest) {
        if (latest->uidValidity != m_latest->uidValidity ||
            latest->highestModSeq >= m_latest->highestModSeq) {
            m_latest = std::move(latest);
        }
    }
    /// What the client has not been told: EXPUNGE (only when `allowExpunge`; VANISHED instead
    /// when `vanished`), EXISTS, and FETCH (FLAGS) for flags others changed, as untagged lines;
    /// the view then matches.
    std::vector<std::string> Report(bool allowExpunge, bool withModSeq, bool vanished);
    /// Flags this session itself just reported (STORE answered them): not told again.
    void Reported(std::uint64_t modSeq) { m_toldModSeq = std::max(m_toldModSeq, modSeq); }

private:
    std::string m_name;
    std::string m_path;
    bool m_readOnly;
    Snapshot m_latest;
    std::vector<std::uint32_t> m_uids; // the client's numbering
    std::uint64_t m_toldModSeq;        // flag changes up to this are known to the client
};

} // namespace brevin::imap
