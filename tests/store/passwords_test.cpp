// Passwords in the profile: hashes, and the plain ones earlier versions wrote.

#include "store/passwords.h"

#include <gtest/gtest.h>

namespace brevin {
namespace {

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

} // namespace
} // namespace brevin
