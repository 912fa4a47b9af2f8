// Uploads under way share the free space above the floor: what one has claimed and not yet
// written is not there for another, and a claim given back is.

#include "store/space_ledger.h"

#include <gtest/gtest.h>

namespace brevin {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

TEST(SpaceLedgerTest, ClaimsUnderWayCountAsTakenUntilWrittenOrGivenBack) {
    std::uint64_t free = 100 * kMiB; // the file system, as each write takes from it
    SpaceLedger ledger([&] { return std::optional<std::uint64_t>(free); });
    const std::uint64_t floor = 60 * kMiB;

    SpaceClaim first;
    SpaceClaim second;
    EXPECT_TRUE(ledger.Claim(first, 30 * kMiB, floor));
    EXPECT_FALSE(ledger.Claim(second, 20 * kMiB, floor)) << "only 10 MiB are left above the floor";
    EXPECT_TRUE(ledger.Claim(second, 10 * kMiB, floor));

    // Written bytes leave the claim and show in the file system instead: nothing changes.
    free -= 30 * kMiB;
    ledger.Wrote(first, 30 * kMiB);
    SpaceClaim third;
    EXPECT_FALSE(ledger.Claim(third, 1, floor));

    // Mail deleted meanwhile is seen at once, however recent the last measurement.
    free += 5 * kMiB;
    EXPECT_TRUE(ledger.Claim(third, 5 * kMiB, floor));
    { const SpaceClaim gone = std::move(second); } // an upload refused or ended
    SpaceClaim fourth;
    EXPECT_TRUE(ledger.Claim(fourth, 10 * kMiB, floor));
    EXPECT_EQ(ledger.Outstanding(), 15 * kMiB);
    EXPECT_TRUE(ledger.Claim(fourth, 1000 * kMiB, 0)) << "no floor: nothing is refused";
}

} // namespace
} // namespace brevin
