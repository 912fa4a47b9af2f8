#pragma once

// A message as a client holds it, and back. The store keeps each message as its SMTP data:
// dot-stuffed, ending with CR LF "." CR LF. Clients see the unstuffed text; IMAP's offsets,
// sizes and sections all count bytes of that text.

#include <string>
#include <string_view>

namespace brevin {

/// The message exactly as a POP3 client holds it, the bytes MessageSizeCounter counts: one dot
/// less on every line (after CR LF, or the first) that begins with ".", one "." more after a
/// bare LF followed by ".", no final "." line. Stored bytes without that terminator which do
/// not end in CR LF get one.
std::string MessageText(std::string_view stored);

/// Reads the stored file `fd` from its start (it need not be at its start) and converts it
/// with MessageText. False with errno set.
bool ReadMessageText(int fd, std::string& text);

/// `text` with every bare LF and bare CR made CR LF, and a last line without CR LF given one:
/// a normalisation, so what a client appended is not kept byte for byte.
std::string NormalisedText(std::string_view text);

/// The stored form of a message a client hands over whole (IMAP APPEND): normalised as
/// NormalisedText does, dot-stuffed, with ".\r\n" appended. MessageText gives back the
/// normalised text.
std::string StoredForm(std::string_view text);

} // namespace brevin
