// RETR: the status line with the file's size, then the file unchanged, whatever its size
// relative to the 3000-byte pieces; the end of the multi-line reply added where a file lacks
// it; files that vanished; pauses between pieces; slow readers and dropped connections.

#include "pop3_fixture.h"

#include <vector>

namespace brevin::testing {
namespace {

// Without a pause a step moves as much as the socket takes; with one, a piece of at most
// 3000 bytes leaves after each pause. Both must give the same bytes.
class Retrieval : public Pop3Test, public ::testing::WithParamInterface<std::chrono::milliseconds> {
protected:
    Retrieval() : Pop3Test(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Pause, Retrieval, ::testing::Values(0ms, 2ms),
                         [](const auto& info) { return info.param == 0ms ? "None" : "Short"; });

TEST_P(Retrieval, EachFileArrivesByteForByteAfterItsStatusLine) {
    const std::vector<std::size_t> sizes = {5, 6, 2999, 3000, 3001, 5999, 6000, 6001, 9000, 9004};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        Put(static_cast<unsigned>(i + 1), MessageOfSize(sizes[i], static_cast<unsigned>(i)));
    }
    auto client = LoggedIn();
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE(sizes[i]);
        const std::string file = MessageOfSize(sizes[i], static_cast<unsigned>(i));
        // A command right behind the RETR shows that nothing follows the file.
        client->Send("RETR " + std::to_string(i + 1) + "\r\nLIST 1\r\n");
        const std::string expected =
            "+OK " + std::to_string(sizes[i]) + " bytes\r\n" + file + "+OK 1 5\r\n";
        EXPECT_TRUE(client->ReadExactly(expected.size()) == expected);
    }
    EXPECT_EQ(client->ReadFor(50ms), "");
}

TEST_P(Retrieval, StoredBytesAreSentUnchanged) {
    // Dot-stuffed lines keep their doubled dot, bare LFs and NULs stay, nothing is converted.
    const std::string file = std::string("Subject: x\r\n\r\n..leading dot\r\n...\r\nbare\nlf\r\n") +
                             std::string("nul\0byte\r\n\xff\xfe\r\n", 14) + ".\r\n";
    Put(1, file);
    auto client = LoggedIn();
    EXPECT_EQ(MultiLine(*client, "RETR 1"),
              "+OK " + std::to_string(file.size()) + " bytes\r\n" + file);
}

struct Ending {
    std::string file;
    std::string added; // what must follow the file so that the reply ends
};

TEST_P(Retrieval, AFileWithoutTheFinalLineGetsTheMissingEnd) {
    const std::vector<Ending> endings = {
        {"", ".\r\n"},
        {"x", "\r\n.\r\n"},
        {"no end at all", "\r\n.\r\n"},
        {"line\r\n", ".\r\n"},
        {"line\r", "\n.\r\n"},
        {"line\r\n.", "\r\n"},
        {"line\r\n.\r", "\n"},
        {"line\r\n.\r\n", ""},
        {".\r\n", ""}, // an empty message as stored
        {"a\r\n.\r\nb", "\r\n.\r\n"},
        {std::string(2998, 'y') + "\r\n.", "\r\n"}, // the end split across pieces
        {std::string(2999, 'y') + "\r\n.\r", "\n"}, // and here too
        {std::string(3000, 'y') + "\r\n", ".\r\n"}, // a piece boundary before CR LF
        {std::string(6000, 'y'), "\r\n.\r\n"},      // exactly two pieces
    };
    for (std::size_t i = 0; i < endings.size(); ++i) {
        Put(static_cast<unsigned>(i + 1), endings[i].file);
    }
    auto client = LoggedIn();
    for (std::size_t i = 0; i < endings.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [file, added] = endings[i];
        client->Send("RETR " + std::to_string(i + 1) + "\r\nSTAT\r\n");
        const std::string expected = "+OK " + std::to_string(file.size()) + " bytes\r\n" + file +
                                     added + "+OK " + std::to_string(endings.size()) + " 0\r\n";
        EXPECT_TRUE(client->ReadExactly(expected.size()) == expected);
    }
    EXPECT_EQ(client->ReadFor(50ms), "");
}

TEST_P(Retrieval, AMessageThatVanishedSinceTheListingIsRefused) {
    Put(1, MessageOfSize(100));
    Put(2, MessageOfSize(200));
    auto client = LoggedIn();
    std::filesystem::remove(Folder() / MessageName(1));
    EXPECT_EQ(Command(*client, "RETR 1"), "-ERR Brevin server: no such file\r\n");
    EXPECT_EQ(MultiLine(*client, "RETR 2"), "+OK 200 bytes\r\n" + MessageOfSize(200));
    // Replaced by something that is not a file: refused as well.
    std::filesystem::remove(Folder() / MessageName(2));
    std::filesystem::create_directory(Folder() / MessageName(2));
    EXPECT_EQ(Command(*client, "RETR 2"), "-ERR Brevin server: no such file\r\n");
    EXPECT_EQ(Command(*client, "STAT"), "+OK 2 100\r\n");
}

class LargeRetrieval : public Pop3Test {};

TEST_F(LargeRetrieval, ALargeMessageReachesASlowReaderWhole) {
    const std::string file = MessageOfSize(6'000'000, 7);
    Put(1, file);
    Client client(10000ms);
    ASSERT_TRUE(client.Connect(server.Pop3Port()));
    client.ReadLine();
    client.Send("USER alice\r\nPASS alice-pw\r\nRETR 1\r\nSTAT\r\n");
    EXPECT_EQ(client.ReadLine(), "+OK Brevin server: continue\r\n");
    EXPECT_EQ(client.ReadLine(), "+OK pwd is correct\r\n");
    EXPECT_EQ(client.ReadLine(), "+OK 6000000 bytes\r\n");
    // Far more than the socket buffers hold: the server fills them and must wait for room.
    std::this_thread::sleep_for(200ms);
    const std::string body = client.ReadExactly(file.size());
    ASSERT_EQ(body.size(), file.size());
    EXPECT_TRUE(body == file) << "bytes lost or reordered";
    EXPECT_EQ(client.ReadLine(), "+OK 1 6000000\r\n");
}

TEST_F(LargeRetrieval, ARetrievalDroppedMidwayEndsTheSessionAndTheServerGoesOn) {
    const std::string file = MessageOfSize(3'000'000, 3);
    Put(1, file);
    {
        auto client = LoggedIn();
        client->Send("DELE 1\r\nRETR 1\r\n");
        EXPECT_EQ(client->ReadLine(), "+OK message deleted\r\n");
        EXPECT_EQ(client->ReadLine(), "+OK 3000000 bytes\r\n");
        client->ReadExactly(10000);
    }
    // The dropped session ends (its mark is worked off) and others are served as before.
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(Folder() / MessageName(1)); }));
    Put(2, MessageOfSize(10));
    auto client = LoggedIn();
    EXPECT_EQ(MultiLine(*client, "RETR 1"), "+OK 10 bytes\r\n" + MessageOfSize(10));
}

class PausedRetrieval : public Pop3Test {
protected:
    PausedRetrieval() : Pop3Test(50ms) {}
};

TEST_F(PausedRetrieval, EachPieceWaitsForThePauseAndCommandsWaitForTheEnd) {
    const std::string file = MessageOfSize(9000);
    Put(1, file);
    auto client = LoggedIn();
    const auto start = std::chrono::steady_clock::now();
    client->Send("RETR 1\r\nSTAT\r\n");
    const std::string expected = "+OK 9000 bytes\r\n" + file + "+OK 1 9000\r\n";
    EXPECT_TRUE(client->ReadExactly(expected.size()) == expected);
    // The status line and three pieces of 3000 bytes, each after its pause, then the STAT.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
}

TEST_F(PausedRetrieval, ARetrievalDoesNotHoldUpOtherSessions) {
    Put(1, MessageOfSize(300'000)); // a hundred pieces: five seconds at this pause
    server.AddUser("bob", "bob", "b");
    auto reader = LoggedIn();
    reader->Send("RETR 1\r\n");
    EXPECT_EQ(reader->ReadLine(), "+OK 300000 bytes\r\n");
    auto other = LoggedIn("bob", "b");
    EXPECT_EQ(Command(*other, "STAT"), "+OK 0 0\r\n");
    EXPECT_LT(reader->ReadFor(5ms).size(), 300'000U) << "the other session was served meanwhile";
}

} // namespace
} // namespace brevin::testing
