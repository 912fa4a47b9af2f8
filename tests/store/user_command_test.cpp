// `brevin user ...` end to end: the real program, run in a scratch working folder, with the
// password fed through its standard input.

#include "store/profile_file.h"
#include "store_test_util.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace brevin {
namespace {

using testing::FolderNames;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class UserCommandTest : public ::testing::Test {
protected:
    /// Runs `brevin user <args>` in `work` with `input` on standard input.
    Outcome Run(const std::vector<std::string>& args, const std::string& input = "") {
        const std::string inPath = io / "in";
        const std::string outPath = io / "out";
        const std::string errPath = io / "err";
        WriteFile(inPath, input);
        std::vector<std::string> words = {BREVIN_PROGRAM, "user"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);

        const pid_t child = ::fork();
        if (child == 0) {
            const int in = ::open(inPath.c_str(), O_RDONLY);
            const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0 || ::chdir(work.Path().c_str()) != 0) {
                ::_exit(127);
            }
            ::dup2(in, STDIN_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        Outcome outcome;
        int status = 0;
        if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) {
            outcome.status = WEXITSTATUS(status);
        }
        outcome.out = ReadFile(outPath);
        outcome.err = ReadFile(errPath);
        return outcome;
    }

    [[nodiscard]] std::string Profile() const { return ReadFile(work.Path() / "brevin.INI"); }
    [[nodiscard]] std::string Value(const char* section, const std::string& key) const {
        return ProfileFile(work.Path() / "brevin.INI").Read(section, key, "<none>");
    }

    ScratchDir work; // the program's working folder: its profile and store land here
    ScratchDir io;   // standard streams, kept out of the working folder
};

TEST_F(UserCommandTest, SetOnAFreshFolderSettlesTheStoreAndSavesTheUser) {
    const Outcome set = Run({"set", "Mary Ann", "mary"}, "s3cret word\n");
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_THAT(set.out, HasSubstr("mary.ann"));

    const std::string root = (work.Path() / "store").string();
    EXPECT_EQ(Value("BREVIN", "store"), root);
    EXPECT_EQ(Value("USERS", "mary.ann"), "mary");
    EXPECT_EQ(Value("PWD", "mary.ann"), "s3cret word");
    EXPECT_TRUE(std::filesystem::is_directory(root + "/mary"));
    EXPECT_THAT(set.out + set.err, ::testing::Not(HasSubstr("s3cret")))
        << "the password is never echoed";
}

TEST_F(UserCommandTest, ListShowsUsersFoldersAndWhetherTheFoldersExist) {
    ASSERT_EQ(Run({"list"}).status, 0);
    EXPECT_THAT(Run({"list"}).out, HasSubstr("No users"));

    ASSERT_EQ(Run({"set", "anna", "annabox"}, "pw\n").status, 0);
    ASSERT_EQ(Run({"set", "bob", "bobbox"}, "pw\n").status, 0);
    std::filesystem::remove(work.Path() / "store" / "bobbox");

    const Outcome list = Run({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_THAT(list.out, ::testing::ContainsRegex("anna +annabox +folder exists"));
    EXPECT_THAT(list.out, ::testing::ContainsRegex("bob +bobbox +folder missing"));
    EXPECT_LT(list.out.find("anna"), list.out.find("bob")) << "in file order";
}

TEST_F(UserCommandTest, SetUsesAnExistingStoreRootAndReplacesAUserInAnyCase) {
    const auto root = work.Path() / "mailroot";
    std::filesystem::create_directory(root);
    WriteFile(work.Path() / "brevin.INI", "[BREVIN]\r\nstore=" + root.string() +
                                              "\r\nconta=12\r\n[USERS]\r\nJoe=old\r\n"
                                              "[PWD]\r\nJoe=oldpw\r\n");
    const Outcome set = Run({"set", "JOE", "joebox"}, "newpw\r\n");
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(Profile(), "[BREVIN]\r\nstore=" + root.string() +
                             "\r\nconta=12\r\n[USERS]\r\nJoe=joebox\r\n[PWD]\r\nJoe=newpw\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(root / "joebox"));
}

TEST_F(UserCommandTest, RemoveForgetsTheUserButKeepsFolderAndMail) {
    ASSERT_EQ(Run({"set", "carol", "carolbox"}, "pw\n").status, 0);
    ASSERT_EQ(Run({"set", "dave", "davebox"}, "pw2\n").status, 0);
    const auto mail = work.Path() / "store" / "carolbox" / "MSG00000.bvn";
    WriteFile(mail, "kept\r\n.\r\n");

    const Outcome removed = Run({"remove", "Carol"});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(Value("USERS", "carol"), "<none>");
    EXPECT_EQ(Value("PWD", "carol"), "<none>");
    EXPECT_EQ(Value("USERS", "dave"), "davebox");
    EXPECT_EQ(ReadFile(mail), "kept\r\n.\r\n");

    const Outcome again = Run({"remove", "carol"});
    EXPECT_EQ(again.status, 1);
    EXPECT_THAT(again.err, HasSubstr("carol"));
}

TEST_F(UserCommandTest, RefusedNamesChangeNothing) {
    for (const std::string name : {"*x", "a=b", "[x]", ";c", "", "tab\tname"}) {
        const Outcome refused = Run({"set", name, "box"}, "pw\n");
        EXPECT_EQ(refused.status, 1) << "'" << name << "'";
        EXPECT_THAT(refused.err, HasSubstr("refused")) << "'" << name << "'";
    }
    EXPECT_THAT(FolderNames(work.Path()), IsEmpty()) << "no profile, no store";
}

TEST_F(UserCommandTest, PasswordOnlyFromStandardInput) {
    const Outcome noInput = Run({"set", "erin", "box"}, "");
    EXPECT_EQ(noInput.status, 1);
    EXPECT_THAT(noInput.err, HasSubstr("standard input"));
    EXPECT_THAT(FolderNames(work.Path()), IsEmpty());

    const Outcome onCommandLine = Run({"set", "erin", "box", "secret"}, "");
    EXPECT_EQ(onCommandLine.status, 2);
    EXPECT_THAT(FolderNames(work.Path()), IsEmpty());

    const Outcome padded = Run({"set", "erin", "box"}, " padded \n");
    EXPECT_EQ(padded.status, 1) << "a blank at either end would not read back";
}

TEST_F(UserCommandTest, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"list", "extra"}, {"set", "only-name"}, {"remove"}}) {
        const Outcome bad = Run(args);
        EXPECT_EQ(bad.status, 2);
        EXPECT_THAT(bad.err, HasSubstr("Usage"));
    }
    const Outcome help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("brevin user set NAME FOLDER"));
}

} // namespace
} // namespace brevin
