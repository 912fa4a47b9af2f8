#include "store/message_size.h"

#include <cstring>

namespace brevin {

void MessageSizeCounter::Feed(std::string_view bytes) {
    const auto before = [&](std::size_t at, std::size_t back) -> char {
        // The byte `back` places before bytes[at], from this piece or the ones before it.
        if (at >= back) {
            return bytes[at - back];
        }
        const std::size_t fromTail = back - at;
        return fromTail <= static_cast<std::size_t>(m_lastCount)
                   ? m_last[static_cast<std::size_t>(m_lastCount) - fromTail]
                   : '\0';
    };
    // Only a "." right after a LF counts, by what precedes the LF: hop from LF to LF (a piece
    // may begin right after one).
    const auto dotAt = [&](std::size_t at) {
        if (before(at, 2) == '\r') {
            ++m_lineDots;
        } else {
            ++m_addedDots;
        }
    };
    if (!bytes.empty() && bytes[0] == '.' && before(0, 1) == '\n') {
        dotAt(0);
    }
    for (std::size_t lf = bytes.find('\n'); lf != std::string_view::npos;
         lf = bytes.find('\n', lf + 1)) {
        if (lf + 1 < bytes.size() && bytes[lf + 1] == '.') {
            dotAt(lf + 1);
        }
    }
    m_bytes += bytes.size();
    // Keep the last five bytes, for the next piece and for recognising the terminator.
    char joined[10];
    std::memcpy(joined, m_last, static_cast<std::size_t>(m_lastCount));
    const std::size_t take = bytes.size() < 5 ? bytes.size() : 5;
    std::memcpy(joined + m_lastCount, bytes.data() + bytes.size() - take, take);
    const std::size_t total = static_cast<std::size_t>(m_lastCount) + take;
    m_lastCount = static_cast<int>(total < 5 ? total : 5);
    std::memcpy(m_last, joined + total - static_cast<std::size_t>(m_lastCount),
                static_cast<std::size_t>(m_lastCount));
}

std::uint64_t MessageSizeCounter::Size() const {
    std::uint64_t size = m_bytes + m_addedDots - m_lineDots;
    // The final "." line is no part of the message (its dot was counted as a line's).
    const bool terminated =
        m_bytes >= 3 && m_lastCount == 5 && std::memcmp(m_last, "\r\n.\r\n", 5) == 0;
    if (terminated) {
        return size + 1 - 3;
    }
    // A file put into the folder by hand: the reply's end closes its last line.
    const bool lineEnded =
        m_lastCount >= 2 && m_last[m_lastCount - 2] == '\r' && m_last[m_lastCount - 1] == '\n';
    return m_bytes == 0 || lineEnded ? size : size + 2;
}

} // namespace brevin
