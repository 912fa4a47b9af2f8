#include "imap/imap_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace brevin::imap {
namespace {

using ::testing::ElementsAre;
using namespace std::string_literals;
using Kind = SearchKey::Kind;

std::optional<SequenceSet> ParseSet(std::string_view text) {
    Parser parser(text);
    auto set = parser.Sequence();
    return set && parser.AtEnd() ? set : std::nullopt;
}

std::vector<std::string> Names(const FetchRequest& request) {
    std::vector<std::string> names;
    for (const FetchItem& item : request.items) {
        names.push_back(item.responseName);
    }
    return names;
}

std::optional<SearchRequest> Search(std::string_view text) {
    return Parser(text).SearchArguments();
}

TEST(ImapParserTest, LiteralsOfBothKindsCarryAnyBytes) {
    const std::string command = "a1 LOGIN {3}\r\nbob {6+}\r\nse\r\n\0t"s;
    Parser parser(command);
    ASSERT_TRUE(parser.Tag() && parser.Space() && parser.Atom() && parser.Space());
    EXPECT_EQ(parser.Astring(), "bob");
    ASSERT_TRUE(parser.Space());
    EXPECT_EQ(parser.Astring(), "se\r\n\0t"s);
    EXPECT_TRUE(parser.AtEnd());
}

TEST(ImapParserTest, ALiteralLongerThanTheCommandFailsWithoutConsuming) {
    Parser parser("{10}\r\nshort");
    EXPECT_FALSE(parser.String());
    EXPECT_EQ(parser.Position(), 0U);
    EXPECT_FALSE(Parser("{99999999999999999999}\r\n").String()) << "overflow";
}

TEST(ImapParserTest, QuotedStringsUndoEscapesAndRefuseLineEnds) {
    EXPECT_EQ(Parser(R"("a \"b\" \\c")").String(), R"(a "b" \c)");
    EXPECT_FALSE(Parser("\"a\r\nb\"").String());
    EXPECT_FALSE(Parser(R"("a\b")").String());
    EXPECT_FALSE(Parser("\"open").String());
}

TEST(ImapParserTest, TagsNilAndFlags) {
    EXPECT_EQ(Parser("a+1").Tag(), "a") << "+ ends a tag";
    const auto nil = Parser("NIL").Nstring();
    ASSERT_TRUE(nil);
    EXPECT_EQ(*nil, std::nullopt);
    EXPECT_EQ(*Parser("\"NIL\"").Nstring(), "NIL");
    EXPECT_FALSE(Parser("NILS").Nstring());
    EXPECT_FALSE(Parser("\\*").Flag());
    EXPECT_EQ(Parser("\\*").Flag(true), "\\*");
    EXPECT_EQ(Parser("(messages uidnext)").StatusItems(),
              (std::vector<std::string>{"MESSAGES", "UIDNEXT"}));
}

TEST(ImapParserTest, InboxIsCaseInsensitiveAndOtherNamesAreKept) {
    EXPECT_EQ(Parser("iNbOx").Mailbox(), "INBOX");
    EXPECT_EQ(Parser("\"Inbox\"").Mailbox(), "INBOX");
    EXPECT_EQ(Parser("Inbox.Old").Mailbox(), "Inbox.Old");
}

TEST(ImapParserTest, SequenceSets) {
    const auto set = ParseSet("1:3,7,009:*,5:2");
    ASSERT_TRUE(set);
    EXPECT_THAT(set->ranges, ElementsAre(SequenceRange{1, 3}, SequenceRange{7, 7},
                                         SequenceRange{9, 0}, SequenceRange{5, 2}));
    EXPECT_TRUE(set->Contains(4, 8)) << "5:2 is 2:5";
    EXPECT_TRUE(set->Contains(12, 12)) << "9:* reaches the highest";
    EXPECT_FALSE(set->Contains(6, 8));
    EXPECT_TRUE(ParseSet("*:4")->Contains(6, 6)) << "*:4 is 4:highest";
    EXPECT_TRUE(ParseSet("4294967295"));
    EXPECT_TRUE(ParseSet("$")->saved);
    for (const char* bad : {"1:", ",1", "1,", "0", "1:0", "4294967296", "1,,2", ""}) {
        EXPECT_FALSE(ParseSet(bad)) << bad;
    }
}

TEST(ImapParserTest, ThunderbirdHeaderFetchAnswersWithoutPeek) {
    const auto request =
        Parser("(UID RFC822.SIZE FLAGS BODY.PEEK[HEADER.FIELDS (From To Cc Bcc Subject Date "
               "Message-ID Priority X-Priority References Newsgroups In-Reply-To Content-Type "
               "Reply-To)])")
            .FetchArguments();
    ASSERT_TRUE(request);
    ASSERT_EQ(request->items.size(), 4U);
    const FetchItem& header = request->items[3];
    EXPECT_EQ(header.kind, FetchItem::Kind::Section);
    EXPECT_TRUE(header.peek);
    EXPECT_EQ(header.text, FetchItem::Text::HeaderFields);
    EXPECT_EQ(header.fields.size(), 14U);
    EXPECT_EQ(header.fields[6], "Message-ID");
    EXPECT_EQ(header.responseName,
              "BODY[HEADER.FIELDS (FROM TO CC BCC SUBJECT DATE MESSAGE-ID PRIORITY X-PRIORITY "
              "REFERENCES NEWSGROUPS IN-REPLY-TO CONTENT-TYPE REPLY-TO)]");
    EXPECT_THAT(Names(*request), ElementsAre("UID", "RFC822.SIZE", "FLAGS", header.responseName));
}

TEST(ImapParserTest, FetchSectionsPartialsAndMacros) {
    const auto request = Parser("(body[1.2.mime]<0.100> BINARY.PEEK[3]<5.10> BINARY.SIZE[] "
                                "RFC822.HEADER RFC822 BODY[] BODY MODSEQ)")
                             .FetchArguments();
    ASSERT_TRUE(request);
    EXPECT_THAT(Names(*request),
                ElementsAre("BODY[1.2.MIME]<0>", "BINARY[3]<5>", "BINARY.SIZE[]", "RFC822.HEADER",
                            "RFC822", "BODY[]", "BODY", "MODSEQ"));
    const FetchItem& mime = request->items[0];
    EXPECT_THAT(mime.part, ElementsAre(1U, 2U));
    EXPECT_EQ(mime.text, FetchItem::Text::Mime);
    EXPECT_FALSE(mime.peek);
    EXPECT_EQ(mime.partialOffset, 0U);
    EXPECT_EQ(mime.partialLength, 100U);
    EXPECT_TRUE(request->items[1].peek);
    EXPECT_TRUE(request->items[3].peek) << "RFC822.HEADER does not set \\Seen";
    EXPECT_EQ(request->items[3].text, FetchItem::Text::Header);
    EXPECT_FALSE(request->items[4].peek);

    EXPECT_THAT(Names(*Parser("FAST").FetchArguments()),
                ElementsAre("FLAGS", "INTERNALDATE", "RFC822.SIZE"));
    EXPECT_EQ(Parser("all").FetchArguments()->items.size(), 4U);
    EXPECT_EQ(Parser("FULL").FetchArguments()->items.back().kind, FetchItem::Kind::Body);

    for (const char* bad : {"BODY[MIME]", "BODY[1.HEADER.FIELDS ()]", "BODY[]<0.0>", "BINARY[TEXT]",
                            "BINARY.SIZE[1]<0.1>", "(ALL)", "()", "BODY.PEEK", "FLAGS ",
                            "UID (VANISHED)", "BODY[0]", "ALLX"}) {
        EXPECT_FALSE(Parser(bad).FetchArguments()) << bad;
    }
}

TEST(ImapParserTest, FetchModifiers) {
    const auto request = Parser("(FLAGS) (CHANGEDSINCE 12345 VANISHED)").FetchArguments();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->changedSince, 12345U);
    EXPECT_TRUE(request->vanished);
    EXPECT_FALSE(Parser("FLAGS (CHANGEDSINCE 0)").FetchArguments());
}

TEST(ImapParserTest, SearchKeysBecomeATree) {
    const auto request =
        Search("RETURN (MIN COUNT) CHARSET UTF-8 OR (FROM bob NOT SEEN) "
               "SUBJECT {4}\r\nx yz 1:5 UID 7 UNKEYWORD $Junk SINCE 1-Feb-2024 "
               "HEADER X-Spam \"yes\" LARGER 100 MODSEQ \"/flags/\\\\draft\" all 9");
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->esearch);
    EXPECT_TRUE(request->returnMin && request->returnCount);
    EXPECT_FALSE(request->returnAll);
    EXPECT_EQ(request->charset, "UTF-8");
    const auto& keys = request->key.children;
    ASSERT_EQ(request->key.kind, Kind::And);
    ASSERT_EQ(keys.size(), 8U);
    ASSERT_EQ(keys[0].kind, Kind::Or);
    const SearchKey& left = keys[0].children[0];
    ASSERT_EQ(left.kind, Kind::And);
    EXPECT_EQ(left.children[0].kind, Kind::Header);
    EXPECT_EQ(left.children[0].field, "From");
    EXPECT_EQ(left.children[1].kind, Kind::Not);
    EXPECT_EQ(left.children[1].children[0].kind, Kind::Flag);
    EXPECT_EQ(left.children[1].children[0].text, "\\Seen");
    EXPECT_EQ(keys[0].children[1].text, "x yz");
    EXPECT_EQ(keys[1].kind, Kind::SequenceSet);
    EXPECT_EQ(keys[2].kind, Kind::Uid);
    EXPECT_EQ(keys[3].kind, Kind::NoFlag);
    EXPECT_EQ(keys[3].text, "$Junk");
    EXPECT_EQ(keys[4].date, 19754) << "2024-02-01";
    EXPECT_EQ(keys[5].field, "X-Spam");
    EXPECT_EQ(keys[6].number, 100U);
    EXPECT_EQ(keys[7].kind, Kind::ModSeq);
    EXPECT_EQ(keys[7].number, 9U);
}

TEST(ImapParserTest, SearchReturnAndMalformedKeys) {
    const auto empty = Search("RETURN () ALL");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->returnAll);
    EXPECT_EQ(Search("UNSEEN")->key.children[0].kind, Kind::NoFlag);
    EXPECT_EQ(Search("ON \"01-Jan-1970\"")->key.children[0].date, 0);
    for (const char* bad : {"", "ALL ", "FROM", "OR SEEN", "()", "(SEEN", "SINCE 30-Feb-2024",
                            "SINCE 1-Foo-2024", "RETURN (FIRST) ALL", "BOGUS", "LARGER x"}) {
        EXPECT_FALSE(Search(bad)) << bad;
    }
}

TEST(ImapParserTest, DeepNestingFailsCleanly) {
    const std::string deep = std::string(10000, '(') + "ALL" + std::string(10000, ')');
    Parser parser(deep);
    EXPECT_FALSE(parser.SearchArguments());
    EXPECT_EQ(parser.Position(), 0U);
    std::string nots;
    for (int i = 0; i < 10000; ++i) {
        nots += "NOT ";
    }
    EXPECT_FALSE(Search(nots + "ALL"));
    EXPECT_TRUE(Search(std::string(50, '(') + "ALL" + std::string(50, ')')));
}

TEST(ImapParserTest, StoreForms) {
    const auto replace = Parser("FLAGS (\\Seen $Forwarded)").StoreArguments();
    ASSERT_TRUE(replace);
    EXPECT_EQ(replace->mode, StoreRequest::Mode::Replace);
    EXPECT_THAT(replace->flags, ElementsAre("\\Seen", "$Forwarded"));
    const auto add =
        Parser("(UNCHANGEDSINCE 42) +flags.silent \\Deleted \\Answered").StoreArguments();
    ASSERT_TRUE(add);
    EXPECT_EQ(add->mode, StoreRequest::Mode::Add);
    EXPECT_TRUE(add->silent);
    EXPECT_EQ(add->unchangedSince, 42U);
    EXPECT_THAT(add->flags, ElementsAre("\\Deleted", "\\Answered"));
    EXPECT_TRUE(Parser("-FLAGS ()").StoreArguments()->flags.empty());
    for (const char* bad : {"FLAGS", "FLAGS ", "*FLAGS \\Seen", "FLAGS \\*", "FLAGS (\\Seen"}) {
        EXPECT_FALSE(Parser(bad).StoreArguments()) << bad;
    }
}

TEST(ImapParserTest, SelectParametersOfCondstoreAndQresync) {
    EXPECT_FALSE(Parser("").SelectParameters()->condstore);
    EXPECT_TRUE(Parser(" (CONDSTORE)").SelectParameters()->condstore);
    const auto full = Parser(" (QRESYNC (67890007 90060115194045000 41:211,214:541 (1:9 41:89)))")
                          .SelectParameters();
    ASSERT_TRUE(full && full->qresync);
    EXPECT_EQ(full->qresync->uidValidity, 67890007U);
    EXPECT_EQ(full->qresync->modSeq, 90060115194045000U);
    EXPECT_EQ(full->qresync->knownUids->ranges.size(), 2U);
    EXPECT_TRUE(full->qresync->matchingUids);
    EXPECT_FALSE(Parser(" (QRESYNC (1 2))").SelectParameters()->qresync->knownUids);
    for (const char* bad : {" ()", " (QRESYNC (0 2))", " (QRESYNC (1))", " (QRESYNC (1 2 $))",
                            " (QRESYNC (1 2 1:5 (1:2)))", " (CONDSTORE", "(CONDSTORE)"}) {
        EXPECT_FALSE(Parser(bad).SelectParameters()) << bad;
    }
}

TEST(ImapParserTest, ListExtendedForms) {
    const auto plain = Parser("\"\" %").ListArguments();
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->reference, "");
    EXPECT_THAT(plain->patterns, ElementsAre("%"));
    const auto extended =
        Parser("(SUBSCRIBED RECURSIVEMATCH) \"\" (INBOX \"Work/*\" &AMk-t*) RETURN (CHILDREN "
               "SPECIAL-USE STATUS (messages UNSEEN))")
            .ListArguments();
    ASSERT_TRUE(extended);
    EXPECT_TRUE(extended->subscribed && extended->recursiveMatch);
    EXPECT_THAT(extended->patterns, ElementsAre("INBOX", "Work/*", "&AMk-t*"));
    EXPECT_TRUE(extended->returnChildren && extended->returnSpecialUse);
    EXPECT_THAT(extended->returnStatus, ElementsAre("MESSAGES", "UNSEEN"));
    for (const char* bad : {"(RECURSIVEMATCH) \"\" *", "(BOGUS) \"\" *", "\"\" * RETURN (X)",
                            "\"\"", "\"\" ()", "\"\" * RETURN (STATUS ())"}) {
        EXPECT_FALSE(Parser(bad).ListArguments()) << bad;
    }
}

TEST(ImapParserTest, AppendStopsAtTheLiteral) {
    const std::string command = "inbox (\\Seen) \"14-Jul-2017 02:40:00 +0200\" {5}\r\nhello";
    Parser parser(command);
    const auto append = parser.AppendArguments();
    ASSERT_TRUE(append);
    EXPECT_EQ(append->mailbox, "INBOX");
    EXPECT_THAT(append->flags, ElementsAre("\\Seen"));
    EXPECT_EQ(append->date, 1499992800) << "00:40 UTC";
    EXPECT_EQ(parser.String(), "hello");
    EXPECT_TRUE(parser.AtEnd());
    EXPECT_EQ(Parser("Sent {1}").AppendArguments()->date, std::nullopt);
    EXPECT_FALSE(Parser("Sent \"x\"").AppendArguments());
    EXPECT_FALSE(Parser("Sent (\\Seen) x {1}").AppendArguments());
}

TEST(ImapParserTest, DateTimesValidateTheirFields) {
    EXPECT_EQ(Parser("\" 1-Jan-1970 00:00:00 -0100\"").DateTime(), 3600);
    EXPECT_EQ(Parser("\"29-feb-2024 23:59:59 +0000\"").DateTime(), 1709251199);
    for (const char* bad : {"\"29-Feb-2023 00:00:00 +0000\"", "\"01-Jan-1970 24:00:00 +0000\"",
                            "\"01-Jan-1970 00:00:00 0000\"", "\"01-Jan-1970 00:00:00 +0000",
                            "\"01-Jan-70 00:00:00 +0000\""}) {
        EXPECT_FALSE(Parser(bad).DateTime()) << bad;
    }
    EXPECT_EQ(FormatDateTime(1796778123), "\" 9-Dec-2026 01:02:03 +0000\"");
    EXPECT_EQ(Parser(FormatDateTime(-86400)).DateTime(), -86400);
}

TEST(ImapParserTest, QuoteRoundTripsThroughTheParser) {
    const std::string nul("a\0b", 3);
    for (const std::string& text :
         {std::string(), std::string("plain"), std::string("say \"hi\" \\ bye"),
          std::string("two\r\nlines"), nul, std::string("Gr\xc3\xbc\xc3\x9f"),
          std::string(2000, 'x')}) {
        const std::string quoted = Quote(text);
        Parser parser(quoted);
        EXPECT_EQ(parser.String(), text) << quoted;
        EXPECT_TRUE(parser.AtEnd());
    }
    EXPECT_EQ(Quote("two\r\nlines"), "{10}\r\ntwo\r\nlines");
    EXPECT_EQ(NQuote(std::nullopt), "NIL");
}

} // namespace
} // namespace brevin::imap
