#include "store/delivery.h"

#include "base/text.h"
#include "store/file_util.h"
#include "store/store_faults.h"
#include "store/store_layout.h"
#include "store/users.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
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

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/// The highest message number among the folder's names, or -1.
long long HighestNumber(const std::string& folderPath) {
    long long highest = -1;
    for (const std::string& name : layout::ListMessageNames(folderPath)) {
        highest = std::max(highest, layout::NumberInName(name));
    }
    return highest;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
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

std::uint32_t ParseCounter(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t number = 0; // unsigned arithmetic wraps modulo 2^32, as wanted
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        number = number * 10U + static_cast<std::uint32_t>(text[i] - '0');
    }
    return negative ? 0U - number : number;
}

std::uint32_t TakeMessageNumbers(ProfileFile& profile, std::uint32_t count) {
    // A message file is never created over an existing one, so a counter update lost in a
    // power cut only costs a retry: the profile is replaced atomically but not flushed twice.
    const std::string stored = profile.Update(
        layout::kServerSection, layout::kCounterKey, "0",
        [count](std::string_view value) {
            return std::to_string(ParseCounter(value) + count); // wraps at 2^32
        },
        ProfileSync::Atomic);
    return ParseCounter(stored);
}

std::string MessagePath(const std::string& folder, std::uint32_t number) {
    return layout::MessagePath(folder, number);
}

// ---- IncomingMessage ----

IncomingMessage::~IncomingMessage() {
    if (!m_committed) {
        Discard();
    }
}

IncomingMessage::IncomingMessage(IncomingMessage&& other) noexcept
    : m_fd(std::move(other.m_fd)), m_clientSize(other.m_clientSize),
      m_folder(std::move(other.m_folder)),
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
        m_fd = std::move(other.m_fd);
        m_clientSize = other.m_clientSize;
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
    return Open(folderPath, TakeMessageNumbers(profile));
}

bool IncomingMessage::Open(const std::string& folderPath, std::uint32_t number) {
    if (!m_committed) {
        Discard();
    }
    m_committed = false;
    m_failed = false;
    m_clientSize = MessageSizeCounter();
    m_folder = folderPath;
    m_number = number;
    m_path = layout::MessagePath(folderPath, m_number);
    // Invisible to listings until complete. Readable too, so that copies can be made from it
    // before it is named.
    for (int attempt = 0; attempt < kTempAttempts && !m_fd; ++attempt) {
        m_tempPath = layout::TemporaryPath(folderPath, m_number, attempt);
        m_fd.Reset(::open(m_tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                          layout::kMessageMode));
        if (!m_fd && errno != EEXIST) {
            break;
        }
    }
    if (!m_fd) {
        m_tempPath.clear();
        return false;
    }
    return true;
}

bool IncomingMessage::Append(std::span<const char> bytes) {
    if (!m_fd || m_failed) {
        return false;
    }
    if (!WriteMessageData(m_fd.Get(), bytes.data(), bytes.size())) {
        m_failed = true;
        return false;
    }
    m_clientSize.Feed({bytes.data(), bytes.size()});
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
    if (m_fd && !m_failed) {
        ::sync_file_range(m_fd.Get(), 0, 0, SYNC_FILE_RANGE_WRITE); // only a hint: Flush decides
    }
}

bool IncomingMessage::Flush() {
    if (!m_fd || m_failed) {
        return false;
    }
    layout::RecordSize(m_fd.Get(), m_clientSize.Size()); // flushed with the data
    bool ok = ::fsync(m_fd.Get()) == 0;
    ok = m_fd.Close() && ok;
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
                ParseCounter(profile.Read(layout::kServerSection, layout::kCounterKey, "0")) <=
                    highest) {
                profile.Write(layout::kServerSection, layout::kCounterKey,
                              std::to_string(highest + 1));
            }
        }
        const std::uint32_t tried = m_number;
        m_number = TakeMessageNumbers(profile);
        if (m_number == tried) {
            m_number = tried + 1; // the counter could not be written; go on without it
        }
        m_path = layout::MessagePath(m_folder, m_number);
    }
    return false;
}

bool IncomingMessage::CopyFrom(const IncomingMessage& source) {
    if (!source.m_fd || source.m_failed) {
        return false;
    }
    std::vector<char> buffer(kCopyChunk);
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(source.m_fd.Get(), buffer.data(), buffer.size(), at);
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
    m_fd.Reset();
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
            if (!Exists(folder) && ::mkdir(folder.c_str(), layout::kFolderMode) == 0) {
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

std::size_t RemoveAbandonedMessages(const UserDirectory& users) {
    std::size_t removed = 0;
    for (const std::string& user : users.Names()) {
        const auto folder = users.MailboxPath(user);
        if (!folder) {
            continue;
        }
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(*folder, ec)) {
            if (layout::IsTemporaryName(entry.path().filename().string()) &&
                entry.is_regular_file(ec) && std::filesystem::remove(entry.path(), ec)) {
                ++removed;
            }
        }
    }
    return removed;
}

} // namespace brevin
