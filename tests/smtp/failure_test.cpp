// When filing fails: a full disk while the data arrives or while copies are made, a copy
// folder that cannot be made, a client that drops the connection mid-data. Every time nothing
// of the message is left where a mailbox would show it, the numbers stay used, and the session
// (or the server) goes on.

#include "smtp_fixture.h"

namespace brevin::testing {
namespace {

class Failures : public SmtpTest {
protected:
    /// Makes message writes fail once `bytes` more have been written, as a full disk would.
    void DiskFullAfter(long bytes) {
        Change([bytes] { StoreFaults::FailWritesAfter(bytes); });
    }
    void DiskFreed() {
        Change([] { StoreFaults::Reset(); });
    }

    static std::string Body(std::size_t size) {
        std::string body = "Subject: big\r\n\r\n";
        while (body.size() < size) {
            body += "0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
        }
        return body + ".\r\n";
    }
};

TEST_F(Failures, ADiskFullWhileTheDataArrivesAnswers500AndLeavesNothing) {
    Change([this] { server.Profile().Write("BREVIN", "conta", "10"); });
    DiskFullAfter(5000);
    auto client = server.Smtp();
    // The data goes on well past the failure; it is read to its end before the reply.
    EXPECT_EQ(Deliver(*client, {"ann"}, Body(50'000)), kFailed);
    EXPECT_TRUE(FilesIn("ann").empty()) << "neither the message nor its temporary file stays";
    EXPECT_EQ(ProfileValue("BREVIN", "conta"), "11") << "the number stays used";

    // The bytes after the data are commands again, and once there is room mail flows.
    DiskFreed();
    EXPECT_EQ(Command(*client, "HELO x"), kOk);
    EXPECT_EQ(Deliver(*client, {"ann"}, Body(50'000)), kOk);
    EXPECT_EQ(FilesIn("ann"), std::vector<std::string>{"MSG00011.bvn"});
    EXPECT_EQ(Stored("ann", "MSG00011.bvn"), Body(50'000));
}

TEST_F(Failures, ADiskFullWhileCopyingRemovesTheMessageAndEveryCopy) {
    Change([this] { server.AddUser("cid", "cid", "pw"); });
    const std::string data = Body(20'000);
    // The message itself and the first copy fit; the second copy does not.
    DiskFullAfter(static_cast<long>(2 * data.size() + 100));
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"ann", "bob", "cid"}, data), kFailed);
    EXPECT_TRUE(FilesIn("ann").empty());
    EXPECT_TRUE(FilesIn("bob").empty());
    EXPECT_TRUE(FilesIn("cid").empty());

    DiskFreed();
    EXPECT_EQ(Deliver(*client, {"ann", "bob", "cid"}, data), kOk);
    EXPECT_EQ(FilesIn("ann").size(), 1U);
    EXPECT_EQ(FilesIn("bob").size(), 1U);
    EXPECT_EQ(FilesIn("cid").size(), 1U);
}

TEST_F(Failures, ACopyFolderThatCannotBeMadeFailsTheWholeMessage) {
    // Only one level is created, so a folder below a missing one cannot be made.
    Change([this] { server.AddUser("gus", "missing/gus", "pw", /*createFolder=*/false); });
    auto client = server.Smtp();
    EXPECT_EQ(Deliver(*client, {"gus", "ann"}, Body(100)), kFailed);
    EXPECT_TRUE(FilesIn("ann").empty()) << "the recipient that did get it has it removed";
    EXPECT_FALSE(std::filesystem::exists(Folder("missing")));
    EXPECT_EQ(Deliver(*client, {"ann"}, Body(100)), kOk);
}

TEST_F(Failures, ADroppedConnectionMidDataLeavesNothingVisible) {
    Change([this] { server.Profile().Write("BREVIN", "conta", "30"); });
    {
        auto client = server.Smtp();
        Begin(*client, {"bob", "ann"});
        client->Send(Body(40'000).substr(0, 25'000));
        // The data is being written: the temporary file is there, no mailbox shows it.
        ASSERT_TRUE(WaitForFileCount("ann", 1));
        EXPECT_TRUE(ListMailbox(Folder("ann").string()).empty());
    }
    EXPECT_TRUE(WaitForFileCount("ann", 0)) << FilesIn("ann").size() << " files left";
    EXPECT_TRUE(FilesIn("bob").empty());
    EXPECT_EQ(ProfileValue("BREVIN", "conta"), "31");

    auto next = server.Smtp();
    EXPECT_EQ(Deliver(*next, {"ann"}, Body(100)), kOk);
    EXPECT_EQ(FilesIn("ann"), std::vector<std::string>{"MSG00031.bvn"});
}

} // namespace
} // namespace brevin::testing
