// The profile file, and what the registry keeps in it: the user list and the message counter.

#include "store/delivery.h"
#include "store/profile_file.h"
#include "store/users.h"
#include "store_test_util.h"

#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace brevin {
namespace {

using namespace testing; // brevin::testing: the store tests' helpers

class ProfileTest : public ::testing::Test {
protected:
    /// A section as "key=value;..." in file order.
    std::string Section(const char* section) const {
        std::string out;
        for (const std::string& key : profile.Keys(section)) {
            out.append(key).append("=").append(profile.Read(section, key, "?")).append(";");
        }
        return out;
    }

    TempDir dir;
    std::filesystem::path path = dir.Path() / "brevin.INI";
    ProfileFile profile{path};
};

// As an editor on another system leaves it: CR LF, mixed case, blanks, comments.
const char* const kHandWritten = "; Brevin profile\r\n"
                                 "[Brevin]\r\n  Store =  C:/mail/store   \r\nconta=41\r\n\r\n"
                                 "[users]\r\nAnna = annadir\r\n; a comment\r\n*x=stop\r\nbob=\r\n"
                                 "[PWD]\r\nanna=Secret Word\r\n";

// One ProfileFile throughout: every read must see the file as it is on disk now.
TEST_F(ProfileTest, ReadsRefusesAndWritesAHandWrittenFileKeepingEveryOtherLine) {
    EXPECT_EQ(profile.Read("BREVIN", "store", "none"), "none");
    EXPECT_FALSE(std::filesystem::exists(path)) << "reading creates no file";
    WriteFile(path, kHandWritten);
    // "bob" is present but empty: the default does not apply to it.
    const struct {
        std::string_view section, key, want;
    } reads[] = {{"brevin", "STORE", "C:/mail/store"}, {"Users", "anna", "annadir"},
                 {"pwd", "ANNA", "Secret Word"},       {"USERS", "bob", ""},
                 {"USERS", "; a comment", "default"},  {"NOSECTION", "store", "default"},
                 {"BREVIN", "nokey", "default"}};
    for (const auto& c : reads) {
        EXPECT_EQ(profile.Read(c.section, c.key, "default"), c.want) << c.section << "/" << c.key;
    }
    EXPECT_EQ(Section("users"), "Anna=annadir;*x=stop;bob=;");
    EXPECT_THAT(UserDirectory(profile).Names(), ::testing::ElementsAre("Anna"))
        << "the user list stops at \"*x\"";

    // What would break the file is refused, and then nothing of the same change set applies.
    const ProfileChange bad[] = {
        {"S", "k", "two\nlines"}, {"S", "k", "cr\rinside"}, {"S", "a=b", "v"}, {"S", "[k", "v"},
        {"S", ";k", "v"},         {"S]", "k", "v"},         {"", "k", "v"},    {"S", "", "v"}};
    for (const ProfileChange& change : bad) {
        const ProfileChange both[] = {{"USERS", "carol", "c"}, change};
        EXPECT_FALSE(profile.Apply(both)) << change.section << "/" << change.key;
    }
    EXPECT_EQ(ReadFile(path), kHandWritten);

    ASSERT_TRUE(profile.Write("users", "ANNA", "newdir"));
    ASSERT_TRUE(profile.Write("BREVIN", "new", "1"));
    ASSERT_TRUE(profile.Write("Users", "carol", "a = b;c [d]"));
    ASSERT_TRUE(profile.Write("NEW", "k", "v"));
    ASSERT_TRUE(profile.Remove("PWD", "ANNA"));
    EXPECT_EQ(ReadFile(path),
              "; Brevin profile\r\n"
              "[Brevin]\r\n  Store =  C:/mail/store   \r\nconta=41\r\nnew=1\r\n\r\n"
              "[users]\r\nAnna=newdir\r\n; a comment\r\n*x=stop\r\nbob=\r\ncarol=a = b;c [d]\r\n"
              "[PWD]\r\n[NEW]\r\nk=v\r\n");
    EXPECT_EQ(profile.Read("USERS", "carol", ""), "a = b;c [d]");

    WriteFile(path, "[S]\nk=" + std::string(300, 'v'));
    EXPECT_EQ(profile.Read("S", "k", ""), std::string(254, 'v'));
    EXPECT_EQ(profile.Read("S", "none", std::string(300, 'd')), std::string(254, 'd'));
}

// A file size limit makes the kernel refuse writes past it (EFBIG) as a full disk does
// (ENOSPC), and root cannot bypass it.
TEST_F(ProfileTest, AFailedWriteLeavesTheOldFileIntact) {
    const std::string original = std::string(kHandWritten) + std::string(2000, ';') + "\n";
    WriteFile(path, original);
    const pid_t child = Spawn([this] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        return !profile.Write("USERS", "carol", "c");
    });
    EXPECT_EQ(Wait(child), 0) << "the write should have failed";
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_THAT(FolderNames(dir.Path()),
                ::testing::ElementsAre(".brevin.INI.lock", ".brevin.INI.spare", "brevin.INI"));
    ASSERT_TRUE(profile.Write("USERS", "carol", "c"));
}

// Lines end in LF, in CR LF, or not at all at the end of the file; new lines take the file's
// line end. The last two cases were found by fuzzing: a CR without its LF was read as part of
// the value, and a write then joined the next line onto it.
TEST_F(ProfileTest, EveryLineEndReadsAndWritesBack) {
    const struct {
        std::string file, users, written;
    } cases[] = {{"[USERS]\nk=v", "k=v;", "[USERS]\nk=v\n[PWD]\nx=pw\n"},
                 {"[USERS]\r\nalice=a\r", "alice=a;", "[USERS]\r\nalice=a\r\n[PWD]\r\nx=pw\r\n"},
                 {"[USERS]\nbob=b\r\r\ncarol=c\r\r", "bob=b;carol=c;",
                  "[USERS]\nbob=b\r\r\ncarol=c\r\n[PWD]\nx=pw\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.file));
        WriteFile(path, c.file);
        EXPECT_EQ(Section("USERS"), c.users);
        ASSERT_TRUE(profile.Write("PWD", "x", "pw"));
        EXPECT_EQ(Section("USERS"), c.users);
        EXPECT_EQ(ReadFile(path), c.written);
    }
}

TEST_F(ProfileTest, TakeMessageNumberParsesAndWrapsLikeTheCounterAlwaysHas) {
    const struct {
        const char* stored;
        std::uint32_t taken;
    } cases[] = {
        {"", 0},        {"abc", 0},  {"4294967295", 4294967295U}, {"4294967306", 10},
        {"+12", 12},    {"- 5", 0},  {"-1", 4294967295U},         {"-2", 4294967294U},
        {" \f 7 8", 7}, {"12x", 12},
    };
    for (const auto& c : cases) {
        WriteFile(path, std::string("[BREVIN]\nconta=") + c.stored);
        EXPECT_EQ(TakeMessageNumbers(profile), c.taken) << c.stored;
        EXPECT_EQ(profile.Read("BREVIN", "conta", ""), std::to_string(c.taken + 1U)) << c.stored;
    }
}

// A block is on disk before its first number is handed out: a restart (a new MessageNumbers)
// skips what was left of it. A clash moves past the folder's highest number.
TEST_F(ProfileTest, NumbersComeInBlocksThatARestartSkipsAndAClashLeapsOver) {
    WriteFile(path, "[BREVIN]\nconta=10\n");
    MessageNumbers server(profile, 100);
    EXPECT_EQ(server.Take(), 10U);
    EXPECT_EQ(server.Take(3), 11U);
    EXPECT_EQ(ProfileFile(path).Read("BREVIN", "conta", ""), "110") << "written once, ahead";
    MessageNumbers restarted(profile, 100);
    EXPECT_EQ(restarted.Take(), 110U) << "14 to 109 are skipped, never reused";
    EXPECT_EQ(server.TakeAfterClash(500), 501U);
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "601");
    EXPECT_EQ(server.TakeAfterClash(20), 502U) << "the block is already past that folder";
}

// The server and `brevin user` may write at the same moment. Several processes each add keys
// and take message numbers at once: no key is lost, no number handed out twice (the counter
// ends at the total), and a reader meanwhile never sees a torn file.
TEST_F(ProfileTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
    constexpr int kWriters = 4;
    constexpr int kEach = 40;
    WriteFile(path, "[BREVIN]\nstore=/s\n");
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        children.push_back(Spawn([&] {
            ProfileFile own(path);
            bool ok = true;
            for (int i = 0; i < kEach; ++i) {
                TakeMessageNumbers(own);
                ok = own.Write("USERS", std::to_string(w * 1000 + i), "box") && ok;
            }
            return ok;
        }));
    }
    for (std::size_t i = 0, seen = 0; i < 20'000 && seen < kWriters * kEach; ++i) {
        EXPECT_EQ(profile.Read("BREVIN", "store", "torn"), "/s");
        const std::size_t now = profile.Keys("USERS").size();
        EXPECT_GE(now, seen) << "a read went back in time";
        seen = now;
    }
    for (const pid_t child : children) {
        EXPECT_EQ(Wait(child), 0);
    }
    EXPECT_EQ(profile.Keys("USERS").size(), std::size_t{kWriters * kEach});
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), std::to_string(kWriters * kEach));
}

} // namespace
} // namespace brevin
