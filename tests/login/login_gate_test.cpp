// The login gate's promises to the services that use it: verdicts come from the loop, never
// within the call; an answer never reaches a session that has gone; and whichever gate a client
// guesses through, one penalty per address counts its failures and its waiting answers.

#include "login/login_gate.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <memory>
#include <optional>

namespace brevin::testing {
namespace {

using namespace std::chrono_literals;

class LoginGateTest : public ::testing::Test {
protected:
    LoginGateTest() {
        profile.Write("BREVIN", "store", (dir.Path() / "store").string());
        profile.Write("USERS", "alice", "alice");
        profile.Write("PWD", "alice", "alice-pw");
    }

    /// What a session heard from its gate.
    struct Heard {
        std::optional<LoginResult> decided;
        std::optional<LoginResult> answer;
        bool abandoned = false;
    };

    std::unique_ptr<LoginGate> Gate(std::string_view service, Heard& heard) {
        return std::make_unique<LoginGate>(
            loop, users, service,
            LoginHandlers{.decided = [&heard](const LoginResult& r) { heard.decided = r; },
                          .answer = [&heard](const LoginResult& r) { heard.answer = r; },
                          .abandoned = [&heard] { heard.abandoned = true; }});
    }

    /// Runs the loop for a few rounds, as long as nothing waits a penalty out.
    void Settle() {
        for (int i = 0; i < 5; ++i) {
            loop.ProcessReady(10);
        }
    }

    /// How long one more password from `client` would wait now (not left counting as waiting).
    std::chrono::milliseconds NextWait() {
        const auto wait = clients.PasswordWait(client, loop.Now());
        if (wait.count() != 0) {
            clients.AnswerSent(client);
        }
        return wait;
    }

    TempDir dir;
    ProfileFile profile{dir.Path() / "brevin.INI"};
    UserDirectory users{profile};
    EventLoop loop;
    ClientTable clients;
    const ClientAddress client{};
};

TEST_F(LoginGateTest, OnePenaltyPerAddressWhicheverGateTheGuessesComeThrough) {
    Heard pop3;
    auto first = Gate("pop3", pop3);
    first->Check(clients, client, "alice", "guess");
    EXPECT_FALSE(pop3.decided) << "a verdict came within the call, before the session held";
    Settle();
    ASSERT_TRUE(pop3.decided);
    EXPECT_EQ(pop3.decided->verdict, LoginVerdict::Refused);
    EXPECT_FALSE(pop3.answer) << "a wrong password was answered before its penalty";
    first.reset(); // the session went while its answer waited

    Heard smtp;
    auto second = Gate("smtp", smtp);
    second->Check(clients, client, "alice", "alice-pw");
    Settle();
    ASSERT_TRUE(smtp.decided);
    EXPECT_EQ(smtp.decided->verdict, LoginVerdict::Accepted);
    EXPECT_EQ(smtp.decided->mailbox, (dir.Path() / "store" / "alice").string());
    EXPECT_FALSE(smtp.answer) << "the other gate's failure did not delay this answer";
    EXPECT_EQ(NextWait(), 4000ms) << "the gone session's answer still counts as waiting";

    second->ClientLeft();
    EXPECT_TRUE(smtp.abandoned);
    EXPECT_EQ(NextWait(), 2000ms) << "an answer nobody waits for still counts";
    Settle();
    EXPECT_FALSE(pop3.answer || smtp.answer) << "an answer came after its session had gone";
}

TEST_F(LoginGateTest, AClientThatLeavesDuringTheCheckHearsOnlyWhatNeedsNoWait) {
    Heard patient;
    auto gate = Gate("pop3", patient);
    gate->Check(clients, client, "alice", "alice-pw");
    gate->ClientLeft(); // half-closed: it still reads
    Settle();
    ASSERT_TRUE(patient.answer);
    EXPECT_EQ(patient.answer->verdict, LoginVerdict::Accepted);
    EXPECT_FALSE(patient.answer->penalised);

    gate->CountFailure(clients, client);
    Heard gone;
    gate = Gate("pop3", gone);
    gate->Check(clients, client, "nobody", "guess");
    gate->ClientLeft();
    Settle();
    ASSERT_TRUE(gone.decided) << "a guess whose client left was never counted";
    EXPECT_EQ(gone.decided->verdict, LoginVerdict::UnknownUser);
    EXPECT_TRUE(gone.abandoned);
    EXPECT_FALSE(gone.answer) << "a client that left heard its answer without the penalty";
    EXPECT_EQ(NextWait(), 4000ms) << "the failure doubles the penalty, and nothing still waits";

    Heard destroyed;
    gate = Gate("pop3", destroyed);
    gate->Check(clients, client, "alice", "alice-pw");
    gate.reset();
    Settle();
    EXPECT_FALSE(destroyed.decided || destroyed.answer) << "a handler ran after its gate went";
}

} // namespace
} // namespace brevin::testing
