// The command words and their replies, on a real connection: the four-byte word in any letter
// case, lines that name no command, QUIT that leaves the connection open, one reply per line.

#include "smtp_fixture.h"

namespace brevin::testing {
namespace {

class Commands : public SmtpTest {};

TEST_F(Commands, HeloInAnyLetterCaseIsAcknowledgedWithTheExactText) {
    auto client = server.Smtp();
    for (const char* line : {"HELO client.example", "helo client.example", "HeLo x", "HELO"}) {
        EXPECT_EQ(Command(*client, line), kOk) << line;
    }
}

TEST_F(Commands, LinesThatNameNoCommandGetA500AndTheSessionGoesOn) {
    auto client = server.Smtp();
    for (const char* line : {"EHLO client.example", "HELP", "NOOP", "VRFY ann", "TURN", "HI", "",
                             "   HELO x", "\tRSET"}) {
        const std::string reply = Command(*client, line);
        EXPECT_TRUE(reply.starts_with("500")) << line << " -> " << reply;
        EXPECT_TRUE(reply.ends_with("\r\n")) << line;
    }
    EXPECT_EQ(Command(*client, "HELO x"), kOk);
}

TEST_F(Commands, OnlyTheFirstFourBytesCount) {
    auto client = server.Smtp();
    // MAILBOX is MAIL: it begins a transaction, which forgets the recipient before it.
    ASSERT_EQ(Command(*client, "RCPT TO:<ann@x>"), kOk);
    EXPECT_EQ(Command(*client, "MAILBOX FROM:<s@x>"), kOk);
    EXPECT_EQ(Command(*client, "DATA"), kNoRecipients);
    // DATAX is DATA, RCPTX is RCPT, RSETTLE is RSET, QUITE is QUIT.
    EXPECT_EQ(Command(*client, "rcptx TO:<ann@x>"), kOk);
    EXPECT_EQ(Command(*client, "RSETTLE"), kOk);
    EXPECT_EQ(Command(*client, "DATA"), kNoRecipients);
    EXPECT_EQ(Command(*client, "RCPT TO:<ann@x>"), kOk);
    EXPECT_EQ(Command(*client, "DATAX"), kStartData);
    client->Send(".\r\n");
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(Command(*client, "QUITE"), kClosing);
}

TEST_F(Commands, QuitAnswersAndLeavesTheConnectionOpen) {
    auto client = server.Smtp();
    EXPECT_EQ(Command(*client, "QUIT"), kClosing);
    EXPECT_EQ(client->ReadFor(100ms), "") << "the server neither closes nor says more";
    EXPECT_EQ(Command(*client, "HELO x"), kOk);
    EXPECT_EQ(Command(*client, "quit"), kClosing);
}

TEST_F(Commands, MailIsAcknowledgedWhateverItsArgument) {
    auto client = server.Smtp();
    for (const char* line : {"MAIL FROM:<s@example.org>", "MAIL FROM: <s@example.org>",
                             "MAIL FROM:<>", "MAIL", "MAIL:<s@x>", "MAIL FROM:@x"}) {
        EXPECT_EQ(Command(*client, line), kOk) << line;
    }
}

TEST_F(Commands, RsetAcknowledgesWithOrWithoutRecipients) {
    auto client = server.Smtp();
    EXPECT_EQ(Command(*client, "RSET"), kOk);
    ASSERT_EQ(Command(*client, "RCPT TO:<ann@x>"), kOk);
    ASSERT_EQ(Command(*client, "RCPT TO:<bob@x>"), kOk);
    EXPECT_EQ(Command(*client, "RSET"), kOk);
    EXPECT_EQ(Command(*client, "DATA"), kNoRecipients) << "RSET forgot the recipients";
}

TEST_F(Commands, ABurstOfCommandsGetsOneReplyEachInOrder) {
    auto client = server.Smtp();
    client->Send("HELO x\r\nEHLO x\r\nMAIL FROM:<s@x>\r\nRCPT TO:<ann@x>\r\nRCPT TO:<zed@x>\r\n"
                 "RSET\r\nQUIT\r\n");
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_TRUE(client->ReadLine().starts_with("500"));
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(client->ReadLine(), kNoSuchUser);
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(client->ReadLine(), kClosing);
    EXPECT_EQ(client->ReadFor(100ms), "");
}

TEST_F(Commands, ACommandArrivingInPiecesIsAnsweredOnceWhole) {
    auto client = server.Smtp();
    client->Send("HE");
    EXPECT_EQ(client->ReadFor(50ms), "");
    client->Send("L");
    EXPECT_EQ(client->ReadFor(50ms), "");
    client->Send("O client.exa");
    EXPECT_EQ(client->ReadFor(50ms), "") << "no reply before the line end";
    client->Send("mple\r\n");
    EXPECT_EQ(client->ReadLine(), kOk);
    // An address cut anywhere is still read whole.
    client->Send("RCPT TO:<a");
    std::this_thread::sleep_for(20ms);
    client->Send("nn@x>\r\n");
    EXPECT_EQ(client->ReadLine(), kOk);
}

TEST_F(Commands, AnOverLongLineIsRefusedWithA500AndDiscarded) {
    auto client = server.Smtp();
    client->Send("RCPT TO:<" + std::string(5000, 'a') + "@x>\r\nHELO x\r\n");
    const std::string reply = client->ReadLine();
    EXPECT_TRUE(reply.starts_with("500")) << reply;
    EXPECT_EQ(client->ReadLine(), kOk) << "the line after it is served";
    EXPECT_EQ(Command(*client, "DATA"), kNoRecipients) << "nothing of the long line was used";
}

} // namespace
} // namespace brevin::testing
