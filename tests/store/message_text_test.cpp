#include "store/message_size.h"
#include "store/message_text.h"

#include <gtest/gtest.h>

namespace brevin {
namespace {

TEST(MessageTextTest, UnstuffsLikeTheSizeCounterCounts) {
    struct Case {
        std::string_view stored;
        std::string_view text;
    };
    const Case cases[] = {
        {"a\r\n..b\r\n.\r\n", "a\r\n.b\r\n"},
        {".x\r\n.\r\n", "x\r\n"},               // the first line is a line too
        {"a\nb\n.c\r\n.\r\n", "a\nb\n..c\r\n"}, // a bare LF's dot is doubled on retrieval
        {"\n.\r\n", "\n..\r\n"},                // too short for a terminator
        {".\r\n", ""},
        {"", ""},
        {"by hand", "by hand\r\n"},
        {"by hand\r\n", "by hand\r\n"},
        {"by hand\n", "by hand\n\r\n"},
    };
    for (const Case& c : cases) {
        const std::string text = MessageText(c.stored);
        EXPECT_EQ(text, c.text) << c.stored;
        MessageSizeCounter counter;
        counter.Feed(c.stored);
        EXPECT_EQ(text.size(), counter.Size()) << c.stored;
    }
}

TEST(MessageTextTest, AnAppendedTextIsStoredStuffedAndReadBackNormalised) {
    const std::string stored = StoredForm("a\nb\r.c\r\n.");
    EXPECT_EQ(stored, "a\r\nb\r\n..c\r\n..\r\n.\r\n");
    EXPECT_EQ(MessageText(stored), "a\r\nb\r\n.c\r\n.\r\n");
}

} // namespace
} // namespace brevin
