// How command lines are read: the four-letter command word in any letter case, the fifth
// character skipped, the argument up to the line end, the message number's rules, lines that
// name no command, over-long lines, pipelined lines, and QUIT keeping the connection.

#include "pop3_fixture.h"

#include <vector>

namespace brevin::testing {
namespace {

class Commands : public Pop3Test {
protected:
    void SetUp() override {
        server.AddUser("lice", "lice", "lice-pw");
        Pop3Test::SetUp();
        Put(1, MessageOfSize(120, 1));
        Put(2, MessageOfSize(80, 2));
        Put(3, MessageOfSize(95, 3));
    }

    static constexpr std::string_view kFullListing = "+OK 3 msg\r\n1 120\r\n2 80\r\n3 95\r\n.\r\n";
};

struct UserLine {
    std::string line;
    std::string password; // the password of the user the line must have named
};

TEST_F(Commands, TheCommandWordIsItsFirstFourLettersInAnyCaseAndTheFifthCharacterIsSkipped) {
    const std::vector<UserLine> cases = {
        {"user alice", kPassword}, {"USER alice", kPassword},  {"UsEr alice", kPassword},
        {"USERalice", "lice-pw"},  {"USER\talice", kPassword}, {"USER:lice", "lice-pw"},
        {"user lice", "lice-pw"},
    };
    for (const auto& [line, password] : cases) {
        SCOPED_TRACE(line);
        auto client = server.Pop3();
        ASSERT_EQ(Command(*client, line), "+OK Brevin server: continue\r\n");
        EXPECT_EQ(Command(*client, "PASS " + password), "+OK pwd is correct\r\n");
    }
}

TEST_F(Commands, LinesThatNameNoCommandGetANegativeReplyAndTheSessionGoesOn) {
    auto client = LoggedIn();
    for (const std::string line : {" STAT", "CAPA", "NOOP", "RSET", "TOP 1 0", "APOP alice 0123",
                                   "AUTH PLAIN", "STA", "", "\x01\x02\x03\x04", "ST AT"}) {
        SCOPED_TRACE(line);
        const std::string reply = Command(*client, line);
        EXPECT_TRUE(reply.starts_with("-ERR")) << reply;
        EXPECT_TRUE(reply.ends_with("\r\n"));
    }
    EXPECT_EQ(Command(*client, "STAT"), "+OK 3 120\r\n");
    EXPECT_EQ(Command(*client, "STATUS"), "+OK 3 120\r\n") << "STATUS runs STAT";
    EXPECT_EQ(MultiLine(*client, "LISTING"), kFullListing) << "LISTING runs LIST";
}

TEST_F(Commands, AMissingOrNonNumericNumberListsEverythingAndALeadingNumberNamesOneMessage) {
    auto client = LoggedIn();
    for (const std::string line : {"LIST", "list", "LIST 0", "LIST abc", "LIST -0", "LIST +",
                                   "LIST x2", "LIST ", "LIST  "}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(MultiLine(*client, line), kFullListing);
    }
    for (const std::string line : {"LIST 2", "LIST +2", "LIST 2xyz", "LIST 02", "LIST  2",
                                   "LIST \t 2", "LISTx2", "LIST 2 7", "LIST 2\r"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(Command(*client, line), "+OK 2 80\r\n");
    }
}

TEST_F(Commands, ABareLineFeedEndsALineAsCrLfDoes) {
    auto client = server.Pop3();
    client->Send("USER alice\nPASS alice-pw\nLIST 3\nLIST\n");
    EXPECT_EQ(client->ReadLine(), "+OK Brevin server: continue\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK pwd is correct\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK 3 95\r\n");
    EXPECT_EQ(client->ReadUntil(kEnd), kFullListing);
}

TEST_F(Commands, NumbersThatNameNoMessageAreRefused) {
    auto client = LoggedIn();
    for (const std::string number :
         {"4", "-1", "-2", "2147483648", "99999999999", "-99999999999", "4294967298"}) {
        SCOPED_TRACE(number);
        EXPECT_EQ(Command(*client, "LIST " + number), "-ERR Brevin server: no such message\r\n");
        EXPECT_EQ(Command(*client, "UIDL " + number), "-ERR Brevin server: no such message\r\n");
        EXPECT_EQ(Command(*client, "RETR " + number), "-ERR Brevin server: no such file\r\n");
        EXPECT_EQ(Command(*client, "DELE " + number), "-ERR Brevin server: no such message\r\n");
    }
    for (const std::string argument : {"", " 0", " abc", " -0"}) {
        SCOPED_TRACE(argument);
        EXPECT_EQ(Command(*client, "RETR" + argument), "-ERR Brevin server: no such file\r\n");
        EXPECT_EQ(Command(*client, "DELE" + argument), "-ERR Brevin server: no such message\r\n");
    }
    EXPECT_EQ(Command(*client, "STAT"), "+OK 3 120\r\n");
    client->Close();
    // Nothing was marked by the refused DELEs.
    client = LoggedIn();
    client->Close();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(std::filesystem::exists(Folder() / MessageName(1)));
    EXPECT_TRUE(std::filesystem::exists(Folder() / MessageName(2)));
    EXPECT_TRUE(std::filesystem::exists(Folder() / MessageName(3)));
}

TEST_F(Commands, PipelinedCommandsAreEachAnsweredInOrder) {
    auto client = server.Pop3();
    client->Send("USER alice\r\nPASS alice-pw\r\nSTAT\r\nLIST 1\r\nUIDL 1\r\nCAPA\r\nLIST\r\n"
                 "QUIT\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK Brevin server: continue\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK pwd is correct\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK 3 120\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK 1 120\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK TVNHMDAwMDEuYnZu\r\n");
    EXPECT_TRUE(client->ReadLine().starts_with("-ERR"));
    EXPECT_EQ(client->ReadUntil(kEnd), kFullListing);
    EXPECT_EQ(client->ReadLine(), "+OK Brevin server is closeing\r\n");
}

TEST_F(Commands, AnOverLongLineIsRefusedAndTheNextLineServed) {
    auto client = LoggedIn();
    client->Send("LIST " + std::string(5000, '1') + "\r\nSTAT\r\n");
    const std::string reply = client->ReadLine();
    EXPECT_TRUE(reply.starts_with("-ERR")) << reply;
    EXPECT_EQ(client->ReadLine(), "+OK 3 120\r\n");
    EXPECT_EQ(client->ReadFor(50ms), "") << "one reply for the long line, not one per piece";
}

TEST_F(Commands, QuitAnswersAndKeepsTheConnectionAndTheSession) {
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "QUIT"), "+OK Brevin server is closeing\r\n");
    EXPECT_EQ(client->ReadFor(100ms), "") << "the server does not close";
    EXPECT_EQ(Command(*client, "STAT"), "+OK 3 120\r\n") << "still logged in after QUIT";
    EXPECT_EQ(Command(*client, "quit now"), "+OK Brevin server is closeing\r\n");
}

} // namespace
} // namespace brevin::testing
