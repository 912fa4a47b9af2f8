// The folder index against the work it replaces, in one run. Prints tables; asserts nothing.
//
// 1. Filing: rounds of messages filed into one folder, alone, and with the index brought up to
//    date after every round on a second thread, as the server does for a folder a session
//    watches. Rounds alternate, so a busy disk slows both alike.
// 2. A folder of 100,000 messages: the first look (building the index from the files), then
//    opening it warm (a restarted server), and the heap each indexed message takes.
// 3. A POP3 mailbox of 10,000 messages opened as POP3 did before the index (a listing, then
//    the recorded size of every file) and from the index.
// Usage: bench_folders [scratch folder]   (default: the system's temporary folder)

#include "store/delivery.h"
#include "store/durable_file.h"
#include "store/folder_index.h"
#include "store/mailbox.h"
#include "store/store_layout.h"
#include "store/users.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <malloc.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace brevin;
namespace fs = std::filesystem;

constexpr int kFilingRounds = 40; // of each kind
constexpr int kPerRound = 20;     // messages
constexpr int kBigFolder = 100'000;
constexpr int kPop3Folder = 10'000;
constexpr int kRepeats = 5;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

template <typename Fn>
double Median(int repeats, Fn fn) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = Clock::now();
        fn();
        times.push_back(Seconds(Clock::now() - start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

const std::string kMessage = [] {
    std::string text = "From: a@lan\r\nTo: b@lan\r\nSubject: bench\r\n\r\n";
    while (text.size() < 1000) {
        text += "The quick brown fox jumps over the lazy dog.\r\n";
    }
    return text + ".\r\n";
}();

/// Files `count` messages into `folder` in one round; returns its seconds.
double FileRound(MessageNumbers& numbers, const std::string& folder, int count) {
    std::vector<Delivery> deliveries(static_cast<std::size_t>(count));
    std::vector<Delivery*> round;
    const auto start = Clock::now();
    for (Delivery& d : deliveries) {
        if (!d.message.Open(numbers, folder) || !d.message.Append(kMessage)) {
            std::perror("open");
            std::exit(1);
        }
        round.push_back(&d);
    }
    FileMessages(numbers, round);
    return Seconds(Clock::now() - start);
}

void Filing(const fs::path& scratch) {
    const fs::path root = scratch / "filing";
    fs::create_directories(root / "plain");
    fs::create_directories(root / "indexed");
    ProfileFile profile((root / "brevin.INI").string());
    MessageNumbers numbers(profile);
    const std::string plain = (root / "plain").string();
    const std::string indexed = (root / "indexed").string();
    FolderIndex index(indexed);
    index.Refresh();
    double plainSeconds = 0;
    double indexedSeconds = 0;
    std::thread indexer; // indexes the round before while the next one is filed
    for (int r = 0; r < kFilingRounds; ++r) {
        if (r % 2 == 0) {
            plainSeconds += FileRound(numbers, plain, kPerRound);
        }
        const auto start = Clock::now();
        FileRound(numbers, indexed, kPerRound);
        if (indexer.joinable()) {
            indexer.join();
        }
        indexer = std::thread([&] { index.Refresh(); });
        indexedSeconds += Seconds(Clock::now() - start);
        if (r % 2 == 1) {
            plainSeconds += FileRound(numbers, plain, kPerRound);
        }
    }
    const auto start = Clock::now();
    indexer.join();
    indexedSeconds += Seconds(Clock::now() - start);
    const double n = kFilingRounds * kPerRound;
    std::printf("Filing %d rounds of %d messages of 1 KiB into one folder\n", kFilingRounds,
                kPerRound);
    std::printf("  %-46s %9.0f msg/s\n", "plain folder", n / plainSeconds);
    std::printf("  %-46s %9.0f msg/s  (%.1f%% of plain)\n",
                "indexed folder, indexed after each round", n / indexedSeconds,
                100.0 * plainSeconds / indexedSeconds);
    std::printf("  %-46s %9zu\n", "messages in the index at the end",
                index.Current()->messages.size());
}

/// Sets the folder's time a minute back, as it is for a folder at rest: a scan trusts it.
void AtRest(const fs::path& folder) {
    const timespec old[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    ::utimensat(AT_FDCWD, folder.c_str(), old, 0);
}

/// A folder of `count` messages with recorded sizes, indexed once, at rest.
void MakeFolder(const fs::path& folder, int count) {
    fs::create_directories(folder);
    const std::string text = "Subject: x\r\n\r\nbody\r\n.\r\n";
    for (int i = 1; i <= count; ++i) {
        const std::string path =
            layout::MessagePath(folder.string(), static_cast<std::uint32_t>(i));
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            std::perror("make folder");
            std::exit(1);
        }
        layout::RecordSize(fd, text.size() - 3);
        ::close(fd);
    }
    AtRest(folder);
}

void BigFolder(const fs::path& scratch) {
    const fs::path folder = scratch / "big";
    MakeFolder(folder, kBigFolder);
    const auto start = Clock::now();
    std::size_t indexed = FolderIndex(folder.string()).Refresh()->messages.size();
    const double cold = Seconds(Clock::now() - start);
    AtRest(folder);                         // making the index's own folder changed the time
    FolderIndex(folder.string()).Refresh(); // a scan now trusts the time, and records that
    const double warm = Median(
        kRepeats, [&] { indexed = FolderIndex(folder.string()).Refresh()->messages.size(); });
    const std::size_t heapBefore = ::mallinfo2().uordblks;
    std::shared_ptr<const FolderSnapshot> held;
    {
        FolderIndex index(folder.string());
        held = index.Refresh();
    } // the index goes, as the server's may: what a selected session holds is the snapshot
    const std::size_t heapAfter = ::mallinfo2().uordblks;
    // Why the index grows by appended records: a flag change costs one write, where replacing
    // the file by rename costs the whole file and two flushes.
    FolderIndex index(folder.string());
    index.Refresh();
    std::uint32_t uid = 0;
    const double append = Median(21, [&] {
        const FlagChange change{++uid, {system_flag::kSeen, 0}};
        index.SetFlags({&change, 1});
    });
    const std::string whole = [&] {
        std::ifstream in(layout::IndexPath(folder.string()), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    const std::string copy = (scratch / "index-copy").string();
    const double replace =
        Median(3, [&] { durable::ReplaceFile(copy, whole, 0600, copy + ".new"); });
    std::printf("A folder of %d messages\n", kBigFolder);
    std::printf("  %-46s %9.1f ms\n", "first look: the index built from the files", cold * 1e3);
    std::printf("  %-46s %9.1f ms  (median of %d)\n", "opened warm, by a fresh index object",
                warm * 1e3, kRepeats);
    std::printf("  %-46s %9.1f bytes  (%zu messages)\n", "heap per message while selected",
                static_cast<double>(heapAfter - heapBefore) / static_cast<double>(indexed),
                held->messages.size());
    std::printf("  %-46s %9.3f ms  (median of 21)\n", "a flag change, appended", append * 1e3);
    std::printf("  %-46s %9.1f ms  (%.1f MB, median of 3)\n",
                "the same index replaced whole by rename", replace * 1e3,
                static_cast<double>(whole.size()) / 1e6);
}

/// POP3's opening before the index: a listing, then each file's recorded size.
std::size_t OpenAsBefore(const std::string& folder) {
    std::size_t found = 0;
    for (const MailboxEntry& entry : ListMailbox(folder)) {
        found += layout::ReadRecordedSize(folder + "/" + entry.name).has_value() ? 1 : 0;
    }
    return found;
}

void Pop3Opening(const fs::path& scratch) {
    const fs::path folder = scratch / "pop3";
    MakeFolder(folder, kPop3Folder);
    FolderIndex(folder.string()).Refresh();
    AtRest(folder);
    FolderIndex(folder.string()).Refresh();
    std::size_t count = 0;
    const double before = Median(kRepeats, [&] { count = OpenAsBefore(folder.string()); });
    const double now = Median(kRepeats, [&] {
        FolderIndex index(folder.string());
        count = Mailbox(folder.string(), index.Refresh()).Count();
    });
    // A running server keeps the index: a second login finds it up to date in memory.
    FolderIndex kept(folder.string());
    kept.Refresh();
    const double again =
        Median(kRepeats, [&] { count = Mailbox(folder.string(), kept.Refresh()).Count(); });
    std::printf("Opening a POP3 mailbox of %d messages (sizes for STAT and LIST)\n", kPop3Folder);
    std::printf("  %-46s %9.2f ms\n", "as before: listing + a size per file", before * 1e3);
    std::printf("  %-46s %9.2f ms  (%.1fx)\n", "from the index, read from disk", now * 1e3,
                before / now);
    std::printf("  %-46s %9.3f ms  (%.0fx)\n", "from the index the server keeps", again * 1e3,
                before / again);
    (void)count;
}

} // namespace

int main(int argc, char** argv) {
    const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    std::string pattern = (base / "brevin-bench-folders-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path scratch = pattern;
    Filing(scratch);
    BigFolder(scratch);
    Pop3Opening(scratch);
    fs::remove_all(scratch);
    return 0;
}
