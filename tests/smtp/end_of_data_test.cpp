// The end of message data, fed in every possible cut: wherever the reads split the bytes, the
// data ends exactly after the first CR LF "." CR LF (counting the CR LF that ended DATA).

#include "smtp/end_of_data.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>

namespace brevin {
namespace {

/// Feeds `data` in pieces cut at `first` and `second`; the end found, counted from the start.
std::optional<std::size_t> EndWhenCut(std::string_view data, std::size_t first,
                                      std::size_t second) {
    EndOfDataMatcher matcher;
    std::size_t offset = 0;
    for (const std::size_t cut : {first, second, data.size()}) {
        if (const auto used = matcher.Feed(data.substr(offset, cut - offset))) {
            return offset + *used;
        }
        offset = cut;
    }
    return std::nullopt;
}

TEST(EndOfDataTest, EndsAtTheFirstTerminatorWhereverTheReadsSplitIt) {
    const struct {
        std::string_view data;
        std::optional<std::size_t> end;
    } cases[] = {
        {".\r\n", 3},                                    // nothing but the end
        {"Subject: x\r\n\r\nbody\r\n.\r\nQUIT\r\n", 23}, // commands follow
        {"a\r\n..\r\n.x\r\n\r\r\n.\r\n", 17},            // stuffed and look-alike lines
        {"a\n.\nb\r\n.\n\r\n.\r\n", 14},                 // bare LF never ends the data
        {"\r\n.\r\r\n.\r\n", 9},                         // a CR that restarts the sequence
        {"no end\r\n.", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        for (std::size_t first = 0; first <= c.data.size(); ++first) {
            for (std::size_t second = first; second <= c.data.size(); ++second) {
                EXPECT_EQ(EndWhenCut(c.data, first, second), c.end)
                    << "cut at " << first << " and " << second << " of \"" << c.data << "\"";
            }
        }
    }
}

TEST(EndOfDataTest, StartsOverForTheNextMessage) {
    EndOfDataMatcher matcher;
    EXPECT_EQ(matcher.Feed("one\r\n.\r"), std::nullopt);
    matcher.Reset();
    EXPECT_EQ(matcher.Feed("\n.\r\n"), std::nullopt) << "the half sequence is forgotten";
    EXPECT_EQ(matcher.Feed("x\r\n.\r\n"), 6U);
    EXPECT_EQ(matcher.Feed(".\r\n"), 3U) << "after an end, DATA's CR LF counts again";
}

} // namespace
} // namespace brevin
