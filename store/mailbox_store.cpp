#include "store/mailbox_store.h"

#include "store/file_util.h"
#include "store/registry.h"
#include "store/store_faults.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace brevin {

namespace {

// Attempts at a free final name before a commit gives up (the counter runs behind the files
// after a restored profile; the first clash moves it past the folder's highest number).
constexpr int kNameAttempts = 64;
// Attempts at a free temporary name.
constexpr int kTempAttempts = 16;
constexpr std::size_t kCopyChunk = 64 * 1024;
// Files written and held open until their flush, at most, when many are filed at once.
constexpr std::size_t kOpenFilesPerRound = 64;

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EndsWithBvn(std::string_view name) {
    if (name.size() < 4) {
        return false;
    }
    const auto tail = name.substr(name.size() - 4);
    return tail[0] == '.' && Lower(tail[1]) == 'b' && Lower(tail[2]) == 'v' &&
           Lower(tail[3]) == 'n';
}

/// The number in "MSG<digits>.bvn" (any letter case), or -1 for other names.
long long NumberInName(std::string_view name) {
    if (name.size() < 8 || Lower(name[0]) != 'm' || Lower(name[1]) != 's' ||
        Lower(name[2]) != 'g') {
        return -1;
    }
    const auto digits = name.substr(3, name.size() - 7);
    if (digits.empty() || digits.size() > 18) {
        return -1;
    }
    long long number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return -1;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

struct Listed {
    long long number; // -1: no number in the name
    std::string name;
};

bool ListedBefore(const Listed& a, const Listed& b) {
    // Numbered names first, by number; then the rest; each tie by name.
    const bool aNumbered = a.number >= 0;
    const bool bNumbered = b.number >= 0;
    if (aNumbered != bNumbered) {
        return aNumbered;
    }
    if (a.number != b.number) {
        return a.number < b.number;
    }
    return a.name < b.name;
}

/// The messages of a folder, unordered. Only regular files count.
std::vector<Listed> Collect(const std::string& folderPath) {
    std::vector<Listed> found;
    DIR* dir = ::opendir(folderPath.c_str());
    if (dir == nullptr) {
        return found;
    }
    const int dirFd = ::dirfd(dir);
    // readdir returns each entry once, then null.
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (!EndsWithBvn(name)) {
            continue;
        }
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            regular = ::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(st.st_mode);
        }
        if (regular) {
            found.push_back({NumberInName(name), std::string(name)});
        }
    }
    ::closedir(dir);
    return found;
}

/// The names of the messages of a folder, in listing order.
std::vector<std::string> ListNames(const std::string& folderPath) {
    std::vector<Listed> found = Collect(folderPath);
    std::sort(found.begin(), found.end(), ListedBefore);
    std::vector<std::string> names;
    names.reserve(found.size());
    for (Listed& item : found) {
        names.push_back(std::move(item.name));
    }
    return names;
}

bool SizeOf(const std::string& path, std::uint64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

/// The highest message number among the folder's names, or -1.
long long HighestNumber(const std::string& folderPath) {
    long long highest = -1;
    for (const std::string& name : ListNames(folderPath)) {
        highest = std::max(highest, NumberInName(name));
    }
    return highest;
}

/// Writes message data, honouring the test-only full-disk switch.
bool WriteMessageData(int fd, const char* data, std::size_t size) {
    std::size_t allowed = size;
    if (StoreFaults::failWritesAfterBytes >= 0) {
        const long left =
            std::max(0L, StoreFaults::failWritesAfterBytes - StoreFaults::bytesWritten);
        allowed = std::min(size, static_cast<std::size_t>(left));
    }
    if (!file_util::WriteAll(fd, data, allowed)) {
        return false;
    }
    StoreFaults::bytesWritten += static_cast<long>(allowed);
    if (allowed < size) {
        errno = ENOSPC;
        return false;
    }
    return true;
}

/// Gives `from` the name `to` unless `to` exists. False with errno EEXIST when it does.
bool RenameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    // File systems without the flag: a hard link fails on an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

} // namespace

std::string MessagePath(const std::string& folder, std::uint32_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "/MSG%05lu.bvn", static_cast<unsigned long>(number));
    return folder + name;
}

std::vector<MailboxEntry> ListMailbox(const std::string& folderPath) {
    std::vector<MailboxEntry> entries;
    for (std::string& name : ListNames(folderPath)) {
        std::uint64_t size = 0;
        // A file removed since the listing is left out.
        if (SizeOf(folderPath + "/" + name, size)) {
            entries.push_back({std::move(name), size});
        }
    }
    return entries;
}

bool ScanMailbox(const ProfileFile& profile, const std::string& folder, int& count,
                 std::uint64_t& firstSize) {
    count = 0;
    firstSize = 0;
    const std::string folderPath = ReadStoreRoot(profile) + "/" + folder;
    if (!FolderExists(folderPath)) {
        return false;
    }
    const auto found = Collect(folderPath);
    if (found.empty()) {
        return false;
    }
    count = static_cast<int>(found.size());
    // Only the first in listing order is measured; no need to order the rest.
    const auto first = std::min_element(found.begin(), found.end(), ListedBefore);
    SizeOf(folderPath + "/" + first->name, firstSize);
    return true;
}

bool FindMessage(const ProfileFile& profile, long n, const std::string& folder, std::string& name,
                 std::uint64_t& size) {
    size = 0;
    if (n < 1) {
        return false;
    }
    const std::string folderPath = ReadStoreRoot(profile) + "/" + folder;
    if (!FolderExists(folderPath)) {
        return false;
    }
    auto found = Collect(folderPath);
    if (static_cast<unsigned long>(n) > found.size()) {
        return false;
    }
    const auto nth = found.begin() + (n - 1);
    std::nth_element(found.begin(), nth, found.end(), ListedBefore);
    if (!SizeOf(folderPath + "/" + nth->name, size)) {
        return false; // removed since the listing
    }
    name = std::move(nth->name);
    return true;
}

// ---- IncomingMessage ----

IncomingMessage::~IncomingMessage() {
    if (!m_committed) {
        Discard();
    }
}

IncomingMessage::IncomingMessage(IncomingMessage&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_folder(std::move(other.m_folder)),
      m_tempPath(std::move(other.m_tempPath)), m_path(std::move(other.m_path)),
      m_number(other.m_number), m_committed(std::exchange(other.m_committed, false)),
      m_failed(std::exchange(other.m_failed, false)) {
    other.m_tempPath.clear();
    other.m_path.clear();
}

IncomingMessage& IncomingMessage::operator=(IncomingMessage&& other) noexcept {
    if (this != &other) {
        if (!m_committed) {
            Discard();
        }
        m_fd = std::exchange(other.m_fd, -1);
        m_folder = std::move(other.m_folder);
        m_tempPath = std::move(other.m_tempPath);
        m_path = std::move(other.m_path);
        m_number = other.m_number;
        m_committed = std::exchange(other.m_committed, false);
        m_failed = std::exchange(other.m_failed, false);
        other.m_tempPath.clear();
        other.m_path.clear();
    }
    return *this;
}

bool IncomingMessage::Open(ProfileFile& profile, const std::string& folderPath) {
    return Open(folderPath, TakeMessageNumber(profile));
}

bool IncomingMessage::Open(const std::string& folderPath, std::uint32_t number) {
    if (!m_committed) {
        Discard();
    }
    m_committed = false;
    m_failed = false;
    m_folder = folderPath;
    m_number = number;
    m_path = MessagePath(folderPath, m_number);
    // The temporary name does not end in ".bvn", so no listing shows the message until it is
    // complete. Readable too, so that copies can be made from it before it is named.
    char name[48];
    for (int attempt = 0; attempt < kTempAttempts && m_fd < 0; ++attempt) {
        std::snprintf(name, sizeof name, "/.MSG%05lu.%d.tmp", static_cast<unsigned long>(m_number),
                      attempt);
        m_tempPath = folderPath + name;
        m_fd = ::open(m_tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (m_fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (m_fd < 0) {
        m_tempPath.clear();
        return false;
    }
    return true;
}

bool IncomingMessage::Append(std::span<const char> bytes) {
    if (m_fd < 0 || m_failed) {
        return false;
    }
    if (!WriteMessageData(m_fd, bytes.data(), bytes.size())) {
        m_failed = true;
        return false;
    }
    return true;
}

bool IncomingMessage::Commit(ProfileFile& profile) {
    if (m_committed) {
        return true;
    }
    const bool ok = Flush() && Name(profile) && file_util::SyncFolder(m_folder);
    if (!ok) {
        Discard();
    }
    return ok;
}

void IncomingMessage::StartWriteback() const {
    if (m_fd >= 0 && !m_failed) {
        ::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE); // only a hint: Flush decides
    }
}

bool IncomingMessage::Flush() {
    if (m_fd < 0 || m_failed) {
        return false;
    }
    bool ok = ::fsync(m_fd) == 0;
    ok = ::close(std::exchange(m_fd, -1)) == 0 && ok;
    m_failed = !ok;
    return ok;
}

bool IncomingMessage::Name(ProfileFile& profile) {
    if (m_failed || m_tempPath.empty()) {
        return false;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        if (RenameNoReplace(m_tempPath, m_path)) {
            m_tempPath.clear();
            m_committed = true;
            return true;
        }
        if (errno != EEXIST) {
            return false; // not a clash: the message stays unnamed
        }
        // The name is taken: the counter runs behind this folder. The first time, move it past
        // the folder's highest number, so one clash does not turn into thousands.
        if (attempt == 0) {
            const long long highest = HighestNumber(m_folder);
            if (highest >= 0 && highest < 0xFFFFFFFFLL &&
                ParseCounter(profile.Read("BREVIN", "conta", "0")) <= highest) {
                profile.Write("BREVIN", "conta", std::to_string(highest + 1));
            }
        }
        const std::uint32_t tried = m_number;
        m_number = TakeMessageNumber(profile);
        if (m_number == tried) {
            m_number = tried + 1; // the counter could not be written; go on without it
        }
        m_path = MessagePath(m_folder, m_number);
    }
    return false;
}

bool IncomingMessage::CopyFrom(const IncomingMessage& source) {
    if (source.m_fd < 0 || source.m_failed) {
        return false;
    }
    std::vector<char> buffer(kCopyChunk);
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(source.m_fd, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0;
        }
        if (!Append({buffer.data(), static_cast<std::size_t>(n)})) {
            return false;
        }
        at += n;
    }
}

void IncomingMessage::Discard() {
    file_util::CloseQuietly(m_fd);
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
    if (m_committed) {
        ::unlink(m_path.c_str());
        m_committed = false;
    }
    m_failed = false;
}

void FileMessages(ProfileFile& profile, std::span<Delivery* const> deliveries) {
    // Every file of a delivery, the message first.
    const auto eachFile = [](Delivery& d, auto&& fn) {
        fn(d.message);
        for (IncomingMessage& copy : d.copies) {
            fn(copy);
        }
    };
    std::uint32_t copiesWanted = 0;
    for (Delivery* d : deliveries) {
        d->copies.clear();
        d->filed = d->message.IsOpen() && !d->message.m_failed;
        if (d->filed) {
            copiesWanted += static_cast<std::uint32_t>(d->copyFolders.size());
        }
    }
    // One rewrite of the profile for every copy of the batch.
    std::uint32_t number = copiesWanted > 0 ? TakeMessageNumbers(profile, copiesWanted) : 0;

    std::map<std::string, bool> folders; // folder -> its entries flushed
    // Written files wait open for their flush. The data of all of them is sent to the disk
    // together, then waited for file by file: by the time the first flush returns, most of the
    // others have little left to do.
    std::vector<std::pair<Delivery*, IncomingMessage*>> written;
    const auto settle = [&] {
        for (const auto& [d, file] : written) {
            if (d->filed) {
                file->StartWriteback();
            }
        }
        for (const auto& [d, file] : written) {
            d->filed = d->filed && file->Flush() && file->Name(profile);
            if (d->filed) {
                folders.emplace(file->Folder(), false);
            }
        }
        written.clear();
    };
    for (Delivery* d : deliveries) {
        d->copies.reserve(d->copyFolders.size()); // `written` points into it
        for (std::size_t i = 0; d->filed && i < d->copyFolders.size(); ++i) {
            // A message for many recipients must not run the process out of descriptors.
            if (written.size() >= kOpenFilesPerRound) {
                settle();
            }
            const std::string& folder = d->copyFolders[i];
            if (!FolderExists(folder) && ::mkdir(folder.c_str(), 0700) == 0) {
                // The new folder must last as long as the file about to go into it.
                d->filed = file_util::SyncFolder(file_util::FolderOf(folder));
            }
            IncomingMessage& copy = d->copies.emplace_back();
            d->filed = d->filed && copy.Open(folder, number++) && copy.CopyFrom(d->message);
            written.emplace_back(d, &copy);
        }
        written.emplace_back(d, &d->message);
    }
    settle();
    for (auto& [folder, flushed] : folders) {
        flushed = file_util::SyncFolder(folder);
    }

    std::set<std::string> emptied;
    for (Delivery* d : deliveries) {
        eachFile(*d, [&](const IncomingMessage& file) {
            const auto found = folders.find(file.Folder());
            d->filed = d->filed && found != folders.end() && found->second;
        });
        if (!d->filed) {
            eachFile(*d, [&](IncomingMessage& file) {
                if (file.m_committed) {
                    emptied.insert(file.Folder());
                }
                file.Discard();
            });
            d->copies.clear();
        }
    }
    // So that a crash now does not bring back files whose sender was told to try again.
    for (const std::string& folder : emptied) {
        file_util::SyncFolder(folder);
    }
}

} // namespace brevin

namespace brevin {

std::size_t RemoveAbandonedMessages(const ProfileFile& profile) {
    const std::string root = ReadStoreRoot(profile);
    std::size_t removed = 0;
    for (const std::string& user : profile.Keys("USERS")) {
        const std::string folder = profile.Read("USERS", user, "");
        if (folder.empty()) {
            continue;
        }
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(root + "/" + folder, ec)) {
            const std::string name = entry.path().filename().string();
            // The names IncomingMessage gives its files until they are complete.
            if (name.starts_with(".MSG") && name.ends_with(".tmp") && entry.is_regular_file(ec) &&
                std::filesystem::remove(entry.path(), ec)) {
                ++removed;
            }
        }
    }
    return removed;
}

} // namespace brevin
