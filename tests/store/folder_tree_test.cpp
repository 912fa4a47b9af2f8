#include "store/folder_tree.h"
#include "store/store_layout.h"
#include "store_test_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace brevin {
namespace {

using namespace testing; // brevin::testing: the store tests' helpers
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class FolderTreeTest : public ::testing::Test {
protected:
    FolderTreeTest() { std::filesystem::create_directories(inbox); }

    /// The names of a listing, each with its attributes as IMAP would show them.
    std::vector<std::string> Listed() const {
        std::vector<std::string> out;
        for (const FolderInfo& folder : tree.List()) {
            std::string line = folder.name;
            line += folder.hasChildren ? " \\HasChildren" : " \\HasNoChildren";
            line += folder.noselect ? " \\Noselect" : "";
            if (folder.use != SpecialUse::None) {
                line += ' ';
                line += SpecialUseAttribute(folder.use);
            }
            line += folder.subscribed ? " \\Subscribed" : "";
            out.push_back(line);
        }
        return out;
    }

    TempDir dir;
    std::filesystem::path inbox = dir.Path() / "anna";
    FolderTree tree{inbox.string()};
};

TEST_F(FolderTreeTest, CreatesParentsAndListsFoldersInTreeOrder) {
    ASSERT_TRUE(tree.Create("Work/2026/Q1"));
    ASSERT_TRUE(tree.Create("Notes/")); // the trailing separator only announces children
    ASSERT_TRUE(tree.Create("Work 2"));
    EXPECT_EQ(tree.Create("Work").error, FolderError::AlreadyExists);
    EXPECT_EQ(tree.Create("inbox").error, FolderError::AlreadyExists);
    EXPECT_EQ(tree.Create("INBOX/Sub").error, FolderError::Cannot);
    ASSERT_TRUE(tree.Subscribe("Work"));
    ASSERT_TRUE(tree.Subscribe("Not/There"));
    ASSERT_TRUE(tree.Subscribe("inbox"));
    // What the index keeps in a folder and directories no name maps to are not folders.
    std::filesystem::create_directory(inbox / "Work" / ".brevin");
    std::filesystem::create_directory(inbox / "bad%zz");
    std::filesystem::create_directory(inbox / "Inbox");

    EXPECT_THAT(Listed(), ElementsAre("INBOX \\HasNoChildren \\Subscribed", "Notes \\HasNoChildren",
                                      "Work \\HasChildren \\Subscribed", "Work/2026 \\HasChildren",
                                      "Work/2026/Q1 \\HasNoChildren", "Work 2 \\HasNoChildren"));
    EXPECT_THAT(tree.Subscriptions(), ElementsAre("INBOX", "Not/There", "Work"));
    EXPECT_EQ(tree.PathOf("Work/2026"), (inbox / "Work" / "2026").string());
    EXPECT_EQ(tree.PathOf("Inbox"), inbox.string());
    EXPECT_EQ(tree.PathOf("Missing"), std::nullopt);
    struct stat status {};
    ASSERT_EQ(::stat((inbox / "Work/2026/Q1").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, layout::kFolderMode);
}

TEST_F(FolderTreeTest, DeletingAFolderWithChildrenLeavesItNoselectAndEmpty) {
    ASSERT_TRUE(tree.Create("Work/2026"));
    WriteFile(inbox / "Work" / "MSG00001.bvn", "x");
    std::filesystem::create_directory(inbox / "Work" / ".brevin");
    WriteFile(inbox / "Work" / "2026" / "MSG00002.bvn", "y");

    ASSERT_TRUE(tree.Delete("Work"));
    EXPECT_THAT(Listed(), ElementsAre("INBOX \\HasNoChildren", "Work \\HasChildren \\Noselect",
                                      "Work/2026 \\HasNoChildren"));
    EXPECT_FALSE(std::filesystem::exists(inbox / "Work" / "MSG00001.bvn"));
    EXPECT_FALSE(std::filesystem::exists(inbox / "Work" / ".brevin"));
    EXPECT_TRUE(std::filesystem::exists(inbox / "Work" / "2026" / "MSG00002.bvn"));
    EXPECT_EQ(tree.PathOf("Work"), std::nullopt);
    EXPECT_EQ(tree.Delete("Work").error, FolderError::Cannot);

    // The last child gone, the \Noselect parent serves nothing and goes with it.
    ASSERT_TRUE(tree.Delete("Work/2026"));
    EXPECT_THAT(FolderNames(inbox), ElementsAre(".brevin"));
    EXPECT_EQ(tree.Delete("Work").error, FolderError::NonExistent);
    EXPECT_EQ(tree.Delete("INBOX").error, FolderError::Cannot);
}

TEST_F(FolderTreeTest, CreatingANoselectFolderMakesItSelectableAgain) {
    ASSERT_TRUE(tree.Create("Work/2026"));
    ASSERT_TRUE(tree.Delete("Work"));
    ASSERT_TRUE(tree.Create("Work"));
    EXPECT_EQ(tree.PathOf("Work"), (inbox / "Work").string());
    EXPECT_THAT(FolderNames(inbox / "Work"), ElementsAre("2026"));
}

TEST_F(FolderTreeTest, RenameMovesChildrenSubscriptionsAndSpecialUses) {
    ASSERT_TRUE(tree.Create("Work/2026"));
    WriteFile(inbox / "Work" / "2026" / "MSG00001.bvn", "x");
    ASSERT_TRUE(tree.Subscribe("Work/2026"));
    ASSERT_TRUE(tree.Create("Other"));
    ASSERT_TRUE(tree.Create("Trash"));
    ASSERT_TRUE(tree.EnsureSpecialUse()); // Trash keeps its folder and gains the use

    ASSERT_TRUE(tree.Rename("Work", "Archive/Old"));
    ASSERT_TRUE(tree.Rename("Trash", "Bin"));
    EXPECT_THAT(tree.Subscriptions(),
                ElementsAre("Archive/Old/2026", "Bin", "Drafts", "Junk", "Sent"));
    EXPECT_THAT(FolderNames(inbox / "Archive" / "Old" / "2026"), ElementsAre("MSG00001.bvn"));
    EXPECT_FALSE(std::filesystem::exists(inbox / "Work"));
    EXPECT_THAT(Listed(), ::testing::Contains("Bin \\HasNoChildren \\Trash \\Subscribed"));

    EXPECT_EQ(tree.Rename("Other", "Archive").error, FolderError::AlreadyExists);
    EXPECT_EQ(tree.Rename("Archive", "Archive/Old/Deeper").error, FolderError::Cannot);
    EXPECT_EQ(tree.Rename("Missing", "Found").error, FolderError::NonExistent);
    EXPECT_EQ(tree.Rename("Other", "INBOX").error, FolderError::AlreadyExists);
    // Moved under fifteen levels, Archive/Old/2026 would be eighteen deep.
    const std::string deep = "1/2/3/4/5/6/7/8/9/10/11/12/13/14/15";
    ASSERT_TRUE(tree.Create(deep));
    EXPECT_EQ(tree.Rename("Archive", deep + "/Archive").error, FolderError::Limit);
    EXPECT_TRUE(std::filesystem::exists(inbox / "Archive" / "Old" / "2026"));
}

TEST_F(FolderTreeTest, RenamingInboxMovesOnlyItsMessages) {
    WriteFile(inbox / "MSG00001.bvn", "one");
    WriteFile(inbox / "msg00002.BVN", "two");
    WriteFile(inbox / ".MSG00003.1.tmp", "being written");
    ASSERT_TRUE(tree.Create("Work"));
    std::filesystem::create_directories(inbox / ".brevin" / "index");

    ASSERT_TRUE(tree.Rename("Inbox", "Old Mail"));
    EXPECT_THAT(FolderNames(inbox / "Old Mail"), ElementsAre("MSG00001.bvn", "msg00002.BVN"));
    EXPECT_THAT(FolderNames(inbox), ElementsAre(".MSG00003.1.tmp", ".brevin", "Old Mail", "Work"));
    EXPECT_TRUE(std::filesystem::exists(inbox / ".brevin" / "index"));
    EXPECT_EQ(tree.Rename("INBOX", "Work").error, FolderError::AlreadyExists);
}

TEST_F(FolderTreeTest, SpecialUseFoldersAreMadeOnceEver) {
    ASSERT_TRUE(tree.EnsureSpecialUse());
    EXPECT_THAT(Listed(),
                ElementsAre("INBOX \\HasNoChildren", "Drafts \\HasNoChildren \\Drafts \\Subscribed",
                            "Junk \\HasNoChildren \\Junk \\Subscribed",
                            "Sent \\HasNoChildren \\Sent \\Subscribed",
                            "Trash \\HasNoChildren \\Trash \\Subscribed"));
    ASSERT_TRUE(tree.Delete("Junk"));
    FolderTree later{inbox.string()}; // the next login
    ASSERT_TRUE(later.EnsureSpecialUse());
    EXPECT_EQ(later.PathOf("Junk"), std::nullopt);
    EXPECT_EQ(later.List().size(), 4u);
}

TEST_F(FolderTreeTest, AFolderListOfAnUnknownFormatIsLeftAlone) {
    std::filesystem::create_directory(inbox / ".brevin");
    const std::string newer = "brevin-folders 2\nsomething new\n";
    WriteFile(inbox / ".brevin" / "folders", newer);
    EXPECT_EQ(tree.Subscribe("Work").error, FolderError::Unavailable);
    EXPECT_EQ(tree.EnsureSpecialUse().error, FolderError::Unavailable);
    EXPECT_EQ(ReadFile(inbox / ".brevin" / "folders"), newer);
    EXPECT_EQ(tree.PathOf("Sent"), std::nullopt);
}

TEST_F(FolderTreeTest, HostileNamesNeverLeaveTheInboxNorPassForMessages) {
    std::filesystem::create_directory(dir.Path() / "outside");
    std::filesystem::create_directory_symlink(dir.Path() / "outside", inbox / "Link");
    ASSERT_TRUE(tree.Create("Work"));
    const std::string hostile[] = {
        "..",          "../x",   "a/../b", ".brevin",      "MSG00001.bvn",        "x.BVN",
        ".MSG1.0.tmp", "%2E%2E", "Link/x", "Work/../../y", std::string("a\0b", 3)};
    for (const std::string& name : hostile) {
        tree.Rename("Work", name);
        tree.Rename(name, "Work");
        tree.Create(name);
    }
    EXPECT_THAT(FolderNames(dir.Path()), ElementsAre("anna", "outside"));
    EXPECT_THAT(FolderNames(dir.Path() / "outside"), IsEmpty());
    for (const std::string& name : FolderNames(inbox)) {
        EXPECT_FALSE(layout::IsMessageName(name)) << name;
        EXPECT_FALSE(layout::IsTemporaryName(name)) << name;
    }
    // What became folders is listed under the names they were made with.
    std::vector<std::string> names;
    for (const FolderInfo& folder : tree.List()) {
        names.push_back(folder.name);
    }
    EXPECT_THAT(names, ElementsAre("INBOX", "%2E%2E", ".MSG1.0.tmp", ".brevin", "MSG00001.bvn",
                                   "Work", "x.BVN"));
    EXPECT_THAT(FolderNames(inbox / ".brevin"), ElementsAre("folders"));
}

} // namespace
} // namespace brevin
