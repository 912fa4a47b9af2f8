// The command words and their replies on one connection, and the reduction of an address to
// the user name it carries.

#include "smtp/address.h"
#include "smtp_fixture.h"

namespace brevin::testing {
namespace {

using SmtpCommands = SmtpTest;

TEST_F(SmtpCommands, EachLineGetsItsReplyInTurn) {
    const std::string unknown = "500 Brevin Server : command not recognized\r\n";
    const struct {
        const char* line;
        std::string reply;
    } steps[] = {
        {"HELO client.example", kOk},
        {"helo x", kOk},
        {"HeLo", kOk},
        // Lines that name no command are refused, so that clients fall back from EHLO.
        {"EHLO client.example", unknown},
        {"HELP", unknown},
        {"NOOP", unknown},
        {"", unknown},
        // Only the first four bytes count: MAILBOX is MAIL, and starts a new transaction.
        {"RCPT TO:<ann@x>", kOk},
        {"MAILBOX FROM:<s@x>", kOk},
        {"DATA", kNoRecipients},
        {"RCPT TO:<bob@x>", kOk},
        {"RSET", kOk},
        {"DATA", kNoRecipients},
        // RCPT: the argument after the ':' at index 5 or later names a user with a folder.
        {"rcpt to:<ANN@x> SIZE=100", kOk},
        {"RCPT TO:ann@x", kOk},
        {"RCPT TO:<zed@x>", kNoSuchUser},
        {"RCPT TO:<ann>", kNoSuchUser},
        {"RCPT TO:ann", kNoSuchUser}, // no '@': the name keeps its line end
        {"RCPT:<ann@x>", kNoSuchUser},
        {"RCPT TO <ann@x>", kNoSuchUser},
        // QUIT answers and keeps the connection.
        {"QUIT", "221 Ok. Done\r\n"},
        {"HELO again", kOk},
    };
    Client greeted; // the banner, trailing blank included
    ASSERT_TRUE(greeted.Connect(server.SmtpPort()));
    EXPECT_EQ(greeted.ReadLine(), "220 Ok. Brevin Server ready \r\n");
    auto client = server.Smtp();
    for (const auto& [line, reply] : steps) {
        SCOPED_TRACE(line);
        EXPECT_EQ(Command(*client, line), reply);
    }
}

TEST(SmtpAddress, ReducesToWhatFollowsTheLastBlankAndTheLastAngleBeforeTheFirstAt) {
    const struct {
        const char* text;
        bool accepted;
        const char* name;
    } cases[] = {
        {"<L@D>", true, "L"},
        {"MAIL FROM: <L@D>\r\n", true, "L"},
        {"L@", true, "L"},
        {"<First  Last@D>", true, "Last"},
        {"<x<y@D>", true, "y"},
        {"<A B<C@D>", true, "C"},
        {"<A<B C@D>", true, "C"},
        {"<a b@c@d>", true, "b"},
        {"<a@b>@c", true, "a"},
        {"MAIL FROM:L@D", true, "FROM:L"},
        {"<\"q\"@D>", true, "\"q\""},
        // No '@', or one at the very start: the whole text stays, refused.
        {"<postmaster>\r\n", false, "<postmaster>\r\n"},
        {"@D", false, "@D"},
        {"", false, ""},
        // Nothing left after the reduction.
        {"<@D>", false, ""},
        {"<L @D>", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string name = "previous";
        EXPECT_EQ(AddressToUserName(c.text, name), c.accepted);
        EXPECT_EQ(name, c.name);
    }
}

} // namespace
} // namespace brevin::testing
