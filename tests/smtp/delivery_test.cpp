// Where the data ends, who receives a message under which number, when DATA is refused, and
// what is left when filing fails: nothing of the message, with its numbers used and the
// session going on.

#include "smtp_fixture.h"

#include <fstream>
#include <gmock/gmock.h>
#include <sys/statvfs.h>

namespace brevin::testing {
namespace {

using SmtpDataEnd = SmtpTest;

// Look-alikes of the end: dot-stuffed lines (stored as sent), "." not alone on its line, CR
// and LF alone, and a zero byte.
const std::string kTricky =
    std::string("Subject: x\r\n\r\n..\r\n.a\r\n\r.\r\n\n.\n\r\n..\r\nz") + '\0' + "\r\n.\r\n";

TEST_F(SmtpDataEnd, TheEndIsFoundWhenEachByteArrivesAloneInTwoSessionsAtOnce) {
    auto first = server.Smtp();
    auto second = server.Smtp();
    Begin(*first, {"ann"});
    Begin(*second, {"bob"});
    for (const char c : kTricky) {
        first->Send(std::string(1, c));
        second->Send(std::string(1, c));
        server.Step(); // each byte read on its own
    }
    EXPECT_EQ(first->ReadLine(), kOk);
    EXPECT_EQ(second->ReadLine(), kOk);
    const Files files = TakeFiles();
    ASSERT_EQ(files.size(), 2U);
    EXPECT_TRUE(files.begin()->first.starts_with("ann/"));
    EXPECT_TRUE(files.rbegin()->first.starts_with("bob/"));
    for (const auto& [path, contents] : files) {
        EXPECT_EQ(contents, kTricky) << path;
    }
}

TEST_F(SmtpDataEnd, BytesAfterTheEndAreTheNextCommandsOfAFreshTransaction) {
    auto client = server.Smtp();
    client->Send("MAIL FROM:<s@x>\r\nRCPT TO:<ann@x>\r\nDATA\r\nfirst\r\n.\r\n"
                 "RCPT TO:<bob@x>\r\nDATA\r\n.\r\nDATA\r\nNOOP\r\n");
    for (const std::string& reply : std::vector<std::string>{kOk, kOk, kStartData, kOk, kOk,
                                                             kStartData, kOk, kNoRecipients, kOk}) {
        EXPECT_EQ(client->ReadLine(), reply);
    }
    // The second message (only the final line: the data starts as after a CR LF) goes to its
    // own recipient only, though no MAIL began its transaction.
    EXPECT_EQ(TakeFiles(),
              (Files{{"ann/MSG00007.bvn", "first\r\n.\r\n"}, {"bob/MSG00008.bvn", ".\r\n"}}));

    // The same behind a message longer than any single read.
    std::string big;
    while (big.size() < 200'000) {
        big += "a line of a big message\r\n";
    }
    big += ".\r\n";
    EXPECT_EQ(Command(*client, "RCPT TO:<ann@x>"), kOk);
    EXPECT_EQ(Command(*client, "DATA"), kStartData);
    client->Send(big + "RCPT TO:<bob@x>\r\nDATA\r\n");
    EXPECT_EQ(client->ReadUntil(kStartData), kOk + kOk + kStartData);
    client->Send(".\r\n");
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(TakeFiles(), (Files{{"ann/MSG00009.bvn", big}, {"bob/MSG00010.bvn", ".\r\n"}}));
}

using SmtpDelivery = SmtpTest;

const std::string kMessage = "Subject: hello\r\n\r\nA line.\r\n.\r\n";

TEST_F(SmtpDelivery, TheLastAcceptedRecipientHoldsTheFileAndEveryOtherGetsACopy) {
    const struct {
        std::vector<std::string> to;
        std::vector<std::string> folders;
    } cases[] = {
        {{"ann"}, {"ann"}},
        {{"ann", "bob"}, {"ann", "bob"}},
        // Named twice, in whatever letter case: one copy.
        {{"ann", "ANN"}, {"ann"}},
        {{"ann", "bob", "Ann"}, {"ann", "bob"}},
        {{"ann", "bob", "nobody"}, {"ann", "bob"}},
        // A missing folder is made whether it takes the message or a copy.
        {{"eve", "ann"}, {"ann", "eve-box"}},
        {{"ann", "eve"}, {"ann", "eve-box"}},
    };
    auto client = server.Smtp();
    std::set<std::string> names;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to.front() + " " + c.to.back());
        std::filesystem::remove_all(server.StoreRoot() / "eve-box");
        EXPECT_EQ(Deliver(*client, c.to, kMessage), kOk);
        std::vector<std::string> folders;
        for (const auto& [path, contents] : TakeFiles()) {
            folders.push_back(path.substr(0, path.find('/')));
            EXPECT_EQ(contents, kMessage);
            EXPECT_TRUE(names.insert(path.substr(path.find('/'))).second) << "number reused";
            EXPECT_LT(NumberIn(path), ParseCounter(Counter())) << "the counter is past it";
        }
        EXPECT_EQ(folders, c.folders);
    }
}

// The limit counts a message as its SIZE parameter does, without doubled dots; while the end
// is arriving, a piece of the closing "." line is no part of the message.
TEST_F(SmtpDelivery, AMessageOfExactlyTheSizeLimitIsTakenWhereverTheReadsCutItsEnd) {
    const std::string wire = "Subject: x\r\n\r\n..dot\r\nbody\r\n.\r\n";
    server.Limits().maxMessageSize = wire.size() - 4;
    auto client = server.Smtp();
    for (std::size_t cut = wire.size() - 6; cut < wire.size(); ++cut) {
        SCOPED_TRACE(cut);
        Begin(*client, {"ann"});
        client->Send(wire.substr(0, cut));
        ASSERT_EQ(client->ReadFor(15ms), "") << "the data ended early";
        client->Send(wire.substr(cut));
        ASSERT_EQ(client->ReadLine(), kOk);
    }
    EXPECT_EQ(TakeFiles().size(), 6U);
    Begin(*client, {"ann"});
    client->Send("x" + wire);
    EXPECT_EQ(client->ReadLine(),
              "552 Brevin Server : message size exceeds fixed maximum message size\r\n");
}

// A message announced bigger than the space left above the reserve is refused before it is sent.
TEST_F(SmtpDelivery, AMessageAnnouncedBiggerThanTheFreeSpaceIsRefusedForNow) {
    struct statvfs fs {};
    ASSERT_EQ(statvfs(server.StoreRoot().c_str(), &fs), 0);
    const auto free = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    server.Limits() = {.maxMessageSize = 0, .minFreeBytes = 1};
    auto client = server.Smtp();
    const std::uint64_t tooMuch = free + (1ULL << 30); // whatever else frees meanwhile
    EXPECT_EQ(Command(*client, "MAIL FROM:<s@x> SIZE=" + std::to_string(tooMuch)),
              "452 Brevin Server : insufficient system storage\r\n");
    EXPECT_EQ(Command(*client, "MAIL FROM:<s@x> SIZE=1000"), kOk);
}

// A folder that cannot be made is passing trouble: the client keeps the mail and tries again.
TEST_F(SmtpDelivery, AFolderThatCannotBeMadeAnswers451) {
    std::ofstream(server.StoreRoot() / "eve-box") << "in the way";
    auto client = server.Smtp();
    Command(*client, "MAIL FROM:<a@x>");
    Command(*client, "RCPT TO:<eve@x>");
    EXPECT_EQ(Command(*client, "DATA"), "451 Error. No Mem File!\r\n");
    EXPECT_EQ(Deliver(*client, {"eve", "ann"}, kMessage), kNotFiled);
    std::filesystem::remove(server.StoreRoot() / "eve-box");
    EXPECT_EQ(TakeFiles(), Files{}) << "nothing of it stays";
}

TEST_F(SmtpDelivery, AFullDiskAnswers452AndLeavesNothingOfTheMessage) {
    std::string data = "Subject: big\r\n\r\n";
    while (data.size() < 20'000) {
        data += "0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
    }
    data += ".\r\n";
    const struct {
        long room;
        std::vector<std::string> to;
    } cases[] = {
        {5000, {"ann"}},                                                   // while the data arrives
        {static_cast<long>(2 * data.size() + 100), {"eve", "ann", "bob"}}, // at the second copy
    };
    auto client = server.Smtp();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.room);
        StoreFaults::FailWritesAfter(c.room);
        EXPECT_EQ(Deliver(*client, c.to, data), "452 error. Brevin Server ready \r\n");
        EXPECT_EQ(TakeFiles(), Files{});
    }
    // The rest of the data was read as data, and once there is room mail flows again.
    StoreFaults::Reset();
    EXPECT_EQ(Deliver(*client, {"ann"}, data), kOk);
    const Files files = TakeFiles();
    ASSERT_EQ(files.size(), 1U);
    EXPECT_GE(NumberIn(files.begin()->first), 9) << "the failed messages' numbers stay used";
    EXPECT_EQ(files.begin()->second, data);
}

TEST_F(SmtpDelivery, AConnectionDroppedDuringTheDataLeavesNothing) {
    const auto ann = (server.StoreRoot() / "ann").string();
    {
        auto client = server.Smtp();
        Begin(*client, {"bob", "ann"});
        client->Send(std::string(25'000, 'x'));
        // Being written, under a name that no mailbox shows.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ann), {}), 1);
        EXPECT_TRUE(ListMailbox(ann).empty());
    }
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::is_empty(ann); }));
    EXPECT_EQ(TakeFiles(), Files{});
    EXPECT_GE(ParseCounter(Counter()), 8U);
}

// A passing failure: a permanent one would bounce the message for bob too.
TEST_F(SmtpDelivery, ARecipientRemovedBeforeTheEndFailsTheMessageForNowInsteadOfFilingIt) {
    auto client = server.Smtp();
    Begin(*client, {"bob", "ann"});
    client->Send("Subject: late\r\n\r\nfirst half\r\n");
    // ann's is the folder the message is being written in.
    server.Profile().Remove("USERS", "ann");
    client->Send("second half\r\n.\r\n");
    EXPECT_EQ(client->ReadLine(), kNotFiled);
    EXPECT_EQ(TakeFiles(), Files{}) << "nothing for bob, nothing left in ann's old folder";
    EXPECT_EQ(Deliver(*client, {"bob", "ann"}, "again\r\n.\r\n"), kOk);
    EXPECT_EQ(TakeFiles().size(), 1U) << "the retry: bob's alone";
}

// A mailbox lists in number order, and clients store what they collect in that order.
TEST_F(SmtpDelivery, ACopyIsNumberedBeforeTheMailThatFollowsIt) {
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"bob", "ann"}, "first\r\n.\r\n"), kOk);
    EXPECT_EQ(Deliver(*client, {"bob"}, "second\r\n.\r\n"), kOk);
    std::vector<std::string> bobs;
    for (const auto& [path, contents] : TakeFiles()) { // in name order
        if (path.starts_with("bob/")) {
            bobs.push_back(contents);
        }
    }
    EXPECT_EQ(bobs, (std::vector<std::string>{"first\r\n.\r\n", "second\r\n.\r\n"}));
}

// Sessions busy at once share the queue's work: numbers are taken and messages filed for all
// of them together, yet each gets its own number and its own files.
TEST_F(SmtpDelivery, SessionsFinishingTogetherEachGetTheirOwnNumberAndFiles) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(server.Smtp());
    }
    for (int i = 0; i < 8; ++i) {
        clients[i]->Send(i % 2 == 0 ? "MAIL FROM:<s@x>\r\nRCPT TO:<ann@x>\r\nDATA\r\n"
                                    : "MAIL FROM:<s@x>\r\nRCPT TO:<ann@x>\r\nRCPT TO:<bob@x>\r\n"
                                      "DATA\r\n");
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(clients[i]->ReadUntil(kStartData),
                  i % 2 == 0 ? kOk + kOk + kStartData : kOk + kOk + kOk + kStartData);
    }
    for (int i = 0; i < 8; ++i) {
        clients[i]->Send("message " + std::to_string(i) + "\r\n.\r\n");
    }
    std::map<std::string, int> copies; // contents -> files holding them
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(clients[i]->ReadLine(), kOk);
    }
    const Files files = TakeFiles();
    std::set<long long> numbers;
    for (const auto& [path, contents] : files) {
        EXPECT_THAT(path, ::testing::MatchesRegex("(ann|bob)/MSG[0-9]+[.]bvn"));
        numbers.insert(NumberIn(path));
        ++copies[contents];
    }
    EXPECT_EQ(numbers.size(), files.size()) << "one number per file";
    EXPECT_LT(*numbers.rbegin(), ParseCounter(Counter()));
    EXPECT_EQ(files.size(), 12U) << "8 messages, 4 of them with a copy";
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(copies["message " + std::to_string(i) + "\r\n.\r\n"], i % 2 == 0 ? 1 : 2);
    }
}

} // namespace
} // namespace brevin::testing
