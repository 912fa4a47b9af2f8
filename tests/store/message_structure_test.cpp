#include "store/message_structure.h"

#include <gtest/gtest.h>
#include <vector>

namespace brevin {
namespace {

std::string_view Header(std::string_view text, const BodyPart& part) {
    return text.substr(part.headerStart, part.bodyStart - part.headerStart);
}

std::string_view Body(std::string_view text, const BodyPart& part) {
    return text.substr(part.bodyStart, part.Size());
}

const BodyPart& Section(const MessageStructure& structure, std::vector<unsigned> path) {
    const BodyPart* part = FindSection(structure, path);
    if (part == nullptr) {
        throw std::runtime_error("no such section");
    }
    return *part;
}

constexpr std::string_view kForwarded =
    "From: Anna <anna@office.lan>\r\n"
    "To: Team: bob@office.lan, \"Carl C.\" <carl@office.lan>;, dora@office.lan\r\n"
    "Subject: =?utf-8?q?B=C3=BCro?=\r\n"
    "  plans\r\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--outer\r\n"
    "Content-Type: multipart/alternative; boundary=inner\r\n"
    "\r\n"
    "--inner\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "\r\n"
    "plain line 1\r\n"
    "plain line 2\r\n"
    "--inner\r\n"
    "Content-Type: TEXT/HTML\r\n"
    "\r\n"
    "<p>html</p>\r\n"
    "--inner--\r\n"
    "--outer\r\n"
    "Content-Type: application/pdf\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment;\r\n"
    " filename*0*=utf-8''Gr%C3%BC; filename*1*=%C3%9Fe.pdf\r\n"
    "\r\n"
    "JVBERi0=\r\n"
    "--outer\r\n"
    "Content-Type: message/rfc822\r\n"
    "\r\n"
    "From: Eve <eve@x.org>\r\n"
    "Subject: inner\r\n"
    "\r\n"
    "forwarded body\r\n"
    "--outer--\r\n"
    "epilogue\r\n";

TEST(MessageStructureTest, SectionsOfAForwardWithAnAttachmentSliceTheirOwnBytes) {
    const MessageStructure s = ParseStructure(kForwarded);
    EXPECT_EQ(s.size, kForwarded.size());
    EXPECT_EQ(s.envelope.subject, "=?utf-8?q?B=C3=BCro?=  plans"); // unfolded, not decoded
    ASSERT_EQ(s.envelope.from.size(), 1u);
    EXPECT_EQ(s.envelope.from[0].name, "Anna");
    EXPECT_EQ(s.envelope.from[0].mailbox, "anna");
    EXPECT_EQ(s.envelope.from[0].host, "office.lan");
    EXPECT_TRUE(s.envelope.sender.empty()); // the renderer shows from in its place
    ASSERT_EQ(s.envelope.to.size(), 5u);    // group start, two members, group end, dora
    EXPECT_TRUE(s.envelope.to[0].IsGroupStart());
    EXPECT_EQ(s.envelope.to[0].mailbox, "Team");
    EXPECT_EQ(s.envelope.to[2].name, "Carl C.");
    EXPECT_TRUE(s.envelope.to[3].IsGroupEnd());
    EXPECT_EQ(s.envelope.to[4].mailbox, "dora");

    EXPECT_EQ(Header(kForwarded, s.body), kForwarded.substr(0, kForwarded.find("preamble")));
    const BodyPart& plain = Section(s, {1, 1});
    EXPECT_EQ(Header(kForwarded, plain), "Content-Type: text/plain; charset=utf-8\r\n\r\n");
    EXPECT_EQ(Body(kForwarded, plain),
              "plain line 1\r\nplain line 2"); // its CR LF is the delimiter's
    EXPECT_EQ(plain.lines, 2u);
    const BodyPart& html = Section(s, {1, 2});
    EXPECT_EQ(html.type, "TEXT");
    EXPECT_EQ(Body(kForwarded, html), "<p>html</p>");
    EXPECT_EQ(Body(kForwarded, Section(s, {1})).substr(0, 9), "--inner\r\n");

    const BodyPart& pdf = Section(s, {2});
    EXPECT_EQ(pdf.encoding, "base64");
    EXPECT_EQ(pdf.disposition, "attachment");
    ASSERT_EQ(pdf.dispositionParameters.size(), 1u);
    EXPECT_EQ(pdf.dispositionParameters[0].value, "Grüße.pdf");
    EXPECT_EQ(Body(kForwarded, pdf), "JVBERi0=");

    const BodyPart& forward = Section(s, {3});
    ASSERT_TRUE(forward.IsMessage());
    EXPECT_EQ(forward.envelope->subject, "inner");
    EXPECT_EQ(forward.lines, 4u);
    EXPECT_EQ(Header(kForwarded, forward.children[0]),
              "From: Eve <eve@x.org>\r\nSubject: inner\r\n\r\n");
    // The forward's body is not multipart, so section 3.1 names it.
    EXPECT_EQ(Body(kForwarded, Section(s, {3, 1})), "forwarded body");
    EXPECT_EQ(FindSection(s, std::vector<unsigned>{3, 2}), nullptr);
    EXPECT_EQ(FindSection(s, std::vector<unsigned>{4}), nullptr);
    EXPECT_EQ(FindSection(s, std::vector<unsigned>{2, 1}), nullptr);
}

TEST(MessageStructureTest, AMultipartWithoutItsClosingDelimiterStillHasItsParts) {
    const std::string_view text = "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                                  "--b\r\n\r\none\r\n--b\r\nContent-Type: text/html\r\n\r\ntwo\r\n";
    const MessageStructure s = ParseStructure(text);
    ASSERT_EQ(s.body.children.size(), 2u);
    EXPECT_EQ(Body(text, s.body.children[0]), "one");
    EXPECT_EQ(s.body.children[0].ParameterValue("charset"), "us-ascii"); // no Content-Type
    EXPECT_EQ(Body(text, s.body.children[1]), "two\r\n");
}

TEST(MessageStructureTest, AMessageWithoutHeaderIsAllBody) {
    const MessageStructure blank = ParseStructure("\r\njust text\r\n");
    EXPECT_EQ(blank.body.bodyStart, 2u);
    EXPECT_EQ(blank.body.lines, 1u);
    EXPECT_FALSE(blank.envelope.from.size());
    // Not even the blank line: the first line is no header field, so the body starts there.
    const MessageStructure bare = ParseStructure("just text\r\nmore\r\n");
    EXPECT_EQ(bare.body.bodyStart, 0u);
    EXPECT_EQ(bare.body.lines, 2u);
}

TEST(MessageStructureTest, ASinglePartMessageIsItsOwnPartOne) {
    const std::string_view text = "Subject: x\r\n\r\nbody\r\n";
    const MessageStructure s = ParseStructure(text);
    EXPECT_EQ(&Section(s, {1}), &s.body);
    EXPECT_EQ(FindSection(s, std::vector<unsigned>{1, 1}), nullptr);
    EXPECT_EQ(FindSection(s, std::vector<unsigned>{2}), nullptr);
    EXPECT_EQ(Body(text, s.body), "body\r\n");
}

TEST(MessageStructureTest, EveryCutOfTheSerialisedFormIsRefused) {
    const std::string bytes = Serialize(ParseStructure(kForwarded));
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        EXPECT_FALSE(Deserialize(std::string_view(bytes).substr(0, length))) << length;
    }
    EXPECT_FALSE(Deserialize(bytes + '\0')); // trailing bytes are damage too
}

TEST(MessageStructureTest, StrayPunctuationInAnAddressIsSkipped) {
    // A ")" without its "(" once stalled the address reader for good.
    const MessageStructure s = ParseStructure("To: a@b.c ), d@e.f\r\n\r\n");
    ASSERT_EQ(s.envelope.to.size(), 2u);
    EXPECT_EQ(s.envelope.to[1].mailbox, "d");
}

TEST(MessageStructureTest, NestingBeyondTheLimitBecomesText) {
    std::string text;
    for (int i = 0; i < 200; ++i) {
        text += "Content-Type: message/rfc822\r\n\r\n";
    }
    const MessageStructure s = ParseStructure(text);
    const BodyPart* part = &s.body;
    unsigned depth = 0;
    while (!part->children.empty()) {
        part = &part->children[0];
        ++depth;
    }
    EXPECT_EQ(depth, kMaxMimeDepth);
    EXPECT_EQ(part->type, "text");
    EXPECT_EQ(Deserialize(Serialize(s)), s);
}

} // namespace
} // namespace brevin
