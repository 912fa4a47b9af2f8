// `brevin user ...` end to end: the real program, run in a scratch working folder, with the
// password fed through its standard input.

#include "store/passwords.h"
#include "store/profile_file.h"
#include "store_test_util.h"

#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>

namespace brevin {
namespace {

using namespace testing; // brevin::testing: the store tests' helpers
using ::testing::HasSubstr;

struct Outcome {
    int status;
    std::string out, err;
};

class UserCommandTest : public ::testing::Test {
protected:
    /// Runs `brevin user <args>` in `work` with `input` on standard input, through the shell
    /// (no argument here holds a single quote).
    Outcome Run(const std::vector<std::string>& args, const std::string& input = "") {
        WriteFile(io.Path() / "in", input);
        std::string command = "cd '" + work.Path().string() + "' && '" BREVIN_PROGRAM "' user";
        for (const std::string& arg : args) {
            command.append(" '").append(arg).append("'");
        }
        const std::string streams = io.Path().string();
        command += " <'" + streams + "/in' >'" + streams + "/out' 2>'" + streams + "/err'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(io.Path() / "out"),
                ReadFile(io.Path() / "err")};
    }

    /// The profile's text with every hash as "HASH".
    std::string ProfileText() const {
        static const std::regex hash(R"(\{YESCRYPT\}[^\n]*)");
        return std::regex_replace(ReadFile(work.Path() / "brevin.INI"), hash, "HASH");
    }
    /// Whether the password stored for `user` is `password`.
    bool Matches(const std::string& user, const std::string& password) const {
        return PasswordMatches(ProfileFile(work.Path() / "brevin.INI").Read("PWD", user, ""),
                               password);
    }

    TempDir work; // the program's working folder: its profile and store land here
    TempDir io;   // standard streams, kept out of the working folder
};

TEST_F(UserCommandTest, SetListAndRemoveOnAFreshFolder) {
    EXPECT_THAT(Run({"list"}).out, HasSubstr("No users"));
    const Outcome set = Run({"set", "Mary Ann", "mary"}, "s3cret word\n");
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_THAT(set.out + set.err, ::testing::Not(HasSubstr("s3cret"))) << "never echoed";
    ASSERT_EQ(Run({"set", "bob", "bobbox"}, "pw\r\n").status, 0);
    const auto root = work.Path() / "store";
    const auto profile = work.Path() / "brevin.INI";
    EXPECT_EQ(ProfileText(), "[BREVIN]\nstore=" + root.string() +
                                 "\n[USERS]\nmary.ann=mary\nbob=bobbox\n"
                                 "[PWD]\nmary.ann=HASH\nbob=HASH\n");
    EXPECT_TRUE(Matches("mary.ann", "s3cret word") && Matches("bob", "pw"));
    EXPECT_EQ(std::filesystem::status(profile).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << "the profile holds passwords, also after it was replaced";

    std::filesystem::remove(root / "bobbox");
    const Outcome list = Run({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_THAT(list.out, ::testing::ContainsRegex("mary.ann +mary +folder exists\n"
                                                   "bob +bobbox +folder missing\n"));

    WriteFile(root / "mary" / "MSG00000.bvn", "kept");
    const Outcome removed = Run({"remove", "MARY ANN"});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(ProfileText(),
              "[BREVIN]\nstore=" + root.string() + "\n[USERS]\nbob=bobbox\n[PWD]\nbob=HASH\n");
    EXPECT_EQ(ReadFile(root / "mary" / "MSG00000.bvn"), "kept") << "the mail stays";
    EXPECT_EQ(Run({"remove", "mary.ann"}).status, 1);
}

TEST_F(UserCommandTest, RefusedOrMalformedCommandsChangeNothing) {
    const struct {
        std::vector<std::string> args;
        const char* input;
        int status;
        const char* says;
    } cases[] = {
        {{"set", "*x", "box"}, "pw\n", 1, "refused"},
        {{"set", "a=b", "box"}, "pw\n", 1, "refused"},
        {{"set", "tab\tname", "box"}, "pw\n", 1, "refused"},
        {{"set", "bob", "two\nlines"}, "pw\n", 1, "refused"},
        {{"set", "bob", "box"}, " padded \n", 1, "refused"}, // would not read back the same
        {{"set", "bob", "box"}, "", 1, "standard input"},
        {{"set", "bob", "box", "secret"}, "", 2, "Usage"}, // never on the command line
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Outcome outcome = Run(c.args, c.input);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_THAT(outcome.err, HasSubstr(c.says));
    }
    EXPECT_THAT(FolderNames(work.Path()), ::testing::IsEmpty()) << "no profile, no store";
}

} // namespace
} // namespace brevin
