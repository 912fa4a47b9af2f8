#pragma once

// Shared ground of the POP3 tests: a real server on loopback over a temporary profile and
// store, mailboxes filled with message files on disk, and a client that talks like a mail
// client does.

#include "support/test_server.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace brevin::testing {

using namespace std::chrono_literals;

inline constexpr std::string_view kEnd = "\r\n.\r\n";

/// `size` bytes of message text ending in CR LF "." CR LF (when there is room for it), with
/// varied bytes but no end sequence before the last five.
inline std::string MessageOfSize(std::size_t size, unsigned seed = 1) {
    if (size < kEnd.size()) {
        return std::string(size, 'm');
    }
    std::mt19937 random(seed);
    std::string text(size - kEnd.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Printable bytes and now and then a line end, as mail has.
        text[i] = (i % 73 == 72 && i > 0) ? '\n' : static_cast<char>(' ' + random() % 95);
        if (text[i] == '\n') {
            text[i - 1] = '\r';
        }
    }
    return text + std::string(kEnd);
}

inline std::string MessageName(unsigned number) {
    char name[32];
    std::snprintf(name, sizeof name, "MSG%05u.bvn", number);
    return name;
}

/// Polls `done` until it holds or `limit` has passed (10 ms steps).
template <typename Fn>
bool WaitUntil(Fn done, std::chrono::milliseconds limit = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class Pop3Test : public ::testing::Test {
protected:
    static constexpr const char* kPassword = "alice-pw";

    explicit Pop3Test(std::chrono::milliseconds pause = 0ms) : server(pause) {}

    void SetUp() override {
        server.AddUser("alice", "alice", kPassword);
        server.Start();
        m_listening = OpenSockets();
    }

    void TearDown() override {
        // The test's clients are gone by now; their sessions must end too (and an open session
        // would be abandoned when the server stops).
        EXPECT_TRUE(WaitUntil([&] { return OpenSockets() <= m_listening; }))
            << "a session outlived its client";
    }

    /// Sockets this process holds open: the listeners, the sessions, and the test's clients.
    static int OpenSockets() {
        int count = 0;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
            std::error_code linkError;
            const auto target = std::filesystem::read_symlink(entry.path(), linkError);
            count += !linkError && target.string().starts_with("socket:") ? 1 : 0;
        }
        return count;
    }

    [[nodiscard]] std::filesystem::path Folder(const std::string& folder = "alice") const {
        return server.StoreRoot() / folder;
    }

    /// Puts a message file into a mailbox; returns its path.
    std::filesystem::path Put(unsigned number, const std::string& bytes,
                              const std::string& folder = "alice") {
        const auto path = Folder(folder) / MessageName(number);
        WriteFile(path, bytes);
        return path;
    }

    /// Sends one command line and reads its one-line reply.
    static std::string Command(Client& client, const std::string& line) {
        client.Send(line + "\r\n");
        return client.ReadLine();
    }

    /// Sends a command and reads its whole multi-line reply, status line included.
    static std::string MultiLine(Client& client, const std::string& line) {
        client.Send(line + "\r\n");
        return client.ReadUntil(kEnd);
    }

    /// A connected client with alice's mailbox open.
    std::unique_ptr<Client> LoggedIn(const std::string& user = "alice",
                                     const std::string& password = kPassword) {
        auto client = server.Pop3();
        EXPECT_EQ(Command(*client, "USER " + user), "+OK Brevin server: continue\r\n");
        EXPECT_EQ(Command(*client, "PASS " + password), "+OK pwd is correct\r\n");
        return client;
    }

    TestServer server;

private:
    int m_listening = 0;
};

} // namespace brevin::testing
