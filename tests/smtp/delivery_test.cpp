// Who receives a message and under which number: the file in the last accepted recipient's
// folder, a copy for every other recipient, the counter advancing once per file, the
// transaction's recipients forgotten after filing, and DATA refused without a recipient or
// a mailbox folder.

#include "smtp_fixture.h"

namespace brevin::testing {
namespace {

const std::string kMessage = "Subject: hello\r\n\r\nA line.\r\n.\r\n";

class Delivery : public SmtpTest {
protected:
    void SetCounter(const std::string& value) {
        Change([&] { server.Profile().Write("BREVIN", "conta", value); });
    }
};

TEST_F(Delivery, OneRecipientGetsTheMessageExactlyAsSent) {
    SetCounter("7");
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"ann"}, kMessage), kOk);
    EXPECT_EQ(FilesIn("ann"), std::vector<std::string>{"MSG00007.bvn"});
    EXPECT_EQ(Stored("ann", "MSG00007.bvn"), kMessage);
    EXPECT_EQ(ProfileValue("BREVIN", "conta"), "8");
    EXPECT_TRUE(FilesIn("bob").empty());
}

TEST_F(Delivery, TheLastRecipientHoldsTheFileAndTheOthersGetCopiesWithLaterNumbers) {
    SetCounter("41");
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"ann", "bob"}, kMessage), kOk);
    EXPECT_EQ(FilesIn("bob"), std::vector<std::string>{"MSG00041.bvn"});
    EXPECT_EQ(FilesIn("ann"), std::vector<std::string>{"MSG00042.bvn"});
    EXPECT_EQ(Stored("bob", "MSG00041.bvn"), kMessage);
    EXPECT_EQ(Stored("ann", "MSG00042.bvn"), kMessage);
    EXPECT_EQ(ProfileValue("BREVIN", "conta"), "43");
}

TEST_F(Delivery, ANameAcceptedTwiceGetsTwoFiles) {
    SetCounter("99999");
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"ann", "ANN"}, kMessage), kOk);
    EXPECT_EQ(FilesIn("ann"), (std::vector<std::string>{"MSG100000.bvn", "MSG99999.bvn"}));
    EXPECT_EQ(Stored("ann", "MSG99999.bvn"), kMessage);
    EXPECT_EQ(Stored("ann", "MSG100000.bvn"), kMessage);
}

TEST_F(Delivery, EveryRecipientOfFiveGetsItsOwnFile) {
    Change([this] {
        server.AddUser("cid", "cid", "pw");
        server.AddUser("dee", "dee", "pw");
    });
    SetCounter("0");
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"ann", "bob", "cid", "dee", "bob"}, kMessage), kOk);
    // The last recipient's folder holds the message (0); copies follow the list order.
    EXPECT_EQ(FilesIn("bob"), (std::vector<std::string>{"MSG00000.bvn", "MSG00002.bvn"}));
    EXPECT_EQ(FilesIn("ann"), std::vector<std::string>{"MSG00001.bvn"});
    EXPECT_EQ(FilesIn("cid"), std::vector<std::string>{"MSG00003.bvn"});
    EXPECT_EQ(FilesIn("dee"), std::vector<std::string>{"MSG00004.bvn"});
    EXPECT_EQ(ProfileValue("BREVIN", "conta"), "5");
}

TEST_F(Delivery, ACopyFolderThatIsMissingIsCreated) {
    Change([this] { server.AddUser("eve", "eve-box", "pw", /*createFolder=*/false); });
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"eve", "ann"}, kMessage), kOk);
    ASSERT_EQ(FilesIn("eve-box").size(), 1U);
    EXPECT_EQ(Stored("eve-box", FilesIn("eve-box").front()), kMessage);
    EXPECT_EQ(FilesIn("ann").size(), 1U);
}

TEST_F(Delivery, CopyFoldersAreLookedUpAgainAtTheEndOfTheData) {
    auto client = server.Smtp();
    Begin(*client, {"ann", "bob"});
    client->Send("Subject: moved\r\n");
    // The administrator moves ann's mailbox while the data is still arriving.
    Change([this] { server.AddUser("ann", "ann-new", "pw-ann"); });
    client->Send("\r\n.\r\n");
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_TRUE(FilesIn("ann").empty());
    EXPECT_EQ(FilesIn("ann-new").size(), 1U);
    EXPECT_EQ(FilesIn("bob").size(), 1U);
}

TEST_F(Delivery, ARefusedRecipientDoesNotMoveTheMessageOutOfTheLastAcceptedFolder) {
    auto client = server.Smtp();
    ASSERT_EQ(Command(*client, "MAIL FROM:<s@x>"), kOk);
    ASSERT_EQ(Command(*client, "RCPT TO:<ann@x>"), kOk);
    ASSERT_EQ(Command(*client, "RCPT TO:<bob@x>"), kOk);
    ASSERT_EQ(Command(*client, "RCPT TO:<nobody@x>"), kNoSuchUser);
    ASSERT_EQ(Command(*client, "DATA"), kStartData);
    client->Send(kMessage);
    EXPECT_EQ(client->ReadLine(), kOk);
    EXPECT_EQ(FilesIn("ann").size(), 1U);
    EXPECT_EQ(FilesIn("bob").size(), 1U);
    // Nothing lands in the store root itself.
    std::vector<std::string> inRoot;
    for (const auto& entry : std::filesystem::directory_iterator(server.StoreRoot())) {
        if (!entry.is_directory()) {
            inRoot.push_back(entry.path().filename().string());
        }
    }
    EXPECT_TRUE(inRoot.empty());
}

TEST_F(Delivery, TheSecondMessageOfAConnectionGoesOnlyToItsOwnRecipients) {
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"ann"}, "first\r\n.\r\n"), kOk);
    EXPECT_EQ(Deliver(*client, {"bob"}, "second\r\n.\r\n"), kOk);
    ASSERT_EQ(FilesIn("ann").size(), 1U);
    ASSERT_EQ(FilesIn("bob").size(), 1U);
    EXPECT_EQ(Stored("ann", FilesIn("ann").front()), "first\r\n.\r\n");
    EXPECT_EQ(Stored("bob", FilesIn("bob").front()), "second\r\n.\r\n");

    // Filing forgot the recipients: a further DATA has none, even without MAIL or RSET.
    EXPECT_EQ(Command(*client, "DATA"), kNoRecipients);
    EXPECT_EQ(FilesIn("ann").size(), 1U);
    EXPECT_EQ(FilesIn("bob").size(), 1U);
}

TEST_F(Delivery, DataWithoutAnAcceptedRecipientStoresNothingAndTakesNoNumber) {
    SetCounter("5");
    auto client = server.Smtp();
    EXPECT_EQ(Command(*client, "DATA"), kNoRecipients);
    EXPECT_EQ(Command(*client, "MAIL FROM:<s@x>"), kOk);
    EXPECT_EQ(Command(*client, "RCPT TO:<nobody@x>"), kNoSuchUser);
    EXPECT_EQ(Command(*client, "DATA"), kNoRecipients);
    EXPECT_EQ(ProfileValue("BREVIN", "conta"), "5");
    EXPECT_TRUE(FilesIn("ann").empty());
    EXPECT_TRUE(FilesIn("bob").empty());
    // Still in the command phase.
    EXPECT_EQ(Command(*client, "HELO x"), kOk);
}

TEST_F(Delivery, AMissingMailboxFolderRefusesDataButUsesItsNumber) {
    Change([this] { server.AddUser("fay", "fay-box", "pw", /*createFolder=*/false); });
    SetCounter("20");
    auto client = server.Smtp();
    ASSERT_EQ(Command(*client, "MAIL FROM:<s@x>"), kOk);
    ASSERT_EQ(Command(*client, "RCPT TO:<ann@x>"), kOk);
    ASSERT_EQ(Command(*client, "RCPT TO:<fay@x>"), kOk);
    EXPECT_EQ(Command(*client, "DATA"), kNoFile);
    EXPECT_EQ(ProfileValue("BREVIN", "conta"), "21");
    EXPECT_FALSE(std::filesystem::exists(Folder("fay-box"))) << "DATA does not create it";
    EXPECT_TRUE(FilesIn("ann").empty());
    // The session stays in the command phase and can go on.
    EXPECT_EQ(Command(*client, "RSET"), kOk);
    EXPECT_EQ(Deliver(*client, {"ann"}, kMessage), kOk);
    EXPECT_EQ(FilesIn("ann"), std::vector<std::string>{"MSG00021.bvn"});
}

TEST_F(Delivery, WithoutAStoreRootTheFileGoesBelowZzzAndCopiesBelowTheWorkingDirectory) {
    struct WorkIn {
        std::filesystem::path previous = std::filesystem::current_path();
        explicit WorkIn(const std::filesystem::path& dir) { std::filesystem::current_path(dir); }
        ~WorkIn() { std::filesystem::current_path(previous); }
    } workIn(server.Dir());
    Change([this] {
        server.Profile().Remove("BREVIN", "store");
        std::filesystem::create_directories(server.Dir() / "zzz" / "ann");
    });
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"bob", "ann"}, kMessage), kOk);
    std::vector<std::string> inZzz;
    for (const auto& entry : std::filesystem::directory_iterator(server.Dir() / "zzz" / "ann")) {
        inZzz.push_back(ReadFile(entry.path()));
    }
    EXPECT_EQ(inZzz, std::vector<std::string>{kMessage});
    // The copy found no store root either: the working directory became it.
    ASSERT_TRUE(std::filesystem::is_directory(server.Dir() / "bob"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(server.Dir() / "bob"), {}), 1);
    EXPECT_EQ(ProfileValue("BREVIN", "store"), server.Dir().string());
}

TEST_F(Delivery, ANumberWhoseNameIsTakenMovesOnInsteadOfReplacingAFile) {
    SetCounter("3");
    WriteFile(Folder("ann") / "MSG00003.bvn", "older mail\r\n.\r\n");
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"bob", "ann"}, kMessage), kOk);
    EXPECT_EQ(Stored("ann", "MSG00003.bvn"), "older mail\r\n.\r\n");
    const auto annFiles = FilesIn("ann");
    ASSERT_EQ(annFiles.size(), 2U);
    EXPECT_EQ(Stored("ann", annFiles.back()), kMessage);
    ASSERT_EQ(FilesIn("bob").size(), 1U);
    EXPECT_EQ(Stored("bob", FilesIn("bob").front()), kMessage);
}

TEST_F(Delivery, SessionsInTheirDataPhasesAtOnceKeepTheirMessagesApart) {
    auto first = server.Smtp();
    auto second = server.Smtp();
    Begin(*first, {"ann"});
    Begin(*second, {"bob"});
    first->Send("from the first\r\n");
    second->Send("from the second, b");
    std::this_thread::sleep_for(20ms);
    // The first session's data ended in CR LF; the second's did not, so "." CR LF does not
    // end it there.
    second->Send(".\r\n");
    EXPECT_EQ(second->ReadFor(100ms), "");
    first->Send(".\r\n");
    EXPECT_EQ(first->ReadLine(), kOk);
    second->Send("\r\n.\r\n");
    EXPECT_EQ(second->ReadLine(), kOk);
    EXPECT_EQ(Stored("ann", FilesIn("ann").front()), "from the first\r\n.\r\n");
    EXPECT_EQ(Stored("bob", FilesIn("bob").front()), "from the second, b.\r\n\r\n.\r\n");
}

} // namespace
} // namespace brevin::testing
