// How command lines are read and answered, and the authorisation that opens a mailbox only
// with its password.

#include "pop3_fixture.h"

namespace brevin::testing {
namespace {

using Pop3Commands = Pop3Test;

TEST_F(Pop3Commands, EachLineGetsItsReplyInTurn) {
    Put(1, Message(120));
    Put(2, Message(80));
    Put(3, Message(95));
    const std::string all = "+OK 3 msg\r\n1 117\r\n2 77\r\n3 92\r\n.\r\n";
    const std::string unknown = "-ERR Brevin server: command not recognised\r\n";
    const std::string noMessage = "-ERR Brevin server: no such message\r\n";
    const struct {
        std::string line;
        std::string reply;
    } steps[] = {
        // The first four letters in any case are the word; the argument follows the fifth byte.
        {"CAPA", "+OK Capability list follows\r\nTOP\r\nUIDL\r\nUSER\r\nPIPELINING\r\n"
                 "IMPLEMENTATION Brevin\r\n.\r\n"},
        {"UsEr alice", kContinue},
        {"PASS alice-pw", kPassOk},
        {"STAT", "+OK 3 286\r\n"}, // the count and the total size
        {"status", "+OK 3 286\r\n"},
        {"LISTING", all},
        {"NOOP", "+OK\r\n"},
        // Lines that name no command are refused, and the session goes on.
        {"AUTH PLAIN", unknown},
        {" STAT", unknown},
        {"STA", unknown},
        {"", unknown},
        // A missing or non-numeric number lists everything; a leading number names a message.
        {"LIST", all},
        {"LIST 0", all},
        {"LIST abc", all},
        {"LIST 2", "+OK 2 77\r\n"},
        {"LIST +2", "+OK 2 77\r\n"},
        {"LIST \t 02", "+OK 2 77\r\n"},
        {"LISTx2", "+OK 2 77\r\n"},
        {"UIDL 2", "+OK 2 TVNHMDAwMDIuYnZu\r\n"},
        // Numbers that name no message, also those that would wrap around to one.
        {"LIST 4", noMessage},
        {"LIST -1", noMessage},
        {"LIST 4294967298", noMessage},
        {"UIDL 2147483648", noMessage},
        {"RETR 4", kNoSuchFile},
        {"RETR 0", kNoSuchFile},
        {"RETR", kNoSuchFile},
        {"TOP 4 1", noMessage},
        {"TOP 1", "-ERR Brevin server: TOP needs a message number and a line count\r\n"},
        {"DELE 4", noMessage},
        {"DELE -4294967295", noMessage},
    };
    auto client = Pop3();
    for (const auto& [line, reply] : steps) {
        SCOPED_TRACE(line);
        client->Send(line + "\r\n");
        EXPECT_EQ(client->ReadExactly(reply.size()), reply);
    }
    // QUIT answers, deletes nothing unmarked, and closes.
    EXPECT_EQ(Command(*client, "QUIT"), "+OK Brevin server is closeing\r\n");
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_TRUE(Exists(1) && Exists(2) && Exists(3)) << "QUIT or a refused DELE deleted";

    // The fifth byte is skipped whatever it is: USERalice names lice.
    client = Pop3();
    EXPECT_EQ(Command(*client, "USERalice"), kContinue);
    EXPECT_EQ(Command(*client, "PASS lice-pw"), kPassOk);
    EXPECT_EQ(Command(*client, "STAT"), "+OK 0 0\r\n");
    EXPECT_EQ(MultiLine(*client, "LIST"), "+OK 0 msg\r\n.\r\n");
    EXPECT_EQ(MultiLine(*client, "UIDL"), "+OK list follow\r\n.\r\n");
}

TEST_F(Pop3Commands, TheMailboxOpensOnlyWithThePasswordOfTheLastUser) {
    Put(1, Message(120));
    const auto expectLockedOut = [](Client& client) {
        for (const char* line :
             {"STAT", "LIST", "UIDL 1", "RETR 1", "TOP 1 1", "DELE 1", "RSET", "NOOP"}) {
            SCOPED_TRACE(line);
            EXPECT_EQ(Command(client, line), "-ERR Brevin server: not authenticated\r\n");
        }
    };
    const std::string wrong = "-ERR this is not the pwd!!!\r\n";
    auto client = Pop3();
    expectLockedOut(*client);
    EXPECT_EQ(Command(*client, "USER alice"), kContinue);
    expectLockedOut(*client);
    EXPECT_EQ(Command(*client, "PASS alice-pw"), kPassOk);
    EXPECT_EQ(Command(*client, "STAT"), "+OK 1 117\r\n");
    EXPECT_EQ(Command(*client, "USER alice"), kContinue);
    expectLockedOut(*client);

    // The password of the last USER opens, and a wrong one closes again; after a failure every
    // answer to PASS from the address, right or wrong, waits out its penalty, on a timer: a
    // session opened before is served meanwhile. USER takes any name.
    auto other = LoggedIn();
    EXPECT_EQ(Command(*client, "USER nobody"), kContinue);
    EXPECT_EQ(Command(*client, "PASS alice-pw"), wrong);
    Command(*client, "USER alice");
    auto start = std::chrono::steady_clock::now();
    client->Send("PASS alice-pw\r\n");
    EXPECT_EQ(Command(*other, "STAT"), "+OK 1 117\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(client->ReadLine(), kPassOk);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2000ms) << "the first penalty is 2 s";
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(Command(*client, "PASS lice-pw"), wrong);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2000ms);
    expectLockedOut(*client);
}

TEST_F(Pop3Commands, AnEmptyPasswordOpensNothing) {
    auto client = Pop3();
    EXPECT_EQ(Command(*client, "USER nopw"), kContinue);
    EXPECT_EQ(Command(*client, "PASS "), "-ERR this is not the pwd!!!\r\n");
    EXPECT_EQ(Command(*client, "STAT"), "-ERR Brevin server: not authenticated\r\n");
}

} // namespace
} // namespace brevin::testing
