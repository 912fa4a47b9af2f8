#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brevin {

/// How much of a stored message is its content: a message is stored as its SMTP data, which
/// ends with the "." line (a file put into the folder by hand may stop within it, or lack it).
/// `size` is the file's size and `tail` its last (up to five) bytes.
std::uint64_t StoredContentLength(std::uint64_t size, std::string_view tail);

/// Turns the content of a stored message into the body of a RETR or TOP reply, piece by piece.
///
/// The stored bytes go out as they are, except that a "." which begins a line after a bare LF
/// gets a second "." in front: a client that splits lines on LF alone would otherwise take a
/// lone "." for the end of the reply and read the rest of the message as the answers to its
/// next commands. Lines after CR LF were dot-stuffed by the sender already. `Ending` then
/// closes the reply so that it ends with CR LF "." CR LF, whatever the content ended with.
class MessageStream {
public:
    /// `bodyLines`: TOP's count of body lines after the header and its blank line; nothing for
    /// the whole message.
    explicit MessageStream(std::optional<std::uint64_t> bodyLines = std::nullopt)
        : m_bodyLinesLeft(bodyLines) {}

    /// Appends to `out` what the next bytes of content become on the wire. Returns false once
    /// TOP has all it wants; the rest of the content is not needed.
    bool Feed(std::string_view content, std::string& out);
    /// What must follow everything fed so far to end the reply.
    [[nodiscard]] std::string_view Ending() const;

private:
    /// One byte's effect on TOP's line count; false when the byte is past what TOP sends.
    bool Count(char c);

    std::optional<std::uint64_t> m_bodyLinesLeft;
    bool m_inHeader = true;
    bool m_lineEmpty = true; // nothing but a CR on the current line so far
    bool m_done = false;
    char m_last = '\n'; // the status line's LF precedes the content
    char m_beforeLast = '\r';
};

} // namespace brevin
