// The delivery queue on a loop of the test's own: numbers wait for the end of the turn, files
// are made and filed on threads and come back to the loop, and a withdrawn message leaves
// nothing, even when its session ends while its file is being made or filed.

#include "smtp/delivery_queue.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

namespace brevin::testing {
namespace {

/// Steps the loop until `done`, for at most five seconds.
template <typename Fn>
bool StepUntil(EventLoop& loop, Fn done) {
    for (int i = 0; i < 500 && !done(); ++i) {
        loop.ProcessReady(10);
    }
    return done();
}

TEST(DeliveryQueue, ServesEveryoneAndLeavesNothingOfTheWithdrawn) {
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
    // The numbers come from a block the worker reserves: the loop never waits for the profile.
    ASSERT_TRUE(StepUntil(loop, [&] { return numbers.size() == 2; }));
    EXPECT_EQ(numbers, (std::vector<std::uint32_t>{7, 9})) << "8 is used up all the same";
    EXPECT_GE(ParseCounter(profile.Read("BREVIN", "conta", "")), 10U);

    ASSERT_TRUE(kept.message.Open(ann, 7));
    ASSERT_TRUE(kept.message.Append(std::string_view("kept\r\n.\r\n")));
    kept.copyFolders = {bob};
    ASSERT_TRUE(gone.message.Open(ann, 8));
    std::vector<bool> answers;
    for (Delivery* d : {&kept, &gone}) {
        queue.Submit(*d, [&](const Delivery& r) { answers.push_back(r.filed); });
    }
    queue.Withdraw(gone);
    ASSERT_TRUE(StepUntil(loop, [&] { return !answers.empty(); }));
    EXPECT_EQ(answers, std::vector<bool>{true});
    EXPECT_EQ(ReadFile(ann + "/MSG00007.bvn"), "kept\r\n.\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ann), {}), 1) << "nothing of gone";
    ASSERT_EQ(std::distance(std::filesystem::directory_iterator(bob), {}), 1);
    EXPECT_EQ(ReadFile(std::filesystem::directory_iterator(bob)->path()), "kept\r\n.\r\n");

    // Withdrawn while the worker files it: the worker's copy of the delivery outlives the
    // session's, and what it filed is removed once the round is back.
    Delivery late;
    ASSERT_TRUE(late.message.Open(ann, 9));
    ASSERT_TRUE(late.message.Append(std::string(1 << 20, 'x')));
    late.copyFolders = {bob, bob};
    bool answered = false;
    queue.Submit(late, [&](const Delivery&) { answered = true; });
    loop.ProcessReady(1000); // the turn ends: the round goes to the worker
    queue.Withdraw(late);
    late = Delivery();
    EXPECT_TRUE(StepUntil(loop, [&] {
        return std::distance(std::filesystem::directory_iterator(ann), {}) == 1 &&
               std::distance(std::filesystem::directory_iterator(bob), {}) == 1;
    })) << "the late message is gone again";
    EXPECT_FALSE(answered);
}

TEST(DeliveryQueue, MakesTheFilesAskedForTogetherAndRemovesThoseOfTheGone) {
    TempDir dir;
    const std::string ann = (dir.Path() / "ann").string();
    const std::string bob = (dir.Path() / "bob").string(); // made with the file
    std::filesystem::create_directories(ann);
    ProfileFile profile(dir.Path() / "brevin.INI");
    EventLoop loop;
    UserDirectory users(profile);
    DeliveryQueue queue(loop, users);

    // Asked in one turn, so made together on the opener; the first answer comes while the
    // second file is made already, and its session goes.
    Delivery first;
    Delivery gone;
    std::vector<IncomingMessage> opened;
    queue.OpenMessage(first, bob, [&](IncomingMessage m) {
        opened.push_back(std::move(m));
        queue.Withdraw(gone);
    });
    queue.OpenMessage(gone, ann, [&](IncomingMessage m) { opened.push_back(std::move(m)); });
    ASSERT_TRUE(StepUntil(loop, [&] { return !opened.empty(); }));
    loop.ProcessReady(0);
    ASSERT_EQ(opened.size(), 1U);
    EXPECT_TRUE(opened[0].IsOpen());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(bob), {}), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ann), {}), 0) << "nothing of gone";
}

} // namespace
} // namespace brevin::testing
