// The event log's lines as scripts and fail2ban read them: one line per event, values that
// cannot be forged into more keys or lines, failures written at every level.

#include "base/log.h"

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

} // namespace
} // namespace brevin
