// Passwords in the profile: hashes, the plain ones earlier versions wrote, and start-up's
// replacement of the one by the other.

#include "store/passwords.h"
#include "store/profile_file.h"
#include "store/users.h"
#include "store_test_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>

namespace brevin {
namespace {

using namespace testing; // brevin::testing: the store tests' helpers

TEST(PasswordsTest, AHashMatchesItsPasswordOnly) {
    const std::string hash = HashPassword("s3cret word");
    EXPECT_TRUE(hash.starts_with("{YESCRYPT}$y$j9T$")) << hash << ": the chosen cost, marked";
    EXPECT_TRUE(IsPasswordHash(hash));
    EXPECT_TRUE(PasswordMatches(hash, "s3cret word"));
    const std::string_view wrongs[] = {"s3cret wore", "s3cret wor", "",
                                       std::string_view("s3cret word\0x", 13)};
    for (const std::string_view wrong : wrongs) {
        EXPECT_FALSE(PasswordMatches(hash, wrong)) << wrong;
    }
    EXPECT_FALSE(PasswordMatches(hash, hash)) << "the hash itself is no password";
    EXPECT_NE(HashPassword("s3cret word"), hash) << "every hash has a salt of its own";
}

// Whatever a plain password looks like, it is compared as it stands: a yescrypt string
// without the marker, or the marker before something else, is no hash.
TEST(PasswordsTest, APlainPasswordThatLooksLikeAHashStaysPlain) {
    const std::string bare = HashPassword("pw").substr(kPasswordHashMarker.size());
    for (const std::string& plain :
         {bare, std::string("$y$j9T$abc$def"), std::string("{YESCRYPT}secret"),
          std::string("{YESCRYPT}") + bare + "x", std::string("{yescrypt}") + bare}) {
        EXPECT_FALSE(IsPasswordHash(plain)) << plain;
        EXPECT_TRUE(PasswordMatches(plain, plain)) << plain;
        EXPECT_FALSE(PasswordMatches(plain, "pw")) << plain;
        EXPECT_FALSE(PasswordMatches(plain, plain.substr(1))) << plain;
    }
    EXPECT_FALSE(PasswordMatches("", "")) << "no password never logs in";
}

// As earlier versions left it: plain passwords, and the spare holding the file before the
// last write. Afterwards every user logs in as before and no file beside the profile holds
// a password in the clear.
TEST(PasswordsTest, StartUpHashesAProfileWrittenInTheClear) {
    TempDir dir;
    ProfileFile profile(dir.Path() / "brevin.INI");
    WriteFile(profile.Path(), "[BREVIN]\nstore=/s\n[USERS]\nanna=a\nbob=b\ncarol=c\n"
                              "[PWD]\nanna=Secret Word\nbob=$y$j9T$looks$hashed\n"
                              "carol=Secret Word\nANNA=older one\n");
    ASSERT_TRUE(profile.Write("BREVIN", "conta", "7")); // the spare now holds them too
    const std::map<std::string, std::string> passwords = {
        {"anna", "Secret Word"}, {"bob", "$y$j9T$looks$hashed"}, {"carol", "Secret Word"}};

    UserDirectory users(profile);
    std::string error;
    EXPECT_EQ(users.HashPlainPasswords(error), std::size_t{4}) << error;
    for (const auto& [name, password] : passwords) {
        EXPECT_TRUE(IsPasswordHash(users.StoredPassword(name).value_or(""))) << name;
        EXPECT_TRUE(users.CheckPassword(name, password)) << name;
        EXPECT_FALSE(users.CheckPassword(name, "older one")) << name;
    }
    EXPECT_NE(users.StoredPassword("anna"), users.StoredPassword("carol"));
    EXPECT_EQ(users.HashPlainPasswords(error), std::size_t{0}) << "once is enough";
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "7");

    const auto noPlainText = [&] {
        for (const std::string& name : FolderNames(dir.Path())) {
            const std::string content = ReadFile(dir.Path() / name);
            for (const char* plain : {"Secret", "looks", "older"}) {
                EXPECT_EQ(content.find(plain), std::string::npos) << plain << " in " << name;
            }
        }
    };
    noPlainText();
    // The next ordinary write makes a new spare: it holds the hashed file.
    ASSERT_TRUE(users.Set({"dave", "d", "new one"}, error)) << error;
    EXPECT_THAT(FolderNames(dir.Path()), ::testing::Contains(".brevin.INI.spare"));
    noPlainText();
    EXPECT_TRUE(users.CheckPassword("dave", "new one"));
}

// The desktop dialog's "Update!" with an empty password field.
TEST(PasswordsTest, SetFolderKeepsThePasswordAndNeedsOne) {
    TempDir dir;
    ProfileFile profile(dir.Path() / "brevin.INI");
    UserDirectory users(profile);
    std::string error;
    ASSERT_TRUE(users.Set({"anna", "a", "pw"}, error)) << error;
    const auto stored = users.StoredPassword("anna");
    ASSERT_TRUE(users.SetFolder("anna", "a2", error)) << error;
    EXPECT_EQ(users.StoredPassword("anna"), stored);
    EXPECT_EQ(users.Find("anna").value_or(UserRecord{}).folder, "a2");
    EXPECT_FALSE(users.SetFolder("bob", "b", error));
    EXPECT_EQ(error, "a password is required");
    EXPECT_FALSE(users.SetFolder("bob", "a2", error));
    EXPECT_THAT(error, ::testing::HasSubstr("already belongs to user anna"));
}

} // namespace
} // namespace brevin
