#include "store/profile_file.h"

#include "store/durable_file.h"
#include "store/file_util.h"
#include "store/ini_document.h"
#include "store/store_faults.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace brevin {

namespace {

// A file changed less than this long before it was read may change again within the same
// timestamp tick without its times moving, so such a read is not kept for later calls.
constexpr long kRacySeconds = 2;
// Waiting for another process's lock on the profile: it is held for one write only, so a
// long wait means a stuck process, and the profile operation then fails instead of hanging.
constexpr useconds_t kLockPauseMicros = 200;
// A file that changed within the racy window is read again before it is trusted, but a reader
// checks it at most this often: the counter's own writes would otherwise have every lookup read
// a profile of thousands of users again. A writer always reads afresh under its lock.
constexpr auto kRacyRecheck = std::chrono::milliseconds(50);
// Attempts at reading the file while writers in other processes keep changing it.
constexpr int kReadAttempts = 5;

std::string CutValue(std::string_view value) {
    return std::string(value.substr(0, ProfileFile::kMaxValue));
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool ChangedLongAgo(const struct stat& st) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_ctim.tv_sec > kRacySeconds;
}

} // namespace

struct ProfileFile::Snapshot {
    // Identity and trust change when the same bytes are read again; the parse never does.
    mutable struct stat identity {};
    mutable bool keep = false; // may answer later calls while the identity holds
    mutable std::chrono::steady_clock::time_point readAt; // when the file was last read
    std::string content; // the bytes parsed: a file read again unchanged is not parsed
    ini::Document doc;
};

namespace {

/// Takes a POSIX record lock on the whole of `fd`, trying for at most `patience`: only Brevin's
/// own processes lock these files, and never for longer than one write.
bool LockWhole(int fd, short type, std::chrono::milliseconds patience) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    // Locks of the open file, not of the process: the server's threads each hold their own
    // profile object, and must exclude each other as two processes do. They still conflict
    // with a plain record lock held by another process.
    int command = F_OFD_SETLK;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    // Ends when the lock is taken, on an error, or at the deadline.
    for (;;) {
        if (::fcntl(fd, command, &lock) == 0) {
            return true;
        }
        if (errno == EINVAL && command == F_OFD_SETLK) {
            command = F_SETLK; // a kernel without them
            continue;
        }
        if (errno != EACCES && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            errno = EWOULDBLOCK;
            return false;
        }
        ::usleep(kLockPauseMicros);
    }
}

/// The file a profile path names: a profile that is a symbolic link stays one, so the file it
/// names is the one replaced and locked.
std::string ResolvedProfile(std::string path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
    }
    return path;
}

/// The hidden companions of a (resolved) profile path: "<folder>/.<name>" + suffix.
std::string HiddenBeside(const std::string& path, std::string_view suffix) {
    const auto slash = path.find_last_of('/');
    return file_util::FolderOf(path) + "/." +
           (slash == std::string::npos ? path : path.substr(slash + 1)) + std::string(suffix);
}

/// The writers' lock file beside the profile.
std::string LockPathFor(const std::string& path) {
    return HiddenBeside(ResolvedProfile(path), ".lock");
}

/// Reads the whole of an open file into `content`. False on an error.
bool ReadAll(int fd, std::string& content) {
    content.clear();
    char buffer[8192];
    // Ends at end of file or on an error.
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(content.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

/// Reads the whole file. Null when it is missing or unreadable (reads then give defaults).
/// Without the writers' lock, a shared lock keeps writers from refilling the inode being read:
/// its times alone cannot tell, since two quick writes may leave the same size and times.
/// When the bytes are those of `previous`, that parse is kept with the new identity.
std::shared_ptr<const ProfileFile::Snapshot>
ReadSnapshot(const std::string& path, bool writerLockHeld,
             const std::shared_ptr<const ProfileFile::Snapshot>& previous,
             std::chrono::milliseconds patience) {
    int lock = -1;
    if (!writerLockHeld) {
        lock = ::open(LockPathFor(path).c_str(), O_RDONLY | O_CLOEXEC);
        // A lock held past the patience is read past: the writer fills the spare, not this
        // file, and a read torn by a second write shows in the file's times and size.
        if (lock >= 0 && !LockWhole(lock, F_RDLCK, patience)) {
            file_util::CloseQuietly(lock);
            lock = -1;
        }
    }
    // Closing the descriptor lets go of the shared lock; the process holds no other lock on
    // that file at this point, as a writer passes `writerLockHeld`.
    struct Unlock {
        int& fd;
        ~Unlock() {
            if (fd >= 0) {
                file_util::CloseQuietly(fd);
            }
        }
    } unlock{lock};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    auto snap = std::make_shared<ProfileFile::Snapshot>();
    std::string& content = snap->content;
    bool ok = false;
    // The inode read here may be swapped out and refilled by a writer in another process
    // meanwhile; its times and size then move, and the read is made again.
    for (int attempt = 0; attempt < kReadAttempts && !ok; ++attempt) {
        struct stat after {};
        if (::fstat(fd, &snap->identity) != 0 || !S_ISREG(snap->identity.st_mode) ||
            !ReadAll(fd, content) || ::fstat(fd, &after) != 0) {
            break;
        }
        ok = SameFile(snap->identity, after) && static_cast<off_t>(content.size()) == after.st_size;
    }
    file_util::CloseQuietly(fd);
    if (!ok) {
        return nullptr;
    }
    if (previous && previous->content == content) {
        previous->identity = snap->identity;
        previous->keep = ChangedLongAgo(snap->identity);
        previous->readAt = std::chrono::steady_clock::now();
        return previous;
    }
    snap->doc = ini::Document::Parse(content);
    snap->keep = ChangedLongAgo(snap->identity);
    snap->readAt = std::chrono::steady_clock::now();
    return snap;
}

/// Takes the writers' lock: a record lock on a small lock file beside the profile, held for
/// one read-modify-write. The profile and its spare cannot carry it, as they trade places on
/// every write. -1 on failure (including a holder that does not let go).
int TakeWriterLock(const std::string& lockPath, std::chrono::milliseconds patience) {
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && !LockWhole(fd, F_WRLCK, patience)) {
        file_util::CloseQuietly(fd);
    }
    return fd;
}

/// The spare file beside the profile: new contents are written into it and then exchanged
/// with the profile in one rename, so the old profile becomes the next spare. Reusing the two
/// files spares the file system an inode creation and deletion per write, which costs more
/// than the write itself. Only the holder of the writers' lock touches it.
int OpenSpare(const std::string& sparePath) {
    return ::open(sparePath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

/// Fills the locked spare with `content` and puts it in the profile's place (the folder's
/// entry still to be flushed); the old profile becomes the spare when `keepOld`, else it is
/// gone. On failure the profile is untouched. `placed` receives the new profile's identity.
bool ReplaceWithSpare(int spare, const std::string& sparePath, const std::string& path,
                      const std::string& content, const struct stat* current, bool keepOld,
                      struct stat& placedIdentity) {
    if (StoreFaults::failProfileWrites) {
        errno = ENOSPC;
        return false;
    }
    struct stat own {};
    if (current != nullptr && ::fstat(spare, &own) == 0) {
        // The profile keeps its owner and permissions (a new one is readable by its owner only:
        // it holds passwords).
        if (own.st_uid != current->st_uid || own.st_gid != current->st_gid) {
            ::fchown(spare, current->st_uid, current->st_gid);
        }
        if ((own.st_mode & 07777) != (current->st_mode & 07777) &&
            ::fchmod(spare, current->st_mode & 07777) != 0 && errno != EPERM) {
            return false;
        }
    }
    // Overwritten in place, so its blocks stay allocated: freeing and allocating them on every
    // write would cost journal work. Without a profile yet there is nothing to trade with.
    if (!durable::Refill(spare, content) ||
        !durable::Place(sparePath, path,
                        current != nullptr && keepOld ? durable::Placing::Exchange
                                                      : durable::Placing::Replace)) {
        return false;
    }
    ::fstat(spare, &placedIdentity); // after the rename, which moves its change time
    return true;
}

} // namespace

ProfileFile::ProfileFile(std::filesystem::path path) : m_path(std::move(path)) {}

std::vector<std::filesystem::path> ProfileFile::CompanionPaths() const {
    const std::string hidden = HiddenBeside(ResolvedProfile(m_path.string()), "");
    return {hidden + ".lock", hidden + ".spare"};
}

std::shared_ptr<const ProfileFile::Snapshot> ProfileFile::Load(bool writerLockHeld) const {
    struct stat st {};
    if (::stat(m_path.c_str(), &st) != 0) {
        m_cache.reset();
        return nullptr;
    }
    if (m_cache && SameFile(m_cache->identity, st) &&
        (m_cache->keep ||
         (!writerLockHeld && std::chrono::steady_clock::now() - m_cache->readAt < kRacyRecheck))) {
        return m_cache;
    }
    m_cache = ReadSnapshot(m_path.string(), writerLockHeld, m_cache, m_lockPatience);
    return m_cache;
}

std::string ProfileFile::Read(std::string_view section, std::string_view key,
                              std::string_view fallback) const {
    const ProfileRead read{section, key, fallback};
    return std::move(Read({&read, 1}).front());
}

std::vector<std::string> ProfileFile::Read(std::span<const ProfileRead> reads) const {
    std::vector<std::string> values;
    values.reserve(reads.size());
    const auto snap = Load();
    for (const ProfileRead& read : reads) {
        const ini::Line* line = snap ? snap->doc.IndexedKey(read.section, read.key) : nullptr;
        values.push_back(CutValue(line != nullptr ? std::string_view(line->value) : read.fallback));
    }
    return values;
}

std::vector<std::pair<std::string, std::string>>
ProfileFile::Entries(std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> entries;
    const auto snap = Load();
    if (!snap) {
        return entries;
    }
    const ini::Document& doc = snap->doc;
    const std::size_t end = doc.SectionEnd(doc.IndexedSection(section));
    for (std::size_t i = doc.IndexedSection(section) + 1; i < end; ++i) {
        const ini::Line& line = doc.lines[i];
        // The first of a repeated key is the one reads see.
        if (line.kind == ini::LineKind::Key && doc.IndexedKey(section, line.name) == &line) {
            entries.emplace_back(line.name, CutValue(line.value));
        }
    }
    return entries;
}

std::vector<std::string> ProfileFile::Keys(std::string_view section) const {
    std::vector<std::string> keys;
    const auto snap = Load();
    if (!snap) {
        return keys;
    }
    const ini::Document& doc = snap->doc;
    const std::size_t header = doc.IndexedSection(section);
    if (header == doc.lines.size()) {
        return keys;
    }
    const std::size_t end = doc.SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        if (doc.lines[i].kind == ini::LineKind::Key) {
            keys.push_back(doc.lines[i].name);
        }
    }
    return keys;
}

bool ProfileFile::Write(std::string_view section, std::string_view key, std::string_view value) {
    const ProfileChange change{section, key, value};
    return Apply({&change, 1});
}

bool ProfileFile::Remove(std::string_view section, std::string_view key) {
    const ProfileChange change{section, key, std::nullopt};
    return Apply({&change, 1});
}

bool ProfileFile::Apply(std::span<const ProfileChange> changes, ProfileSync sync) {
    for (const ProfileChange& change : changes) {
        if (!ini::StorableSection(change.section) || !ini::StorableKey(change.key) ||
            (change.value && ini::HasLineBreak(*change.value))) {
            errno = EINVAL;
            return false;
        }
    }
    return Modify(
        [changes](Snapshot& snap) {
            bool changed = false;
            for (const ProfileChange& change : changes) {
                if (change.value) {
                    changed = snap.doc.Set(change.section, change.key, ini::Trim(*change.value)) ||
                              changed;
                } else {
                    changed = snap.doc.Erase(change.section, change.key) || changed;
                }
            }
            return changed;
        },
        sync);
}

std::string ProfileFile::Update(std::string_view section, std::string_view key,
                                std::string_view fallback,
                                const std::function<std::string(std::string_view)>& next,
                                ProfileSync sync, bool* written) {
    std::optional<std::string> before;
    bool refused = false;
    bool ok = false;
    if (ini::StorableSection(section) && ini::StorableKey(key)) {
        ok = Modify(
            [&](Snapshot& snap) {
                const ini::Line* line = snap.doc.IndexedKey(section, key);
                before = CutValue(line != nullptr ? std::string_view(line->value) : fallback);
                const std::string value = next(*before);
                if (ini::HasLineBreak(value)) {
                    refused = true;
                    return false;
                }
                return snap.doc.Set(section, key, ini::Trim(value));
            },
            sync);
    }
    if (written != nullptr) {
        *written = ok && !refused;
    }
    // Without the lock (or the file) the value is read as any reader would.
    return before ? *before : Read(section, key, fallback);
}

std::optional<std::size_t> ProfileFile::Rewrite(
    std::string_view section,
    const std::function<std::optional<std::string>(std::string_view, std::string_view)>& next) {
    std::size_t changed = 0;
    bool refused = false;
    const bool ok = Modify(
        [&](Snapshot& snap) {
            changed = snap.doc.Rewrite(
                section,
                [&](std::string_view key, std::string_view value) -> std::optional<std::string> {
                    std::optional<std::string> replaced = next(key, CutValue(value));
                    if (replaced && ini::HasLineBreak(*replaced)) {
                        refused = true;
                    }
                    return replaced ? std::optional<std::string>(ini::Trim(*replaced))
                                    : std::nullopt;
                });
            return changed > 0 && !refused;
        },
        ProfileSync::Durable, /*keepOld=*/false);
    if (!ok || refused) {
        return std::nullopt;
    }
    return changed;
}

bool ProfileFile::Modify(const std::function<bool(Snapshot&)>& edit, ProfileSync sync,
                         bool keepOld) {
    const std::string path = ResolvedProfile(m_path.string());
    const std::string hidden = HiddenBeside(path, "");
    // The lock covers the whole read-modify-write, so a change made by another process at the
    // same moment (the server and `brevin user`) is never lost.
    int lock = TakeWriterLock(hidden + ".lock", m_lockPatience);
    if (lock < 0) {
        return false;
    }
    bool ok = false;
    const auto current = Load(/*writerLockHeld=*/true);
    struct stat st {};
    // Only a missing file starts empty; one that exists but cannot be read is left alone.
    if (current || (::stat(m_path.c_str(), &st) != 0 && errno == ENOENT)) {
        auto changed = std::make_shared<Snapshot>();
        if (current) {
            changed->doc = current->doc;
        }
        ok = true;
        if (edit(*changed)) {
            m_cache.reset();
            changed->doc.Reindex();
            changed->content = changed->doc.Serialise();
            int spare = OpenSpare(hidden + ".spare");
            ok = spare >= 0 && ReplaceWithSpare(spare, hidden + ".spare", path, changed->content,
                                                current ? &current->identity : nullptr, keepOld,
                                                changed->identity);
            file_util::CloseQuietly(spare);
            // What was just written is known: the next read need not parse it again, only
            // check that the bytes are still these (the change is too recent to trust times).
            if (ok) {
                m_cache = std::move(changed);
            }
        }
    }
    file_util::CloseQuietly(lock);
    // The folder is flushed after the lock is let go: the file is in place, and a reader that
    // sees it (the server's loop, right after its worker's write) would otherwise wait for the
    // disk. Whoever writes next flushes the folder again, after this rename.
    if (ok && sync == ProfileSync::Durable) {
        ok = durable::FlushFolder(file_util::FolderOf(path));
    }
    return ok;
}

} // namespace brevin
