// Address reduction: every documented example and the odd cases, first on the reduction itself,
// then as RCPT sees them over a connection against a real profile.

#include "smtp/address.h"
#include "smtp_fixture.h"

namespace brevin::testing {
namespace {

struct Reduction {
    const char* text;
    bool accepted;
    const char* name;
};

const Reduction kReductions[] = {
    // The usual forms.
    {"<L@D>", true, "L"},
    {" <L@D>", true, "L"},
    {"<L@D>\r\n", true, "L"},
    {"MAIL FROM:<L@D>\r\n", true, "L"},
    {"MAIL FROM: <L@D>\r\n", true, "L"},
    {"TO:<L@D>\r\n", true, "L"},
    {"L@D", true, "L"},
    {"L@", true, "L"},
    // What follows the last blank, then the last '<'.
    {"<First Last@D>", true, "Last"},
    {"<First  Last@D>", true, "Last"},
    {"a b c@D", true, "c"},
    {"<x<y@D>", true, "y"},
    {"<<y@D>", true, "y"},
    {"<A B<C@D>", true, "C"},
    {"<A<B C@D>", true, "C"},
    // Only the first '@' counts.
    {"<a b@c@d>", true, "b"},
    {"<a@b>@c", true, "a"},
    // Every other character stays.
    {"MAIL FROM:L@D", true, "FROM:L"},
    {"x:y@D", true, "x:y"},
    {">L@D", true, ">L"},
    {"<a\tb@D>", true, "a\tb"},
    {"<\"q\"@D>", true, "\"q\""},
    // No '@', or one at the very start: the whole text stays.
    {"<L>", false, "<L>"},
    {"MAIL FROM:<>\r\n", false, "MAIL FROM:<>\r\n"},
    {"@D", false, "@D"},
    {"", false, ""},
    {"<postmaster>\r\n", false, "<postmaster>\r\n"},
    // Nothing left after the reduction.
    {"<@D>", false, ""},
    {"<L @D>", false, ""},
    {" @D", false, ""},
};

TEST(AddressReduction, EveryCaseOfTheTable) {
    for (const auto& row : kReductions) {
        std::string name = "previous";
        EXPECT_EQ(AddressToUserName(row.text, name), row.accepted) << '"' << row.text << '"';
        EXPECT_EQ(name, row.name) << '"' << row.text << '"';
    }
}

class Recipients : public SmtpTest {};

TEST_F(Recipients, AddressesAreReducedToTheUserTheyName) {
    Change([this] { server.Profile().Write("USERS", "ghost", ""); });
    struct Case {
        const char* line;
        const char* reply;
    };
    const Case cases[] = {
        {"RCPT TO:<ann@brevin.test>", kOk},
        {"RCPT TO: <ann@brevin.test>", kOk},
        {"RCPT TO:ann@brevin.test", kOk},
        {"rcpt to:<ann@x> SIZE=100", kOk},
        {"RCPT TO:<ANN@x>", kOk},         // user names compare without regard to letter case
        {"RCPT TO:<First Ann@x>", kOk},   // what follows the last blank
        {"RCPT TO:<x<bob@x>", kOk},       // what follows the last '<'
        {"RCPT TO:<zed@x>", kNoSuchUser}, // not a user
        {"RCPT TO:<postmaster>", kNoSuchUser},
        {"RCPT TO:<ann>", kNoSuchUser},
        {"RCPT TO:ann", kNoSuchUser}, // no "@": the name keeps its line end
        {"RCPT TO:<@x>", kNoSuchUser},
        {"RCPT TO:<ann @x>", kNoSuchUser},
        {"RCPT TO:<\"ann\"@x>", kNoSuchUser}, // quotes are part of the name
        {"RCPT TO:<ghost@x>", kNoSuchUser},   // a user without a folder
        {"RCPT:<ann@x>", kNoSuchUser},        // the ':' stands at index 4
        {"RCPT TO <ann@x>", kNoSuchUser},     // no ':' at all
        {"RCPT", kNoSuchUser},
    };
    auto client = server.Smtp();
    for (const auto& c : cases) {
        EXPECT_EQ(Command(*client, c.line), c.reply) << c.line;
    }
}

TEST_F(Recipients, UsersAddedOrRemovedWhileRunningCountAtTheNextRcpt) {
    auto client = server.Smtp();
    EXPECT_EQ(Command(*client, "RCPT TO:<carl@x>"), kNoSuchUser);
    Change([this] { server.AddUser("carl", "carl", "pw"); });
    EXPECT_EQ(Command(*client, "RCPT TO:<carl@x>"), kOk);
    Change([this] { server.Profile().Remove("USERS", "carl"); });
    EXPECT_EQ(Command(*client, "RCPT TO:<carl@x>"), kNoSuchUser);
}

TEST_F(Recipients, WithoutAProfileEveryRecipientIsRefused) {
    Change([this] { std::filesystem::remove(server.Dir() / "brevin.INI"); });
    auto client = server.Smtp();
    EXPECT_EQ(Command(*client, "RCPT TO:<ann@x>"), kNoSuchUser);
    EXPECT_EQ(Command(*client, "DATA"), kNoRecipients);
}

} // namespace
} // namespace brevin::testing
