// What RETR and TOP put on the wire for a stored message, fed in every possible cut: no line
// before the end is a lone ".", whether the client splits lines on CR LF or on LF alone.

#include "pop3/message_stream.h"
#include "store/message_size.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace brevin {
namespace {

std::string Wire(std::string_view stored, std::optional<std::uint64_t> lines, std::size_t cut) {
    const std::string_view tail =
        stored.substr(stored.size() - std::min<std::size_t>(5, stored.size()));
    const std::string_view content = stored.substr(0, StoredContentLength(stored.size(), tail));
    MessageStream stream(lines);
    std::string out;
    if (stream.Feed(content.substr(0, std::min(cut, content.size())), out) &&
        cut < content.size()) {
        stream.Feed(content.substr(cut), out);
    }
    return out + std::string(stream.Ending());
}

TEST(MessageStreamTest, RetrievalAndTopEndOnlyAtTheirEndWhereverTheFileIsRead) {
    const struct {
        std::string_view stored;
        std::optional<std::uint64_t> lines;
        std::string_view wire;
    } cases[] = {
        {".\r\n", std::nullopt, ".\r\n"},
        {"a\r\n..b\r\n.\r\n", std::nullopt, "a\r\n..b\r\n.\r\n"}, // stuffed by the sender
        {"x\n.\r\nRETR 2\n.\n\r\n.\r\n", std::nullopt, "x\n..\r\nRETR 2\n..\n\r\n.\r\n"},
        {"by hand, no end", std::nullopt, "by hand, no end\r\n.\r\n"},
        {"by hand\n", std::nullopt, "by hand\n\r\n.\r\n"},
        {"cut in the end\r\n.", std::nullopt, "cut in the end\r\n.\r\n"},
        {"cut in the end\r\n.\r", std::nullopt, "cut in the end\r\n.\r\n"},
        {".\r", std::nullopt, ".\r\n"},
        {"H: 1\r\nH: 2\r\n\r\nb1\r\nb2\r\n.\r\n", 0, "H: 1\r\nH: 2\r\n\r\n.\r\n"},
        {"H: 1\r\n\r\nb1\r\nb2\r\n.\r\n", 1, "H: 1\r\n\r\nb1\r\n.\r\n"},
        {"H: 1\r\n\r\nb1\r\n\n.\nb2\r\n.\r\n", 3, "H: 1\r\n\r\nb1\r\n\n..\n\r\n.\r\n"},
        {"H: 1\r\n\r\nb1\r\n.\r\n", 9, "H: 1\r\n\r\nb1\r\n.\r\n"},
        {"H: only a header\r\n.\r\n", 2, "H: only a header\r\n.\r\n"},
    };
    for (const auto& c : cases) {
        for (std::size_t cut = 0; cut <= c.stored.size(); ++cut) {
            EXPECT_EQ(Wire(c.stored, c.lines, cut), c.wire) << "cut at " << cut;
        }
    }
}

/// What a client that reads CR LF lines holds of a reply: up to the "." line, one leading dot
/// taken off every line.
std::string ClientCopy(std::string_view wire) {
    std::string held;
    for (std::size_t at = 0; at < wire.size();) {
        const std::size_t end = wire.find("\r\n", at);
        std::string_view line = wire.substr(at, end - at);
        if (line == ".") {
            break;
        }
        if (line.starts_with('.')) {
            line.remove_prefix(1);
        }
        held.append(line).append("\r\n");
        at = end + 2;
    }
    return held;
}

// STAT and LIST promise the size the client will hold, measured as the message is stored.
TEST(MessageStreamTest, TheSizeMeasuredAtFilingIsWhatTheClientHolds) {
    for (const std::string_view stored :
         {".\r\n", "a\r\n..b\r\n.\r\n", "x\n.\r\nRETR 2\n.\n\r\n.\r\n", "..\r\n.\r\n",
          "by hand, no end", "by hand\r\n", "", "a\n."}) {
        const std::size_t expected = ClientCopy(Wire(stored, std::nullopt, 0)).size();
        for (std::size_t cut = 0; cut <= stored.size(); ++cut) {
            MessageSizeCounter counter;
            counter.Feed(stored.substr(0, cut));
            counter.Feed(stored.substr(cut));
            EXPECT_EQ(counter.Size(), expected) << "\"" << stored << "\" cut at " << cut;
        }
    }
}

} // namespace
} // namespace brevin
