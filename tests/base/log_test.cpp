// The event log's lines as scripts and fail2ban read them: one line per event, values that
// cannot be forged into more keys or lines, failures written at every level.

#include "base/log.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace brevin {
namespace {

TEST(LogTest, LinesAreParseableWhateverTheValuesAndFailuresAlwaysShow) {
    std::vector<std::string> lines;
    LogEvent::SetSink([&](std::string_view line, bool) { lines.emplace_back(line); });
    LogEvent::SetLevel(LogLevel::Normal);
    LogEvent("smtp", "connect").Add("client", "192.0.2.7:51514").Add("session", 17);
    LogEvent("smtp", "helo").Add("name", "evil failed=no\r\npop3 login user=x").Failed();
    LogEvent("pop3", "command", LogLevel::Debug).Add("line", "STAT");
    LogEvent("smtp", "sender").Add("from", "");
    LogEvent::SetLevel(LogLevel::Quiet);
    LogEvent("smtp", "close").Add("session", 17);
    LogEvent("store", "error").Add("path", "a\"b\\c").Failed();
    LogEvent::SetSink({});
    LogEvent::SetLevel(LogLevel::Normal);

    EXPECT_EQ(lines, (std::vector<std::string>{
                         "smtp connect client=192.0.2.7:51514 session=17",
                         "smtp helo name=\"evil failed=no\\x0d\\x0apop3 login user=x\" failed=yes",
                         "smtp sender from=\"\"",
                         "smtp close session=17", // the sink sees it; stderr does not
                         "store error path=\"a\\\"b\\\\c\" failed=yes",
                     }));
}

TEST(LogTest, BytesATerminalCouldObeyAreEscapedAndValidUtf8IsKept) {
    std::vector<std::string> lines;
    LogEvent::SetSink([&](std::string_view line, bool) { lines.emplace_back(line); });
    LogEvent("smtp", "helo").Add("name", "caf\xc3\xa9"); // é
    LogEvent("smtp", "helo")
        .Add("name", "a\x9b"
                     "31m"); // a lone C1 byte
    LogEvent("smtp", "helo")
        .Add("name", "b\xc2\x9b"
                     "31m");                                      // C1 as UTF-8
    LogEvent("smtp", "helo").Add("name", "\xe2\x82");             // a cut sequence
    LogEvent("smtp", "helo").Add("name", "\xc0\xaf\xed\xa0\x80"); // overlong, surrogate
    LogEvent::SetSink({});

    EXPECT_EQ(lines, (std::vector<std::string>{
                         "smtp helo name=caf\xc3\xa9",
                         "smtp helo name=\"a\\x9b31m\"",
                         "smtp helo name=\"b\\xc2\\x9b31m\"",
                         "smtp helo name=\"\\xe2\\x82\"",
                         "smtp helo name=\"\\xc0\\xaf\\xed\\xa0\\x80\"",
                     }));
}

TEST(LogTest, LongValuesAreCutWithTheirLengthKept) {
    std::vector<std::string> lines;
    LogEvent::SetSink([&](std::string_view line, bool) { lines.emplace_back(line); });
    LogEvent("smtp", "recipient").Add("to", std::string(2990, 'x')).Add("session", 3);
    // Not inside a UTF-8 sequence: a cut there would leave a broken one.
    LogEvent("smtp", "recipient").Add("to", std::string(255, 'y') + "\xc3\xa9" + "zz");
    LogEvent::SetSink({});

    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "smtp recipient to=" + std::string(LogEvent::kMostValueBytes, 'x') +
                            " to_bytes=2990 session=3");
    EXPECT_EQ(lines[1], "smtp recipient to=" + std::string(255, 'y') + " to_bytes=259");
}

TEST(LogTest, AClientRepeatingItselfIsHeldToItsBudgetButFailedLoginsAlwaysShow) {
    std::vector<std::string> lines;
    LogEvent::SetSink([&](std::string_view line, bool) { lines.emplace_back(line); });
    for (int i = 0; i < 50; ++i) {
        LogEvent("smtp", "recipient").Budgeted("192.0.2.66").Add("n", static_cast<unsigned>(i));
        LogEvent("pop3", "login").Add("user", "ann").Add("client", "192.0.2.66:4000").Failed();
    }
    LogEvent("smtp", "recipient").Budgeted("192.0.2.7").Add("n", 0U);
    LogEvent::SetSink({});

    const auto count = [&](std::string_view prefix) {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.starts_with(prefix); });
    };
    EXPECT_EQ(count("smtp recipient n="), LogEvent::kClientLinesPerSecond + 1);
    EXPECT_EQ(count("pop3 login user=ann"), 50);
    EXPECT_EQ(lines.back(), "smtp recipient n=0"); // another client has a budget of its own
}

} // namespace
} // namespace brevin
