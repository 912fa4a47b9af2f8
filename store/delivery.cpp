#include "store/delivery.h"

#include "base/text.h"
#include "store/durable_file.h"
#include "store/file_util.h"
#include "store/store_faults.h"
#include "store/store_layout.h"
#include "store/users.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>
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

// Flushes issued at once: the journal commits once for all the flushes waiting on it, so files
// flushed side by side cost about one commit, where one after the other each costs its own.
constexpr std::size_t kFlushThreads = 8;
// Files (or folders) from which one flush of the whole file system beats flushing each: it
// costs about one commit, however many there are.
constexpr std::size_t kWholeFileSystemFlushAt = 4;

/// Calls `fn(i)` for every i below `count`, on up to kFlushThreads threads at once. Each call
/// touches only what belongs to its own index.
template <typename Fn>
void ForEachAtOnce(std::size_t count, Fn fn) {
    if (count <= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            fn(i);
        }
        return;
    }
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < count; i = next++) {
            fn(i);
        }
    };
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < std::min(count, kFlushThreads); ++t) {
        helpers.emplace_back(work);
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

/// Whole file systems to flush, each once however many of its files or folders a round
/// touched: files (or folders) on another mount are flushed too.
class FileSystems {
public:
    /// Notes the file system of the open `fd` as the next entry. The first descriptor on each
    /// is kept: it shares its file's open description, so syncfs reports the write errors since
    /// that file was opened. An entry whose file system cannot be told is never flushed.
    void Add(int fd) {
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            m_entries.emplace_back();
            return;
        }
        if (!m_anchors.contains(st.st_dev)) {
            UniqueFd anchor(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
            if (!anchor) {
                m_entries.emplace_back();
                return;
            }
            m_anchors.emplace(st.st_dev, std::move(anchor));
        }
        m_entries.emplace_back(st.st_dev);
    }
    void Flush() {
        for (const auto& [device, anchor] : m_anchors) {
            const bool failing =
                StoreFaults::failFileSystemFlushOf == static_cast<long long>(device);
            if (!failing && ::syncfs(anchor.Get()) == 0) {
                m_flushed.insert(device);
            }
        }
    }
    /// Whether the file system of the `index`th entry was flushed.
    [[nodiscard]] bool Flushed(std::size_t index) const {
        const std::optional<dev_t>& device = m_entries[index];
        return device && m_flushed.contains(*device);
    }

private:
    std::map<dev_t, UniqueFd> m_anchors;
    std::vector<std::optional<dev_t>> m_entries;
    std::set<dev_t> m_flushed;
};

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

/// How much of `size` bytes the test-only full-disk switch lets through.
std::size_t FaultAllowance(std::size_t size) {
    const long limit = StoreFaults::failWritesAfterBytes;
    if (limit < 0) {
        return size;
    }
    const long left = std::max(0L, limit - StoreFaults::bytesWritten);
    return std::min(size, static_cast<std::size_t>(left));
}

/// Writes message data, honouring the test-only full-disk switch.
bool WriteMessageData(int fd, const char* data, std::size_t size) {
    const std::size_t allowed = FaultAllowance(size);
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

} // namespace

std::uint32_t ParseCounter(std::string_view text) {
    bool negative = false;
    std::uint32_t number = 0; // unsigned arithmetic wraps modulo 2^32, as wanted
    for (const char digit : LeadingDigits(text, negative)) {
        number = number * 10U + static_cast<std::uint32_t>(digit - '0');
    }
    return negative ? 0U - number : number;
}

std::uint32_t TakeMessageNumbers(ProfileFile& profile, std::uint32_t count) {
    return MessageNumbers(profile, 1).Take(count);
}

std::uint32_t MessageNumbers::Take(std::uint32_t count) {
    if (m_left < count) {
        return Reserve(count, -1);
    }
    m_left -= count;
    return std::exchange(m_next, m_next + count);
}

std::uint32_t MessageNumbers::TakeAfterClash(long long highest) {
    // Numbers left in the block at or below the folder's highest would clash again.
    if (highest >= 0 && highest < 0xFFFFFFFFLL && m_next <= highest) {
        return Reserve(1, highest + 1);
    }
    return Take(1);
}

std::uint32_t MessageNumbers::Reserve(std::uint32_t count, long long floor) {
    const std::uint32_t want = std::max(count, m_block);
    // Never below what this process already handed out: a profile that cannot be written
    // must not bring back numbers in use.
    if (m_handedOut && (floor < 0 || floor < m_end)) {
        floor = m_end;
    }
    std::uint32_t first = 0;
    bool written = false;
    // Durable: after a power cut the counter must still be past every number handed out, or
    // a later number could name a file that was already filed under it.
    m_profile.Update(
        layout::kServerSection, layout::kCounterKey, "0",
        [&](std::string_view value) {
            first = ParseCounter(value);
            if (floor >= 0 && first < floor) {
                first = static_cast<std::uint32_t>(floor);
            }
            return std::to_string(first + want); // wraps at 2^32
        },
        ProfileSync::Durable, &written);
    if (!written) {
        // The block is handed out all the same, from memory: the profile is asked again for the
        // next one, and a name never replaces a file (a clash moves past the folder).
        first = ParseCounter(m_profile.Read(layout::kServerSection, layout::kCounterKey, "0"));
        if (floor >= 0 && first < floor) {
            first = static_cast<std::uint32_t>(floor);
        }
    }
    m_next = first + count;
    m_left = want - count;
    m_end = static_cast<long long>(first) + want;
    m_handedOut = m_end <= 0xFFFFFFFFLL; // past the top the counter wraps: start over
    return first;
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
      m_folder(std::move(other.m_folder)), m_tempPath(std::move(other.m_tempPath)),
      m_path(std::move(other.m_path)), m_number(other.m_number),
      m_committed(std::exchange(other.m_committed, false)),
      m_failed(std::exchange(other.m_failed, false)),
      m_shared(std::exchange(other.m_shared, false)),
      m_madeFolder(std::exchange(other.m_madeFolder, false)),
      m_error(std::exchange(other.m_error, 0)) {
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
        m_shared = std::exchange(other.m_shared, false);
        m_madeFolder = std::exchange(other.m_madeFolder, false);
        m_error = std::exchange(other.m_error, 0);
        other.m_tempPath.clear();
        other.m_path.clear();
    }
    return *this;
}

bool IncomingMessage::Open(MessageNumbers& numbers, const std::string& folderPath) {
    return Open(folderPath, numbers.Take());
}

bool IncomingMessage::Open(const std::string& folderPath, std::uint32_t number) {
    if (!m_committed) {
        Discard();
    }
    m_committed = false;
    m_failed = false;
    m_clientSize = MessageSizeCounter();
    m_shared = false;
    m_madeFolder = false;
    m_error = 0;
    m_folder = folderPath;
    m_number = number;
    m_path = layout::MessagePath(folderPath, m_number);
    // Invisible to listings until complete. Readable too, so that copies can be made from it
    // before it is named.
    for (int attempt = 0; attempt < kTempAttempts && !m_fd; ++attempt) {
        m_tempPath = layout::TemporaryPath(folderPath, m_number, attempt);
        m_fd.Reset(::open(m_tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                          layout::kMessageMode));
        // A recipient's missing folder is made here, as a copy's is at filing: the order of the
        // RCPT lines must not decide whether the mail is taken. Its entry is flushed at filing.
        if (!m_fd && errno == ENOENT && !m_madeFolder &&
            ::mkdir(folderPath.c_str(), layout::kFolderMode) == 0) {
            m_madeFolder = true;
            --attempt;
            continue;
        }
        if (!m_fd && errno != EEXIST) {
            break;
        }
    }
    if (!m_fd) {
        Fail();
        m_tempPath.clear();
        return false;
    }
    return true;
}

bool IncomingMessage::Fail() {
    if (m_error == 0) {
        m_error = errno != 0 ? errno : EIO;
    }
    return false;
}

bool IncomingMessage::Append(std::span<const char> bytes) {
    m_clientSize.Feed({bytes.data(), bytes.size()}); // a failed message is measured on
    if (!m_fd || m_failed) {
        return false;
    }
    if (!WriteMessageData(m_fd.Get(), bytes.data(), bytes.size())) {
        m_failed = true;
        return Fail();
    }
    return true;
}

bool IncomingMessage::Commit(MessageNumbers& numbers) {
    if (m_committed) {
        return true;
    }
    const bool ok = Flush() && Name(numbers) && durable::FlushFolder(m_folder);
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

bool IncomingMessage::Flush(bool syncNow) {
    if (m_shared && !m_failed) {
        return true;
    }
    if (!m_fd || m_failed) {
        return false;
    }
    layout::RecordSize(m_fd.Get(), m_clientSize.Size()); // flushed with the data
    if (!syncNow) {
        return true; // Settle closes it, once the file system is flushed
    }
    return Closed(::fsync(m_fd.Get()) == 0);
}

bool IncomingMessage::Closed(bool flushed) {
    const bool ok = m_fd.Close() && flushed;
    m_failed = !ok;
    return ok || Fail();
}

bool IncomingMessage::Settle() {
    if (m_shared && !m_failed) {
        return true;
    }
    if (!m_fd || m_failed) {
        return false;
    }
    // A flush of the whole file system reports only the write errors that came after its own
    // descriptor was opened; this file may be older, and its data may have failed to reach the
    // disk before then. Waiting on its (already written) range reports the errors since this
    // file was opened, and flushes nothing.
    bool ok = ::sync_file_range(m_fd.Get(), 0, 0,
                                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                    SYNC_FILE_RANGE_WAIT_AFTER) == 0;
    if (!ok && (errno == ENOSYS || errno == EINVAL || errno == ESPIPE)) {
        ok = ::fdatasync(m_fd.Get()) == 0; // cannot wait here: the dearer way tells as well
    }
    return Closed(ok);
}

bool IncomingMessage::Name(MessageNumbers& numbers,
                           const std::function<void(const IncomingMessage&)>& naming) {
    if (m_failed || m_tempPath.empty()) {
        return false;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        if (naming && attempt > 0) {
            naming(*this);
        }
        if (durable::Place(m_tempPath, m_path, durable::Placing::NoReplace)) {
            m_tempPath.clear();
            m_committed = true;
            return true;
        }
        if (errno != EEXIST) {
            return Fail(); // not a clash: the message stays unnamed
        }
        // The name is taken: the counter runs behind this folder. The first time, move it past
        // the folder's highest number, so one clash does not turn into thousands.
        const std::uint32_t tried = m_number;
        m_number = attempt == 0 ? numbers.TakeAfterClash(HighestNumber(m_folder)) : numbers.Take();
        if (m_number == tried) {
            m_number = tried + 1; // the counter could not be written; go on without it
        }
        m_path = layout::MessagePath(m_folder, m_number);
    }
    errno = EEXIST;
    return Fail();
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
            return n == 0 || Fail();
        }
        if (!Append({buffer.data(), static_cast<std::size_t>(n)})) {
            return false;
        }
        at += n;
    }
}

bool IncomingMessage::ShareOrCopy(const IncomingMessage& source, const std::string& folder,
                                  std::uint32_t number) {
    if (!source.m_fd || source.m_failed || source.m_tempPath.empty()) {
        errno = EIO;
        return Fail();
    }
    struct stat st {};
    if (::fstat(source.m_fd.Get(), &st) != 0) {
        return Fail();
    }
    if (!m_committed) {
        Discard();
    }
    m_committed = false;
    m_error = 0;
    m_folder = folder;
    m_number = number;
    m_path = layout::MessagePath(folder, number);
    const auto size = static_cast<std::size_t>(st.st_size);
    bool linkable = true;
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        m_tempPath = layout::TemporaryPath(folder, number, attempt);
        if (::link(source.m_tempPath.c_str(), m_tempPath.c_str()) == 0) {
            // One file under two names: removing either name leaves the other whole.
            m_shared = true;
            if (FaultAllowance(size) < size) {
                errno = ENOSPC;
                m_failed = true;
                return Fail();
            }
            StoreFaults::bytesWritten += static_cast<long>(size);
            return true;
        }
        if (errno != EEXIST) {
            linkable = false;
            break;
        }
    }
    m_tempPath.clear();
    if (linkable) {
        errno = EEXIST;
        return Fail();
    }
    // Another file system, or a file with too many names already: a copy of the bytes.
    return Open(folder, number) && CopyFrom(source);
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
    m_shared = false;
}

namespace {

/// The list of names a filing round is about to give, written before the first of them: one
/// line "DEVICE INODE PATH" per name. A name is removed at start-up only while it still names
/// that very file, so a name that turned out to be another message's is never touched.
class FilingJournal {
public:
    explicit FilingJournal(std::string path) : m_path(std::move(path)) {}
    FilingJournal(const FilingJournal&) = delete;
    FilingJournal& operator=(const FilingJournal&) = delete;
    ~FilingJournal() { file_util::CloseQuietly(m_fd); }

    /// Adds the name `file` is about to get. The text reaches the page cache at once, which
    /// a killed process leaves behind; a power cut is not what it is for.
    void Add(const IncomingMessage& file, const std::string& tempPath) {
        if (m_path.empty()) {
            return;
        }
        if (m_fd < 0) {
            m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                          layout::kMessageMode);
        }
        struct stat st {};
        if (m_fd >= 0 && ::stat(tempPath.c_str(), &st) == 0) {
            const std::string line = std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) +
                                     " " + file.Path() + "\n";
            file_util::WriteAll(m_fd, line.data(), line.size());
        }
    }
    /// Every name is given: the list goes. Returns the folder whose flush makes that last (it
    /// is flushed with the mailbox folders, before anyone hears 250), or nothing.
    std::optional<std::string> Finish() {
        if (m_fd < 0) {
            return std::nullopt;
        }
        file_util::CloseQuietly(m_fd);
        ::unlink(m_path.c_str());
        return file_util::FolderOf(m_path);
    }

private:
    std::string m_path;
    int m_fd = -1;
};

} // namespace

std::string FilingJournalPath(const std::string& storeRoot) {
    return storeRoot + "/.brevin-filing";
}

std::size_t RollBackUnfinishedFiling(const std::string& journalPath) {
    std::FILE* file = std::fopen(journalPath.c_str(), "re");
    if (file == nullptr) {
        return 0;
    }
    std::size_t removed = 0;
    std::set<std::string> folders;
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    char path[4097];
    while (std::fscanf(file, "%llu %llu %4096[^\n]\n", &dev, &ino, path) == 3) {
        struct stat st {};
        if (::lstat(path, &st) == 0 && st.st_dev == dev && st.st_ino == ino &&
            ::unlink(path) == 0) {
            ++removed;
            folders.insert(file_util::FolderOf(path));
        }
    }
    std::fclose(file);
    for (const std::string& folder : folders) {
        durable::FlushFolder(folder);
    }
    ::unlink(journalPath.c_str());
    durable::FlushFolder(file_util::FolderOf(journalPath));
    return removed;
}

void FileMessages(MessageNumbers& numbers, std::span<Delivery* const> deliveries,
                  const std::string& journalPath) {
    // Every file of a delivery, the message first.
    const auto eachFile = [](Delivery& d, auto&& fn) {
        fn(d.message);
        for (IncomingMessage& copy : d.copies) {
            fn(copy);
        }
    };
    // The first failure of a delivery is what its sender hears about.
    const auto failed = [](Delivery& d, const IncomingMessage& file, const std::string& path) {
        if (d.filed) {
            d.filed = false;
            d.error = file.Error() != 0 ? file.Error() : EIO;
            d.failedPath = path;
        }
    };
    std::uint32_t copiesWanted = 0;
    for (Delivery* d : deliveries) {
        d->copies.clear();
        d->error = 0;
        d->failedPath.clear();
        d->filed = true;
        if (!d->message.IsOpen() || d->message.m_failed) {
            failed(*d, d->message, d->message.Folder());
        }
        if (d->filed && !d->firstCopyNumber) {
            copiesWanted += static_cast<std::uint32_t>(d->copyFolders.size());
        }
    }
    std::uint32_t number = copiesWanted > 0 ? numbers.Take(copiesWanted) : 0;

    std::map<std::string, bool> folders; // folder -> its entries flushed
    std::set<std::string> madeFolders;   // folders made for the round: their parents' entries
    // Written files wait for their flush. All flushes of the round come first, then all
    // renames: no name becomes visible before every file of the round is on disk, and the
    // journal commits once for the data of many files. The data of all files is sent to the
    // disk together, then waited for file by file: by the time the first flush returns, most
    // of the others have little left to do.
    std::vector<std::pair<Delivery*, IncomingMessage*>> written;
    std::vector<std::pair<Delivery*, IncomingMessage*>> toName;
    std::size_t openFiles = 0;
    const auto flushWritten = [&] {
        // A lone file has nothing to overlap its flush with.
        for (const auto& [d, file] : written) {
            if (d->filed && written.size() > 1) {
                file->StartWriteback();
            }
        }
        std::vector<char> flushed(written.size(), 0);
        if (written.size() >= kWholeFileSystemFlushAt) {
            // One flush of the file system commits the journal once for every file, where
            // fsyncs side by side still pay a commit each on many disks.
            FileSystems fileSystems;
            for (std::size_t i = 0; i < written.size(); ++i) {
                fileSystems.Add(written[i].second->m_fd.Get());
                flushed[i] = written[i].first->filed && written[i].second->Flush(false) ? 1 : 0;
            }
            fileSystems.Flush();
            for (std::size_t i = 0; i < written.size(); ++i) {
                // A shared copy holds no descriptor: the message's own file stands for it.
                const bool synced = fileSystems.Flushed(i) || written[i].second->m_shared;
                const bool settled = written[i].second->Settle();
                flushed[i] = flushed[i] != 0 && synced && settled ? 1 : 0;
            }
        } else {
            ForEachAtOnce(written.size(), [&](std::size_t i) {
                flushed[i] = written[i].first->filed && written[i].second->Flush() ? 1 : 0;
            });
        }
        for (std::size_t i = 0; i < written.size(); ++i) {
            if (flushed[i] == 0) {
                failed(*written[i].first, *written[i].second, written[i].second->Path());
            }
        }
        toName.insert(toName.end(), written.begin(), written.end());
        written.clear();
        openFiles = 0;
    };
    for (Delivery* d : deliveries) {
        d->copies.reserve(d->copyFolders.size()); // `written` points into it
        if (d->message.m_madeFolder) {
            madeFolders.insert(file_util::FolderOf(d->message.Folder()));
        }
        std::uint32_t copyNumber = d->firstCopyNumber.value_or(number);
        if (d->filed && !d->firstCopyNumber) {
            number += static_cast<std::uint32_t>(d->copyFolders.size());
        }
        for (std::size_t i = 0; d->filed && i < d->copyFolders.size(); ++i) {
            // A message for many recipients must not run the process out of descriptors.
            if (openFiles >= kOpenFilesPerRound) {
                flushWritten();
            }
            const std::string& folder = d->copyFolders[i];
            if (!Exists(folder) && ::mkdir(folder.c_str(), layout::kFolderMode) == 0) {
                madeFolders.insert(file_util::FolderOf(folder));
            }
            IncomingMessage& copy = d->copies.emplace_back();
            if (!copy.ShareOrCopy(d->message, folder, copyNumber++)) {
                failed(*d, copy, folder);
            }
            if (!copy.m_shared) {
                written.emplace_back(d, &copy); // a copy of the bytes holds a descriptor
                ++openFiles;
            }
        }
        // The message and the copies sharing its file are settled together, the message
        // first: no shared name is given before the data behind it is flushed.
        written.emplace_back(d, &d->message);
        ++openFiles;
        for (IncomingMessage& copy : d->copies) {
            if (copy.m_shared) {
                written.emplace_back(d, &copy);
            }
        }
    }
    flushWritten();
    // A new folder must last as long as the files about to go into it.
    for (const std::string& parent : madeFolders) {
        if (!durable::FlushFolder(parent)) {
            for (Delivery* d : deliveries) {
                d->filed = false;
                d->error = d->error != 0 ? d->error : errno;
                d->failedPath = parent;
            }
        }
    }

    // Only a message with copies can be left half named; a message of one file is named in
    // one step, so it needs no list.
    FilingJournal journal(journalPath);
    for (const auto& [d, file] : toName) {
        if (d->filed && !d->copies.empty()) {
            journal.Add(*file, file->m_tempPath);
        }
    }
    for (const auto& [d, file] : toName) {
        const bool listed = !d->copies.empty();
        if (d->filed &&
            !file->Name(numbers, [&journal, listed, file = file](const IncomingMessage& f) {
                if (listed) {
                    journal.Add(f, file->m_tempPath);
                }
            })) {
            failed(*d, *file, file->Path());
        }
        if (d->filed) {
            folders.emplace(file->Folder(), false);
        }
    }
    // The list goes with the same flushes as the names: one commit of the journal covers both.
    if (const auto journalFolder = journal.Finish()) {
        folders.emplace(*journalFolder, false);
    }
    std::vector<std::pair<const std::string*, bool*>> toFlush;
    toFlush.reserve(folders.size());
    for (auto& [folder, flushed] : folders) {
        toFlush.emplace_back(&folder, &flushed);
    }
    if (toFlush.size() >= kWholeFileSystemFlushAt) {
        // The folders' new entries, likewise, in one commit per file system.
        FileSystems fileSystems;
        for (const auto& [folder, flushed] : toFlush) {
            const UniqueFd fd(::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            fileSystems.Add(fd.Get());
        }
        fileSystems.Flush();
        for (std::size_t i = 0; i < toFlush.size(); ++i) {
            *toFlush[i].second = fileSystems.Flushed(i);
        }
    } else {
        ForEachAtOnce(toFlush.size(), [&](std::size_t i) {
            *toFlush[i].second = durable::FlushFolder(*toFlush[i].first);
        });
    }

    std::set<std::string> emptied;
    for (Delivery* d : deliveries) {
        eachFile(*d, [&](const IncomingMessage& file) {
            const auto found = folders.find(file.Folder());
            if (d->filed && (found == folders.end() || !found->second)) {
                d->filed = false;
                d->error = EIO;
                d->failedPath = file.Folder();
            }
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
        durable::FlushFolder(folder);
    }
}

void UnfileMessages(std::span<Delivery* const> deliveries) {
    std::set<std::string> emptied;
    for (Delivery* d : deliveries) {
        emptied.insert(d->message.Folder());
        d->message.Discard();
        for (IncomingMessage& copy : d->copies) {
            emptied.insert(copy.Folder());
            copy.Discard();
        }
        d->copies.clear();
        d->filed = false;
    }
    for (const std::string& folder : emptied) {
        durable::FlushFolder(folder);
    }
}

std::size_t RemoveAbandonedMessages(const UserDirectory& users) {
    std::size_t removed = 0;
    // One look at the profile for every user: start-up with many users must stay quick.
    std::set<std::string> seen; // folders shared by several users are swept once
    for (const std::string& folder : users.MailboxPaths()) {
        if (!seen.insert(folder).second) {
            continue;
        }
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (layout::IsTemporaryName(entry.path().filename().string()) &&
                entry.is_regular_file(ec) && std::filesystem::remove(entry.path(), ec)) {
                ++removed;
            }
        }
    }
    return removed;
}

} // namespace brevin
