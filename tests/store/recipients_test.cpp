// Aliases, lists and quotas as the profile keeps them: what saving refuses, and what a list
// reaches however it was written.

#include "store/profile_file.h"
#include "store/recipients.h"
#include "store/users.h"
#include "support/files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brevin {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class RecipientsTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::WriteFile(path, "[BREVIN]\nstore=" + dir.Path().string() +
                                     "\n[USERS]\nanna=anna\nbob=bob\n[PWD]\n");
        for (const char* folder : {"anna", "bob"}) {
            std::filesystem::create_directory(dir.Path() / folder);
        }
    }

    testing::TempDir dir;
    std::filesystem::path path = dir.Path() / "brevin.INI";
    ProfileFile profile{path};
    UserDirectory users{profile};
    Recipients recipients{users};
    std::string error;
};

TEST_F(RecipientsTest, SavingRefusesClashesLoopsAndListsStillHeld) {
    ASSERT_TRUE(recipients.SetAlias("info", "anna", error)) << error;
    ASSERT_TRUE(recipients.SetList("team", {"anna", "bob"}, error)) << error;
    ASSERT_TRUE(recipients.SetList("all", {"team", "info"}, error)) << error;
    EXPECT_FALSE(recipients.SetList("team", {"all"}, error));
    EXPECT_THAT(error, HasSubstr("loop"));
    EXPECT_FALSE(recipients.SetList("team", {"team"}, error));
    EXPECT_FALSE(recipients.SetAlias("team", "anna", error));
    EXPECT_FALSE(recipients.SetList("both", {"anna", "nobody"}, error));
    EXPECT_FALSE(users.Set({"info", "info", "pw"}, error));
    EXPECT_THAT(error, HasSubstr("is an alias"));
    EXPECT_FALSE(recipients.Remove("team", error));
    EXPECT_THAT(error, HasSubstr("holds"));
    EXPECT_TRUE(recipients.Remove("all", error) && recipients.Remove("team", error)) << error;
    EXPECT_EQ(recipients.KindOf("team"), NameKind::None);
}

TEST_F(RecipientsTest, AHandWrittenLoopEndsAndEachUserIsReachedOnce) {
    testing::WriteFile(path, testing::ReadFile(path) +
                                 "[LISTS]\na=2\nb=1\n[LIST a]\nb=member\nANNA=member\n"
                                 "[LIST b]\na=member\nbob=member\nanna=member\n[QUOTA]\n*=5\n"
                                 "bob=junk\n");
    EXPECT_THAT(recipients.Expand("A"), ElementsAre("bob", "anna"));
    EXPECT_EQ(recipients.QuotaBytes("bob"), 5U << 20); // an unreadable figure: the default
}

} // namespace
} // namespace brevin
