// What the login guard promises every service: answers come from the loop, never within the
// call; a guess counts even when its client has gone; an answer's time tells nothing of its
// verdict; loopback sources are one host; and guesses spread over many hosts still reach one
// account about once a second, while the account's own devices go on unhindered.

#include "login/login_guard.h"
#include "support/files.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <optional>

namespace brevin::testing {
namespace {

using namespace std::chrono_literals;

ClientAddress Ip(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return ClientAddress::FromIPv4(ntohl(address.s_addr));
}

class LoginGuardTest : public ::testing::Test {
protected:
    LoginGuardTest() {
        profile.Write("BREVIN", "store", (dir.Path() / "store").string());
        profile.Write("USERS", "alice", "alice");
        profile.Write("PWD", "alice", "alice-pw");
    }

    /// An attempt and what it heard.
    struct Try {
        LoginTicket ticket;
        std::optional<LoginResult> heard;
    };

    std::unique_ptr<Try> Attempt(const char* from, std::string_view user,
                                 std::string_view password) {
        auto attempt = std::make_unique<Try>();
        attempt->ticket = guard.Check(
            "pop3", Ip(from), user, password,
            [heard = attempt.get()](const LoginResult& result) { heard->heard = result; });
        return attempt;
    }

    /// Steps the loop until `done`, or `most` has passed.
    template <typename Fn>
    bool StepUntil(Fn done, std::chrono::milliseconds most) {
        const auto deadline = std::chrono::steady_clock::now() + most;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            loop.ProcessReady(10);
        }
        return done();
    }

    bool Answered(const Try& attempt, std::chrono::milliseconds most) {
        return StepUntil([&] { return attempt.heard.has_value(); }, most);
    }

    TempDir dir;
    ProfileFile profile{dir.Path() / "brevin.INI"};
    UserDirectory users{profile};
    EventLoop loop;
    LoginGuard guard{loop, users};
};

TEST_F(LoginGuardTest, VerdictsComeFromTheLoop) {
    auto right = Attempt("192.0.2.1", "alice", "alice-pw");
    auto nobody = Attempt("192.0.2.2", "nobody", "x");
    EXPECT_FALSE(right->heard) << "answered within the call";
    ASSERT_TRUE(Answered(*right, 2s));
    EXPECT_EQ(right->heard->verdict, LoginVerdict::Accepted);
    EXPECT_EQ(right->heard->mailbox, (dir.Path() / "store" / "alice").string());
    EXPECT_FALSE(right->heard->penalised);
    ASSERT_TRUE(Answered(*nobody, 2s));
    EXPECT_EQ(nobody->heard->verdict, LoginVerdict::UnknownUser);
}

// A wrong guess whose client hung up still raises the penalty, and after it the right password
// waits exactly as long as a wrong one: neither the hang-up nor the timing tells anything.
TEST_F(LoginGuardTest, HangingUpGainsNothing) {
    auto dropped = Attempt("192.0.2.1", "alice", "wrong");
    dropped->ticket.Drop();
    StepUntil([&] { return false; }, 200ms);
    EXPECT_FALSE(dropped->heard);

    auto right = Attempt("192.0.2.1", "alice", "alice-pw");
    auto wrong = Attempt("192.0.2.1", "alice", "wrong");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Answered(*right, 1500ms)) << "the right password skipped the penalty";
    ASSERT_TRUE(Answered(*right, 3s));
    const auto rightAfter = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(right->heard->penalised);
    EXPECT_EQ(right->heard->verdict, LoginVerdict::Accepted);
    EXPECT_GE(rightAfter, LoginGuard::kFirstPenalty - 10ms);
    // The second waits one more penalty, whatever it holds.
    EXPECT_FALSE(wrong->heard);
}

TEST_F(LoginGuardTest, EveryLoopbackSourceIsOneHost) {
    auto first = Attempt("127.0.0.2", "alice", "wrong");
    ASSERT_TRUE(Answered(*first, 2s));
    EXPECT_FALSE(first->heard->penalised);
    auto next = Attempt("127.9.8.7", "alice", "alice-pw");
    EXPECT_FALSE(Answered(*next, 500ms)) << "a new loopback source started afresh";
}

// Hosts that never logged in as alice are answered a second apart, even all at once, while
// the host she logs in from is answered at once.
TEST_F(LoginGuardTest, GuessesFromManyHostsReachAnAccountOnceASecond) {
    auto own = Attempt("192.0.2.50", "alice", "alice-pw");
    ASSERT_TRUE(Answered(*own, 2s));
    StepUntil([] { return false; }, 1s); // her first login took the account's slot

    auto second = Attempt("198.51.100.2", "alice", "wrong");
    auto third = Attempt("198.51.100.3", "alice", "wrong");
    auto again = Attempt("192.0.2.50", "alice", "alice-pw");
    ASSERT_TRUE(Answered(*again, 300ms)) << "the user's own device was slowed";
    EXPECT_EQ(again->heard->verdict, LoginVerdict::Accepted);
    ASSERT_TRUE(Answered(*second, 2s));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Answered(*third, 3s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(third->heard->penalised);
}

// A client opening several connections at once from a new device waits for the account once.
TEST_F(LoginGuardTest, ADevicesConnectionsAtOnceWaitOnce) {
    auto first = Attempt("192.0.2.60", "alice", "alice-pw");
    auto second = Attempt("192.0.2.60", "alice", "alice-pw");
    ASSERT_TRUE(Answered(*first, 2s));
    EXPECT_TRUE(Answered(*second, 500ms)) << "the device's second connection waited its turn";
}

} // namespace
} // namespace brevin::testing
