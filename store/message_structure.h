#pragma once

// The MIME structure of a message, as IMAP's FETCH needs it: the envelope, the body structure
// and, for every part, where its header and body lie in the message text (the MessageText
// form: every offset here counts bytes of that text, never of the stored file).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// One entry of an ENVELOPE address list. A group is bracketed the way IMAP shows it: its
/// start has the group's name in `mailbox` and no host, its end has nothing at all. Strings are
/// as written (RFC 2047 words stay encoded: IMAP hands them to the client as they are).
struct Address {
    std::optional<std::string> name;    ///< the display name, without its quotes
    std::optional<std::string> adl;     ///< the obsolete source route ("@a,@b")
    std::optional<std::string> mailbox; ///< the local part (quotes kept), or a group's name
    /// The domain; empty, not absent, for an address without one, so that it is never taken for
    /// a group's start.
    std::optional<std::string> host;

    [[nodiscard]] bool IsGroupStart() const { return mailbox && !host; }
    [[nodiscard]] bool IsGroupEnd() const { return !name && !adl && !mailbox && !host; }
    bool operator==(const Address&) const = default;
};

/// The fields of IMAP's ENVELOPE. Strings are the header values unfolded and trimmed, not
/// decoded; an absent header is nullopt (NIL). Sender and reply-to stay empty when their
/// headers are absent or name nobody: IMAP wants from shown in their place, which the renderer
/// does (the structure thus says what the message holds, and the cache keeps no copies).
struct Envelope {
    Envelope(); // not inline: value-initialisation would zero the whole struct first
    std::optional<std::string> date;
    std::optional<std::string> subject;
    std::vector<Address> from;
    std::vector<Address> sender;
    std::vector<Address> replyTo;
    std::vector<Address> to;
    std::vector<Address> cc;
    std::vector<Address> bcc;
    std::optional<std::string> inReplyTo;
    std::optional<std::string> messageId;

    bool operator==(const Envelope&) const = default;
};

/// A Content-Type or Content-Disposition parameter. RFC 2231 continuations are joined and
/// their charset decoded to UTF-8; GMime also decodes RFC 2047 words inside values and offers
/// no way to keep them, so values may hold UTF-8.
struct Parameter {
    std::string name;
    std::string value;

    bool operator==(const Parameter&) const = default;
};

/// One node of the body structure. Its header is text[headerStart, bodyStart) including the
/// blank line that ends it; its body is text[bodyStart, end). A multipart's body runs from its
/// header to its end, preamble, delimiters and epilogue included.
struct BodyPart {
    BodyPart();                // not inline: value-initialisation would zero the whole struct first
    std::string type = "text"; ///< as written ("TEXT" stays "TEXT"): IMAP quotes it as is
    std::string subtype = "plain"; ///< as written
    std::vector<Parameter> parameters;
    std::optional<std::string> id;          ///< Content-ID
    std::optional<std::string> description; ///< Content-Description, not decoded
    std::string encoding = "7BIT";          ///< Content-Transfer-Encoding as written
    std::uint64_t headerStart = 0;
    std::uint64_t bodyStart = 0;
    std::uint64_t end = 0;
    /// Lines of the body for text/* and message/rfc822 (a last line without its line end
    /// counts), else 0.
    std::uint64_t lines = 0;
    std::optional<std::string> md5;         ///< Content-MD5
    std::optional<std::string> disposition; ///< "attachment", "inline", ... as written
    std::vector<Parameter> dispositionParameters;
    std::vector<std::string> language; ///< Content-Language, one entry per tag
    std::optional<std::string> location;
    /// message/rfc822 (and message/global): the embedded message's envelope; its body is the
    /// only child, whose header is the embedded message's header.
    std::optional<Envelope> envelope;
    /// A multipart's parts (at least one), or a message/rfc822's embedded body.
    std::vector<BodyPart> children;

    [[nodiscard]] std::uint64_t Size() const { return end - bodyStart; }
    [[nodiscard]] bool IsMultipart() const;
    [[nodiscard]] bool IsMessage() const; ///< message/rfc822 or message/global, with its child
    /// The value of parameter `name` (compared without letter case), or nullopt.
    [[nodiscard]] std::optional<std::string_view> ParameterValue(std::string_view name) const;

    bool operator==(const BodyPart&) const = default;
};

/// A message's structure: `body` is the whole message, header from offset 0.
struct MessageStructure {
    Envelope envelope;
    BodyPart body;
    std::uint64_t size = 0; ///< RFC822.SIZE: the text's length

    bool operator==(const MessageStructure&) const = default;
};

/// Deeper nesting than this is taken for text/plain, and parts beyond the count limit are not
/// split off: hostile mail gets a plausible structure without exhausting stack or memory.
inline constexpr unsigned kMaxMimeDepth = 64;
inline constexpr std::size_t kMaxMimeParts = 10'000;

/// The structure of the message `text` (the MessageText form). Never fails: broken MIME gets
/// the closest plausible structure (a part without Content-Type is text/plain; charset
/// us-ascii; a multipart without its closing delimiter ends at its parent's end).
MessageStructure ParseStructure(std::string_view text);

/// The part a section number names (BODY[1.2.3]), by IMAP's rules: a multipart's parts count
/// from 1; a body that is not multipart is its own part 1; after a message/rfc822 part the
/// numbers count in its embedded body. An empty path names the whole message. nullptr when no
/// part has that number.
const BodyPart* FindSection(const MessageStructure& structure, std::span<const unsigned> path);

/// A compact, versioned binary form of `structure`, for the structure cache.
std::string Serialize(const MessageStructure& structure);
/// Reads what Serialize wrote; nullopt for anything else (checked against its own length, so
/// damaged input never makes it read or allocate beyond it).
std::optional<MessageStructure> Deserialize(std::string_view bytes);

} // namespace brevin
