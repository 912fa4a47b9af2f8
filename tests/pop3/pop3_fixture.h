#pragma once

// The real POP3 service over a store in a temporary folder, with users alice and
// lice (empty mailboxes) and nopw (no password), and helpers to fill mailboxes and talk.

#include "pop3/pop3_session.h"
#include "support/test_server.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <thread>

namespace brevin::testing {

using namespace std::chrono_literals;

inline constexpr std::string_view kEnd = "\r\n.\r\n";
inline const std::string kContinue = "+OK Brevin server: continue\r\n";
inline const std::string kPassOk = "+OK pwd is correct\r\n";
inline const std::string kDeleted = "+OK message deleted\r\n";
inline const std::string kNoSuchFile = "-ERR Brevin server: no such file\r\n";

/// `size` (at least 5) bytes of varied text whose only CR LF "." CR LF is the final one, and no
/// other dot: a client holds `size` - 3 bytes of it.
inline std::string Message(std::size_t size) {
    std::string text;
    while (text.size() + kEnd.size() < size) {
        const char c = static_cast<char>(' ' + text.size() * 7 % 95);
        text += text.size() % 73 == 72 ? '\n' : c == '.' ? '-' : c;
    }
    return text + std::string(kEnd);
}

inline std::string MessageName(unsigned number) {
    char name[32];
    std::snprintf(name, sizeof name, "MSG%05u.bvn", number);
    return name;
}

class Pop3Test : public ::testing::Test {
protected:
    explicit Pop3Test(std::chrono::milliseconds pause = 0ms) : server(pause) {}

    void SetUp() override {
        server.AddUser("alice", "alice", "alice-pw");
        server.AddUser("lice", "lice", "lice-pw");
        server.AddUser("nopw", "nopw", "");
    }

    void TearDown() override {
        EXPECT_TRUE(server.WaitUntil([] { return OpenSockets() == 0; }))
            << "a session outlived its client";
    }

    /// A POP3 session's client, banner read.
    std::unique_ptr<Client> Pop3() {
        return server.Open(std::make_unique<Pop3Session>(server.Loop(), server.Options(),
                                                         server.Logins(), server.Folders()));
    }

    void Put(unsigned number, const std::string& bytes) {
        WriteFile(server.StoreRoot() / "alice" / MessageName(number), bytes);
    }

    [[nodiscard]] bool Exists(unsigned number) const {
        return std::filesystem::exists(server.StoreRoot() / "alice" / MessageName(number));
    }

    /// Sends a command and reads its multi-line reply, status line included.
    static std::string MultiLine(Client& client, const std::string& line) {
        client.Send(line + "\r\n");
        return client.ReadUntil(kEnd);
    }

    std::unique_ptr<Client> LoggedIn() {
        auto client = Pop3();
        EXPECT_EQ(Command(*client, "USER alice"), kContinue);
        EXPECT_EQ(Command(*client, "PASS alice-pw"), kPassOk);
        return client;
    }

    TestServer server;
};

} // namespace brevin::testing
