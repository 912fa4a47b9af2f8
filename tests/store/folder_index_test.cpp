#include "store/folder_index.h"
#include "store/mailbox.h"
#include "store_test_util.h"

#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brevin::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

class FolderIndexTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(box); }

    void Put(const std::string& name, const std::string& text = "Subject: x\r\n\r\nbody\r\n.\r\n") {
        WriteFile(fs::path(box) / name, text);
    }
    static std::vector<std::uint32_t> Uids(const FolderSnapshot& snapshot) {
        std::vector<std::uint32_t> uids;
        for (const IndexedMessage& m : snapshot.messages) {
            uids.push_back(m.uid);
        }
        return uids;
    }
    static std::vector<std::string> Names(const FolderSnapshot& snapshot) {
        std::vector<std::string> names;
        for (const IndexedMessage& m : snapshot.messages) {
            names.push_back(m.name);
        }
        return names;
    }
    [[nodiscard]] std::string IndexFile() const { return box + "/.brevin/index"; }

    TempDir dir;
    std::string box = (dir.Path() / "ann").string();
};

// A restart is a new FolderIndex over the same files.
TEST_F(FolderIndexTest, UidsComeInListingOrderAndAreNeverGivenTwice) {
    Put("MSG00010.bvn");
    Put("MSG00002.bvn");
    Put("hand.bvn");
    std::uint32_t validity = 0;
    {
        FolderIndex index(box);
        const auto first = index.Refresh();
        ASSERT_TRUE(first->durable);
        validity = first->uidValidity;
        EXPECT_THAT(Names(*first), ElementsAre("MSG00002.bvn", "MSG00010.bvn", "hand.bvn"));
        EXPECT_THAT(Uids(*first), ElementsAre(1, 2, 3));
        EXPECT_EQ(first->messages[0].size, 20U) << "as a client holds it";
        // The newest message goes; its UID must not come back for the next one.
        EXPECT_THAT(index.Expunge(std::vector<std::uint32_t>{3}), ElementsAre(3));
        EXPECT_FALSE(fs::exists(box + "/hand.bvn"));
    }
    Put("MSG00011.bvn");
    fs::remove(box + "/MSG00002.bvn"); // by hand, behind the server's back
    FolderIndex restarted(box);
    const auto now = restarted.Refresh();
    EXPECT_EQ(now->uidValidity, validity);
    EXPECT_THAT(Names(*now), ElementsAre("MSG00010.bvn", "MSG00011.bvn"));
    EXPECT_THAT(Uids(*now), ElementsAre(2, 4));
    EXPECT_EQ(now->uidNext, 5U);

    // A folder moved away for a while is empty meanwhile, and whole again when it is back.
    fs::rename(box, box + ".away");
    EXPECT_TRUE(restarted.Refresh()->messages.empty());
    fs::rename(box + ".away", box);
    EXPECT_THAT(Uids(*restarted.Refresh()), ElementsAre(2, 4));
}

TEST_F(FolderIndexTest, FlagsSurviveARestartAndStayApartForAHardLinkedCopy) {
    const std::string other = (dir.Path() / "bob").string();
    fs::create_directory(other);
    Put("MSG00001.bvn");
    fs::create_hard_link(box + "/MSG00001.bvn", other + "/MSG00001.bvn");
    {
        FolderIndex ann(box);
        FolderIndex bob(other);
        ann.Refresh();
        bob.Refresh();
        const auto work = ann.Keyword("Work");
        ASSERT_TRUE(work);
        EXPECT_EQ(ann.Keyword("WORK"), work) << "keywords compare without regard to case";
        const FlagChange change{1, {system_flag::kSeen | system_flag::kFlagged, 1ULL << *work}};
        ASSERT_TRUE(ann.SetFlags({&change, 1}));
        EXPECT_GT(ann.Current()->highestModSeq, bob.Current()->highestModSeq);
    }
    FolderIndex ann(box);
    FolderIndex bob(other);
    const auto annNow = ann.Refresh();
    ASSERT_EQ(annNow->messages.size(), 1U);
    EXPECT_EQ(annNow->messages[0].flags.system, system_flag::kSeen | system_flag::kFlagged);
    EXPECT_THAT(annNow->keywords, ElementsAre("Work"));
    EXPECT_EQ(annNow->messages[0].modSeq, annNow->highestModSeq);
    EXPECT_EQ(bob.Refresh()->messages[0].flags, MessageFlags{}) << "flags are the folder's";
}

// Killed at any moment while changing flags, the server keeps every change it acknowledged and
// loads an index that reads clean.
TEST_F(FolderIndexTest, AKillAtAnyStepKeepsEveryAcknowledgedChange) {
    for (int i = 1; i <= 30; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "MSG%05d.bvn", i);
        Put(name);
    }
    FolderIndex(box).Refresh();
    for (int round = 0; round < 8; ++round) {
        int acks[2];
        ASSERT_EQ(::pipe(acks), 0);
        const pid_t child = Spawn([&] {
            ::close(acks[0]);
            FolderIndex index(box);
            index.Refresh();
            // Enough records that some rounds are killed while compacting.
            for (std::uint32_t n = 0;; ++n) {
                const FlagChange change{n % 30 + 1, {static_cast<std::uint8_t>(n % 32), n}};
                if (!index.SetFlags({&change, 1}) || ::write(acks[1], &n, sizeof n) != sizeof n) {
                    return false;
                }
            }
        });
        ::close(acks[1]);
        std::uint32_t last = 0;
        std::uint32_t got = 0;
        for (int reads = 0;
             reads < 200 + round * 300 && ::read(acks[0], &got, sizeof got) == sizeof got;
             ++reads) {
            last = got;
        }
        ::kill(child, SIGKILL);
        while (::read(acks[0], &got, sizeof got) == sizeof got) {
            last = got; // acknowledged before the kill landed
        }
        ::close(acks[0]);
        Wait(child);

        const ReadIndex read = ReadIndexText(ReadFile(IndexFile()));
        const std::string text = ReadFile(IndexFile());
        ASSERT_TRUE(text.empty() || text.back() == '\n' || read.snapshot.uidValidity != 0);
        FolderIndex index(box);
        const auto snapshot = index.Refresh();
        ASSERT_EQ(snapshot->messages.size(), 30U) << "round " << round;
        const IndexedMessage* m = snapshot->Find(last % 30 + 1);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->flags.keywords, last) << "round " << round;
    }
}

TEST_F(FolderIndexTest, ADamagedIndexKeepsWhatItCanAndALostOneStartsOver) {
    Put("MSG00001.bvn");
    Put("MSG00002.bvn");
    std::uint32_t validity = 0;
    {
        FolderIndex index(box);
        validity = index.Refresh()->uidValidity;
        const FlagChange seen{2, {system_flag::kSeen, 0}};
        ASSERT_TRUE(index.SetFlags({&seen, 1}));
    }
    // A flipped byte in the first message's record, and half a record at the end.
    std::string text = ReadFile(IndexFile());
    const std::size_t first = text.find("\n+ 1 ");
    ASSERT_NE(first, std::string::npos);
    text[first + 3] = '#';
    WriteFile(IndexFile(), text + "f 2 99 1");
    Put("MSG00003.bvn");
    {
        FolderIndex index(box);
        const auto snapshot = index.Refresh();
        EXPECT_EQ(snapshot->uidValidity, validity) << "the UIDs that were readable stand";
        EXPECT_THAT(Names(*snapshot), ElementsAre("MSG00002.bvn", "MSG00001.bvn", "MSG00003.bvn"));
        EXPECT_THAT(Uids(*snapshot), ElementsAre(2, 3, 4)) << "the unreadable one is new";
        EXPECT_EQ(snapshot->messages[0].flags.system, system_flag::kSeen);
    }
    EXPECT_FALSE(ReadIndexText(ReadFile(IndexFile())).damaged) << "rewritten clean";

    WriteFile(IndexFile(), "garbage\n");
    const auto restarted = FolderIndex(box).Refresh();
    EXPECT_NE(restarted->uidValidity, 0U);
    EXPECT_THAT(Uids(*restarted), ElementsAre(1, 2, 3));

    fs::remove_all(box + "/.brevin");
    EXPECT_EQ(FolderIndex(box).Refresh()->messages.size(), 3U) << "no message is ever lost";
}

// POP3 takes its numbering from a snapshot; what it deletes at QUIT leaves the index.
TEST_F(FolderIndexTest, Pop3DeletionsLeaveTheIndexAndLaterSnapshotsTellWhatChanged) {
    Put("MSG00001.bvn");
    Put("MSG00002.bvn");
    FolderIndex index(box);
    const auto before = index.Refresh();
    Mailbox pop3(box, before);
    pop3.Mark(0);
    Put("MSG00003.bvn");
    EXPECT_TRUE(RemoveMessages(index, pop3.MarkedNames()).empty());
    const auto after = index.Refresh();
    EXPECT_EQ(pop3.Count(), 2U) << "the session's numbering stays";
    const FolderChanges changes = CompareSnapshots(*before, *after);
    EXPECT_THAT(changes.expunged, ElementsAre(1));
    EXPECT_THAT(changes.added, ElementsAre(3));
    EXPECT_FALSE(fs::exists(box + "/MSG00001.bvn"));
    EXPECT_EQ(FolderIndex(box).Refresh()->messages.size(), 2U);
}

} // namespace
} // namespace brevin::testing
