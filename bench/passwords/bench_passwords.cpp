// How many password checks a second one core makes, at the cost new hashes get and at its
// neighbours, and how many with every core checking at once. Prints a table; asserts nothing.

#include "store/passwords.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace brevin;

constexpr auto kBudget = std::chrono::milliseconds(1500); // per row
constexpr int kMaxChecks = 500;                           // per row and thread

/// Checks the right password against `stored` until the budget is spent; checks a second.
double ChecksPerSecond(const std::string& stored, unsigned threads) {
    std::atomic<int> done{0};
    std::atomic<bool> wrong{false};
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < kMaxChecks && Clock::now() - start < kBudget; ++i) {
                if (!PasswordMatches(stored, "correct horse")) {
                    wrong = true;
                }
                ++done;
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (wrong) {
        std::fprintf(stderr, "a check failed\n");
        std::exit(1);
    }
    return done / std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main() {
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    std::printf("Password checks (yescrypt; %u cores; new hashes at cost %lu)\n", cores,
                kPasswordHashCost);
    std::printf("  %-6s %12s %10s %16s\n", "cost", "checks/s", "ms/check", "all cores checks/s");
    for (unsigned long cost = kPasswordHashCost - 1; cost <= kPasswordHashCost + 1; ++cost) {
        const std::string stored = HashPassword("correct horse", cost);
        if (stored.empty()) {
            std::perror("HashPassword");
            return 1;
        }
        const double one = ChecksPerSecond(stored, 1);
        const double all = ChecksPerSecond(stored, cores);
        std::printf("  %-6lu %12.1f %10.2f %16.1f%s\n", cost, one, 1e3 / one, all,
                    cost == kPasswordHashCost ? "   <- chosen" : "");
    }
    const double plain = ChecksPerSecond("correct horse", 1);
    std::printf("  %-6s %12.0f %10.4f %16s   (earlier versions' plain text)\n", "plain", plain,
                1e3 / plain, "-");
    return 0;
}
