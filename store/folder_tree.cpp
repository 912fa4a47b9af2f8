#include "store/folder_tree.h"

#include "base/unique_fd.h"
#include "store/durable_file.h"
#include "store/folder_state.h"
#include "store/store_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brevin {

namespace {

constexpr const char* kMetadataDir = layout::kMetadataName.data(); // a literal: terminated
constexpr const char* kStateFile = ".brevin/folders";
// Marks a folder kept only for its children. Hidden, so never a folder or a message, and
// inside the directory, so it moves with every rename.
constexpr const char* kNoselectMarker = ".noselect";
// A folder being deleted first takes this hidden name, so it leaves listings in one rename.
constexpr std::string_view kDeletingPrefix = ".deleting.";

FolderResult Ok() {
    return {};
}

FolderResult Fail(FolderError error, std::string_view text) {
    return {error, std::string(text)};
}

/// The result for a failed system call, from errno.
FolderResult IoFailure() {
    if (errno == EEXIST || errno == ENOTDIR || errno == ELOOP) {
        return Fail(FolderError::Cannot, "[CANNOT] Something that is not a folder is in the way");
    }
    return Fail(FolderError::Unavailable,
                std::string("[UNAVAILABLE] Folder storage failed: ") + std::strerror(errno));
}

FolderResult NameFailure(FolderNameProblem problem) {
    const bool limit = problem == FolderNameProblem::LevelTooLong ||
                       problem == FolderNameProblem::NameTooLong ||
                       problem == FolderNameProblem::TooDeep;
    return Fail(limit ? FolderError::Limit : FolderError::Cannot, FolderNameProblemText(problem));
}

FolderResult NoSuchFolder() {
    return Fail(FolderError::NonExistent, "[NONEXISTENT] No such folder");
}

std::string Normalized(std::string_view name) {
    return IsInbox(name) ? std::string("INBOX") : std::string(name);
}

/// The directory names of a checked folder name, one per level.
std::vector<std::string> DiskLevels(std::string_view name) {
    std::vector<std::string> levels;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(name.find(kFolderSeparator, start), name.size());
        levels.push_back(DiskLevelName(name.substr(start, end - start)));
        if (end == name.size()) {
            return levels;
        }
        start = end + 1;
    }
}

UniqueFd Duplicate(int fd) {
    return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

UniqueFd OpenDirectoryAt(int dirFd, const std::string& name) {
    return UniqueFd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

/// The folder of the first `count` levels below `root`; invalid, with errno, when missing.
UniqueFd OpenLevels(int root, const std::vector<std::string>& levels, std::size_t count) {
    UniqueFd fd = Duplicate(root);
    for (std::size_t i = 0; i < count && fd; ++i) {
        fd = OpenDirectoryAt(fd.Get(), levels[i]);
    }
    return fd;
}

bool Exists(int dirFd, const char* name) {
    struct stat status {};
    return ::fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool IsNoselect(int folderFd) {
    return Exists(folderFd, kNoselectMarker);
}

/// The names in a directory but "." and ".."; nullopt with errno when it cannot be read.
std::optional<std::vector<std::string>> EntryNames(int dirFd) {
    UniqueFd copy = Duplicate(dirFd);
    DIR* dir = copy ? ::fdopendir(copy.Get()) : nullptr;
    if (dir == nullptr) {
        return std::nullopt;
    }
    copy.Release();
    ::rewinddir(dir); // the copy shares its offset with `dirFd`, which may have been read
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    if (error != 0) {
        return std::nullopt;
    }
    return names;
}

struct ChildFolder {
    std::string level; // UTF-8
    std::string disk;
};

/// The folders directly inside a directory, by level name. At the top, a directory spelt
/// like INBOX is left out: it would give INBOX a second meaning.
std::vector<ChildFolder> ChildFolders(int dirFd, bool top) {
    std::vector<ChildFolder> children;
    for (std::string& disk : EntryNames(dirFd).value_or(std::vector<std::string>{})) {
        auto level = LevelFromDisk(disk);
        struct stat status {};
        if (!level || (top && IsInbox(*level)) ||
            ::fstatat(dirFd, disk.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(status.st_mode)) {
            continue;
        }
        children.push_back({std::move(*level), std::move(disk)});
    }
    std::sort(children.begin(), children.end(),
              [](const ChildFolder& a, const ChildFolder& b) { return a.level < b.level; });
    return children;
}

/// Appends the folders below `dirFd` in tree order.
void Walk(int dirFd, const std::string& prefix, std::vector<FolderInfo>& out) {
    for (const ChildFolder& child : ChildFolders(dirFd, prefix.empty())) {
        std::string name = prefix.empty() ? child.level : prefix + kFolderSeparator + child.level;
        // Deeper or longer than a client could name it: not a folder, nor is what is below.
        if (CheckFolderName(name) != FolderNameProblem::Ok) {
            continue;
        }
        const UniqueFd fd = OpenDirectoryAt(dirFd, child.disk);
        if (!fd) {
            continue;
        }
        const std::size_t at = out.size();
        out.push_back({std::move(name), false, IsNoselect(fd.Get()), false, SpecialUse::None});
        Walk(fd.Get(), out[at].name, out);
        out[at].hasChildren = out.size() > at + 1;
    }
}

std::size_t CountFolders(int inboxFd) {
    std::vector<FolderInfo> folders;
    Walk(inboxFd, "", folders);
    return folders.size();
}

/// Removes the directory `name` in `dirFd` with everything in it, never following a link.
bool RemoveTree(int dirFd, const std::string& name) {
    const UniqueFd fd = OpenDirectoryAt(dirFd, name);
    if (!fd) {
        return errno == ENOENT;
    }
    const auto names = EntryNames(fd.Get());
    if (!names) {
        return false;
    }
    for (const std::string& entry : *names) {
        struct stat status {};
        if (::fstatat(fd.Get(), entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue; // gone meanwhile
        }
        const bool removed = S_ISDIR(status.st_mode) ? RemoveTree(fd.Get(), entry)
                                                     : ::unlinkat(fd.Get(), entry.c_str(), 0) == 0;
        if (!removed && errno != ENOENT) {
            return false;
        }
    }
    return ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

/// Removes a folder's messages and metadata, leaving its child folders.
bool EmptyFolder(int folderFd) {
    const auto names = EntryNames(folderFd);
    if (!names) {
        return false;
    }
    for (const std::string& name : *names) {
        struct stat status {};
        if (layout::IsMessageName(name) &&
            ::fstatat(folderFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(status.st_mode) && ::unlinkat(folderFd, name.c_str(), 0) != 0 &&
            errno != ENOENT) {
            return false;
        }
    }
    return RemoveTree(folderFd, kMetadataDir);
}

/// Deletes the folder `disk` in `parentFd` with everything in it. A crash leaves either the
/// folder or a hidden leftover that the next delete of that name clears.
bool RemoveFolder(int parentFd, const std::string& disk) {
    const std::string hidden = std::string(kDeletingPrefix) + disk;
    return RemoveTree(parentFd, hidden) &&
           ::renameat(parentFd, disk.c_str(), parentFd, hidden.c_str()) == 0 &&
           ::fsync(parentFd) == 0 && RemoveTree(parentFd, hidden);
}

bool RenameNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    // Without the flag the caller's check that `to` is free stands; the lock keeps other
    // sessions of the user from taking the name meanwhile.
    return ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0;
}

/// Opens the folder of the first `count` levels, making those that are missing, each durable
/// in its parent before the next. Refuses with [LIMIT] when that would pass kMaxFolders.
FolderResult MakeLevels(int inboxFd, const std::vector<std::string>& levels, std::size_t count,
                        UniqueFd& folder) {
    folder = Duplicate(inboxFd);
    std::size_t existing = 0;
    for (; existing < count; ++existing) {
        UniqueFd next = OpenDirectoryAt(folder.Get(), levels[existing]);
        if (!next) {
            break;
        }
        folder = std::move(next);
    }
    if (!folder) {
        return IoFailure();
    }
    if (existing == count) {
        return Ok();
    }
    if (errno != ENOENT) {
        return IoFailure();
    }
    if (CountFolders(inboxFd) + (count - existing) > kMaxFolders) {
        return Fail(FolderError::Limit, "[LIMIT] Too many folders: 1000 at most");
    }
    for (std::size_t i = existing; i < count; ++i) {
        if (::mkdirat(folder.Get(), levels[i].c_str(), layout::kFolderMode) != 0 ||
            ::fsync(folder.Get()) != 0) {
            return IoFailure();
        }
        folder = OpenDirectoryAt(folder.Get(), levels[i]);
        if (!folder) {
            return IoFailure();
        }
    }
    return Ok();
}

/// Create's work, with the lock held.
FolderResult CreateFolder(int inboxFd, std::string_view name) {
    if (const auto problem = CheckFolderName(name); problem != FolderNameProblem::Ok) {
        return NameFailure(problem);
    }
    if (IsInbox(name)) {
        return Fail(FolderError::AlreadyExists, "[ALREADYEXISTS] INBOX always exists");
    }
    const std::vector<std::string> levels = DiskLevels(name);
    if (const UniqueFd existing = OpenLevels(inboxFd, levels, levels.size()); existing) {
        if (!IsNoselect(existing.Get())) {
            return Fail(FolderError::AlreadyExists, "[ALREADYEXISTS] Folder exists already");
        }
        // Clear what an interrupted delete may have left before messages show again.
        if (!EmptyFolder(existing.Get()) || ::unlinkat(existing.Get(), kNoselectMarker, 0) != 0 ||
            ::fsync(existing.Get()) != 0) {
            return IoFailure();
        }
        return Ok();
    }
    UniqueFd made;
    return MakeLevels(inboxFd, levels, levels.size(), made);
}

/// Deletes \Noselect folders that have no children left, from the deepest of `levels` up.
void PruneEmptyNoselect(int inboxFd, std::vector<std::string> levels) {
    while (!levels.empty()) {
        const UniqueFd parent = OpenLevels(inboxFd, levels, levels.size() - 1);
        const UniqueFd folder = parent ? OpenDirectoryAt(parent.Get(), levels.back()) : UniqueFd();
        if (!folder || !IsNoselect(folder.Get()) || !ChildFolders(folder.Get(), false).empty() ||
            !RemoveFolder(parent.Get(), levels.back())) {
            return;
        }
        levels.pop_back();
    }
}

/// Reads the state file; a missing one is an empty state.
FolderResult ReadState(int inboxFd, FolderState& state) {
    state = {};
    const UniqueFd fd(::openat(inboxFd, kStateFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        return errno == ENOENT ? Ok() : IoFailure();
    }
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd.Get(), buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (n < 0) {
        return IoFailure();
    }
    auto parsed = ParseFolderState(text);
    if (!parsed) {
        return Fail(FolderError::Unavailable,
                    "[UNAVAILABLE] The folder list is in a format this server does not know");
    }
    state = std::move(*parsed);
    return Ok();
}

/// Moves INBOX's messages into a new folder `to`, with the lock held. Each message moves in
/// one rename, so a crash leaves every message in one folder or the other.
FolderResult MoveInboxMessages(int inboxFd, const std::string& to) {
    const std::vector<std::string> levels = DiskLevels(to);
    if (OpenLevels(inboxFd, levels, levels.size())) {
        return Fail(FolderError::AlreadyExists, "[ALREADYEXISTS] The new name exists already");
    }
    UniqueFd folder;
    if (FolderResult made = MakeLevels(inboxFd, levels, levels.size(), folder); !made) {
        return made;
    }
    const auto names = EntryNames(inboxFd);
    if (!names) {
        return IoFailure();
    }
    for (const std::string& name : *names) {
        struct stat status {};
        if (!layout::IsMessageName(name) ||
            ::fstatat(inboxFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode)) {
            continue;
        }
        if (::renameat(inboxFd, name.c_str(), folder.Get(), name.c_str()) != 0 && errno != ENOENT) {
            return IoFailure();
        }
    }
    // The new entries first: until they are on disk, the old ones must stay.
    if (::fsync(folder.Get()) != 0 || ::fsync(inboxFd) != 0) {
        return IoFailure();
    }
    return Ok();
}

/// Holds the user's folder lock: an flock on the INBOX's metadata directory, so that two
/// sessions of one user change folders one after the other.
class FolderLock {
public:
    explicit FolderLock(int inboxFd) {
        if (::mkdirat(inboxFd, kMetadataDir, layout::kFolderMode) != 0 && errno != EEXIST) {
            return;
        }
        m_fd = OpenDirectoryAt(inboxFd, kMetadataDir);
        if (m_fd && ::flock(m_fd.Get(), LOCK_EX) != 0) {
            m_fd.Reset();
        }
    }
    explicit operator bool() const { return m_fd.Valid(); }

private:
    UniqueFd m_fd; // closing it lets go of the lock
};

} // namespace

FolderTree::FolderTree(std::string inboxPath) : m_inbox(std::move(inboxPath)) {}

namespace {

/// The INBOX folder itself may be reached through a link an administrator made.
UniqueFd OpenInbox(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

/// Runs `change` on the state with the lock held, and writes the state back when it succeeded
/// and says it changed the state.
FolderResult WithLock(const std::string& inboxPath,
                      const std::function<FolderResult(int, FolderState&, bool&)>& change) {
    const UniqueFd inbox = OpenInbox(inboxPath);
    if (!inbox) {
        return IoFailure();
    }
    const FolderLock lock(inbox.Get());
    if (!lock) {
        return IoFailure();
    }
    FolderState state;
    if (FolderResult read = ReadState(inbox.Get(), state); !read) {
        return read;
    }
    bool changed = false;
    FolderResult result = change(inbox.Get(), state, changed);
    if (changed && result) {
        const std::string path = inboxPath + "/" + kStateFile;
        if (!durable::ReplaceFile(path, FormatFolderState(state), layout::kMessageMode,
                                  path + ".tmp")) {
            result = IoFailure();
        }
    }
    return result;
}

} // namespace

std::vector<FolderInfo> FolderTree::List() const {
    std::vector<FolderInfo> folders{{"INBOX", false, false, false, SpecialUse::None}};
    const UniqueFd inbox = OpenInbox(m_inbox);
    if (!inbox) {
        return folders;
    }
    FolderState state; // records that cannot be read only lose the flags they give
    ReadState(inbox.Get(), state);
    Walk(inbox.Get(), "", folders);
    for (FolderInfo& folder : folders) {
        folder.subscribed = state.subscribed.contains(folder.name);
        if (const auto it = state.uses.find(folder.name); it != state.uses.end()) {
            folder.use = folder.noselect ? SpecialUse::None : it->second;
        }
    }
    return folders;
}

std::vector<std::string> FolderTree::Subscriptions() const {
    FolderState state;
    if (const UniqueFd inbox = OpenInbox(m_inbox); inbox) {
        ReadState(inbox.Get(), state);
    }
    return {state.subscribed.begin(), state.subscribed.end()};
}

std::optional<std::string> FolderTree::PathOf(std::string_view name) const {
    if (IsInbox(name)) {
        return m_inbox;
    }
    if (CheckFolderName(name) != FolderNameProblem::Ok) {
        return std::nullopt;
    }
    const UniqueFd inbox = OpenInbox(m_inbox);
    const std::vector<std::string> levels = DiskLevels(name);
    const UniqueFd folder = inbox ? OpenLevels(inbox.Get(), levels, levels.size()) : UniqueFd();
    if (!folder || IsNoselect(folder.Get())) {
        return std::nullopt;
    }
    std::string path = m_inbox;
    for (const std::string& level : levels) {
        path += "/" + level;
    }
    return path;
}

FolderResult FolderTree::Create(std::string_view name) {
    if (name.size() > 1 && name.ends_with(kFolderSeparator)) {
        name.remove_suffix(1); // only says that children will follow
    }
    return WithLock(m_inbox,
                    [&](int inbox, FolderState&, bool&) { return CreateFolder(inbox, name); });
}

FolderResult FolderTree::Delete(std::string_view name) {
    if (IsInbox(name)) {
        return Fail(FolderError::Cannot, "[CANNOT] INBOX cannot be deleted");
    }
    if (const auto problem = CheckFolderName(name); problem != FolderNameProblem::Ok) {
        return NameFailure(problem);
    }
    return WithLock(m_inbox, [&](int inbox, FolderState& state, bool& changed) {
        std::vector<std::string> levels = DiskLevels(name);
        const UniqueFd parent = OpenLevels(inbox, levels, levels.size() - 1);
        const UniqueFd folder = parent ? OpenDirectoryAt(parent.Get(), levels.back()) : UniqueFd();
        if (!folder) {
            return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? NoSuchFolder()
                                                                         : IoFailure();
        }
        // A \Noselect folder holds nothing, so it serves no special use either.
        changed = state.uses.erase(std::string(name)) > 0;
        if (ChildFolders(folder.Get(), false).empty()) {
            if (!RemoveFolder(parent.Get(), levels.back())) {
                return IoFailure();
            }
            levels.pop_back();
            PruneEmptyNoselect(inbox, std::move(levels));
            return Ok();
        }
        if (IsNoselect(folder.Get())) {
            return Fail(FolderError::Cannot,
                        "[CANNOT] Folder has subfolders and holds no messages already");
        }
        // Marked first: a crash half way leaves a \Noselect folder, never one with half its
        // messages gone.
        const UniqueFd marker(::openat(folder.Get(), kNoselectMarker,
                                       O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                                       layout::kMessageMode));
        if (!marker || ::fsync(folder.Get()) != 0 || !EmptyFolder(folder.Get()) ||
            ::fsync(folder.Get()) != 0) {
            return IoFailure();
        }
        return Ok();
    });
}

FolderResult FolderTree::Rename(std::string_view fromName, std::string_view toName) {
    const std::string from = Normalized(fromName);
    const std::string to = Normalized(toName);
    for (const std::string& name : {from, to}) {
        if (const auto problem = CheckFolderName(name); problem != FolderNameProblem::Ok) {
            return NameFailure(problem);
        }
    }
    if (to == "INBOX" || to == from) {
        return Fail(FolderError::AlreadyExists, "[ALREADYEXISTS] The new name exists already");
    }
    if (to.starts_with(from + kFolderSeparator)) {
        return Fail(FolderError::Cannot, "[CANNOT] A folder cannot move inside itself");
    }
    if (from == "INBOX") {
        return RenameInbox(to);
    }
    return WithLock(m_inbox, [&](int inbox, FolderState& state, bool& changed) {
        std::vector<std::string> fromLevels = DiskLevels(from);
        const std::vector<std::string> toLevels = DiskLevels(to);
        const UniqueFd fromParent = OpenLevels(inbox, fromLevels, fromLevels.size() - 1);
        const UniqueFd source =
            fromParent ? OpenDirectoryAt(fromParent.Get(), fromLevels.back()) : UniqueFd();
        if (!source) {
            return NoSuchFolder();
        }
        // Children moved deeper or under a longer name must still be folders a client can name.
        std::vector<FolderInfo> children;
        Walk(source.Get(), from, children);
        for (const FolderInfo& child : children) {
            const auto problem = CheckFolderName(to + child.name.substr(from.size()));
            if (problem != FolderNameProblem::Ok) {
                return NameFailure(problem);
            }
        }
        if (OpenLevels(inbox, toLevels, toLevels.size())) {
            return Fail(FolderError::AlreadyExists, "[ALREADYEXISTS] The new name exists already");
        }
        UniqueFd toParent;
        if (FolderResult made = MakeLevels(inbox, toLevels, toLevels.size() - 1, toParent); !made) {
            return made;
        }
        if (!RenameNoReplace(fromParent.Get(), fromLevels.back(), toParent.Get(),
                             toLevels.back())) {
            return errno == EEXIST || errno == ENOTEMPTY
                       ? Fail(FolderError::AlreadyExists,
                              "[ALREADYEXISTS] The new name exists already")
                       : IoFailure();
        }
        if (::fsync(toParent.Get()) != 0 || ::fsync(fromParent.Get()) != 0) {
            return IoFailure();
        }
        fromLevels.pop_back();
        PruneEmptyNoselect(inbox, std::move(fromLevels));
        RenameFolderRecords(state, from, to);
        changed = true;
        return Ok();
    });
}

FolderResult FolderTree::RenameInbox(const std::string& to) {
    return WithLock(m_inbox,
                    [&](int inbox, FolderState&, bool&) { return MoveInboxMessages(inbox, to); });
}

FolderResult FolderTree::Subscribe(std::string_view name) {
    if (const auto problem = CheckFolderName(name); problem != FolderNameProblem::Ok) {
        return NameFailure(problem);
    }
    return WithLock(m_inbox, [&](int, FolderState& state, bool& changed) {
        changed = state.subscribed.insert(Normalized(name)).second;
        return Ok();
    });
}

FolderResult FolderTree::Unsubscribe(std::string_view name) {
    return WithLock(m_inbox, [&](int, FolderState& state, bool& changed) {
        changed = state.subscribed.erase(Normalized(name)) > 0;
        return Ok();
    });
}

FolderResult FolderTree::EnsureSpecialUse() {
    return WithLock(m_inbox, [&](int inbox, FolderState& state, bool& changed) {
        if (state.specialUseMade) {
            return Ok();
        }
        for (const auto& special : kSpecialUseFolders) {
            // A folder the user gave the use to already serves it.
            if (std::any_of(state.uses.begin(), state.uses.end(),
                            [&](const auto& entry) { return entry.second == special.use; })) {
                continue;
            }
            const std::string name(special.name);
            if (FolderResult made = CreateFolder(inbox, name);
                !made && made.error != FolderError::AlreadyExists) {
                return made;
            }
            state.uses[name] = special.use;
            state.subscribed.insert(name);
        }
        state.specialUseMade = true;
        changed = true;
        return Ok();
    });
}

} // namespace brevin
