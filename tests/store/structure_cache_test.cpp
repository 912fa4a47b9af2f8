#include "store/message_text.h"
#include "store/structure_cache.h"
#include "support/files.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace brevin {
namespace {

using testing::TempDir;
using testing::WriteFile;

class StructureCacheTest : public ::testing::Test {
protected:
    static MessageStructure Structure(std::string_view subject) {
        return ParseStructure("Subject: " + std::string(subject) + "\r\n\r\nbody\r\n");
    }

    TempDir dir;
    std::string path = (dir.Path() / "structure").string();
};

TEST_F(StructureCacheTest, ATornLastRecordIsIgnoredAndCutOffByTheNextAdd) {
    {
        StructureCache cache(path);
        ASSERT_TRUE(cache.Add("one", Structure("one")));
        ASSERT_TRUE(cache.Add("two", Structure("two")));
    }
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - 3);
    StructureCache cache(path);
    EXPECT_EQ(cache.Find("one"), Structure("one"));
    EXPECT_FALSE(cache.Find("two"));
    ASSERT_TRUE(cache.Add("three", Structure("three")));
    StructureCache reread(path);
    EXPECT_EQ(reread.Find("three"), Structure("three"));
    EXPECT_EQ(reread.Records(), 2u);
}

TEST_F(StructureCacheTest, AFlippedByteHidesItsRecordAndEverythingAfterIt) {
    std::uintmax_t firstEnd = 0;
    {
        StructureCache cache(path);
        ASSERT_TRUE(cache.Add("one", Structure("one")));
        firstEnd = std::filesystem::file_size(path);
        ASSERT_TRUE(cache.Add("two", Structure("two")));
        ASSERT_TRUE(cache.Add("three", Structure("three")));
    }
    const int fd = ::open(path.c_str(), O_RDWR);
    char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, static_cast<off_t>(firstEnd + 20)), 1);
    byte = static_cast<char>(byte ^ 0x10);
    ASSERT_EQ(::pwrite(fd, &byte, 1, static_cast<off_t>(firstEnd + 20)), 1);
    ::close(fd);
    StructureCache cache(path);
    EXPECT_EQ(cache.Find("one"), Structure("one"));
    EXPECT_FALSE(cache.Find("two"));
    EXPECT_FALSE(cache.Find("three"));
}

TEST_F(StructureCacheTest, ASecondLookupAnswersFromTheCacheWithoutTheFile) {
    const std::string message = (dir.Path() / "MSG00001.bvn").string();
    WriteFile(message, "Subject: hi\r\n\r\n..dot\r\n.\r\n");
    StructureCache cache(path);
    const auto first = StructureOf(cache, "MSG00001.bvn 24", message);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, ParseStructure(MessageText("Subject: hi\r\n\r\n..dot\r\n.\r\n")));
    std::filesystem::remove(message);
    StructureCache fresh(path);
    EXPECT_EQ(StructureOf(fresh, "MSG00001.bvn 24", message), first);
    EXPECT_FALSE(StructureOf(fresh, "MSG00002.bvn 24", message));
}

TEST_F(StructureCacheTest, CompactionKeepsOnlyLiveKeys) {
    StructureCache cache(path);
    for (const char* key : {"a", "b", "c", "a"}) {
        ASSERT_TRUE(cache.Add(key, Structure(key)));
    }
    ASSERT_TRUE(cache.Compact({"a"}));
    EXPECT_EQ(cache.Records(), 1u);
    EXPECT_EQ(cache.Find("a"), Structure("a"));
    EXPECT_FALSE(cache.Find("b"));
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

} // namespace
} // namespace brevin
