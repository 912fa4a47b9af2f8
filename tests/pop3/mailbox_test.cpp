// The mailbox as PASS found it: listings with the sizes and ids of the messages, whatever
// their length; RETR and TOP sending each file so that the reply ends only at its end; DELE
// marks that only QUIT works off, while numbers stay what the client saw.

#include "base/base64.h"
#include "pop3_fixture.h"

namespace brevin::testing {
namespace {

using Pop3Listings = Pop3Test;

// Ids are the base64 text of the file names, whatever their length.
TEST_F(Pop3Listings, AFiveHundredMessageMailboxIsListedWhole) {
    std::string list = "+OK 501 msg\r\n";
    std::string uidl = "+OK list follow\r\n";
    std::size_t total = 0;
    const std::string longName = std::string(200, 'n') + ".bvn"; // listed after the numbers
    WriteFile(server.StoreRoot() / "alice" / longName, Message(80));
    for (unsigned i = 1; i <= 501; ++i) {
        const std::size_t size = i <= 500 ? 5 + i * 37 % 400 : 80;
        if (i <= 500) {
            Put(i, Message(size));
        }
        list += std::to_string(i) + " " + std::to_string(size - 3) + "\r\n";
        total += size - 3;
        uidl +=
            std::to_string(i) + " " + EncodeBase64(i <= 500 ? MessageName(i) : longName) + "\r\n";
    }
    list += ".\r\n";
    uidl += ".\r\n";
    ASSERT_GT(list.size(), 3000U);
    auto client = LoggedIn();
    // Pipelined: each reply comes whole, and the next only after it.
    client->Send("LIST\r\nUIDL\r\nSTAT\r\n");
    const std::string expected = list + uidl + "+OK 501 " + std::to_string(total) + "\r\n";
    EXPECT_EQ(client->ReadExactly(expected.size()), expected);
}

// Without a pause a step sends what the socket takes; with one, a piece of 3000 bytes.
class Pop3Retrieval : public Pop3Test,
                      public ::testing::WithParamInterface<std::chrono::milliseconds> {
protected:
    Pop3Retrieval() : Pop3Test(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Pause, Pop3Retrieval, ::testing::Values(0ms, 2ms));

TEST_P(Pop3Retrieval, EachFileArrivesWholeAndTheReplyEndsOnlyAtItsEnd) {
    const struct {
        std::string file;
        std::string wire; // what follows the status line
    } cases[] = {
        {"", ".\r\n"},
        {"x", "x\r\n.\r\n"},
        {Message(2999), Message(2999)},
        {Message(3000), Message(3000)},
        {Message(3001), Message(3001)},
        {Message(9000), Message(9000)},
        {std::string("..stuffed\r\nbare\nlf\r\nnul") + '\0' + "\xff\r\n.\r\n",
         std::string("..stuffed\r\nbare\nlf\r\nnul") + '\0' + "\xff\r\n.\r\n"},
        {"line\r\n.", "line\r\n.\r\n"},
        {std::string(2998, 'y') + "\r\n.", std::string(2998, 'y') + "\r\n.\r\n"},
        {std::string(3000, 'y') + "\r\n", std::string(3000, 'y') + "\r\n.\r\n"},
        // A sender's bare LF before a "." line must not end the reply for a client that splits
        // lines on LF: what follows would be read as the replies to its next commands.
        {"Subject: x\r\n\r\nhi\n.\r\n+OK 1 1\r\n\n.\n\r\n.\r\n",
         "Subject: x\r\n\r\nhi\n..\r\n+OK 1 1\r\n\n..\n\r\n.\r\n"},
    };
    for (unsigned i = 0; i < std::size(cases); ++i) {
        Put(i + 1, cases[i].file);
    }
    auto client = LoggedIn();
    for (unsigned i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i + 1);
        // The NOOP right behind shows that nothing follows the reply.
        client->Send("RETR " + std::to_string(i + 1) + "\r\nNOOP\r\n");
        const std::string status = client->ReadLine();
        EXPECT_TRUE(status.starts_with("+OK ") && status.ends_with(" bytes\r\n")) << status;
        const std::string expected = cases[i].wire + "+OK\r\n";
        EXPECT_TRUE(client->ReadExactly(expected.size()) == expected);
    }
}

TEST_F(Pop3Listings, TopSendsTheHeaderAndTheFirstLinesOfTheBody) {
    Put(1, "From: a\r\nSubject: b\r\n\r\nline 1\r\n..line 2\r\nline 3\r\n.\r\n");
    const std::string header = "+OK top of message follows\r\nFrom: a\r\nSubject: b\r\n\r\n";
    auto client = LoggedIn();
    EXPECT_EQ(MultiLine(*client, "TOP 1 0"), header + ".\r\n");
    EXPECT_EQ(MultiLine(*client, "top 1 2"), header + "line 1\r\n..line 2\r\n.\r\n");
    EXPECT_EQ(MultiLine(*client, "TOP 1 10"), header + "line 1\r\n..line 2\r\nline 3\r\n.\r\n");
}

class Pop3Deletion : public Pop3Test {
protected:
    void SetUp() override {
        Pop3Test::SetUp();
        for (unsigned i = 1; i <= 3; ++i) {
            Put(i, Message(100 * i));
        }
    }
};

TEST_F(Pop3Deletion, MarkedMessagesAreGoneForTheSessionAndDeletedOnlyAtQuit) {
    const std::string deleted = "-ERR Brevin server: message already deleted\r\n";
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "DELE 2"), kDeleted);
    EXPECT_EQ(Command(*client, "DELE 2"), deleted);
    EXPECT_EQ(Command(*client, "dele 3"), kDeleted);
    EXPECT_EQ(Command(*client, "STAT"), "+OK 1 97\r\n");
    EXPECT_EQ(MultiLine(*client, "LIST"), "+OK 1 msg\r\n1 97\r\n.\r\n");
    for (const char* line : {"RETR 2", "TOP 2 0", "LIST 3", "UIDL 3"}) {
        EXPECT_EQ(Command(*client, line), deleted) << line;
    }
    EXPECT_EQ(Command(*client, "RSET"), "+OK\r\n");
    EXPECT_EQ(Command(*client, "STAT"), "+OK 3 591\r\n");
    EXPECT_EQ(Command(*client, "DELE 2"), kDeleted);
    EXPECT_EQ(Command(*client, "DELE 3"), kDeleted);
    EXPECT_TRUE(Exists(2) && Exists(3));
    EXPECT_EQ(Command(*client, "QUIT"), "+OK Brevin server is closeing\r\n");
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_TRUE(!Exists(2) && !Exists(3));
    EXPECT_TRUE(Exists(1));
}

TEST_F(Pop3Deletion, ASessionThatEndsWithoutQuitDeletesNothing) {
    const std::string large = Message(6'000'000);
    Put(4, large);
    {
        auto client = LoggedIn();
        client->Send("DELE 1\r\nDELE 4\r\nRETR 3\r\n");
        const std::string expected = kDeleted + kDeleted + "+OK 297 bytes\r\n" + Message(300);
        EXPECT_TRUE(client->ReadExactly(expected.size()) == expected);
        EXPECT_EQ(Command(*client, "RSET"), "+OK\r\n");
        // Far more than the socket buffers hold: the server waits for room and loses nothing.
        client->Send("RETR 4\r\n");
        // The reply fills the connection before the client reads a byte of it.
        for (int i = 0; i < 100; ++i) {
            server.Step();
        }
        EXPECT_TRUE(client->ReadExactly(19 + large.size()) == "+OK 5999997 bytes\r\n" + large);
        client->Send("DELE 1\r\nRETR 4\r\n");
        client->ReadExactly(10000); // then dropped in the middle of a retrieval
    }
    ASSERT_TRUE(server.WaitUntil([] { return OpenSockets() == 0; }));
    EXPECT_TRUE(Exists(1) && Exists(2) && Exists(3) && Exists(4));
}

TEST_F(Pop3Deletion, NumbersStayFixedWhileAnotherSessionDeletesFirst) {
    auto mine = LoggedIn();
    {
        auto other = LoggedIn();
        EXPECT_EQ(Command(*other, "DELE 1"), kDeleted);
        EXPECT_EQ(Command(*other, "QUIT"), "+OK Brevin server is closeing\r\n");
    }
    ASSERT_TRUE(server.WaitUntil([&] { return !Exists(1); }));
    // Still the mailbox this session listed: message 2 is the 200-byte one, not the 300.
    EXPECT_EQ(Command(*mine, "LIST 2"), "+OK 2 197\r\n");
    EXPECT_EQ(Command(*mine, "RETR 1"), kNoSuchFile);
    // A mark whose file is gone counts as deleted, and the marks after it are worked off.
    EXPECT_EQ(Command(*mine, "DELE 1"), kDeleted);
    EXPECT_EQ(Command(*mine, "DELE 2"), kDeleted);
    EXPECT_EQ(Command(*mine, "QUIT"), "+OK Brevin server is closeing\r\n");
    EXPECT_TRUE(server.WaitUntil([&] { return !Exists(2); }));
    EXPECT_TRUE(Exists(3)) << "DELE 2 removed a message the client never named";
}

} // namespace
} // namespace brevin::testing
