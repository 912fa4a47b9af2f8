#include "folders/folder_service.h"
#include "store/mailbox.h"
#include "support/files.h"

#include <chrono>
#include <gtest/gtest.h>

namespace brevin::testing {
namespace {

namespace fs = std::filesystem;

class FolderServiceTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(box); }

    /// Runs the loop until `done`, for five seconds at most.
    template <typename Fn>
    bool StepUntil(Fn done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < end) {
            loop.ProcessReady(50);
        }
        return done();
    }

    TempDir dir;
    std::string box = (dir.Path() / "ann").string();
    EventLoop loop;
    FolderService folders{loop};
};

// What an idle IMAP session relies on: it is told of mail filed and of POP3's deletions
// without asking.
TEST_F(FolderServiceTest, WatchersHearOfFilingAndOfChangesMadeThroughTheService) {
    std::vector<std::size_t> seen;
    const FolderWatch watch = folders.Watch(
        box, [&](const FolderService::Snapshot& s) { seen.push_back(s->messages.size()); });
    WriteFile(box + "/MSG00001.bvn", "a\r\n.\r\n");
    folders.Changed(box);
    ASSERT_TRUE(StepUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen.back(), 1U);

    bool answered = false;
    FolderTicket quit = folders.Change(
        box, [](FolderIndex& index) { RemoveMessages(index, {"MSG00001.bvn"}); },
        [&](const FolderService::Snapshot& s) { answered = s->messages.empty(); });
    ASSERT_TRUE(StepUntil([&] { return seen.size() == 2; }));
    EXPECT_TRUE(answered);
    EXPECT_EQ(seen.back(), 0U);
    EXPECT_FALSE(fs::exists(box + "/MSG00001.bvn"));
}

// A session that goes while its change is on the worker hears nothing, but the change stands.
TEST_F(FolderServiceTest, ADroppedTicketDropsTheAnswerNotTheChange) {
    WriteFile(box + "/MSG00001.bvn", "a\r\n.\r\n");
    bool answered = false;
    bool finished = false;
    FolderTicket ticket = folders.Change(
        box, [](FolderIndex& index) { RemoveMessages(index, {"MSG00001.bvn"}); },
        [&](const FolderService::Snapshot&) { answered = true; });
    ticket.Drop();
    FolderTicket probe = folders.Open(
        box, [&](const FolderService::Snapshot& s) { finished = s->messages.empty(); });
    ASSERT_TRUE(StepUntil([&] { return finished; }));
    EXPECT_FALSE(answered);
}

} // namespace
} // namespace brevin::testing
