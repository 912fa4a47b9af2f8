#include "store/mailbox_store.h"
#include "store/registry.h"
#include "store/store_faults.h"
#include "store_test_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brevin {
namespace {

using ::testing::ElementsAre;
using testing::FolderNames;
using ::testing::IsEmpty;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

std::vector<std::string> Names(const std::vector<MailboxEntry>& entries) {
    std::vector<std::string> names;
    for (const MailboxEntry& entry : entries) {
        names.push_back(entry.name);
    }
    return names;
}

std::span<const char> Bytes(std::string_view text) {
    return {text.data(), text.size()};
}

class MailboxTest : public ::testing::Test {
protected:
    MailboxTest() {
        std::filesystem::create_directories(root / "anna");
        WriteFile(dir.Path() / "brevin.INI", "[BREVIN]\nstore=" + root.string() + "\n");
    }
    void TearDown() override { StoreFaults::Reset(); }

    std::string Box() const { return (root / "anna").string(); }
    std::string Counter() const { return profile.Read("BREVIN", "conta", "<none>"); }

    ScratchDir dir;
    std::filesystem::path root = dir.Path() / "store";
    ProfileFile profile{dir.Path() / "brevin.INI"};
};

TEST(MessagePathTest, FormatsAtLeastFiveDigits) {
    EXPECT_EQ(MessagePath("/m/anna", 7), "/m/anna/MSG00007.bvn");
    EXPECT_EQ(MessagePath("/m/anna", 99999), "/m/anna/MSG99999.bvn");
    EXPECT_EQ(MessagePath("/m/anna", 100000), "/m/anna/MSG100000.bvn");
    EXPECT_EQ(MessagePath("box", 4294967295U), "box/MSG4294967295.bvn");
}

TEST_F(MailboxTest, ListsByMessageNumberThenByNameRegularFilesOnly) {
    // Made in an order unlike the wanted one, so the file system's order cannot pass for it.
    WriteFile(Box() + "/notes.txt", "not mail");
    WriteFile(Box() + "/NOTE.BVN", "n");
    WriteFile(Box() + "/MSG100000.bvn", "123456");
    WriteFile(Box() + "/zeta.bvn", "z");
    WriteFile(Box() + "/MSG99999.bvn", "12345");
    WriteFile(Box() + "/msg00003.BVN", "123");
    WriteFile(Box() + "/MSG7x.bvn", "7");
    std::filesystem::create_directory(Box() + "/x.bvn");
    std::filesystem::create_symlink(Box() + "/NOTE.BVN", Box() + "/link.bvn");

    const auto entries = ListMailbox(Box());
    EXPECT_THAT(Names(entries), ElementsAre("msg00003.BVN", "MSG99999.bvn", "MSG100000.bvn",
                                            "MSG7x.bvn", "NOTE.BVN", "zeta.bvn"));
    ASSERT_EQ(entries.size(), 6U);
    EXPECT_EQ(entries[1].size, 5U);
    EXPECT_EQ(entries[2].size, 6U);
    EXPECT_THAT(ListMailbox((root / "missing").string()), IsEmpty());
}

TEST_F(MailboxTest, ScanCountsAndMeasuresTheFirstMessage) {
    WriteFile(Box() + "/MSG00003.bvn", std::string(4000, 'c'));
    WriteFile(Box() + "/MSG00002.bvn", std::string(80, 'b'));
    WriteFile(Box() + "/MSG00001.bvn", std::string(120, 'a'));
    int count = -1;
    std::uint64_t size = 99;
    ASSERT_TRUE(ScanMailbox(profile, "anna", count, size));
    EXPECT_EQ(count, 3);
    EXPECT_EQ(size, 120U);
}

TEST_F(MailboxTest, ScanOfAnEmptyOrMissingMailboxIsFalseWithZeros) {
    WriteFile(Box() + "/notes.txt", "x");
    int count = -1;
    std::uint64_t size = 99;
    EXPECT_FALSE(ScanMailbox(profile, "anna", count, size));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(size, 0U);
    count = -1;
    EXPECT_FALSE(ScanMailbox(profile, "nobody", count, size));
    EXPECT_EQ(count, 0);
}

TEST_F(MailboxTest, FindMessageCountsFromOneWithinTheListing) {
    WriteFile(Box() + "/MSG00010.bvn", "ten\r\n.\r\n");
    WriteFile(Box() + "/MSG00009.bvn", "nine");
    std::string name = "unchanged";
    std::uint64_t size = 99;
    ASSERT_TRUE(FindMessage(profile, 2, "anna", name, size));
    EXPECT_EQ(name, "MSG00010.bvn");
    EXPECT_EQ(size, 8U);
    ASSERT_TRUE(FindMessage(profile, 1, "anna", name, size));
    EXPECT_EQ(name, "MSG00009.bvn");

    for (const long n : {0L, -1L, 3L}) {
        size = 99;
        EXPECT_FALSE(FindMessage(profile, n, "anna", name, size)) << n;
        EXPECT_EQ(size, 0U);
    }
    EXPECT_FALSE(FindMessage(profile, 1, "nobody", name, size));
}

TEST_F(MailboxTest, ScanAndFindReadTheStoreRootOnEveryCall) {
    const auto other = dir.Path() / "other";
    std::filesystem::create_directories(other / "anna");
    WriteFile(other / "anna" / "MSG00001.bvn", "x");
    int count = 0;
    std::uint64_t size = 0;
    EXPECT_FALSE(ScanMailbox(profile, "anna", count, size));
    ASSERT_TRUE(profile.Write("BREVIN", "store", other.string()));
    EXPECT_TRUE(ScanMailbox(profile, "anna", count, size));
    EXPECT_EQ(count, 1);
}

TEST_F(MailboxTest, MessageIsInvisibleUntilCommittedThenHoldsExactlyItsBytes) {
    WriteFile(dir.Path() / "brevin.INI", "[BREVIN]\nstore=" + root.string() + "\nconta=99999\n");
    IncomingMessage message;
    ASSERT_TRUE(message.Open(profile, Box()));
    EXPECT_EQ(Counter(), "100000") << "the number is taken when the file is made";
    const std::string data = "Subject: hi\r\n\r\n..stuffed\r\nbody\r\n.\r\n";
    ASSERT_TRUE(message.Append(Bytes(data.substr(0, 10))));
    ASSERT_TRUE(message.Append(Bytes(data.substr(10))));

    int count = -1;
    std::uint64_t size = 0;
    std::string name;
    EXPECT_FALSE(ScanMailbox(profile, "anna", count, size));
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(FindMessage(profile, 1, "anna", name, size));
    EXPECT_THAT(ListMailbox(Box()), IsEmpty());
    EXPECT_EQ(FolderNames(Box()).size(), 1U) << "the temporary file is there, just unlisted";

    ASSERT_TRUE(message.Commit(profile));
    EXPECT_EQ(message.Path(), Box() + "/MSG99999.bvn");
    EXPECT_EQ(ReadFile(message.Path()), data);
    EXPECT_THAT(FolderNames(Box()), ElementsAre("MSG99999.bvn"));
    ASSERT_TRUE(FindMessage(profile, 1, "anna", name, size));
    EXPECT_EQ(size, data.size());

    IncomingMessage next;
    ASSERT_TRUE(next.Open(profile, Box()));
    ASSERT_TRUE(next.Append(Bytes("x")));
    ASSERT_TRUE(next.Commit(profile));
    EXPECT_THAT(Names(ListMailbox(Box())), ElementsAre("MSG99999.bvn", "MSG100000.bvn"));
}

TEST_F(MailboxTest, NeverReplacesAnExistingFileAfterTheCounterWasReset) {
    WriteFile(Box() + "/MSG00000.bvn", "old mail 0");
    WriteFile(Box() + "/MSG00001.bvn", "old mail 1");
    WriteFile(Box() + "/MSG00005.bvn", "old mail 5");
    // No `conta`: as after a restored or hand-edited profile.
    IncomingMessage message;
    ASSERT_TRUE(message.Open(profile, Box()));
    ASSERT_TRUE(message.Append(Bytes("new mail")));
    ASSERT_TRUE(message.Commit(profile));

    EXPECT_EQ(ReadFile(Box() + "/MSG00000.bvn"), "old mail 0");
    EXPECT_EQ(ReadFile(Box() + "/MSG00001.bvn"), "old mail 1");
    EXPECT_EQ(ReadFile(Box() + "/MSG00005.bvn"), "old mail 5");
    EXPECT_EQ(message.Path(), Box() + "/MSG00006.bvn") << "moved past the highest number";
    EXPECT_EQ(ReadFile(message.Path()), "new mail");
    EXPECT_EQ(Counter(), "7");
    EXPECT_EQ(ListMailbox(Box()).size(), 4U);
}

TEST_F(MailboxTest, ClashWithANameMadeWhileTheMessageWasBeingWritten) {
    IncomingMessage message;
    ASSERT_TRUE(message.Open(profile, Box()));
    ASSERT_TRUE(message.Append(Bytes("mine")));
    WriteFile(message.Path(), "someone else's"); // e.g. a folder restored from a backup
    const std::string taken = message.Path();
    ASSERT_TRUE(message.Commit(profile));
    EXPECT_NE(message.Path(), taken);
    EXPECT_EQ(ReadFile(taken), "someone else's");
    EXPECT_EQ(ReadFile(message.Path()), "mine");
}

TEST_F(MailboxTest, DiscardAndDestructionLeaveNothingBehind) {
    {
        IncomingMessage dropped;
        ASSERT_TRUE(dropped.Open(profile, Box()));
        ASSERT_TRUE(dropped.Append(Bytes("half a mess")));
    }
    EXPECT_THAT(FolderNames(Box()), IsEmpty()) << "destroyed before Commit";

    IncomingMessage aborted;
    ASSERT_TRUE(aborted.Open(profile, Box()));
    ASSERT_TRUE(aborted.Append(Bytes("abc")));
    aborted.Discard();
    EXPECT_THAT(FolderNames(Box()), IsEmpty());
    EXPECT_FALSE(aborted.Commit(profile)) << "nothing left to commit";

    IncomingMessage regretted;
    ASSERT_TRUE(regretted.Open(profile, Box()));
    ASSERT_TRUE(regretted.Commit(profile));
    EXPECT_EQ(FolderNames(Box()).size(), 1U);
    regretted.Discard();
    EXPECT_THAT(FolderNames(Box()), IsEmpty()) << "Discard removes a committed file too";

    IncomingMessage kept;
    ASSERT_TRUE(kept.Open(profile, Box()));
    ASSERT_TRUE(kept.Commit(profile));
    EXPECT_TRUE(kept.Commit(profile)) << "a second Commit changes nothing";
    {
        IncomingMessage moved = std::move(kept);
        EXPECT_EQ(FolderNames(Box()).size(), 1U);
    }
    EXPECT_EQ(FolderNames(Box()).size(), 1U) << "committed mail outlives its object";

    IncomingMessage pending;
    ASSERT_TRUE(pending.Open(profile, Box()));
    IncomingMessage taker(std::move(pending));
    EXPECT_EQ(FolderNames(Box()).size(), 2U) << "the move kept the temporary file";
    taker = IncomingMessage();
    EXPECT_EQ(FolderNames(Box()).size(), 1U) << "overwriting dropped it";
}

TEST_F(MailboxTest, OpenInAMissingFolderFailsButUsesUpTheNumber) {
    IncomingMessage message;
    EXPECT_FALSE(message.Open(profile, (root / "nobody").string()));
    EXPECT_FALSE(message.IsOpen());
    EXPECT_FALSE(message.Append(Bytes("x")));
    EXPECT_FALSE(message.Commit(profile));
    EXPECT_EQ(Counter(), "1");
    EXPECT_FALSE(std::filesystem::exists(root / "nobody"));
}

TEST_F(MailboxTest, FullDiskFailsTheMessageAndLeavesNothing) {
    StoreFaults::FailWritesAfter(100);
    IncomingMessage message;
    ASSERT_TRUE(message.Open(profile, Box()));
    EXPECT_TRUE(message.Append(Bytes(std::string(60, 'a'))));
    EXPECT_FALSE(message.Append(Bytes(std::string(60, 'b'))));
    EXPECT_FALSE(message.Append(Bytes("c"))) << "stays failed";
    EXPECT_FALSE(message.Commit(profile));
    EXPECT_THAT(FolderNames(Box()), IsEmpty());
}

TEST_F(MailboxTest, CopyTakesItsOwnNumberAndCreatesTheFolder) {
    IncomingMessage first;
    ASSERT_TRUE(first.Open(profile, Box()));
    const std::string data(200'000, 'm'); // more than one copy chunk
    ASSERT_TRUE(first.Append(Bytes(data)));
    ASSERT_TRUE(first.Commit(profile));

    const auto copy = CopyMessage(profile, first.Path(), (root / "bob").string());
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(*copy, (root / "bob" / "MSG00001.bvn").string());
    EXPECT_EQ(ReadFile(*copy), data);
    EXPECT_THAT(FolderNames(root / "bob"), ElementsAre("MSG00001.bvn"));
    EXPECT_EQ(Counter(), "2");
}

TEST_F(MailboxTest, FailedCopyLeavesNothing) {
    WriteFile(Box() + "/MSG00000.bvn", std::string(1000, 'x'));
    std::filesystem::create_directory(root / "bob");
    StoreFaults::FailWritesAfter(500);
    EXPECT_FALSE(CopyMessage(profile, Box() + "/MSG00000.bvn", (root / "bob").string()));
    EXPECT_THAT(FolderNames(root / "bob"), IsEmpty());
    StoreFaults::Reset();

    EXPECT_FALSE(CopyMessage(profile, Box() + "/missing.bvn", (root / "bob").string()));
    EXPECT_THAT(FolderNames(root / "bob"), IsEmpty());
}

} // namespace
} // namespace brevin
