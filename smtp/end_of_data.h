#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace brevin {

/// Finds the end of SMTP message data: CR LF "." CR LF, where the first CR LF may be the one that
/// ended the DATA command, so a message of only "." CR LF ends at once. The sequence may arrive
/// split across any number of reads; the matcher keeps the state between them. Bytes are not
/// copied or kept.
class EndOfDataMatcher {
public:
    /// Looks at the next bytes of the data. Returns how many of them belong to the message, the
    /// end sequence included, once it has been seen; nothing while the data goes on.
    std::optional<std::size_t> Feed(std::string_view bytes);
    /// Starts over, for the next message.
    void Reset() { m_matched = kStartState; }

private:
    static constexpr std::string_view kEnd = "\r\n.\r\n";
    static constexpr std::size_t kStartState = 2; // the CR LF that ended DATA

    /// The number of end-sequence bytes matched after one more byte.
    static std::size_t Step(std::size_t matched, char c);

    std::size_t m_matched = kStartState;
};

} // namespace brevin
