// How fast the store files messages, against the machine's own limit for the same file work,
// and how long listing a big mailbox takes. Prints a table; asserts nothing.
//
// Storing one message: IncomingMessage::Open (takes a number from a block reserved in the
// profile: one durable rewrite of the profile per block), Append
// 1 KiB, Commit (fsync, rename without replacing, folder fsync).
// The bare operations: create, write 1 KiB, fsync, rename, folder fsync, nothing else.
// Both run in alternating rounds in the same folder tree, so a busy disk slows both alike.

#include "store/delivery.h"
#include "store/mailbox.h"
#include "store/users.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace brevin;

constexpr int kRounds = 10;
constexpr int kPerRound = 100;
constexpr auto kStoreBudget = std::chrono::seconds(16); // stops the rounds early on slow disks
constexpr int kListingSize = 10'000;
constexpr int kListingRepeats = 5;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void Die(const char* what) {
    std::perror(what);
    std::exit(1);
}

/// The file work of one message, done by hand.
void BareStore(const std::string& folder, int number, const std::string& data) {
    const std::string temp = folder + "/.bare" + std::to_string(number) + ".tmp";
    const std::string final = folder + "/BARE" + std::to_string(number) + ".bvn";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
        ::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), final.c_str()) != 0) {
        Die("bare store");
    }
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) {
        Die("bare folder fsync");
    }
    ::close(dir);
}

void StoreOne(MessageNumbers& numbers, const std::string& folder, const std::string& data) {
    IncomingMessage message;
    if (!message.Open(numbers, folder) || !message.Append({data.data(), data.size()}) ||
        !message.Commit(numbers)) {
        Die("store");
    }
}

template <typename Work>
double TimeMedian(int repeats, Work work) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = Clock::now();
        work();
        times.push_back(Seconds(Clock::now() - start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main() {
    std::string scratch = (std::filesystem::temp_directory_path() / "bench-store-XXXXXX").string();
    if (::mkdtemp(scratch.data()) == nullptr) {
        Die("mkdtemp");
    }
    const std::filesystem::path root = scratch;
    std::filesystem::create_directories(root / "store" / "anna");
    std::filesystem::create_directories(root / "bare");

    // A profile of a realistic size: a store root and twenty users with passwords.
    {
        std::ofstream ini(root / "brevin.INI", std::ios::binary);
        ini << "[BREVIN]\r\nstore=" << (root / "store").string() << "\r\nconta=0\r\n[USERS]\r\n";
        for (int i = 0; i < 20; ++i) {
            ini << "user" << i << "=folder" << i << "\r\n";
        }
        ini << "[PWD]\r\n";
        for (int i = 0; i < 20; ++i) {
            ini << "user" << i << "=password" << i << "\r\n";
        }
    }
    ProfileFile profile(root / "brevin.INI");
    MessageNumbers numbers(profile);
    const std::string box = (root / "store" / "anna").string();
    const std::string bareBox = (root / "bare").string();
    const std::string data(1024, 'm');

    std::printf("Storing 1 KiB messages (%s, %d rounds of %d, alternating)\n", scratch.c_str(),
                kRounds, kPerRound);
    Clock::duration bareTime{};
    Clock::duration storeTime{};
    int bareCount = 0;
    int storeCount = 0;
    std::vector<double> ratios;
    const auto started = Clock::now();
    for (int round = 0; round < kRounds && Clock::now() - started < kStoreBudget; ++round) {
        auto t0 = Clock::now();
        for (int i = 0; i < kPerRound; ++i) {
            BareStore(bareBox, bareCount++, data);
        }
        auto t1 = Clock::now();
        for (int i = 0; i < kPerRound; ++i) {
            StoreOne(numbers, box, data);
            ++storeCount;
        }
        auto t2 = Clock::now();
        bareTime += t1 - t0;
        storeTime += t2 - t1;
        ratios.push_back(Seconds(t2 - t1) / Seconds(t1 - t0));
    }
    std::sort(ratios.begin(), ratios.end());
    const double bareRate = bareCount / Seconds(bareTime);
    const double storeRate = storeCount / Seconds(storeTime);
    std::printf("  %-44s %9.0f msg/s  %8.1f us/msg\n",
                "bare (create, write, fsync, rename, dir fsync)", bareRate, 1e6 / bareRate);
    std::printf("  %-44s %9.0f msg/s  %8.1f us/msg\n", "store (Open, Append, Commit + counter)",
                storeRate, 1e6 / storeRate);
    std::printf("  cost ratio store/bare: %.2f overall, %.2f median of %zu rounds (%.2f to %.2f)"
                " (goal: at most 1.50)\n",
                bareRate / storeRate, ratios[ratios.size() / 2], ratios.size(), ratios.front(),
                ratios.back());

    // A big mailbox: 10,000 messages, written without flushing (only the listing is timed).
    const std::string big = (root / "store" / "big").string();
    std::filesystem::create_directories(big);
    for (int i = 0; i < kListingSize; ++i) {
        const std::string path = MessagePath(big, static_cast<std::uint32_t>(i));
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, data.data(), 512) != 512) {
            Die("listing setup");
        }
        ::close(fd);
    }
    std::printf("\nA mailbox of %d messages (median of %d)\n", kListingSize, kListingRepeats);
    std::size_t listed = 0;
    const double list = TimeMedian(kListingRepeats, [&] { listed = ListMailbox(big).size(); });
    std::printf("  %-44s %8.2f ms (%zu entries)\n", "ListMailbox (names and sizes)", list * 1e3,
                listed);

    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
