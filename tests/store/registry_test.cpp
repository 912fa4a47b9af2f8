#include "store/registry.h"
#include "store_test_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace brevin {
namespace {

using ::testing::ElementsAre;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

class RegistryTest : public ::testing::Test {
protected:
    ScratchDir dir;
    std::filesystem::path path = dir.Path() / "brevin.INI";
    ProfileFile profile{path};

    std::string Counter() const { return ProfileFile(path).Read("BREVIN", "conta", "<none>"); }
};

TEST(BuildProfilePathTest, UsesTheWorkingDirectoryAndTheProgramBaseName) {
    EXPECT_EQ(BuildProfilePath("/srv/run", "/usr/local/bin/brevin"), "/srv/run/brevin.INI");
    EXPECT_EQ(BuildProfilePath("/srv/run", "./mailsrv.exe"), "/srv/run/mailsrv.INI");
    EXPECT_EQ(BuildProfilePath("/w", "brevin"), "/w/brevin.INI");
}

TEST_F(RegistryTest, TakeMessageNumberParsesAndWrapsLikeTheCounterAlwaysHas) {
    struct Case {
        const char* stored;
        std::uint32_t taken;
        const char* written;
    };
    const Case cases[] = {
        {"abc", 0, "1"},
        {"4294967295", 4294967295U, "0"},
        {"+12", 12, "13"},
        {"-1", 4294967295U, "0"},
        {"-2", 4294967294U, "4294967295"},
        {"   7", 7, "8"},
        {"12abc", 12, "13"},
        {"4294967296", 0, "1"},
        {"4294967306", 10, "11"},
        {"+", 0, "1"},
        {"- 5", 0, "1"},
        {"00099999", 99999, "100000"},
    };
    for (const Case& c : cases) {
        WriteFile(path, std::string("[BREVIN]\nconta=") + c.stored + "\n");
        EXPECT_EQ(TakeMessageNumber(profile), c.taken) << "stored " << c.stored;
        EXPECT_EQ(Counter(), c.written) << "stored " << c.stored;
    }
}

TEST_F(RegistryTest, TakeMessageNumberStartsAtZeroAndCountsUp) {
    EXPECT_EQ(TakeMessageNumber(profile), 0U);
    EXPECT_EQ(TakeMessageNumber(profile), 1U);
    EXPECT_EQ(TakeMessageNumber(profile), 2U);
    EXPECT_EQ(ReadFile(path), "[BREVIN]\nconta=3\n");
    EXPECT_EQ(ParseCounter("\t 42"), 42U);
}

// Reading and advancing the counter is one step even across processes: every number is handed
// out once.
TEST_F(RegistryTest, CounterSharedAcrossProcessesHandsOutEveryNumberOnce) {
    constexpr int kTakers = 4;
    constexpr int kEach = 50;
    const std::string numbers = dir / "numbers";
    std::vector<pid_t> children;
    for (int t = 0; t < kTakers; ++t) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ProfileFile own(path);
            std::string taken;
            for (int i = 0; i < kEach; ++i) {
                taken += std::to_string(TakeMessageNumber(own)) + "\n";
            }
            WriteFile(numbers + std::to_string(t), taken);
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
    }
    std::set<std::uint32_t> all;
    for (int t = 0; t < kTakers; ++t) {
        std::istringstream taken(ReadFile(numbers + std::to_string(t)));
        for (std::uint32_t n = 0; taken >> n;) {
            EXPECT_TRUE(all.insert(n).second) << n << " handed out twice";
        }
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kTakers * kEach));
    EXPECT_EQ(*all.rbegin(), static_cast<std::uint32_t>(kTakers * kEach - 1));
    EXPECT_EQ(Counter(), std::to_string(kTakers * kEach));
}

TEST_F(RegistryTest, PlainStoreRootDefaultsToZzz) {
    EXPECT_EQ(ReadStoreRoot(profile), "zzz");
    WriteFile(path, "[BREVIN]\nstore=/srv/mail\n");
    EXPECT_EQ(ReadStoreRoot(profile), "/srv/mail");
}

TEST_F(RegistryTest, StoreRootWithFallbackReplacesMissingOrStarredValues) {
    EXPECT_EQ(ReadStoreRoot(profile, "/run/here"), "/run/here");
    EXPECT_EQ(ReadFile(path), "[BREVIN]\nstore=/run/here\n");

    WriteFile(path, "[BREVIN]\nstore=*anything\n");
    EXPECT_EQ(ReadStoreRoot(profile, "/run/there"), "/run/there");
    EXPECT_EQ(ReadStoreRoot(profile), "/run/there");

    WriteFile(path, "[BREVIN]\nstore=/kept\n");
    EXPECT_EQ(ReadStoreRoot(profile, "/run/there"), "/kept");
    EXPECT_EQ(ReadFile(path), "[BREVIN]\nstore=/kept\n");
}

TEST_F(RegistryTest, FirstStartCreatesProfileAndStoreFolder) {
    listas* users = nullptr;
    EXPECT_EQ(LoadUserList(profile, users), 0U);
    EXPECT_EQ(users, nullptr);
    EXPECT_TRUE(EnsureStoreRoot(profile, dir.Path()));
    const std::string root = (dir.Path() / "store").string();
    EXPECT_EQ(ReadFile(path), "[BREVIN]\nstore=" + root + "\n");
    EXPECT_TRUE(std::filesystem::is_directory(root));
    EXPECT_EQ(TakeMessageNumber(profile), 0U);
}

TEST_F(RegistryTest, EnsureStoreRootKeepsAGoodValueAndCreatesOneLevelOnly) {
    WriteFile(path, "[BREVIN]\nstore=*\n");
    EXPECT_TRUE(EnsureStoreRoot(profile, dir.Path()));
    EXPECT_EQ(ReadStoreRoot(profile), (dir.Path() / "store").string());

    const std::string elsewhere = dir / "elsewhere";
    WriteFile(path, "[BREVIN]\nstore=" + elsewhere + "\n");
    EXPECT_TRUE(EnsureStoreRoot(profile, dir.Path()));
    EXPECT_TRUE(std::filesystem::is_directory(elsewhere));
    EXPECT_EQ(ReadStoreRoot(profile), elsewhere);

    // Missing parents are not made; start-up goes on regardless.
    const std::string deep = dir / "no/such/parent";
    WriteFile(path, "[BREVIN]\nstore=" + deep + "\n");
    EXPECT_TRUE(EnsureStoreRoot(profile, dir.Path()));
    EXPECT_FALSE(std::filesystem::exists(dir / "no"));
}

TEST_F(RegistryTest, FolderExistsForFoldersFilesAndPatterns) {
    std::filesystem::create_directory(dir / "box");
    WriteFile(dir / "file", "x");
    EXPECT_TRUE(FolderExists(dir / "box"));
    EXPECT_TRUE(FolderExists(dir / "file"));
    EXPECT_TRUE(FolderExists(dir / "b*"));
    EXPECT_FALSE(FolderExists(dir / "missing"));
    EXPECT_FALSE(FolderExists(dir / "q*"));
    EXPECT_FALSE(FolderExists(""));
}

TEST_F(RegistryTest, LoadUserListStopsAtAStarredKeyAndAppends) {
    WriteFile(path, "[USERS]\r\nAnna=a\r\n*x=b\r\nbob=c\r\n");
    listas* users = nullptr;
    AppendText(users, "already");
    EXPECT_EQ(LoadUserList(profile, users), 1U);
    ASSERT_NE(users, nullptr);
    EXPECT_EQ(users->m_text, "already");
    ASSERT_NE(users->Next(), nullptr);
    EXPECT_EQ(users->Next()->m_text, "Anna");
    EXPECT_EQ(users->Next()->Next(), nullptr);
    FreeList(users);

    WriteFile(path, "[USERS]\n*first=x\nbob=c\n");
    EXPECT_EQ(LoadUserList(profile, users), 0U);
    WriteFile(path, "[USERS]\n[PWD]\nbob=c\n");
    EXPECT_EQ(LoadUserList(profile, users), 0U);
    EXPECT_EQ(users, nullptr);
}

TEST(UserNameTest, RefusesNamesTheProfileCannotHold) {
    for (const char* bad : {"", "a=b", "a[b", "a]b", "*x", ";x", " bob", "bob ", "tab\tname",
                            "new\nline", "del\x7f"}) {
        EXPECT_FALSE(UserNameProblem(bad).empty()) << "'" << bad << "'";
    }
    for (const char* good : {"bob", "mary.ann", "x*", "a;b", "O'Neil", "user@host", "#1"}) {
        EXPECT_EQ(UserNameProblem(good), "") << good;
    }
    EXPECT_THAT(UserNameProblem("*x"), ::testing::HasSubstr("*"));
}

TEST(UserNameTest, NormalisesAsTheDialogTypesNames) {
    EXPECT_EQ(NormaliseUserName("Mary Ann Smith"), "mary.ann.smith");
    EXPECT_EQ(NormaliseUserName("BOB"), "bob");
    EXPECT_EQ(NormaliseUserName(" x "), ".x.");
    EXPECT_EQ(NormaliseUserName("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST_F(RegistryTest, SetUserWritesBothKeysAndReplacesInAnyCase) {
    WriteFile(path, "[BREVIN]\nstore=/s\n[USERS]\nJoe=old\n[PWD]\nJoe=oldpw\n");
    std::string error;
    ASSERT_TRUE(SetUser(profile, {"joe", "joedir", "pw 1"}, error)) << error;
    ASSERT_TRUE(SetUser(profile, {"ann", "anndir", ""}, error)) << error;
    EXPECT_EQ(ReadFile(path),
              "[BREVIN]\nstore=/s\n[USERS]\nJoe=joedir\nann=anndir\n[PWD]\nJoe=pw 1\nann=\n");
}

TEST_F(RegistryTest, SetUserRefusesWithoutTouchingTheFile) {
    WriteFile(path, "[USERS]\nbob=b\n");
    std::string error;
    EXPECT_FALSE(SetUser(profile, {"*x", "f", "p"}, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(SetUser(profile, {"ok", "f", " padded"}, error));
    EXPECT_FALSE(SetUser(profile, {"ok", "two\nlines", "p"}, error));
    EXPECT_FALSE(SetUser(profile, {"ok", std::string(255, 'f'), "p"}, error));
    EXPECT_EQ(ReadFile(path), "[USERS]\nbob=b\n");
}

TEST_F(RegistryTest, RemoveUserRemovesBothKeysOnly) {
    WriteFile(path, "[USERS]\nBob=b\ncarol=c\n[PWD]\nbob=1\ncarol=2\n");
    std::string error;
    ASSERT_TRUE(RemoveUser(profile, "bob", error)) << error;
    EXPECT_EQ(ReadFile(path), "[USERS]\ncarol=c\n[PWD]\ncarol=2\n");
    EXPECT_FALSE(RemoveUser(profile, "bob", error));
    EXPECT_THAT(error, ::testing::HasSubstr("bob"));
}

} // namespace
} // namespace brevin
