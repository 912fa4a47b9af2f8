#pragma once

#include <cstdint>
#include <string_view>

namespace brevin {

/// Measures a stored message as a POP3 client will hold it: a message is stored as its SMTP
/// data, dot-stuffed and ending with CR LF "." CR LF, and retrieved with a "." added before
/// any "." that follows a bare LF. The client's copy lacks the final "." line and one dot of
/// every line (after CR LF) that begins with ".", and keeps the added dots, which sit inside
/// its CR LF lines. Fed the stored bytes in any pieces.
class MessageSizeCounter {
public:
    void Feed(std::string_view bytes);
    /// The client's size of everything fed so far, read as a whole message.
    [[nodiscard]] std::uint64_t Size() const;

private:
    std::uint64_t m_bytes = 0;
    std::uint64_t m_lineDots = 0;  // lines (after CR LF, or the first) that begin with "."
    std::uint64_t m_addedDots = 0; // "." after a bare LF, doubled on the way out
    char m_last[5] = {'\r', '\n'}; // the last bytes seen; the message starts a line
    int m_lastCount = 2;
};

} // namespace brevin
