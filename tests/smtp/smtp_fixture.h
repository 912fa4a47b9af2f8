#pragma once

// A real SMTP service on loopback over a profile and store in a temporary folder, with the
// users most tests need, and helpers to talk to it and to look at what it stored.

#include "store/mailbox_store.h"
#include "store/profile_file.h"
#include "store/registry.h"
#include "store/store_faults.h"
#include "support/test_server.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace brevin::testing {

using namespace std::chrono_literals;

inline constexpr const char* kOk = "250 Ok. Brevin Server ready \r\n";
inline constexpr const char* kStartData = "354 Ok. Brevin Server ready \r\n";
inline constexpr const char* kNoSuchUser = "550 Brevin Server : NO Such User\r\n";
inline constexpr const char* kNoFile = "552 Error. No Mem File!\r\n";
inline constexpr const char* kNoRecipients = "554 Brevin Server : No valid recipients\r\n";
inline constexpr const char* kClosing = "221 Ok. Done\r\n";
inline constexpr const char* kFailed = "500 error. Brevin Server ready \r\n";

class SmtpTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.AddUser("ann", "ann", "pw-ann");
        server.AddUser("bob", "bob", "pw-bob");
        server.Start();
        Settle();
    }

    void TearDown() override {
        // Sessions own themselves and go when their client's close is seen; stopping the loop
        // earlier would leave them behind. The test's clients are closed by now, so every
        // socket left beyond the two listeners belongs to a session still closing.
        for (int i = 0; i < 300 && OpenSockets() > 2; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        server.Stop();
        StoreFaults::Reset(); // the loop thread is gone
    }

    static int OpenSockets() {
        int count = 0;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
            const auto target = std::filesystem::read_symlink(entry.path(), ec);
            count += !ec && target.string().starts_with("socket:") ? 1 : 0;
        }
        return count;
    }

    /// Changes profile, folders or store faults with the server's loop held still.
    template <typename Fn>
    void Change(Fn fn) {
        server.Call(std::move(fn));
        Settle();
    }

    /// Returns once the loop thread serves (a banner has come). Holding the loop still again
    /// before its thread has begun to run would be lost, and the test would wait forever.
    void Settle() {
        Client probe;
        probe.Connect(server.SmtpPort());
        probe.ReadLine();
    }

    /// Sends one command line (CR LF added) and returns the reply line.
    static std::string Command(Client& client, const std::string& line) {
        client.Send(line + "\r\n");
        return client.ReadLine();
    }

    /// MAIL and one RCPT per name, each expected to be accepted, then DATA.
    static void Begin(Client& client, const std::vector<std::string>& recipients) {
        ASSERT_EQ(Command(client, "MAIL FROM:<sender@example.org>"), kOk);
        for (const auto& name : recipients) {
            ASSERT_EQ(Command(client, "RCPT TO:<" + name + "@brevin.test>"), kOk) << name;
        }
        ASSERT_EQ(Command(client, "DATA"), kStartData);
    }

    /// A whole transaction; returns the final reply.
    static std::string Deliver(Client& client, const std::vector<std::string>& recipients,
                               const std::string& data) {
        Begin(client, recipients);
        client.Send(data);
        return client.ReadLine();
    }

    [[nodiscard]] std::filesystem::path Folder(const std::string& folder) const {
        return server.StoreRoot() / folder;
    }

    /// Every file in a folder (temporary ones too), by name.
    [[nodiscard]] std::vector<std::string> FilesIn(const std::string& folder) const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(Folder(folder), ec)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    [[nodiscard]] std::string Stored(const std::string& folder, const std::string& name) const {
        return ReadFile(Folder(folder) / name);
    }

    /// The profile as the server wrote it, read through a reader of the test's own.
    [[nodiscard]] std::string ProfileValue(const std::string& section,
                                           const std::string& key) const {
        return ProfileFile(server.Dir() / "brevin.INI").Read(section, key, "");
    }

    /// Waits (bounded) until `folder` holds exactly `count` files.
    bool WaitForFileCount(const std::string& folder, std::size_t count) const {
        for (int i = 0; i < 300; ++i) {
            if (FilesIn(folder).size() == count) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    TestServer server;
};

/// What a client puts on the wire for a body of CR LF lines: lines beginning with "." get
/// another, then the end of the data.
inline std::string Stuffed(const std::string& body) {
    std::string out;
    std::size_t start = 0;
    while (start < body.size()) {
        const auto end = body.find("\r\n", start);
        const std::string line =
            body.substr(start, end == std::string::npos ? std::string::npos : end - start);
        out += (line.starts_with('.') ? "." : "") + line + "\r\n";
        start = end == std::string::npos ? body.size() : end + 2;
    }
    return out + ".\r\n";
}

} // namespace brevin::testing
