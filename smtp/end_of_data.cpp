#include "smtp/end_of_data.h"

#include <algorithm>

namespace brevin {

std::size_t EndOfDataMatcher::Step(std::size_t matched, char c) {
    // The longest prefix of the end sequence that the bytes seen so far end with. Only a CR
    // can start the sequence again, so a mismatch falls back to 1 (on CR) or 0.
    if (c == kEnd[matched]) {
        return matched + 1;
    }
    return c == '\r' ? 1 : 0;
}

std::optional<std::size_t> EndOfDataMatcher::Feed(std::string_view bytes) {
    std::size_t at = 0;
    // A sequence begun in earlier reads is finished or broken within its first few bytes.
    while (m_matched != 0 && at < bytes.size()) {
        m_matched = Step(m_matched, bytes[at++]);
        if (m_matched == kEnd.size()) {
            Reset();
            return at;
        }
    }
    if (const auto found = bytes.find(kEnd, at); found != std::string_view::npos) {
        Reset();
        return found + kEnd.size();
    }
    // No prefix of the sequence ends before `at` (the state there was 0), so one that reaches
    // the end of these bytes starts within their last four.
    for (at = std::max(at, bytes.size() - std::min(bytes.size(), kEnd.size() - 1));
         at < bytes.size(); ++at) {
        m_matched = Step(m_matched, bytes[at]);
    }
    return std::nullopt;
}

} // namespace brevin
