// STAT, LIST and UIDL over the mailbox as PASS found it: counts and sizes, the first message's
// size in STAT, unique ids that are the Base64 text of the file names, listings far longer
// than one reply buffer, and mail that arrives during a session.

#include "pop3/base64.h"
#include "pop3_fixture.h"

#include <vector>

namespace brevin::testing {
namespace {

class Listings : public Pop3Test {};

TEST_F(Listings, AnEmptyOrMissingMailboxListsNothing) {
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "STAT"), "+OK 0 0\r\n");
    EXPECT_EQ(MultiLine(*client, "LIST"), "+OK 0 msg\r\n.\r\n");
    EXPECT_EQ(MultiLine(*client, "UIDL"), "+OK list follow\r\n.\r\n");
    EXPECT_EQ(Command(*client, "LIST 1"), "-ERR Brevin server: no such message\r\n");
    EXPECT_EQ(Command(*client, "UIDL 1"), "-ERR Brevin server: no such message\r\n");

    server.AddUser("carol", "carol", "c", false);
    client = LoggedIn("carol", "c");
    EXPECT_EQ(Command(*client, "STAT"), "+OK 0 0\r\n");
    EXPECT_EQ(MultiLine(*client, "LIST"), "+OK 0 msg\r\n.\r\n");
}

TEST_F(Listings, StatCountsAndGivesTheFirstSizeListGivesEachSize) {
    Put(7, MessageOfSize(120));
    Put(12, MessageOfSize(80));
    Put(30, MessageOfSize(95));
    WriteFile(Folder() / "notes.txt", "not a message");
    std::filesystem::create_directory(Folder() / "MSG00001.bvn"); // a folder is no message
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "STAT"), "+OK 3 120\r\n");
    EXPECT_EQ(MultiLine(*client, "LIST"), "+OK 3 msg\r\n1 120\r\n2 80\r\n3 95\r\n.\r\n");
    EXPECT_EQ(Command(*client, "LIST 2"), "+OK 2 80\r\n");
    EXPECT_EQ(Command(*client, "LIST 3"), "+OK 3 95\r\n");
    EXPECT_EQ(Command(*client, "LIST 4"), "-ERR Brevin server: no such message\r\n");
}

TEST_F(Listings, UniqueIdsAreTheBase64TextOfTheFileNames) {
    // Names of 12, 13 and 14 bytes: whole groups only, one byte left over, two left over.
    Put(1, MessageOfSize(50));
    Put(100000, MessageOfSize(60));
    Put(1000000, MessageOfSize(70));
    auto client = LoggedIn();
    EXPECT_EQ(MultiLine(*client, "UIDL"), "+OK list follow\r\n"
                                          "1 TVNHMDAwMDEuYnZu\r\n"
                                          "2 TVNHMTAwMDAwLmJ2bg==\r\n"
                                          "3 TVNHMTAwMDAwMC5idm4=\r\n"
                                          ".\r\n");
    EXPECT_EQ(Command(*client, "UIDL 1"), "+OK TVNHMDAwMDEuYnZu\r\n");
    EXPECT_EQ(Command(*client, "UIDL 2"), "+OK TVNHMTAwMDAwLmJ2bg==\r\n");
    EXPECT_EQ(Command(*client, "UIDL 3"), "+OK TVNHMTAwMDAwMC5idm4=\r\n");
    client->Close();

    // The same file keeps its id in every session, also when others come and go around it.
    std::filesystem::remove(Folder() / MessageName(1));
    Put(5, MessageOfSize(50));
    client = LoggedIn();
    EXPECT_EQ(Command(*client, "UIDL 2"), "+OK TVNHMTAwMDAwLmJ2bg==\r\n");
}

TEST_F(Listings, ALongFileNameGetsItsWholeId) {
    const std::string name = std::string(200, 'n') + ".bvn";
    WriteFile(Folder() / name, MessageOfSize(40));
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "UIDL 1"), "+OK " + EncodeBase64(name) + "\r\n");
    EXPECT_EQ(EncodeBase64(name).size(), 272U);
}

TEST(UniqueIds, Base64FollowsTheStandardForEveryLengthAndByte) {
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("f"), "Zg==");
    EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
    EXPECT_EQ(EncodeBase64("foo"), "Zm9v");
    EXPECT_EQ(EncodeBase64("foob"), "Zm9vYg==");
    EXPECT_EQ(EncodeBase64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(EncodeBase64("foobar"), "Zm9vYmFy");
    std::string all;
    for (int byte = 0; byte < 256; ++byte) {
        all += static_cast<char>(byte);
    }
    EXPECT_EQ(EncodeBase64(all),
              "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+"
              "P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9"
              "fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8"
              "vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7"
              "/P3+/w==");
    EXPECT_EQ(EncodeBase64(std::string(3000, 'a')).size(), 4000U) << "no fixed-size area";
}

TEST_F(Listings, AFiveHundredMessageMailboxIsListedWhole) {
    std::string expectedList = "+OK 500 msg\r\n";
    std::string expectedUidl = "+OK list follow\r\n";
    for (unsigned i = 1; i <= 500; ++i) {
        const std::size_t size = 5 + (i * 37) % 400;
        Put(i, MessageOfSize(size, i));
        expectedList += std::to_string(i) + " " + std::to_string(size) + "\r\n";
        expectedUidl += std::to_string(i) + " " + EncodeBase64(MessageName(i)) + "\r\n";
    }
    expectedList += ".\r\n";
    expectedUidl += ".\r\n";
    ASSERT_GT(expectedList.size(), 3000U);
    ASSERT_GT(expectedUidl.size(), 3 * 3000U);

    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "STAT"), "+OK 500 " + std::to_string(5 + 37 % 400) + "\r\n");
    EXPECT_EQ(MultiLine(*client, "LIST"), expectedList);
    EXPECT_EQ(MultiLine(*client, "UIDL"), expectedUidl);
    // Pipelined behind a long listing, the next command is answered after its end.
    client->Send("UIDL\r\nLIST 500\r\n");
    EXPECT_EQ(client->ReadUntil(kEnd), expectedUidl);
    EXPECT_EQ(client->ReadLine(), "+OK 500 " + std::to_string(5 + (500 * 37) % 400) + "\r\n");
}

TEST_F(Listings, MailArrivingDuringASessionIsSeenByTheNextSession) {
    Put(1, MessageOfSize(100));
    auto client = LoggedIn();
    Put(2, MessageOfSize(200));
    EXPECT_EQ(Command(*client, "STAT"), "+OK 1 100\r\n");
    EXPECT_EQ(MultiLine(*client, "LIST"), "+OK 1 msg\r\n1 100\r\n.\r\n");
    EXPECT_EQ(Command(*client, "RETR 2"), "-ERR Brevin server: no such file\r\n");
    auto next = LoggedIn();
    EXPECT_EQ(MultiLine(*next, "LIST"), "+OK 2 msg\r\n1 100\r\n2 200\r\n.\r\n");
    // A new PASS takes the mailbox afresh.
    EXPECT_EQ(Command(*client, "PASS alice-pw"), "+OK pwd is correct\r\n");
    EXPECT_EQ(Command(*client, "STAT"), "+OK 2 100\r\n");
}

class PausedListings : public Pop3Test {
protected:
    PausedListings() : Pop3Test(20ms) {}
};

TEST_F(PausedListings, ALongListingArrivesWholeInPiecesAfterEachPause) {
    std::string expected = "+OK list follow\r\n";
    for (unsigned i = 1; i <= 300; ++i) {
        Put(i, MessageOfSize(10));
        expected += std::to_string(i) + " " + EncodeBase64(MessageName(i)) + "\r\n";
    }
    expected += ".\r\n";
    auto client = LoggedIn();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MultiLine(*client, "UIDL"), expected);
    // About 6.5 KB: three pieces, each after its pause.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
}

} // namespace
} // namespace brevin::testing
