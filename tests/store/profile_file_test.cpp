#include "store/profile_file.h"
#include "store/store_faults.h"
#include "store_test_util.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace brevin {
namespace {

using ::testing::ElementsAre;
using testing::FolderNames;
using ::testing::IsEmpty;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

/// prefix + number, without std::string concatenation (which trips a false -Wrestrict
/// warning in GCC 12 at -O3).
std::string Name(const char* prefix, std::size_t number) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%zu", prefix, number);
    return name;
}

class ProfileFileTest : public ::testing::Test {
protected:
    void TearDown() override { StoreFaults::Reset(); }

    ScratchDir dir;
    std::filesystem::path path = dir.Path() / "brevin.INI";
};

// A file as an editor on another system leaves it: CR LF, mixed case, blanks, comments.
const char* const kHandWritten = "; Brevin profile\r\n"
                                 "[Brevin]\r\n"
                                 "  Store =  C:/mail/store   \r\n"
                                 "conta=41\r\n"
                                 "\r\n"
                                 "[users]\r\n"
                                 "Anna = annadir\r\n"
                                 "; a comment between keys\r\n"
                                 "*x=stop\r\n"
                                 "bob=\r\n"
                                 "[PWD]\r\n"
                                 "anna=Secret Word\r\n";

TEST_F(ProfileFileTest, ReadsHandWrittenFileIgnoringCaseAndBlanks) {
    WriteFile(path, kHandWritten);
    const ProfileFile profile(path);
    EXPECT_EQ(profile.Read("BREVIN", "store", "zzz"), "C:/mail/store");
    EXPECT_EQ(profile.Read("brevin", "STORE", "zzz"), "C:/mail/store");
    EXPECT_EQ(profile.Read("BREVIN", "conta", "0"), "41");
    EXPECT_EQ(profile.Read("USERS", "anna", ""), "annadir");
    EXPECT_EQ(profile.Read("Users", "ANNA", ""), "annadir");
    EXPECT_EQ(profile.Read("pwd", "Anna", ""), "Secret Word");
    // A key with an empty value is present: the default does not apply.
    EXPECT_EQ(profile.Read("USERS", "bob", "default"), "");
    // Comments are no keys.
    EXPECT_EQ(profile.Read("USERS", "; a comment between keys", "none"), "none");
}

TEST_F(ProfileFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    const ProfileFile missing(path);
    EXPECT_EQ(missing.Read("BREVIN", "store", "zzz"), "zzz");
    EXPECT_THAT(missing.Keys("USERS"), IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(path)) << "reading must not create the file";

    WriteFile(path, kHandWritten);
    const ProfileFile profile(path);
    EXPECT_EQ(profile.Read("NOSECTION", "store", "d1"), "d1");
    EXPECT_EQ(profile.Read("BREVIN", "nokey", "d2"), "d2");
    EXPECT_THAT(profile.Keys("NOSECTION"), IsEmpty());
}

TEST_F(ProfileFileTest, ListsKeysInFileOrderWithinTheirSectionOnly) {
    WriteFile(path, kHandWritten);
    const ProfileFile profile(path);
    EXPECT_THAT(profile.Keys("users"), ElementsAre("Anna", "*x", "bob"));
    EXPECT_THAT(profile.Keys("BREVIN"), ElementsAre("Store", "conta"));

    WriteFile(path, "[USERS]\n[PWD]\na=1\n");
    EXPECT_THAT(profile.Keys("USERS"), IsEmpty());
}

TEST_F(ProfileFileTest, ValuesAreCutAt254Characters) {
    const std::string longValue(300, 'v');
    WriteFile(path, "[S]\nk=" + longValue + "\n");
    const ProfileFile profile(path);
    EXPECT_EQ(profile.Read("S", "k", ""), std::string(254, 'v'));
    EXPECT_EQ(profile.Read("S", "missing", longValue), std::string(254, 'v'));
}

TEST_F(ProfileFileTest, LfFilesAndFilesWithoutFinalLineEndRead) {
    WriteFile(path, "[A]\nx=1\n[B]\ny=2");
    const ProfileFile profile(path);
    EXPECT_EQ(profile.Read("A", "x", ""), "1");
    EXPECT_EQ(profile.Read("B", "y", ""), "2");
}

TEST_F(ProfileFileTest, WriteReplacesInPlaceAndKeepsEveryOtherLineByteForByte) {
    WriteFile(path, kHandWritten);
    ProfileFile profile(path);
    ASSERT_TRUE(profile.Write("users", "ANNA", "newdir"));
    std::string expected = kHandWritten;
    expected.replace(expected.find("Anna = annadir"), 14, "Anna=newdir");
    EXPECT_EQ(ReadFile(path), expected);
    EXPECT_EQ(profile.Read("USERS", "anna", ""), "newdir");
}

TEST_F(ProfileFileTest, NewKeyGoesToTheEndOfItsSectionNewSectionToTheEndOfTheFile) {
    WriteFile(path, "[A]\r\nx=1\r\n; trailing note\r\n\r\n[B]\r\ny=2\r\n");
    ProfileFile profile(path);
    ASSERT_TRUE(profile.Write("a", "z", "3"));
    ASSERT_TRUE(profile.Write("C", "w", "4"));
    EXPECT_EQ(ReadFile(path), "[A]\r\nx=1\r\nz=3\r\n; trailing note\r\n\r\n[B]\r\ny=2\r\n"
                              "[C]\r\nw=4\r\n");

    // A file whose last line has no line end gets one before the new lines.
    WriteFile(path, "[A]\nx=1");
    ASSERT_TRUE(profile.Write("A", "y", "2"));
    EXPECT_EQ(ReadFile(path), "[A]\nx=1\ny=2\n");
}

TEST_F(ProfileFileTest, FirstWriteCreatesTheFileOwnerOnly) {
    ProfileFile profile(path);
    ASSERT_TRUE(profile.Write("BREVIN", "store", "/srv/mail"));
    EXPECT_EQ(ReadFile(path), "[BREVIN]\nstore=/srv/mail\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U) << "the profile holds passwords";

    // An existing file keeps its permissions across the replacement.
    ::chmod(path.c_str(), 0640);
    for (const char* value : {"1", "2", "3"}) {
        ASSERT_TRUE(profile.Write("BREVIN", "conta", value));
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640U) << "after writing " << value;
    }
}

TEST_F(ProfileFileTest, WrittenValuesReadBackIdentically) {
    ProfileFile profile(path);
    const std::vector<std::string> values = {
        "", "plain", "with = equals", "semi;colon", "[brackets]", "\"quoted\"", "tab\tinside"};
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_TRUE(profile.Write("S", Name("k", i), values[i]));
    }
    const ProfileFile fresh(path);
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(fresh.Read("S", Name("k", i), "missing"), values[i]);
    }
}

TEST_F(ProfileFileTest, RefusesNamesAndValuesThatWouldBreakTheFile) {
    WriteFile(path, kHandWritten);
    ProfileFile profile(path);
    EXPECT_FALSE(profile.Write("S", "k", "two\nlines"));
    EXPECT_FALSE(profile.Write("S", "k", "cr\rinside"));
    EXPECT_FALSE(profile.Write("S", "a=b", "v"));
    EXPECT_FALSE(profile.Write("S", "[k", "v"));
    EXPECT_FALSE(profile.Write("S", ";k", "v"));
    EXPECT_FALSE(profile.Write("S]", "k", "v"));
    EXPECT_FALSE(profile.Write("", "k", "v"));
    EXPECT_FALSE(profile.Write("S", "", "v"));
    EXPECT_EQ(ReadFile(path), kHandWritten);
}

TEST_F(ProfileFileTest, RemoveDeletesOnlyThatKey) {
    WriteFile(path, kHandWritten);
    ProfileFile profile(path);
    ASSERT_TRUE(profile.Remove("USERS", "ANNA"));
    std::string expected = kHandWritten;
    expected.erase(expected.find("Anna = annadir\r\n"), 16);
    EXPECT_EQ(ReadFile(path), expected);
    EXPECT_TRUE(profile.Remove("USERS", "nobody"));
    EXPECT_EQ(ReadFile(path), expected);

    ProfileFile missing(dir.Path() / "other.INI");
    EXPECT_TRUE(missing.Remove("USERS", "x"));
    EXPECT_FALSE(std::filesystem::exists(missing.Path()));
}

TEST_F(ProfileFileTest, ApplyMakesSeveralChangesInOneReplacement) {
    WriteFile(path, "[USERS]\nold=o\n[PWD]\nold=p\n");
    ProfileFile profile(path);
    const ProfileChange changes[] = {{"USERS", "new", "n"},
                                     {"PWD", "new", "q"},
                                     {"USERS", "old", std::nullopt},
                                     {"PWD", "old", std::nullopt}};
    ASSERT_TRUE(profile.Apply(changes));
    EXPECT_EQ(ReadFile(path), "[USERS]\nnew=n\n[PWD]\nnew=q\n");

    // One bad change stops all of them.
    const ProfileChange mixed[] = {{"USERS", "fine", "f"}, {"USERS", "bad=key", "b"}};
    EXPECT_FALSE(profile.Apply(mixed));
    EXPECT_EQ(ReadFile(path), "[USERS]\nnew=n\n[PWD]\nnew=q\n");
}

TEST_F(ProfileFileTest, EveryReadSeesTheFileAsItIsOnDiskNow) {
    WriteFile(path, "[BREVIN]\nconta=1\n");
    ProfileFile profile(path);
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "1");

    // Rewritten in place at once, same size, same inode: a cache keyed on times alone could
    // miss this.
    WriteFile(path, "[BREVIN]\nconta=2\n");
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "2");

    // Rewritten with its old modification time put back, as `cp -p` or `rsync -t` do: only
    // the change time tells.
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    WriteFile(path, "[BREVIN]\nconta=9\n");
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "9");

    // Replaced by another program through a rename.
    WriteFile(dir / "edited", "[BREVIN]\nconta=3\n");
    std::filesystem::rename(dir / "edited", path);
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "3");

    // Our own write, then a hand edit of the result.
    ASSERT_TRUE(profile.Write("BREVIN", "conta", "4"));
    WriteFile(path, "[BREVIN]\nconta=5\n");
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "5");

    std::filesystem::remove(path);
    EXPECT_EQ(profile.Read("BREVIN", "conta", "gone"), "gone");
}

TEST_F(ProfileFileTest, ReadOnlyPathsCannotBeWrittenAndLeaveNothing) {
    // The profile's folder is a path below a plain file: nothing can be created there.
    WriteFile(dir / "plain", "x");
    ProfileFile profile(dir.Path() / "plain" / "brevin.INI");
    EXPECT_FALSE(profile.Write("BREVIN", "store", "/x"));
    EXPECT_THAT(FolderNames(dir.Path()), ElementsAre("plain"));
}

TEST_F(ProfileFileTest, FailedWriteLeavesTheOldFileIntact) {
    WriteFile(path, kHandWritten);
    ProfileFile profile(path);
    StoreFaults::failProfileWrites = true;
    EXPECT_FALSE(profile.Write("USERS", "carol", "c"));
    EXPECT_FALSE(profile.Remove("USERS", "anna"));
    StoreFaults::failProfileWrites = false;
    EXPECT_EQ(ReadFile(path), kHandWritten);
    // Only the writers' lock file and the spare the next write fills again stand beside it.
    EXPECT_THAT(FolderNames(dir.Path()),
                ElementsAre(".brevin.INI.lock", ".brevin.INI.spare", "brevin.INI"));
    EXPECT_EQ(profile.Read("USERS", "carol", "none"), "none");

    ASSERT_TRUE(profile.Write("USERS", "carol", "c"));
    EXPECT_EQ(profile.Read("USERS", "carol", "none"), "c");
}

// The same with a real write failure from the kernel: a file size limit makes every write
// past it fail with EFBIG, as a full disk fails with ENOSPC. Root cannot bypass it.
TEST_F(ProfileFileTest, FileSizeLimitDuringWriteLeavesTheOldFileIntact) {
    const std::string original =
        std::string(kHandWritten) + "[PAD]\n" + std::string(2000, ';') + "\n";
    WriteFile(path, original);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ProfileFile profile(path);
        const bool written = profile.Write("USERS", "carol", "c");
        ::_exit(written ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write should have failed";
    EXPECT_EQ(ReadFile(path), original);
    EXPECT_THAT(FolderNames(dir.Path()),
                ElementsAre(".brevin.INI.lock", ".brevin.INI.spare", "brevin.INI"));
}

// The server and `brevin user` may write at the same moment; neither may lose the other's
// change. Several processes each add their own keys at once.
TEST_F(ProfileFileTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
    constexpr int kWriters = 4;
    constexpr int kEach = 40;
    WriteFile(path, "[BREVIN]\nconta=0\n");
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ProfileFile profile(path);
            bool ok = true;
            for (int i = 0; i < kEach; ++i) {
                ok = profile.Write("USERS", Name("w", w * 1000 + i), "box") && ok;
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    // Meanwhile this process reads: every read must see a whole file, never a half-written one.
    const ProfileFile reader(path);
    std::size_t seen = 0;
    for (int i = 0; i < 20'000 && seen < kWriters * kEach; ++i) {
        EXPECT_EQ(reader.Read("BREVIN", "conta", "torn"), "0");
        const std::size_t now = reader.Keys("USERS").size();
        EXPECT_GE(now, seen) << "a read went back in time";
        seen = now;
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(reader.Keys("USERS").size(), static_cast<std::size_t>(kWriters * kEach));
    EXPECT_EQ(reader.Read("BREVIN", "conta", ""), "0") << "untouched lines stay";
}

TEST_F(ProfileFileTest, UpdateReadsAndWritesInOneStep) {
    WriteFile(path, "[BREVIN]\nconta=41\n");
    ProfileFile profile(path);
    bool written = false;
    const auto twice = [](std::string_view v) { return std::string(v) + std::string(v); };
    EXPECT_EQ(profile.Update("brevin", "CONTA", "0", twice, ProfileSync::Atomic, &written), "41");
    EXPECT_TRUE(written);
    EXPECT_EQ(ReadFile(path), "[BREVIN]\nconta=4141\n");
    EXPECT_EQ(profile.Update("NEW", "k", "start", twice, ProfileSync::Durable, &written), "start");
    EXPECT_EQ(profile.Read("NEW", "k", ""), "startstart");

    // A value that cannot be stored is not written; the value read still comes back.
    EXPECT_EQ(profile.Update(
                  "BREVIN", "conta", "0", [](std::string_view) { return std::string("a\nb"); },
                  ProfileSync::Durable, &written),
              "4141");
    EXPECT_FALSE(written);
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "4141");
}

TEST_F(ProfileFileTest, AProfileThatIsASymbolicLinkStaysOne) {
    std::filesystem::create_directory(dir / "etc");
    const auto target = dir.Path() / "etc" / "brevin.INI";
    WriteFile(target, "[BREVIN]\nstore=/s\n");
    std::filesystem::create_symlink(target, path);
    ProfileFile profile(path);
    for (const char* value : {"1", "2", "3"}) {
        ASSERT_TRUE(profile.Write("BREVIN", "conta", value));
    }
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(ReadFile(target), "[BREVIN]\nstore=/s\nconta=3\n");
    EXPECT_EQ(profile.Read("BREVIN", "conta", ""), "3");
}

TEST_F(ProfileFileTest, UnreadableExistingFileIsNeverReplaced) {
    // A folder where the file should be cannot be read; writing must not clobber it.
    std::filesystem::create_directory(path);
    ProfileFile profile(path);
    EXPECT_EQ(profile.Read("BREVIN", "store", "zzz"), "zzz");
    EXPECT_FALSE(profile.Write("BREVIN", "store", "/x"));
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

} // namespace
} // namespace brevin

namespace brevin {
namespace {

// Found by fuzzing: a file whose last line ends in a CR without its LF read the CR as part
// of the value, and a write then joined the next line onto it.
TEST_F(ProfileFileTest, ALastLineCutAfterItsCarriageReturnReadsTheSameAfterAWrite) {
    WriteFile(path, "[USERS]\r\nalice=alice\r");
    ProfileFile profile(path);
    EXPECT_EQ(profile.Read("USERS", "alice", ""), "alice");
    ASSERT_TRUE(profile.Write("PWD", "alice", "pw"));
    EXPECT_EQ(profile.Read("USERS", "alice", ""), "alice");
    EXPECT_EQ(profile.Read("PWD", "alice", ""), "pw");
    EXPECT_EQ(ReadFile(path), "[USERS]\r\nalice=alice\r\n[PWD]\r\nalice=pw\r\n");

    // A stray CR is never part of a value, wherever the line ends.
    WriteFile(path, "[USERS]\nbob=bob\r\r\ncarol=c\r\r");
    EXPECT_EQ(profile.Read("USERS", "bob", ""), "bob");
    EXPECT_EQ(profile.Read("USERS", "carol", ""), "c");
    ASSERT_TRUE(profile.Write("PWD", "bob", "pw"));
    EXPECT_EQ(profile.Read("USERS", "carol", ""), "c");
}

} // namespace
} // namespace brevin
