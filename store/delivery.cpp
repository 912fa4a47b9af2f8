#include "store/delivery.h"

#include "store/durable_file.h"
#include "store/file_util.h"
#include "store/store_faults.h"
#include "store/store_layout.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <utility>

namespace brevin {

namespace {

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

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

/// Every file of a delivery, the message first.
template <typename Fn>
void ForEachFile(Delivery& d, Fn fn) {
    fn(d.message);
    for (IncomingMessage& copy : d.copies) {
        fn(copy);
    }
}

/// Marks `d` not filed because of `file`, at `path`. The first failure of a delivery is what
/// its sender hears about.
void NoteFailure(Delivery& d, const IncomingMessage& file, const std::string& path) {
    if (d.filed) {
        d.filed = false;
        d.error = file.Error() != 0 ? file.Error() : EIO;
        d.failedPath = path;
    }
}

/// A file of the round and the delivery it belongs to.
using RoundFile = std::pair<Delivery*, IncomingMessage*>;

/// One call of `FileMessages`, its steps in the order they must come, each over every delivery.
///
/// Written files wait for their flush. All flushes of the round come first, then all renames:
/// no name becomes visible before every file of the round is on disk, and the journal commits
/// once for the data of many files. The data of all files is sent to the disk together, then
/// waited for file by file: by the time the first flush returns, most of the others have little
/// left to do.
class FilingRound {
public:
    FilingRound(MessageNumbers& numbers, std::span<Delivery* const> deliveries)
        : m_numbers(numbers), m_deliveries(deliveries) {}

    /// Every delivery starts filed, unless its message is already lost; the copies of those
    /// that bring no numbers take theirs in one go.
    void NumberCopies();
    /// Makes each delivery's copies, flushing as it goes when too many files are open.
    void WriteCopies();
    /// Flushes every file still waiting, then the parents of the folders the round made.
    void FlushFiles();
    /// Gives every flushed file its final name, listing the names first in the journal.
    void NameFiles(const std::string& journalPath);
    /// Flushes each folder that got a name (and the journal's) once.
    void FlushFolders();
    /// Takes back every file of a delivery that failed anywhere.
    void SettleFailures();

private:
    void WriteCopiesOf(Delivery& d, std::uint32_t number);
    void FlushWritten();
    /// Whether each written file reached the disk, by one flush of each file system.
    std::vector<char> FlushTogether();
    /// The same, by fsyncs issued side by side.
    std::vector<char> FlushSideBySide();

    MessageNumbers& m_numbers;
    std::span<Delivery* const> m_deliveries;
    std::uint32_t m_nextNumber = 0;        // the next of the numbers taken for copies
    std::map<std::string, bool> m_folders; // folder -> its entries flushed
    std::set<std::string> m_madeFolders;   // folders made for the round: their parents' entries
    std::vector<RoundFile> m_written;      // waiting for their flush
    std::vector<RoundFile> m_toName;       // flushed (or failed), waiting for their names
    std::size_t m_openFiles = 0;
};

void FilingRound::NumberCopies() {
    std::uint32_t wanted = 0;
    for (Delivery* d : m_deliveries) {
        d->copies.clear();
        d->error = 0;
        d->failedPath.clear();
        d->filed = true;
        if (!d->message.IsOpen() || d->message.Failed()) {
            NoteFailure(*d, d->message, d->message.Folder());
        }
        if (d->filed && !d->firstCopyNumber) {
            wanted += static_cast<std::uint32_t>(d->copyFolders.size());
        }
    }
    m_nextNumber = wanted > 0 ? m_numbers.Take(wanted) : 0;
}

void FilingRound::WriteCopies() {
    for (Delivery* d : m_deliveries) {
        d->copies.reserve(d->copyFolders.size()); // m_written points into it
        if (d->message.MadeFolder()) {
            m_madeFolders.insert(file_util::FolderOf(d->message.Folder()));
        }
        const std::uint32_t number = d->firstCopyNumber.value_or(m_nextNumber);
        if (d->filed && !d->firstCopyNumber) {
            m_nextNumber += static_cast<std::uint32_t>(d->copyFolders.size());
        }
        WriteCopiesOf(*d, number);
        // The message and the copies sharing its file are settled together, the message
        // first: no shared name is given before the data behind it is flushed.
        m_written.emplace_back(d, &d->message);
        ++m_openFiles;
        for (IncomingMessage& copy : d->copies) {
            if (copy.Shared()) {
                m_written.emplace_back(d, &copy);
            }
        }
    }
}

void FilingRound::WriteCopiesOf(Delivery& d, std::uint32_t number) {
    for (std::size_t i = 0; d.filed && i < d.copyFolders.size(); ++i) {
        // A message for many recipients must not run the process out of descriptors.
        if (m_openFiles >= kOpenFilesPerRound) {
            FlushWritten();
        }
        const std::string& folder = d.copyFolders[i];
        if (!Exists(folder) && ::mkdir(folder.c_str(), layout::kFolderMode) == 0) {
            m_madeFolders.insert(file_util::FolderOf(folder));
        }
        IncomingMessage& copy = d.copies.emplace_back();
        if (!copy.ShareOrCopy(d.message, folder, number++)) {
            NoteFailure(d, copy, folder);
        }
        if (!copy.Shared()) {
            m_written.emplace_back(&d, &copy); // a copy of the bytes holds a descriptor
            ++m_openFiles;
        }
    }
}

void FilingRound::FlushFiles() {
    FlushWritten();
    // A new folder must last as long as the files about to go into it.
    for (const std::string& parent : m_madeFolders) {
        if (!durable::FlushFolder(parent)) {
            for (Delivery* d : m_deliveries) {
                d->filed = false;
                d->error = d->error != 0 ? d->error : errno;
                d->failedPath = parent;
            }
        }
    }
}

void FilingRound::FlushWritten() {
    // A lone file has nothing to overlap its flush with.
    for (const auto& [d, file] : m_written) {
        if (d->filed && m_written.size() > 1) {
            file->StartWriteback();
        }
    }
    const std::vector<char> flushed =
        m_written.size() >= kWholeFileSystemFlushAt ? FlushTogether() : FlushSideBySide();
    for (std::size_t i = 0; i < m_written.size(); ++i) {
        if (flushed[i] == 0) {
            NoteFailure(*m_written[i].first, *m_written[i].second, m_written[i].second->Path());
        }
    }
    m_toName.insert(m_toName.end(), m_written.begin(), m_written.end());
    m_written.clear();
    m_openFiles = 0;
}

std::vector<char> FilingRound::FlushTogether() {
    // One flush of the file system commits the journal once for every file, where fsyncs side
    // by side still pay a commit each on many disks.
    std::vector<char> flushed(m_written.size(), 0);
    FileSystems fileSystems;
    for (std::size_t i = 0; i < m_written.size(); ++i) {
        IncomingMessage& file = *m_written[i].second;
        fileSystems.Add(file.Descriptor());
        flushed[i] = m_written[i].first->filed && file.Flush(false) ? 1 : 0;
    }
    fileSystems.Flush();
    for (std::size_t i = 0; i < m_written.size(); ++i) {
        IncomingMessage& file = *m_written[i].second;
        // A shared copy holds no descriptor: the message's own file stands for it.
        const bool synced = fileSystems.Flushed(i) || file.Shared();
        const bool settled = file.Settle();
        flushed[i] = flushed[i] != 0 && synced && settled ? 1 : 0;
    }
    return flushed;
}

std::vector<char> FilingRound::FlushSideBySide() {
    std::vector<char> flushed(m_written.size(), 0);
    ForEachAtOnce(m_written.size(), [&](std::size_t i) {
        flushed[i] = m_written[i].first->filed && m_written[i].second->Flush() ? 1 : 0;
    });
    return flushed;
}

void FilingRound::NameFiles(const std::string& journalPath) {
    // Only a message with copies can be left half named; a message of one file is named in
    // one step, so it needs no list.
    FilingJournal journal(journalPath);
    for (const auto& [d, file] : m_toName) {
        if (d->filed && !d->copies.empty()) {
            journal.Add(file->Path(), file->TemporaryPath());
        }
    }
    for (const auto& [d, file] : m_toName) {
        const bool listed = !d->copies.empty();
        const auto naming = [&journal, listed](const IncomingMessage& renamed) {
            if (listed) {
                journal.Add(renamed.Path(), renamed.TemporaryPath());
            }
        };
        if (d->filed && !file->Name(m_numbers, naming)) {
            NoteFailure(*d, *file, file->Path());
        }
        if (d->filed) {
            m_folders.emplace(file->Folder(), false);
        }
    }
    // The list goes with the same flushes as the names: one commit of the journal covers both.
    if (const auto journalFolder = journal.Finish()) {
        m_folders.emplace(*journalFolder, false);
    }
}

void FilingRound::FlushFolders() {
    std::vector<std::pair<const std::string*, bool*>> toFlush;
    toFlush.reserve(m_folders.size());
    for (auto& [folder, flushed] : m_folders) {
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
}

void FilingRound::SettleFailures() {
    std::set<std::string> emptied;
    for (Delivery* d : m_deliveries) {
        ForEachFile(*d, [&](const IncomingMessage& file) {
            const auto found = m_folders.find(file.Folder());
            if (d->filed && (found == m_folders.end() || !found->second)) {
                d->filed = false;
                d->error = EIO;
                d->failedPath = file.Folder();
            }
        });
        if (!d->filed) {
            ForEachFile(*d, [&](IncomingMessage& file) {
                if (file.Committed()) {
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

} // namespace

void FileMessages(MessageNumbers& numbers, std::span<Delivery* const> deliveries,
                  const std::string& journalPath) {
    FilingRound round(numbers, deliveries);
    round.NumberCopies();
    round.WriteCopies();
    round.FlushFiles();
    round.NameFiles(journalPath);
    round.FlushFolders();
    round.SettleFailures();
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

} // namespace brevin
