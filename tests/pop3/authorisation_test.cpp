// A mailbox opens only with its password: nothing of it is answered before a matching PASS
// for the user of the last USER, a new USER closes it again, and a failed PASS is answered
// only after a second, without holding up other sessions.

#include "pop3_fixture.h"

#include <vector>

namespace brevin::testing {
namespace {

using Clock = std::chrono::steady_clock;

class Authorisation : public Pop3Test {
protected:
    void SetUp() override {
        server.AddUser("bob", "bob", "b0b secret");
        server.AddUser("nopw", "nopw", "");
        server.AddUser("ghost", "", "ghost-pw", false);
        Pop3Test::SetUp();
        Put(1, MessageOfSize(120));
        Put(1, MessageOfSize(300), "bob");
    }

    /// Every mailbox command is refused, and nothing is marked by the DELE among them.
    static void ExpectLockedOut(Client& client) {
        for (const std::string line :
             {"STAT", "LIST", "LIST 1", "UIDL", "UIDL 1", "RETR 1", "DELE 1", "STATUS"}) {
            SCOPED_TRACE(line);
            EXPECT_EQ(Command(client, line), "-ERR Brevin server: not authenticated\r\n");
        }
    }

    /// The reply to a failed PASS, which takes a second.
    static std::string FailedPass(Client& client, const std::string& line) {
        client.Send(line + "\r\n");
        return client.ReadLine();
    }

    [[nodiscard]] bool AliceStillHasHerMessage() const {
        return std::filesystem::exists(Folder() / MessageName(1));
    }
};

TEST_F(Authorisation, NothingIsAnsweredBeforeUserAndPass) {
    auto client = server.Pop3();
    ExpectLockedOut(*client);
    EXPECT_EQ(Command(*client, "USER alice"), "+OK Brevin server: continue\r\n");
    ExpectLockedOut(*client);
    client->Close();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(AliceStillHasHerMessage());
}

TEST_F(Authorisation, AWrongPasswordOpensNothingAndIsAnsweredAfterASecond) {
    auto client = server.Pop3();
    Command(*client, "USER alice");
    for (const std::string line : {"PASS alice-p", "PASS alice-pw ", "PASS ALICE-PW", "PASS",
                                   "PASS  alice-pw", "PASSalice-pw"}) {
        SCOPED_TRACE(line);
        const auto start = Clock::now();
        EXPECT_EQ(FailedPass(*client, line), "-ERR this is not the pwd!!!\r\n");
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, 1000ms);
        EXPECT_LT(waited, 5000ms);
        ExpectLockedOut(*client);
    }
    client->Close();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(AliceStillHasHerMessage());
}

TEST_F(Authorisation, ThePasswordOpensTheMailboxOfTheLastUser) {
    auto client = server.Pop3();
    Command(*client, "USER bob");
    Command(*client, "USER alice");
    EXPECT_EQ(FailedPass(*client, "PASS b0b secret"), "-ERR this is not the pwd!!!\r\n");
    ExpectLockedOut(*client);

    Command(*client, "USER alice");
    Command(*client, "USER bob");
    EXPECT_EQ(Command(*client, "PASS b0b secret"), "+OK pwd is correct\r\n");
    EXPECT_EQ(Command(*client, "STAT"), "+OK 1 300\r\n") << "bob's mailbox, not alice's";
}

TEST_F(Authorisation, ANewUserClosesTheMailboxAgain) {
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "STAT"), "+OK 1 120\r\n");
    EXPECT_EQ(Command(*client, "USER alice"), "+OK Brevin server: continue\r\n");
    ExpectLockedOut(*client);
    EXPECT_EQ(Command(*client, "USER nobody"), "-ERR Brevin had not such User\r\n");
    ExpectLockedOut(*client);
    // A failed PASS after a good one does not leave the mailbox open either.
    client = LoggedIn();
    EXPECT_EQ(FailedPass(*client, "PASS wrong"), "-ERR this is not the pwd!!!\r\n");
    ExpectLockedOut(*client);
}

TEST_F(Authorisation, UnknownUsersAndUsersWithoutPasswordOpenNothing) {
    auto client = server.Pop3();
    EXPECT_EQ(FailedPass(*client, "PASS "), "-ERR this is not the pwd!!!\r\n")
        << "PASS before any USER";
    ExpectLockedOut(*client);
    EXPECT_EQ(Command(*client, "USER nobody"), "-ERR Brevin had not such User\r\n");
    EXPECT_EQ(FailedPass(*client, "PASS "), "-ERR this is not the pwd!!!\r\n");
    ExpectLockedOut(*client);
    EXPECT_EQ(Command(*client, "USER ghost"), "-ERR Brevin had not such User\r\n")
        << "a user whose folder entry is empty";
    EXPECT_EQ(FailedPass(*client, "PASS ghost-pw"), "-ERR this is not the pwd!!!\r\n");
    ExpectLockedOut(*client);
    EXPECT_EQ(Command(*client, "USER nopw"), "+OK Brevin server: continue\r\n");
    EXPECT_EQ(FailedPass(*client, "PASS "), "-ERR this is not the pwd!!!\r\n");
    ExpectLockedOut(*client);
}

TEST_F(Authorisation, NamesAndPasswordsFollowTheProfileAsItIsNow) {
    auto client = server.Pop3();
    EXPECT_EQ(Command(*client, "USER Alice"), "+OK Brevin server: continue\r\n")
        << "profile keys ignore letter case";
    EXPECT_EQ(Command(*client, "PASS alice-pw"), "+OK pwd is correct\r\n");
    EXPECT_EQ(Command(*client, "USER bob"), "+OK Brevin server: continue\r\n");
    server.Call([this] { server.Profile().Write("PWD", "bob", "changed"); });
    EXPECT_EQ(FailedPass(*client, "PASS b0b secret"), "-ERR this is not the pwd!!!\r\n");
    EXPECT_EQ(Command(*client, "PASS changed"), "+OK pwd is correct\r\n");
}

TEST_F(Authorisation, CommandsBehindAFailedPassWaitForItsReply) {
    auto client = server.Pop3();
    client->Send("USER alice\r\nPASS bad\r\nPASS alice-pw\r\nSTAT\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK Brevin server: continue\r\n");
    EXPECT_EQ(client->ReadLine(), "-ERR this is not the pwd!!!\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK pwd is correct\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK 1 120\r\n");
}

TEST_F(Authorisation, AFailedPassDoesNotHoldUpOtherSessions) {
    auto guesser = server.Pop3();
    Command(*guesser, "USER alice");
    auto owner = LoggedIn("bob", "b0b secret");
    guesser->Send("PASS guess\r\n");
    EXPECT_EQ(Command(*owner, "STAT"), "+OK 1 300\r\n");
    EXPECT_EQ(guesser->ReadFor(5ms), "") << "the other session was answered first";
    EXPECT_EQ(guesser->ReadLine(), "-ERR this is not the pwd!!!\r\n");
}

} // namespace
} // namespace brevin::testing
