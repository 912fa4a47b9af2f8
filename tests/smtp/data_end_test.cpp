// Where the data ends: CR LF "." CR LF recognised wherever it falls in the reads, nothing
// ended early by look-alikes, the message stored byte for byte with its final line, and the
// bytes after the end read as the next commands.

#include "smtp_fixture.h"

#include <random>

namespace brevin::testing {
namespace {

class DataEnd : public SmtpTest {
protected:
    /// The one message file of `folder`, which must hold exactly one, and removes it.
    std::string TakeStored(const std::string& folder) {
        const auto files = FilesIn(folder);
        if (files.size() != 1) {
            ADD_FAILURE() << folder << " holds " << files.size() << " files";
            return {};
        }
        std::string bytes = Stored(folder, files.front());
        std::filesystem::remove(Folder(folder) / files.front());
        return bytes;
    }
};

// Look-alikes of the end everywhere: a dot-stuffed line, "." not alone on its line, CR and LF
// alone, a line that is only "..", and a zero byte.
const std::string kTricky =
    std::string("Subject: x\r\n\r\n..\r\n.a\r\n\r.\r\n\n.\n\r\n..\r\nz") + '\0' + "\r\n.\r\n";

TEST_F(DataEnd, TheEndIsFoundAtEveryPositionAMessageIsCut) {
    auto client = server.Smtp();
    for (std::size_t cut = 1; cut < kTricky.size(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        Begin(*client, {"ann"});
        client->Send(kTricky.substr(0, cut));
        // Waiting here also makes the server read the two parts separately.
        ASSERT_EQ(client->ReadFor(15ms), "") << "the data ended early";
        client->Send(kTricky.substr(cut));
        ASSERT_EQ(client->ReadLine(), kOk);
        ASSERT_EQ(TakeStored("ann"), kTricky);
    }
}

TEST_F(DataEnd, TheEndIsFoundWhenEveryByteArrivesAlone) {
    auto client = server.Smtp();
    Begin(*client, {"ann"});
    for (const char c : kTricky) {
        client->Send(std::string(1, c));
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(TakeStored("ann"), kTricky);
}

TEST_F(DataEnd, TheEndSpreadOverThreeReadsIsFound) {
    auto client = server.Smtp();
    Begin(*client, {"ann"});
    for (const std::string part : {"body\r\n", ".", "\r", "\n"}) {
        client->Send(part);
        std::this_thread::sleep_for(15ms);
    }
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(TakeStored("ann"), "body\r\n.\r\n");
}

TEST_F(DataEnd, AMessageOfOnlyTheFinalLineEndsAtOnce) {
    auto client = server.Smtp();
    Begin(*client, {"ann"});
    client->Send(".\r\n");
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(TakeStored("ann"), ".\r\n");
}

TEST_F(DataEnd, DotStuffedLinesAreStoredWithTheirExtraDot) {
    const std::string body = "..\r\n.hidden\r\n...three\r\nplain\r\n. \r\n";
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"ann"}, Stuffed(body)), kOk);
    const std::string stored = TakeStored("ann");
    EXPECT_EQ(stored, "...\r\n..hidden\r\n....three\r\nplain\r\n.. \r\n.\r\n");
    EXPECT_TRUE(stored.ends_with("\r\n.\r\n"));
}

TEST_F(DataEnd, BytesAfterTheEndAreTheNextCommands) {
    auto client = server.Smtp();
    Begin(*client, {"ann"});
    client->Send("line\r\n.\r\nRSET\r\nRCPT TO:<bob@x>\r\nDATA\r\nsecond\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(client->ReadLine(), kStartData);
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(client->ReadLine(), kClosing);
    EXPECT_EQ(TakeStored("ann"), "line\r\n.\r\n");
    EXPECT_EQ(TakeStored("bob"), "second\r\n.\r\n");
}

TEST_F(DataEnd, AWholeTransactionInOneBurstIsServedInOrder) {
    auto client = server.Smtp();
    client->Send("HELO x\r\nMAIL FROM:<s@x>\r\nRCPT TO:<ann@x>\r\nDATA\r\n"
                 "Subject: burst\r\n\r\nbody\r\n.\r\nQUIT\r\n");
    for (const char* expected : {kOk, kOk, kOk, kStartData, kOk, kClosing}) {
        EXPECT_EQ(client->ReadLine(), expected);
    }
    EXPECT_EQ(TakeStored("ann"), "Subject: burst\r\n\r\nbody\r\n.\r\n");
}

TEST_F(DataEnd, ALargeBinaryMessageIsStoredByteForByte) {
    // Every byte value, CR LF pairs and lone dots, but no end sequence before the real one.
    std::mt19937 random(4711);
    std::string data;
    data.reserve(1 << 20);
    while (data.size() < (1 << 20)) {
        const auto c = static_cast<char>(random() % 256);
        data.push_back(c);
        if (data.ends_with("\r\n.\r")) {
            data.back() = 'x';
        }
    }
    data += "\r\n.\r\n";
    auto client = server.Smtp();
    Begin(*client, {"ann", "bob"});
    // In uneven pieces, so the end of a read falls anywhere.
    for (std::size_t at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 7 % 9973) {
        ASSERT_TRUE(client->Send(data.substr(at, piece)));
    }
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_TRUE(TakeStored("bob") == data);
    EXPECT_TRUE(TakeStored("ann") == data);
}

} // namespace
} // namespace brevin::testing
