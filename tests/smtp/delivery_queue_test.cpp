// The delivery queue on a loop of the test's own: work waits for the end of the turn, is done
// for everyone at once, and is forgotten for a session that ends first.

#include "smtp/delivery_queue.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

namespace brevin::testing {
namespace {

TEST(DeliveryQueue, ServesEveryoneAtTheEndOfTheTurnAndForgetsTheWithdrawn) {
    TempDir dir;
    const std::string ann = (dir.Path() / "ann").string();
    const std::string bob = (dir.Path() / "bob").string();
    std::filesystem::create_directories(ann);
    ProfileFile profile(dir.Path() / "brevin.INI");
    profile.Write("BREVIN", "conta", "7");
    EventLoop loop;
    UserDirectory users(profile);
    DeliveryQueue queue(loop, users);

    Delivery kept;
    Delivery gone;
    std::vector<std::uint32_t> numbers;
    for (Delivery* d : {&kept, &gone, &kept}) {
        queue.TakeNumber(*d, [&](std::uint32_t n) { numbers.push_back(n); });
    }
    queue.Withdraw(gone);
    EXPECT_TRUE(numbers.empty()) << "nothing before the turn ends";
    loop.ProcessReady(1000);
    EXPECT_EQ(numbers, (std::vector<std::uint32_t>{7, 9})) << "8 is used up all the same";
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "10");

    ASSERT_TRUE(kept.message.Open(ann, 7));
    ASSERT_TRUE(kept.message.Append(std::string_view("kept\r\n.\r\n")));
    kept.copyFolders = {bob};
    ASSERT_TRUE(gone.message.Open(ann, 8));
    std::vector<bool> answers;
    for (Delivery* d : {&kept, &gone}) {
        queue.Submit(*d, [&](bool filed) { answers.push_back(filed); });
    }
    queue.Withdraw(gone);
    loop.ProcessReady(1000);
    EXPECT_EQ(answers, std::vector<bool>{true});
    EXPECT_EQ(ReadFile(ann + "/MSG00007.bvn"), "kept\r\n.\r\n");
    EXPECT_EQ(ReadFile(bob + "/MSG00010.bvn"), "kept\r\n.\r\n");
    gone = Delivery();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ann), {}), 1) << "nothing of gone";
}

} // namespace
} // namespace brevin::testing
