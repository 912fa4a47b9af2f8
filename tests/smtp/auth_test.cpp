// Logging in over SMTP (PLAIN and LOGIN), where it is offered, and what a login binds: the
// envelope sender and the From: of every message are the user's own, or nothing is filed.

#include "base/base64.h"
#include "base/host_name.h"
#include "base/log.h"
#include "smtp_fixture.h"

#include <arpa/inet.h>

namespace brevin::testing {
namespace {

const std::string kLoggedIn = "235 2.7.0 Brevin Server : Authentication successful\r\n";
const std::string kLoginFailed = "535 5.7.8 Brevin Server : Authentication credentials invalid\r\n";
const std::string kLoginRequired = "530 5.7.0 Brevin Server : Authentication required\r\n";
const std::string kNotYourSender =
    "553 5.7.1 Brevin Server : Sender address not owned by the logged-in user\r\n";

std::string Plain(std::string_view identity, std::string_view user, std::string_view password) {
    std::string response(identity);
    response.append(1, '\0').append(user).append(1, '\0').append(password);
    return EncodeBase64(response);
}

class SmtpAuth : public SmtpTest {
protected:
    /// EHLO, then AUTH PLAIN as ann; returns the client.
    std::unique_ptr<Client> LoggedIn() {
        auto client = server.Smtp();
        Ehlo(*client);
        EXPECT_EQ(Command(*client, "AUTH PLAIN " + Plain("", "ann", "a")), kLoggedIn);
        return client;
    }

    /// Sends EHLO and returns its reply, every line of it.
    static std::string Ehlo(Client& client) {
        client.Send("EHLO laptop\r\n");
        std::string reply;
        std::string line;
        do {
            line = client.ReadLine();
            reply += line;
        } while (line.starts_with("250-"));
        return reply;
    }

    /// One message from ann to bob; the final reply.
    static std::string AsAnn(Client& client, const std::string& data) {
        EXPECT_EQ(Command(client, "MAIL FROM:<ann@office>"), kOk);
        EXPECT_EQ(Command(client, "RCPT TO:<bob@office>"), kOk);
        EXPECT_EQ(Command(client, "DATA"), kStartData);
        client.Send(data);
        return client.ReadLine();
    }

    static ClientAddress Lan() {
        in_addr address{};
        inet_pton(AF_INET, "192.0.2.9", &address);
        return ClientAddress::FromIPv4(ntohl(address.s_addr));
    }
};

TEST_F(SmtpAuth, OfferedOnlyWhereAPasswordCannotBeOverheard) {
    auto local = server.Smtp();
    EXPECT_NE(Ehlo(*local).find("AUTH PLAIN LOGIN\r\n"), std::string::npos);
    auto lan = server.Smtp(true, Lan());
    EXPECT_EQ(Ehlo(*lan).find("AUTH"), std::string::npos);
    // No TLS here to start, so the client hears that a login is what it lacks.
    EXPECT_EQ(Command(*lan, "AUTH PLAIN " + Plain("", "ann", "a")), kLoginRequired);
    EXPECT_EQ(Command(*lan, "MAIL FROM:<x@y>"), kOk) << "port 25 takes mail without a login";
}

TEST_F(SmtpAuth, EachStepOfTheExchangeHasItsReply) {
    const std::string undecodable = "501 5.5.2 Brevin Server : Cannot decode response\r\n";
    auto client = server.Smtp();
    EXPECT_EQ(Command(*client, "AUTH PLAIN"), "503 5.5.1 Brevin Server : send EHLO first\r\n");
    Ehlo(*client);
    EXPECT_EQ(Command(*client, "AUTH CRAM-MD5"),
              "504 5.5.4 Brevin Server : Unrecognized authentication type\r\n");
    EXPECT_EQ(Command(*client, "AUTH PLAIN"), "334 \r\n");
    EXPECT_EQ(Command(*client, "*"), "501 5.7.0 Brevin Server : Authentication cancelled\r\n");
    EXPECT_EQ(Command(*client, "AUTH PLAIN !!!!"), undecodable);
    EXPECT_EQ(Command(*client, "AUTH PLAIN " + EncodeBase64(std::string("ann\0a", 5))), undecodable)
        << "one zero byte too few";
    EXPECT_EQ(Command(*client, "AUTH PLAIN " + Plain("bob", "ann", "a")),
              "535 5.7.8 Brevin Server : Cannot act for another user\r\n");
    EXPECT_EQ(Command(*client, "AUTH PLAIN " + std::string(10240, 'A')),
              "500 Brevin Server : line too long\r\n");
    EXPECT_EQ(Command(*client, "NOOP"), kOk) << "the rest of the long line was taken for commands";
    EXPECT_EQ(Command(*client, "AUTH LOGIN"), "334 VXNlcm5hbWU6\r\n");
    EXPECT_EQ(Command(*client, EncodeBase64("ann")), "334 UGFzc3dvcmQ6\r\n");
    EXPECT_EQ(Command(*client, EncodeBase64("wrong")), kLoginFailed);
    // After the failure the address waits out its penalty: the right password too.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Command(*client, "AUTH PLAIN"), "334 \r\n");
    EXPECT_EQ(Command(*client, Plain("ann", "ann", "a")), kLoggedIn);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
    EXPECT_EQ(Command(*client, "AUTH PLAIN " + Plain("", "ann", "a")),
              "503 5.5.1 Brevin Server : already authenticated\r\n");
    EXPECT_EQ(Ehlo(*client).find("AUTH"), std::string::npos) << "offered once logged in";
}

// A profile that cannot be read is the server's trouble: a passing failure, counted against
// nobody.
TEST_F(SmtpAuth, AnUnreadableProfileIsTemporary) {
    const auto profile = server.Dir() / "brevin.INI";
    std::filesystem::rename(profile, server.Dir() / "away.INI");
    std::filesystem::create_directory(profile);
    auto client = server.Smtp();
    Ehlo(*client);
    EXPECT_EQ(Command(*client, "AUTH PLAIN " + Plain("", "ann", "a")),
              "454 4.7.0 Brevin Server : Temporary authentication failure, try again later\r\n");
    std::filesystem::remove(profile);
    std::filesystem::rename(server.Dir() / "away.INI", profile);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Command(*client, "AUTH PLAIN " + Plain("", "ann", "a")), kLoggedIn);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << "the failure was counted";
}

TEST_F(SmtpAuth, NotInsideATransaction) {
    auto client = server.Smtp();
    Ehlo(*client);
    Command(*client, "MAIL FROM:<x@y>");
    EXPECT_EQ(Command(*client, "AUTH PLAIN " + Plain("", "ann", "a")),
              "503 5.5.1 Brevin Server : AUTH not allowed during a mail transaction\r\n");
}

TEST_F(SmtpAuth, TheSenderIsTheUser) {
    auto client = LoggedIn();
    EXPECT_EQ(Command(*client, "MAIL FROM:<boss@office>"), kNotYourSender);
    EXPECT_EQ(Command(*client, "MAIL FROM:<>"), kNotYourSender);
    EXPECT_EQ(Command(*client, "MAIL FROM:<Ann@office> AUTH=<>"), kOk);
    EXPECT_EQ(
        AsAnn(*client, "From: \"ann@office\" <boss@office>\r\nSubject: pay\r\n\r\nnow\r\n.\r\n"),
        "550 5.7.1 Brevin Server : From: address not owned by the logged-in user\r\n");
    EXPECT_TRUE(TakeFiles().empty()) << "the forged message was kept";

    EXPECT_EQ(AsAnn(*client, "From: Ann (boss@office) <ann@office>\r\n\r\nhi\r\n.\r\n"), kOk);
    EXPECT_EQ(TakeFiles().size(), 1U);
}

// The stored file begins with where the message came from, then holds it byte for byte.
TEST_F(SmtpAuth, EveryMessageBeginsWithItsTrace) {
    auto client = LoggedIn();
    const std::string data = "From: ann@office\r\n\r\nhi\r\n.\r\n";
    ASSERT_EQ(AsAnn(*client, data), kOk);
    std::string stored;
    for (const auto& entry : std::filesystem::directory_iterator(server.StoreRoot() / "bob")) {
        stored = ReadFile(entry.path());
    }
    const std::string received = "Return-Path: <ann@office>\r\nReceived: from laptop (";
    ASSERT_TRUE(stored.starts_with(received)) << stored;
    const std::string by =
        ")\r\n\tby " + OfficialHostName() + " (Brevin) with ESMTPA (authenticated as ann)\r\n\tid ";
    EXPECT_NE(stored.find(by), std::string::npos) << stored;
    EXPECT_TRUE(stored.ends_with("\r\n" + data)) << stored;
    EXPECT_EQ(WithoutTrace(stored), data);
}

TEST_F(SmtpAuth, SubmissionTakesMailOnlyAfterALogin) {
    server.Rules() = {.submission = true, .requireLogin = true};
    auto client = server.Smtp();
    Ehlo(*client);
    EXPECT_EQ(Command(*client, "MAIL FROM:<ann@office>"), kLoginRequired);
    EXPECT_EQ(Command(*client, "RCPT TO:<bob@office>"), kLoginRequired);
    auto logged = LoggedIn();
    EXPECT_EQ(AsAnn(*logged, "From: ann@office\r\n\r\nhi\r\n.\r\n"), kOk);
}

// A host guessing recipient names is slowed after ten misses in a session.
TEST_F(SmtpAuth, RecipientGuessesAreSlowedAfterTen) {
    auto client = server.Smtp();
    Command(*client, "MAIL FROM:<x@y>");
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(Command(*client, "RCPT TO:<guess" + std::to_string(i) + "@office>"), kNoSuchUser);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(Command(*client, "RCPT TO:<guess10@office>"), kNoSuchUser);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1000ms);
    EXPECT_LT(took, 5000ms);
}

// Whatever a line of the exchange looks like, the debug log shows none of it.
TEST_F(SmtpAuth, NoLineOfTheExchangeIsLogged) {
    std::vector<std::string> lines;
    LogEvent::SetLevel(LogLevel::Debug);
    LogEvent::SetSink([&](std::string_view line, bool) { lines.emplace_back(line); });
    auto client = server.Smtp();
    Ehlo(*client);
    Command(*client, "AUTH LOGIN");
    Command(*client, EncodeBase64("ann"));
    Command(*client, EncodeBase64("a"));
    LogEvent::SetSink({});
    LogEvent::SetLevel(LogLevel::Normal);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find(EncodeBase64("ann")), std::string::npos) << line;
    }
    EXPECT_TRUE(std::ranges::any_of(lines, [](const std::string& line) {
        return line.find("smtp login user=ann") != std::string::npos &&
               line.find("mechanism=LOGIN") != std::string::npos;
    }));
}

} // namespace
} // namespace brevin::testing
