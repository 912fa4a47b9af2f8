#pragma once

// A user's IMAP folders on disk. The INBOX is the user's mailbox folder; every other folder is
// a directory inside it, nested as the name is ("Work/2026" is <inbox>/Work/2026), each level
// spelt by DiskLevelName. So INBOX itself has no inferiors: its subdirectories are the
// top-level folders. Subscriptions and special uses live in <inbox>/.brevin/folders.

#include "store/folder_names.h"
#include "store/folder_state.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// The most folders a user may have, INBOX not counted.
inline constexpr std::size_t kMaxFolders = 1000;

/// One folder of a listing.
struct FolderInfo {
    std::string name; // UTF-8, levels joined by "/"; "INBOX" for the INBOX
    bool hasChildren = false;
    bool noselect = false; // kept only for its children after a DELETE
    bool subscribed = false;
    SpecialUse use = SpecialUse::None;
};

/// Why a folder operation failed, as RFC 5530 response codes.
enum class FolderError { None, AlreadyExists, NonExistent, Cannot, Limit, Unavailable };

struct FolderResult {
    FolderError error = FolderError::None;
    std::string text; // an IMAP NO text with its code, "[NONEXISTENT] ..."; empty on success

    explicit operator bool() const { return error == FolderError::None; }
};

/// The folders of one user. Calls block on the disk and on another session's change, so the
/// server makes them on a worker thread; not thread-safe: one thread at a time per tree. Several
/// sessions of the same user may each have one: folder changes are single renames and directory
/// calls, and every change is made under an flock on <inbox>/.brevin. Names are UTF-8 (decoded from
/// the wire by the caller); "INBOX" is matched in any case. Nothing below the INBOX folder is
/// reached through a symbolic link.
class FolderTree {
public:
    explicit FolderTree(std::string inboxPath);

    /// Every folder: INBOX first, then the others in tree order (a folder, then its children),
    /// siblings in byte order of their names. Directories that no folder name maps to are
    /// left out; so is what cannot be read.
    [[nodiscard]] std::vector<FolderInfo> List() const;
    /// The subscribed names, existing or not (RFC 9051 §6.3.7), in byte order.
    [[nodiscard]] std::vector<std::string> Subscriptions() const;
    /// The directory of a selectable folder, the INBOX's path for INBOX; nullopt for a folder
    /// that does not exist or is \Noselect.
    [[nodiscard]] std::optional<std::string> PathOf(std::string_view name) const;

    /// Makes a folder and any missing parents. One trailing "/" is allowed (RFC 9051 §6.3.4).
    /// A \Noselect folder of that name becomes selectable again.
    FolderResult Create(std::string_view name);
    /// Deletes a folder as RFC 9051 §6.3.5 says: its messages, its metadata and its directory;
    /// one with children loses its messages and becomes \Noselect instead. \Noselect parents
    /// left without children go too. Subscriptions stay.
    FolderResult Delete(std::string_view name);
    /// Renames a folder with all its children, making missing parents of the new name.
    /// Renaming INBOX moves its messages (the files only, not its index) into a new folder
    /// and leaves INBOX empty. Subscriptions and special uses follow the folders.
    FolderResult Rename(std::string_view from, std::string_view to);
    /// Subscribing to a name that does not exist is allowed; unsubscribing one that is not
    /// subscribed succeeds.
    FolderResult Subscribe(std::string_view name);
    FolderResult Unsubscribe(std::string_view name);
    /// At a user's first IMAP login: makes Sent, Drafts, Trash and Junk with their special
    /// uses and subscribes them. Done once per user; later calls change nothing, so a folder
    /// the user deleted stays deleted. A folder of such a name that already exists just gets
    /// the use.
    FolderResult EnsureSpecialUse();

private:
    FolderResult RenameInbox(const std::string& to);

    std::string m_inbox;
};

} // namespace brevin
