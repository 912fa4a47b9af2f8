// The command words and their replies on one connection, and the reduction of an address to
// the user name it carries.

#include "base/host_name.h"
#include "smtp/address.h"
#include "smtp_fixture.h"

namespace brevin::testing {
namespace {

using SmtpCommands = SmtpTest;

TEST_F(SmtpCommands, EachLineGetsItsReplyInTurn) {
    const std::string unknown = "500 Brevin Server : command not recognized\r\n";
    const std::string badParameter = "555 Brevin Server : MAIL parameter not recognized\r\n";
    const struct {
        const char* line;
        std::string reply;
    } steps[] = {
        {"HELO client.example", kOk},
        {"helo x", kOk},
        {"HeLo", kOk},
        {"EHLO client.example", "250-" + OfficialHostName() +
                                    " Brevin Server ready\r\n250-PIPELINING\r\n"
                                    "250-SIZE 52428800\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n"
                                    "250 AUTH PLAIN LOGIN\r\n"},
        {"HELP", "214 Brevin Server : HELO EHLO MAIL RCPT DATA RSET NOOP VRFY HELP QUIT\r\n"},
        {"NOOP", kOk},
        {"VRFY ann", "252 Brevin Server : cannot verify, but will try to deliver\r\n"},
        {"", unknown},
        {"STARTTLS", "454 Brevin Server : TLS not available\r\n"},
        {"STARTING", unknown}, // the one command known by more than its first four letters
        // MAIL takes the parameters EHLO offers, and a declared size within the limit.
        {"MAIL FROM:<s@x> SIZE=100 BODY=8BITMIME SMTPUTF8", kOk},
        {"MAIL FROM:<s@x> body=7bit size=52428800", kOk},
        {"MAIL FROM:<s@x> SIZE=52428801",
         "552 Brevin Server : message size exceeds fixed maximum message size\r\n"},
        {"MAIL FROM:<s@x> SIZE=99999999999999999999999",
         "552 Brevin Server : message size exceeds fixed maximum message size\r\n"},
        {"MAIL FROM:<s@x> BODY=BINARYMIME", badParameter},
        {"MAIL FROM:<s@x> SIZE=12k", badParameter},
        {"MAIL FROM:<s@x> RET=HDRS", badParameter},
        // Only the first four bytes count: MAILBOX is MAIL, and starts a new transaction.
        {"RCPT TO:<ann@x>", kOk},
        {"MAILBOX FROM:<s@x>", kOk},
        {"DATA", kNoRecipients},
        {"RCPT TO:<bob@x>", kOk},
        {"RSET", kOk},
        {"DATA", kNoRecipients},
        {"RCPT TO:<bob@x>", kOk},
        {"HELO again", kOk}, // a new greeting drops the transaction too
        {"DATA", kNoRecipients},
        // RCPT: the argument after the ':' at index 5 or later names a user with a folder.
        {"rcpt to:<ANN@x> SIZE=100", kOk},
        {"RCPT TO:ann@x", kOk},
        {"RCPT TO:<zed@x>", kNoSuchUser},
        {"RCPT TO:<ann>", kNoSuchUser},
        {"RCPT TO:ann", kNoSuchUser}, // no '@': the name keeps its line end
        {"RCPT:<ann@x>", kNoSuchUser},
        {"RCPT TO <ann@x>", kNoSuchUser},
        // QUIT answers, then closes.
        {"QUIT", "221 Ok. Done\r\n"},
    };
    auto greeted = server.Smtp(/*readBanner=*/false); // the banner, trailing blank included
    EXPECT_EQ(greeted->ReadLine(), "220 Ok. Brevin Server ready \r\n");
    auto client = server.Smtp();
    for (const auto& [line, reply] : steps) {
        SCOPED_TRACE(line);
        client->Send(std::string(line) + "\r\n");
        EXPECT_EQ(client->ReadExactly(reply.size()), reply);
    }
    EXPECT_TRUE(client->WaitClosed());
}

TEST_F(SmtpCommands, AMessageTakesAtMostAThousandRecipientsAndARepeatedOneCountsOnce) {
    auto client = server.Smtp();
    client->Send("RCPT TO:<bob@x>\r\n");
    for (int i = 0; i <= 1000; ++i) {
        client->Send(i % 2 == 0 ? "RCPT TO:<ann@x>\r\n" : "RCPT TO:<Ann@x>\r\n");
    }
    for (int i = 0; i <= 1001; ++i) {
        ASSERT_EQ(client->ReadLine(), kOk);
    }
    server.Limits().maxRecipients = 2; // read when a session starts
    auto limited = server.Smtp();
    limited->Send("RCPT TO:<ann@x>\r\nRCPT TO:<ANN@x>\r\nRCPT TO:<bob@x>\r\nRCPT TO:<eve@x>\r\n");
    EXPECT_EQ(limited->ReadLine() + limited->ReadLine() + limited->ReadLine(), kOk + kOk + kOk);
    EXPECT_EQ(limited->ReadLine(), "452 Brevin Server : too many recipients\r\n");
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
