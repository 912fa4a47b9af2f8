#include "store/folder_names.h"

#include <gtest/gtest.h>

namespace brevin {
namespace {

TEST(FolderNamesTest, ModifiedUtf7RoundTripsTheRfcExamples) {
    const struct {
        std::string_view utf8;
        std::string_view wire;
    } cases[] = {
        {"Entwürfe", "Entw&APw-rfe"},
        {"日本語", "&ZeVnLIqe-"},
        {"&", "&-"},
        {"Tom & Jerry", "Tom &- Jerry"},
        {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
        {"😀", "&2D3eAA-"}, // beyond the BMP: a surrogate pair in one run
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeModifiedUtf7(c.utf8), c.wire);
        EXPECT_EQ(DecodeModifiedUtf7(c.wire), std::string(c.utf8)) << c.wire;
    }
}

TEST(FolderNamesTest, ModifiedUtf7RefusesEverySpellingButTheOneItWrites) {
    for (const std::string_view wire : {
             "&ZeVnLIqe",            // unterminated shift
             "&AGE-",                // "a", which must stand for itself
             "&ACY-",                // "&", which must be "&-"
             "&ZeVnLIqe-&ZeVnLIqe-", // two runs where one would do
             "&2D0-",                // a high surrogate alone
             "&3gA-",                // a low surrogate alone
             "&ZeV*-",               // not base64
             "&ZeVnLIqeA-",          // a needless digit
             "&APx-",                // padding bits that are not zero
             "Entw\xc3\xbcrfe",      // raw 8-bit
             "a\tb",                 // raw control
         }) {
        EXPECT_EQ(DecodeModifiedUtf7(wire), std::nullopt) << wire;
    }
}

TEST(FolderNamesTest, Utf8CheckRefusesOverlongsSurrogatesAndTruncation) {
    EXPECT_TRUE(IsValidUtf8("Entwürfe 日本語 😀"));
    EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));         // overlong "/"
    EXPECT_FALSE(IsValidUtf8("\xe0\x80\xae"));     // overlong "."
    EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));     // U+D800
    EXPECT_FALSE(IsValidUtf8("\xf4\x90\x80\x80")); // beyond U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xe6\x97"));         // cut short
}

TEST(FolderNamesTest, CheckFolderNameRefusesHostileNames) {
    using P = FolderNameProblem;
    const std::string longLevel(300, 'x');
    std::string deep = "a";
    for (int i = 0; i < 16; ++i) {
        deep += "/a";
    }
    const struct {
        std::string name;
        P problem;
    } cases[] = {
        {"Work/2026", P::Ok},
        {"inbox", P::Ok},
        {".brevin", P::Ok}, // harmless: the disk spelling hides nothing
        {"MSG00001.bvn", P::Ok},
        {"", P::Empty},
        {"a//b", P::Empty},
        {"/a", P::Empty},
        {"a/", P::Empty},
        {"..", P::DotLevel},
        {"../x", P::DotLevel},
        {"a/../b", P::DotLevel},
        {"a/.", P::DotLevel},
        {std::string("a\0b", 3), P::Control},
        {"a\r\nb", P::Control},
        {"a\x1b[2Jb", P::Control},
        {"a\x7f", P::Control},
        {"a\xc2\x85", P::Control}, // C1 NEL
        {"\xc0\xae\xc0\xae", P::InvalidUtf8},
        {longLevel, P::LevelTooLong},
        {std::string(150, '%'), P::LevelTooLong}, // short, but three bytes each on disk
        {deep, P::TooDeep},
        {"INBOX/Sub", P::UnderInbox},
        {"Inbox/Sub", P::UnderInbox},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckFolderName(c.name), c.problem) << c.name;
    }
    std::string wide;
    for (int i = 0; i < 6; ++i) {
        wide += (i ? "/" : "") + std::string(190, 'w');
    }
    EXPECT_EQ(CheckFolderName(wide), P::NameTooLong);
}

TEST(FolderNamesTest, DiskNamesHideDotsMessagesAndControlBytes) {
    const struct {
        std::string_view level;
        std::string_view disk;
    } cases[] = {
        {"Entwürfe", "Entwürfe"},
        {"..", "%2E."},
        {".brevin", "%2Ebrevin"},
        {".MSG1.0.tmp", "%2EMSG1.0.tmp"},
        {"MSG00001.bvn", "MSG00001%2Ebvn"},
        {"x.BVN", "x%2EBVN"},
        {"100%", "100%25"},
        {std::string_view("a\0b\r\n", 5), "a%00b%0D%0A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DiskLevelName(c.level), c.disk);
        if (CheckFolderName(c.level) == FolderNameProblem::Ok) {
            EXPECT_EQ(LevelFromDisk(c.disk), std::string(c.level));
        } else {
            EXPECT_EQ(LevelFromDisk(c.disk), std::nullopt) << c.disk;
        }
    }
}

TEST(FolderNamesTest, DirectoriesThatNoLevelMapsToAreNotFolders) {
    for (const std::string_view disk : {"", ".brevin", ".MSG1.0.tmp", "MSG1.bvn", "a%2eb", "%41",
                                        "x%", "x%4", "a%2Fb", "a%2E%2E"}) {
        EXPECT_EQ(LevelFromDisk(disk), std::nullopt) << disk;
    }
}

} // namespace
} // namespace brevin
