#include "imap/fetch_render.h"

#include <gtest/gtest.h>

namespace brevin::imap {
namespace {

constexpr std::string_view kMixed = "Date: Mon, 4 Mar 2024 09:15:00 +0100\r\n"
                                    "From: Anna Berg <anna@example.org>\r\n"
                                    "To: Team: bob@example.org;, carol@example.net\r\n"
                                    "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= aus \"Berlin\"\r\n"
                                    "Message-ID: <1234@example.org>\r\n"
                                    "MIME-Version: 1.0\r\n"
                                    "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
                                    "\r\n"
                                    "This is a multi-part message in MIME format.\r\n"
                                    "--outer\r\n"
                                    "Content-Type: multipart/alternative; boundary=\"inner\"\r\n"
                                    "\r\n"
                                    "--inner\r\n"
                                    "Content-Type: text/plain; charset=iso-8859-1\r\n"
                                    "Content-Transfer-Encoding: quoted-printable\r\n"
                                    "\r\n"
                                    "Sch=F6ne Gr=FC=DFe aus der K=FCche.=\r\n"
                                    " Bis bald!\r\n"
                                    "--inner\r\n"
                                    "Content-Type: text/html; charset=utf-8\r\n"
                                    "\r\n"
                                    "<p>Hallo</p>\r\n"
                                    "--inner--\r\n"
                                    "--outer\r\n"
                                    "Content-Type: application/pdf; name=\"plan.pdf\"\r\n"
                                    "Content-Transfer-Encoding: base64\r\n"
                                    "Content-Disposition: attachment; filename=\"plan.pdf\"\r\n"
                                    "\r\n"
                                    "JVBERi0xLjQKJcfsj6IK\r\n"
                                    "--outer--\r\n";

constexpr std::string_view kForward = "From: bob@example.org\r\n"
                                      "To: anna@example.org\r\n"
                                      "Subject: Fwd: Lunch\r\n"
                                      "Date: Tue, 5 Mar 2024 23:30:00 -0800\r\n"
                                      "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
                                      "\r\n"
                                      "--b1\r\n"
                                      "Content-Type: text/plain\r\n"
                                      "\r\n"
                                      "See below.\r\n"
                                      "--b1\r\n"
                                      "Content-Type: message/rfc822\r\n"
                                      "Content-Transfer-Encoding: x-uuencode\r\n"
                                      "\r\n"
                                      "From: Carol <carol@example.net>\r\n"
                                      "Subject: Lunch\r\n"
                                      "Date: Tue, 5 Mar 2024 12:00:00 +0000\r\n"
                                      "\r\n"
                                      "Noon at the usual place?\r\n"
                                      "--b1--\r\n";

FetchItem Section(std::vector<unsigned> part, FetchItem::Text text = FetchItem::Text::Whole,
                  std::vector<std::string> fields = {}) {
    FetchItem item;
    item.kind = FetchItem::Kind::Section;
    item.part = std::move(part);
    item.text = text;
    item.fields = std::move(fields);
    return item;
}

TEST(FetchRender, EnvelopeShowsGroupsEscapesQuotesAndDefaultsSenderToFrom) {
    const MessageStructure structure = ParseStructure(kMixed);
    const std::string anna = R"((("Anna Berg" NIL "anna" "example.org")))";
    EXPECT_EQ(EnvelopeText(structure.envelope),
              R"(("Mon, 4 Mar 2024 09:15:00 +0100" "=?ISO-8859-1?Q?Gr=FC=DFe?= aus \"Berlin\"" )" +
                  anna + " " + anna + " " + anna +
                  R"( ((NIL NIL "Team" NIL)(NIL NIL "bob" "example.org")(NIL NIL NIL NIL))"
                  R"((NIL NIL "carol" "example.net")) NIL NIL NIL "<1234@example.org>"))");
}

TEST(FetchRender, BodyStructureOfNestedMultipartsWithAttachment) {
    EXPECT_EQ(BodyStructureText(ParseStructure(kMixed), true),
              R"(((("TEXT" "PLAIN" ("CHARSET" "iso-8859-1") NIL NIL "QUOTED-PRINTABLE" 48 2)"
              R"( NIL NIL NIL NIL))"
              R"(("TEXT" "HTML" ("CHARSET" "utf-8") NIL NIL "7BIT" 12 1 NIL NIL NIL NIL))"
              R"( "ALTERNATIVE" ("BOUNDARY" "inner") NIL NIL NIL))"
              R"(("APPLICATION" "PDF" ("NAME" "plan.pdf") NIL NIL "BASE64" 20 NIL)"
              R"( ("attachment" ("FILENAME" "plan.pdf")) NIL NIL))"
              R"( "MIXED" ("BOUNDARY" "outer") NIL NIL NIL))");
}

TEST(FetchRender, BodyOfForwardedMessageNestsItsEnvelopeAndBody) {
    const std::string carol = R"((("Carol" NIL "carol" "example.net")))";
    EXPECT_EQ(
        BodyStructureText(ParseStructure(kForward), false),
        R"((("TEXT" "PLAIN" NIL NIL NIL "7BIT" 10 1))"
        R"(("MESSAGE" "RFC822" NIL NIL NIL "X-UUENCODE" 113)"
        R"( ("Tue, 5 Mar 2024 12:00:00 +0000" "Lunch" )" +
            carol + " " + carol + " " + carol +
            R"( NIL NIL NIL NIL NIL) ("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 24 1))"
            R"( 5) "MIXED"))");
}

TEST(FetchRender, SectionsOfNestedParts) {
    const MessageStructure structure = ParseStructure(kMixed);
    EXPECT_EQ(SectionBytes(kMixed, structure, Section({1, 2})), "<p>Hallo</p>");
    EXPECT_EQ(SectionBytes(kMixed, structure, Section({2}, FetchItem::Text::Mime)),
              "Content-Type: application/pdf; name=\"plan.pdf\"\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "Content-Disposition: attachment; filename=\"plan.pdf\"\r\n"
              "\r\n");
    EXPECT_EQ(SectionBytes(kMixed, structure,
                           Section({}, FetchItem::Text::HeaderFields, {"subject", "FROM", "Cc"})),
              "From: Anna Berg <anna@example.org>\r\n"
              "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= aus \"Berlin\"\r\n"
              "\r\n");
    EXPECT_EQ(SectionBytes(kMixed, structure, Section({3})), std::nullopt);
    EXPECT_EQ(SectionBytes(kMixed, structure, Section({1, 1}, FetchItem::Text::Header)),
              std::nullopt);
}

TEST(FetchRender, SectionsInsideForwardedMessage) {
    const MessageStructure structure = ParseStructure(kForward);
    EXPECT_EQ(SectionBytes(kForward, structure, Section({2}, FetchItem::Text::Header)),
              "From: Carol <carol@example.net>\r\n"
              "Subject: Lunch\r\n"
              "Date: Tue, 5 Mar 2024 12:00:00 +0000\r\n"
              "\r\n");
    EXPECT_EQ(SectionBytes(kForward, structure, Section({2}, FetchItem::Text::Body)),
              "Noon at the usual place?");
    EXPECT_EQ(SectionBytes(kForward, structure, Section({2, 1})), "Noon at the usual place?");
    EXPECT_EQ(SectionBytes(kForward, structure,
                           Section({2}, FetchItem::Text::HeaderFieldsNot, {"from", "date"})),
              "Subject: Lunch\r\n\r\n");
}

TEST(FetchRender, PartialCutsAndClipsToTheBytes) {
    FetchItem item;
    item.partialOffset = 2;
    item.partialLength = 3;
    EXPECT_EQ(ApplyPartial("abcdef", item), "cde");
    item.partialLength = 100;
    EXPECT_EQ(ApplyPartial("abcdef", item), "cdef");
    item.partialOffset = 6;
    EXPECT_EQ(ApplyPartial("abcdef", item), "");
}

TEST(FetchRender, BinaryUndoesTransferEncodings) {
    const MessageStructure mixed = ParseStructure(kMixed);
    FetchItem item = Section({2});
    item.kind = FetchItem::Kind::Binary;
    EXPECT_EQ(BinaryBytes(kMixed, mixed, item), std::string("%PDF-1.4\n%\xc7\xec\x8f\xa2\n"));
    item.part = {1, 1};
    EXPECT_EQ(BinaryBytes(kMixed, mixed, item), std::string("Sch\xf6ne Gr\xfc\xdf"
                                                            "e aus der K\xfc"
                                                            "che. Bis bald!"));
    item.part = {2};
    EXPECT_EQ(BinaryBytes(kForward, ParseStructure(kForward), item), std::nullopt);
}

TEST(FetchRender, SearchDecodesEncodedWordsAndCharsets) {
    const MessageStructure structure = ParseStructure(kMixed);
    EXPECT_TRUE(HeaderMatches(kMixed, structure, "subject", "GRÜSSE AUS"));
    EXPECT_TRUE(HeaderMatches(kMixed, structure, "Message-ID", ""));
    EXPECT_FALSE(HeaderMatches(kMixed, structure, "Cc", ""));
    EXPECT_TRUE(BodyMatches(kMixed, structure, "küche. BIS"));
    EXPECT_FALSE(BodyMatches(kMixed, structure, "PDF")); // attachments are no text
    EXPECT_TRUE(TextMatches(kMixed, structure, "anna@EXAMPLE"));
    EXPECT_FALSE(TextMatches(kMixed, structure, "Grüße aus München"));
}

TEST(FetchRender, SentDateIsTheDayInTheDatesOwnZone) {
    EXPECT_EQ(SentDate(ParseStructure(kForward)), 19787); // 2024-03-05, though UTC is the 6th
    EXPECT_EQ(SentDate(ParseStructure("Date: someday\r\n\r\n")), std::nullopt);
}

} // namespace
} // namespace brevin::imap
