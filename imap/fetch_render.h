#pragma once

// What FETCH shows of a message and what SEARCH looks at in it, from the message text (the
// MessageText form) and its parsed structure. Pure functions of their arguments: the session
// decides what to answer when something is missing.

#include "imap/imap_parser.h"
#include "store/message_structure.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brevin::imap {

/// ENVELOPE (RFC 9051 §7.5.2): "(date subject from sender reply-to to cc bcc in-reply-to
/// message-id)". Sender and reply-to show from when the message names none.
std::string EnvelopeText(const Envelope& envelope);

/// BODY (`extensible` false) or BODYSTRUCTURE (true, with the extension data). Types,
/// subtypes, encodings and parameter names are upper-cased, values are as written.
std::string BodyStructureText(const MessageStructure& structure, bool extensible);

/// The bytes of BODY[section] before any partial: the whole message or a part's body, HEADER,
/// HEADER.FIELDS (the named fields, every occurrence, in message order, then the blank line),
/// HEADER.FIELDS.NOT, TEXT or MIME. HEADER and TEXT apply to the message itself or to a
/// message/rfc822 part (its embedded message). nullopt for a section the message does not
/// have (no such part; HEADER or TEXT of a part that is no message; MIME without a part).
std::optional<std::string> SectionBytes(std::string_view text, const MessageStructure& structure,
                                        const FetchItem& item);

/// The `<offset.length>` of `item` applied to `bytes` (all of them when it has none); an
/// offset beyond the end gives nothing.
std::string_view ApplyPartial(std::string_view bytes, const FetchItem& item);

/// BINARY[section] (RFC 3516): the part's body with its transfer encoding undone (base64,
/// quoted-printable; 7bit, 8bit and binary as they are); an empty section gives the whole
/// message. nullopt when the part does not exist or its encoding is unknown: the session
/// tells them apart with FindSection and answers NO [UNKNOWN-CTE] for the second.
std::optional<std::string> BinaryBytes(std::string_view text, const MessageStructure& structure,
                                       const FetchItem& item);

// SEARCH's text keys (RFC 9051 §6.4.4) match substrings without regard to case: both sides are
// made valid UTF-8 and case-folded by GLib (Unicode full case folding, so "STRASSE" finds
// "straße"). Encoded words and charsets are decoded first.

/// Whether some top-level field `field` holds `needle` in its value (unfolded, RFC 2047 words
/// decoded). An empty needle matches any message that has the field.
bool HeaderMatches(std::string_view text, const MessageStructure& structure, std::string_view field,
                   std::string_view needle);

/// Whether the body of some text/* part (nested ones included) holds `needle`, after its
/// transfer encoding is undone and its charset converted to UTF-8 (an unknown charset, or text
/// that is not in its charset, is searched as it is).
bool BodyMatches(std::string_view text, const MessageStructure& structure, std::string_view needle);

/// Whether some top-level header field ("Name: decoded value") or the body holds `needle`.
bool TextMatches(std::string_view text, const MessageStructure& structure, std::string_view needle);

/// The Date: header's day in the date's own zone, in days since 1970-01-01 (SENTBEFORE, SENTON,
/// SENTSINCE disregard time and zone); nullopt without a date that can be read.
std::optional<std::int64_t> SentDate(const MessageStructure& structure);

} // namespace brevin::imap
