#include "store/delivery.h"
#include "store/mailbox.h"
#include "store/store_faults.h"
#include "store/users.h"
#include "store_test_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace brevin {
namespace {

using namespace testing; // brevin::testing: the store tests' helpers

class MailboxTest : public ::testing::Test {
protected:
    MailboxTest() {
        std::filesystem::create_directories(box);
        WriteFile(dir.Path() / "brevin.INI",
                  "[BREVIN]\nstore=" + root.string() + "\n[USERS]\nanna=anna\n");
    }
    void TearDown() override { StoreFaults::Reset(); }

    /// Writes `data` as a new message in `folder`; its final path.
    std::string Deliver(const std::string& folder, std::string_view data) {
        IncomingMessage message;
        EXPECT_TRUE(message.Open(numbers, folder));
        EXPECT_TRUE(message.Append(data));
        EXPECT_TRUE(message.Commit(numbers));
        return message.Path();
    }

    TempDir dir;
    std::filesystem::path root = dir.Path() / "store";
    std::string box = (root / "anna").string();
    ProfileFile profile{dir.Path() / "brevin.INI"};
    MessageNumbers numbers{profile, 1}; // one number at a time, so the counter shows each
};

TEST_F(MailboxTest, ListsRegularBvnFilesByMessageNumberThenByName) {
    // Made in an order unlike the wanted one, so the file system's order cannot pass for it.
    for (const char* name : {"notes.txt", "NOTE.BVN", "MSG100000.bvn", "zeta.bvn", "MSG99999.bvn",
                             "msg00003.BVN", "MSG7x.bvn"}) {
        WriteFile(box + "/" + name, name);
    }
    std::filesystem::create_directory(box + "/x.bvn");
    std::vector<std::string> names;
    for (const MailboxEntry& entry : ListMailbox(box)) {
        names.push_back(entry.name);
        EXPECT_EQ(entry.size, entry.name.size());
    }
    EXPECT_THAT(names, ::testing::ElementsAre("msg00003.BVN", "MSG99999.bvn", "MSG100000.bvn",
                                              "MSG7x.bvn", "NOTE.BVN", "zeta.bvn"));
    EXPECT_THAT(ListMailbox((root / "missing").string()), ::testing::IsEmpty());
}

TEST_F(MailboxTest, AMessageIsInvisibleUntilCommittedThenHoldsExactlyItsBytes) {
    ASSERT_TRUE(profile.Write("BREVIN", "conta", "99999"));
    IncomingMessage message;
    ASSERT_TRUE(message.Open(numbers, box));
    const std::string data = "Subject: hi\r\n\r\n..stuffed\r\nbody\r\n.\r\n";
    ASSERT_TRUE(message.Append(data.substr(0, 10)));
    ASSERT_TRUE(message.Append(data.substr(10)));
    EXPECT_EQ(FolderNames(box).size(), 1U) << "the temporary file is there, just unlisted";
    EXPECT_EQ(Mailbox(box).Count(), 0U);

    ASSERT_TRUE(message.Commit(numbers));
    EXPECT_EQ(ReadFile(message.Path()), data);
    EXPECT_EQ(Deliver(box, "x"), box + "/MSG100000.bvn");
    Mailbox mailbox(box);
    ASSERT_EQ(mailbox.Count(), 2U);
    EXPECT_EQ(mailbox.Entry(0).name, "MSG99999.bvn") << "ordered by number, not by name";
    EXPECT_EQ(mailbox.Entry(0).size, data.size() - 4) << "as a client holds it";
}

// After a restored or hand-edited profile the counter points at names already taken, and a
// name can be taken while a message is being written: no mail is ever replaced.
TEST_F(MailboxTest, NeverReplacesAnExistingFile) {
    WriteFile(box + "/MSG00000.bvn", "old 0");
    WriteFile(box + "/MSG00005.bvn", "old 5");
    EXPECT_EQ(Deliver(box, "new"), box + "/MSG00006.bvn") << "moved past the highest number";
    IncomingMessage message;
    ASSERT_TRUE(message.Open(numbers, box));
    const std::string taken = message.Path();
    WriteFile(taken, "someone else's");
    ASSERT_TRUE(message.Append(std::string_view("mine")));
    ASSERT_TRUE(message.Commit(numbers));
    EXPECT_EQ(ReadFile(message.Path()), "mine");
    EXPECT_EQ(ReadFile(taken), "someone else's");
    EXPECT_EQ(ReadFile(box + "/MSG00000.bvn"), "old 0");
    EXPECT_EQ(ReadFile(box + "/MSG00005.bvn"), "old 5");
}

TEST_F(MailboxTest, MessagesAbandonedByACrashAreRemovedAtStartUp) {
    IncomingMessage cut; // as a crash leaves it, for the start-up to remove
    ASSERT_TRUE(cut.Open(numbers, box));
    WriteFile(box + "/notes.tmp", "kept");
    EXPECT_EQ(RemoveAbandonedMessages(UserDirectory(profile)), 1U);
    EXPECT_THAT(FolderNames(box), ::testing::ElementsAre("notes.tmp"));
}

// Messages that finish together are filed together; each delivery stands or falls on its own.
TEST_F(MailboxTest, FilesDeliveriesTogetherEachWithItsCopiesOrNothingOfIt) {
    ASSERT_TRUE(profile.Write("BREVIN", "conta", "10"));
    const std::string bob = (root / "bob").string(); // made by the first copy into it
    const auto open = [&](std::string_view data, std::vector<std::string> copyFolders) {
        auto d = std::make_unique<Delivery>();
        EXPECT_TRUE(d->message.Open(numbers, box));
        EXPECT_TRUE(d->message.Append(data));
        d->copyFolders = std::move(copyFolders);
        return d;
    };
    auto twice = open("to anna twice and bob", {bob, box});
    auto alone = open("to anna", {});
    auto unmakeable = open("lost", {(root / "no" / "such").string()});
    auto tooBig = open(std::string(1000, 'x'), {bob}); // its copy meets a full disk
    StoreFaults::FailWritesAfter(500);
    Delivery* batch[] = {twice.get(), alone.get(), unmakeable.get(), tooBig.get()};
    FileMessages(numbers, batch);
    StoreFaults::Reset();

    EXPECT_TRUE(twice->filed);
    EXPECT_TRUE(alone->filed);
    EXPECT_FALSE(unmakeable->filed);
    EXPECT_FALSE(tooBig->filed);
    // Messages took 10 to 13 when opened; the copies 14 to 17 in one go.
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "18");
    EXPECT_THAT(FolderNames(box),
                ::testing::ElementsAre("MSG00010.bvn", "MSG00011.bvn", "MSG00015.bvn"));
    EXPECT_THAT(FolderNames(bob), ::testing::ElementsAre("MSG00014.bvn"));
    for (const std::string& path :
         {box + "/MSG00010.bvn", box + "/MSG00015.bvn", bob + "/MSG00014.bvn"}) {
        EXPECT_EQ(ReadFile(path), "to anna twice and bob") << path;
    }
    EXPECT_EQ(ReadFile(box + "/MSG00011.bvn"), "to anna");
}

// A round of many files flushes whole file systems: every one it wrote to, not only the first.
TEST_F(MailboxTest, AFailedFlushOfAnyFileSystemOfTheRoundFailsTheDelivery) {
    struct stat store {};
    struct stat shm {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(box.c_str(), &store) != 0 ||
        shm.st_dev == store.st_dev) {
        GTEST_SKIP() << "needs /dev/shm on a file system of its own";
    }
    const TempDir elsewhere("/dev/shm");
    Delivery d;
    ASSERT_TRUE(d.message.Open(numbers, box));
    ASSERT_TRUE(d.message.Append(std::string_view("to four")));
    for (const char* name : {"a", "b", "c"}) {
        d.copyFolders.push_back((elsewhere.Path() / name).string());
    }
    StoreFaults::failFileSystemFlushOf = static_cast<long long>(store.st_dev);
    Delivery* batch[] = {&d};
    FileMessages(numbers, batch);
    EXPECT_FALSE(d.filed);
    EXPECT_THAT(FolderNames(box), ::testing::IsEmpty());
    for (const std::string& folder : d.copyFolders) {
        EXPECT_THAT(FolderNames(folder), ::testing::IsEmpty()) << folder;
    }
}

// Copies are flushed in rounds, so a message for more recipients than the process may hold
// descriptors is filed all the same.
TEST_F(MailboxTest, ACopyForEachOfHundredsOfRecipientsNeedsNoDescriptorForEach) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit lowered{100, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    Delivery d;
    ASSERT_TRUE(d.message.Open(numbers, box));
    ASSERT_TRUE(d.message.Append(std::string_view("to everyone")));
    d.copyFolders.assign(300, box);
    Delivery* batch[] = {&d};
    FileMessages(numbers, batch);
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_TRUE(d.filed);
    EXPECT_EQ(FolderNames(box).size(), 301U);
}

} // namespace
} // namespace brevin
