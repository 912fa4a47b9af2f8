#pragma once

// The real SMTP service over a store in a temporary folder, with users ann, bob and eve (whose
// folder "eve-box" does not exist yet) and the counter at 7.

#include "smtp/delivery_queue.h"
#include "smtp/smtp_session.h"
#include "store/delivery.h"
#include "store/mailbox.h"
#include "store/store_faults.h"
#include "support/test_server.h"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace brevin::testing {

using namespace std::chrono_literals;
using Files = std::map<std::string, std::string>; // path below the store root -> contents

inline const std::string kOk = "250 Ok. Brevin Server ready \r\n";
inline const std::string kStartData = "354 Ok. Brevin Server ready \r\n";
inline const std::string kNoSuchUser = "550 Brevin Server : NO Such User\r\n";
inline const std::string kNoRecipients = "554 Brevin Server : No valid recipients\r\n";
inline const std::string kNotFiled = "451 error. Brevin Server ready \r\n";

/// A stored message without the Return-Path: and Received: lines the server put before it.
inline std::string WithoutTrace(std::string data) {
    for (const std::string_view field : {"Return-Path: ", "Received: "}) {
        if (data.starts_with(field)) {
            std::size_t end = data.find("\r\n") + 2;
            while (end < data.size() && data[end] == '\t') {
                end = data.find("\r\n", end) + 2;
            }
            data.erase(0, end);
        }
    }
    return data;
}

/// The test server with SMTP sessions and the delivery queue they file through.
class SmtpServer : public TestServer {
public:
    ~SmtpServer() { Stop(); } // the sessions go before the queue they file through

    /// A session's client, banner read, as if `from` connected.
    std::unique_ptr<Client> Smtp(bool readBanner = true,
                                 ClientAddress from = ClientAddress::FromIPv4(INADDR_LOOPBACK)) {
        return Open(std::make_unique<SmtpSession>(Loop(), Options(), m_deliveries, Logins(),
                                                  m_limits, m_rules),
                    readBanner, from);
    }
    /// For the sessions opened from now on.
    SmtpLimits& Limits() { return m_limits; }
    SmtpRules& Rules() { return m_rules; }

private:
    SmtpLimits m_limits;
    SmtpRules m_rules;
    DeliveryQueue m_deliveries{Loop(), Users()};
};

class SmtpTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.AddUser("ann", "ann", "a");
        server.AddUser("bob", "bob", "b");
        server.AddUser("eve", "eve-box", "e", /*createFolder=*/false);
        server.Profile().Write("BREVIN", "conta", "7");
    }

    void TearDown() override {
        server.Stop();
        StoreFaults::Reset();
    }

    /// MAIL, one RCPT per name (refused ones too), DATA.
    static void Begin(Client& client, const std::vector<std::string>& to) {
        Command(client, "MAIL FROM:<sender@example.org>");
        for (const auto& name : to) {
            Command(client, "RCPT TO:<" + name + "@brevin.test>");
        }
        EXPECT_EQ(Command(client, "DATA"), kStartData);
    }

    /// A whole transaction; returns the final reply.
    static std::string Deliver(Client& client, const std::vector<std::string>& to,
                               const std::string& data) {
        Begin(client, to);
        client.Send(data);
        return client.ReadLine();
    }

    /// Every file below the store root (temporary ones too), removed once read.
    Files TakeFiles() {
        Files files;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(server.StoreRoot())) {
            if (entry.is_regular_file()) {
                files[entry.path().lexically_relative(server.StoreRoot()).string()] =
                    WithoutTrace(ReadFile(entry.path()));
            }
        }
        for (const auto& [path, bytes] : files) {
            std::filesystem::remove(server.StoreRoot() / path);
        }
        return files;
    }

    /// The number in a message file's name.
    static long long NumberIn(const std::string& path) {
        const auto at = path.rfind("MSG");
        return at == std::string::npos ? -1 : std::stoll(path.substr(at + 3));
    }

    [[nodiscard]] std::string Counter() const {
        return ProfileFile(server.Dir() / "brevin.INI").Read("BREVIN", "conta", "");
    }

    template <typename Fn>
    bool WaitUntil(Fn done) {
        return server.WaitUntil(std::move(done));
    }

    SmtpServer server;
};

} // namespace brevin::testing
