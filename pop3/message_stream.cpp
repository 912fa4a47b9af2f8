#include "pop3/message_stream.h"

#include <cstring>

namespace brevin {

namespace {

constexpr std::string_view kEnd = "\r\n.\r\n";

} // namespace

std::uint64_t StoredContentLength(std::uint64_t size, std::string_view tail) {
    // The "." line, or the start of one that a file put into the folder by hand stops in.
    // DATA's CR LF comes before the first line, so a file may begin with it.
    for (std::size_t cut = 3; cut > 0; --cut) {
        const std::string_view end = kEnd.substr(0, 2 + cut);
        if ((size >= end.size() && tail.ends_with(end)) || (size == cut && tail == end.substr(2))) {
            return size - cut; // the content keeps the CR LF before the "." line
        }
    }
    return size; // all of it is content
}

bool MessageStream::Count(char c) {
    if (!m_bodyLinesLeft) {
        return true;
    }
    if (m_inHeader) {
        if (c == '\n') {
            m_inHeader = !m_lineEmpty; // the blank line ends the header and is sent with it
            m_lineEmpty = true;
        } else if (c != '\r') {
            m_lineEmpty = false;
        }
        return true;
    }
    if (*m_bodyLinesLeft == 0) {
        return false;
    }
    if (c == '\n') {
        --*m_bodyLinesLeft;
    }
    return true;
}

bool MessageStream::Feed(std::string_view content, std::string& out) {
    if (m_done) {
        return false;
    }
    std::size_t from = 0;
    for (std::size_t at = 0; at < content.size(); ++at) {
        const char c = content[at];
        if (!Count(c)) {
            m_done = true;
            content = content.substr(0, at);
            break;
        }
        if (c == '.' && m_last == '\n' && m_beforeLast != '\r') {
            out.append(content.substr(from, at - from));
            out += '.';
            from = at;
        }
        m_beforeLast = m_last;
        m_last = c;
        if (!m_bodyLinesLeft && c != '\n') {
            // The whole message: only a LF can start what needs a look, so skip to the next one.
            const void* lf = std::memchr(content.data() + at + 1, '\n', content.size() - at - 1);
            const std::size_t next =
                lf == nullptr
                    ? content.size()
                    : static_cast<std::size_t>(static_cast<const char*>(lf) - content.data());
            if (next > at + 1) {
                m_beforeLast = content[next - 2];
                m_last = content[next - 1];
                at = next - 1;
            }
        }
    }
    out.append(content.substr(from));
    return !m_done;
}

std::string_view MessageStream::Ending() const {
    // Reuses as much of CR LF "." CR LF as the content already ends with.
    const char tail[2] = {m_beforeLast, m_last};
    if (tail[1] == '\n' && tail[0] == '\r') {
        return kEnd.substr(2);
    }
    if (tail[1] == '\r') {
        return kEnd.substr(1);
    }
    return kEnd;
}

} // namespace brevin
