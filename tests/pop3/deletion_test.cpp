// DELE marks; the marked files are deleted when the session ends, with or without QUIT, and
// stay listed and retrievable until then. Message numbers stay what the client saw while
// other sessions delete, and a mark whose file another session removed first is skipped.

#include "pop3_fixture.h"

namespace brevin::testing {
namespace {

class Deletion : public Pop3Test {
protected:
    void SetUp() override {
        Pop3Test::SetUp();
        for (unsigned i = 1; i <= 3; ++i) {
            Put(i, MessageOfSize(100 * i, i));
        }
    }

    [[nodiscard]] bool Exists(unsigned number) const {
        return std::filesystem::exists(Folder() / MessageName(number));
    }

    bool GoneSoon(unsigned number) {
        return WaitUntil([&] { return !Exists(number); });
    }
};

TEST_F(Deletion, MarkedMessagesStayUntilTheSessionEndsAfterQuit) {
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "DELE 2"), "+OK message deleted\r\n");
    EXPECT_EQ(Command(*client, "STAT"), "+OK 3 100\r\n");
    EXPECT_EQ(MultiLine(*client, "LIST"), "+OK 3 msg\r\n1 100\r\n2 200\r\n3 300\r\n.\r\n");
    EXPECT_EQ(MultiLine(*client, "RETR 2"), "+OK 200 bytes\r\n" + MessageOfSize(200, 2));
    EXPECT_EQ(Command(*client, "DELE 2"), "+OK message deleted\r\n") << "marked twice";
    EXPECT_EQ(Command(*client, "dele 3"), "+OK message deleted\r\n");
    EXPECT_EQ(Command(*client, "QUIT"), "+OK Brevin server is closeing\r\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(Exists(2) && Exists(3)) << "QUIT deletes nothing";
    EXPECT_EQ(Command(*client, "STAT"), "+OK 3 100\r\n");

    client->Close();
    EXPECT_TRUE(GoneSoon(2));
    EXPECT_TRUE(GoneSoon(3));
    EXPECT_TRUE(Exists(1));
    client = LoggedIn();
    EXPECT_EQ(MultiLine(*client, "LIST"), "+OK 1 msg\r\n1 100\r\n.\r\n");
}

TEST_F(Deletion, ADroppedConnectionStillDeletesWhatItMarked) {
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "DELE 1"), "+OK message deleted\r\n");
    EXPECT_EQ(Command(*client, "DELE 3"), "+OK message deleted\r\n");
    client.reset(); // no QUIT
    EXPECT_TRUE(GoneSoon(1));
    EXPECT_TRUE(GoneSoon(3));
    EXPECT_TRUE(Exists(2));
}

TEST_F(Deletion, AMarkWhoseFileIsAlreadyGoneIsSkippedAndTheRestAreDone) {
    auto first = LoggedIn();
    auto second = LoggedIn();
    EXPECT_EQ(Command(*first, "DELE 1"), "+OK message deleted\r\n");
    // The second session marks message 1 before its other marks.
    EXPECT_EQ(Command(*second, "DELE 1"), "+OK message deleted\r\n");
    EXPECT_EQ(Command(*second, "DELE 2"), "+OK message deleted\r\n");
    first->Close();
    EXPECT_TRUE(GoneSoon(1));
    second->Close();
    EXPECT_TRUE(GoneSoon(2));
    EXPECT_TRUE(Exists(3));
}

TEST_F(Deletion, NumbersStayWhatTheClientSawWhileAnotherSessionDeletes) {
    auto mine = LoggedIn();
    EXPECT_EQ(MultiLine(*mine, "LIST"), "+OK 3 msg\r\n1 100\r\n2 200\r\n3 300\r\n.\r\n");
    {
        auto other = LoggedIn();
        EXPECT_EQ(Command(*other, "DELE 1"), "+OK message deleted\r\n");
    }
    ASSERT_TRUE(GoneSoon(1));

    // Still the mailbox this session listed: message 2 is the 200-byte one, not the 300.
    EXPECT_EQ(Command(*mine, "STAT"), "+OK 3 100\r\n");
    EXPECT_EQ(Command(*mine, "LIST 2"), "+OK 2 200\r\n");
    EXPECT_EQ(Command(*mine, "UIDL 2"), "+OK TVNHMDAwMDIuYnZu\r\n");
    EXPECT_EQ(Command(*mine, "RETR 1"), "-ERR Brevin server: no such file\r\n");
    EXPECT_EQ(Command(*mine, "DELE 2"), "+OK message deleted\r\n");
    mine->Close();
    EXPECT_TRUE(GoneSoon(2));
    EXPECT_TRUE(Exists(3)) << "DELE 2 removed a message the client never named";
}

TEST_F(Deletion, MarksSurviveANewUserAndAreDoneAtTheEnd) {
    server.AddUser("bob", "bob", "b");
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "DELE 1"), "+OK message deleted\r\n");
    EXPECT_EQ(Command(*client, "USER bob"), "+OK Brevin server: continue\r\n");
    EXPECT_EQ(Command(*client, "DELE 2"), "-ERR Brevin server: not authenticated\r\n");
    client->Close();
    EXPECT_TRUE(GoneSoon(1));
    EXPECT_TRUE(Exists(2));
}

} // namespace
} // namespace brevin::testing
