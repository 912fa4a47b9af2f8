#include "store/message_structure.h"

#include <gmime/gmime.h>
#include <mutex>

namespace brevin {

namespace {

// GMime parses the Content-Type and Content-Disposition values (RFC 2231 continuations and
// charsets). The part boundaries are found here: GMime's parser reports offsets only for
// header fields and leaf contents, not for the headers and bodies of multiparts or of parts
// without header fields, which IMAP's sections need.
void InitGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r' || s.front() == '\n')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

/// A header value with its folds taken out (RFC 5322 unfolding) and trimmed.
std::string Unfold(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (const char c : raw) {
        if (c != '\r' && c != '\n') {
            out += c;
        }
    }
    return std::string(Trim(out));
}

struct HeaderField {
    std::string_view name;
    std::string_view value; // raw: folded, as in the text
};

struct HeaderBlock {
    std::vector<HeaderField> fields;
    std::size_t bodyStart = 0;

    [[nodiscard]] std::optional<std::string> Find(std::string_view name) const {
        for (const HeaderField& field : fields) {
            if (EqualNoCase(field.name, name)) {
                return Unfold(field.value);
            }
        }
        return std::nullopt;
    }
};

/// The end of the line starting at `at` (after its LF), or `end`.
std::size_t LineEnd(std::string_view text, std::size_t at, std::size_t end) {
    const std::size_t lf = text.substr(0, end).find('\n', at);
    return lf == std::string_view::npos ? end : lf + 1;
}

/// The header fields of text[start, end). They end at a blank line, which belongs to the
/// header, or before the first line that is neither a field nor a fold of one: that line is
/// already the body.
HeaderBlock ParseHeader(std::string_view text, std::size_t start, std::size_t end) {
    HeaderBlock block;
    std::size_t at = start;
    while (at < end) {
        const std::size_t next = LineEnd(text, at, end);
        const std::string_view line = text.substr(at, next - at);
        if (line == "\r\n" || line == "\n") {
            block.bodyStart = next;
            return block;
        }
        if (IsBlank(line[0]) && !block.fields.empty()) {
            HeaderField& last = block.fields.back();
            const auto from = static_cast<std::size_t>(last.value.data() - text.data());
            last.value = text.substr(from, next - from);
            at = next;
            continue;
        }
        std::size_t colon = 0;
        while (colon < line.size() && line[colon] > ' ' && line[colon] < 127 &&
               line[colon] != ':') {
            ++colon;
        }
        std::size_t nameEnd = colon;
        while (colon < line.size() && IsBlank(line[colon])) {
            ++colon;
        }
        if (nameEnd == 0 || colon == line.size() || line[colon] != ':') {
            break;
        }
        block.fields.push_back({line.substr(0, nameEnd), line.substr(colon + 1)});
        at = next;
    }
    block.bodyStart = at;
    return block;
}

// ---- Addresses, kept as written (GMime's address parser decodes RFC 2047 names) ----

struct Token {
    enum Kind { Word, Quoted, Literal, Punct } kind;
    std::string text;
};

std::vector<Token> Tokenize(std::string_view s) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (IsBlank(c) || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '(') { // comments are no part of any ENVELOPE field
            int depth = 0;
            for (; i < s.size(); ++i) {
                if (s[i] == '\\') {
                    ++i;
                } else if (s[i] == '(') {
                    ++depth;
                } else if (s[i] == ')' && --depth == 0) {
                    ++i;
                    break;
                }
            }
        } else if (c == '"') {
            std::string text;
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] == '\\' && i + 1 < s.size()) {
                    ++i;
                }
                text += s[i];
            }
            ++i;
            tokens.push_back({Token::Quoted, std::move(text)});
        } else if (c == '[') {
            const std::size_t close = s.find(']', i);
            const std::size_t stop = close == std::string_view::npos ? s.size() : close + 1;
            tokens.push_back({Token::Literal, std::string(s.substr(i, stop - i))});
            i = stop;
        } else if (std::string_view("<>@,;:.").find(c) != std::string_view::npos) {
            tokens.push_back({Token::Punct, std::string(1, c)});
            ++i;
        } else {
            const std::size_t start = i;
            while (i < s.size() && !IsBlank(s[i]) && s[i] != '\r' && s[i] != '\n' &&
                   std::string_view("()<>@,;:.\"[").find(s[i]) == std::string_view::npos) {
                ++i;
            }
            if (i == start) { // a stray ")": nothing to make of it
                ++i;
                continue;
            }
            tokens.push_back({Token::Word, std::string(s.substr(start, i - start))});
        }
    }
    return tokens;
}

bool IsPunct(const Token& t, char c) {
    return t.kind == Token::Punct && t.text[0] == c;
}

/// Words joined by one blank; a "." sticks to the word before it (obsolete phrases).
std::optional<std::string> Phrase(std::span<const Token> tokens) {
    std::string out;
    for (const Token& t : tokens) {
        if (!out.empty() && !IsPunct(t, '.')) {
            out += ' ';
        }
        out += t.text;
    }
    return out.empty() ? std::nullopt : std::optional(out);
}

/// local@domain: the local part keeps its quotes, since a client puts the two back together.
void LocalAtDomain(std::span<const Token> tokens, Address& address) {
    std::size_t at = tokens.size();
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (IsPunct(tokens[i], '@')) {
            at = i;
        }
    }
    std::string local;
    for (std::size_t i = 0; i < at; ++i) {
        local += tokens[i].kind == Token::Quoted ? '"' + tokens[i].text + '"' : tokens[i].text;
    }
    std::string host;
    for (std::size_t i = at + 1; i < tokens.size(); ++i) {
        host += tokens[i].text;
    }
    if (!local.empty()) {
        address.mailbox = std::move(local);
        address.host = std::move(host);
    }
}

void AddMailbox(std::span<const Token> tokens, std::vector<Address>& out) {
    Address address;
    std::size_t open = 0;
    while (open < tokens.size() && !IsPunct(tokens[open], '<')) {
        ++open;
    }
    if (open == tokens.size()) {
        LocalAtDomain(tokens, address);
    } else {
        address.name = Phrase(tokens.subspan(0, open));
        std::size_t close = open + 1;
        while (close < tokens.size() && !IsPunct(tokens[close], '>')) {
            ++close;
        }
        std::span<const Token> inside = tokens.subspan(open + 1, close - open - 1);
        for (std::size_t i = 0; i < inside.size(); ++i) {
            if (IsPunct(inside[i], ':')) { // the obsolete route: @a,@b:
                std::string route;
                for (const Token& t : inside.subspan(0, i)) {
                    route += t.text;
                }
                address.adl = std::move(route);
                inside = inside.subspan(i + 1);
                break;
            }
        }
        LocalAtDomain(inside, address);
    }
    if (address.mailbox) { // "<>" and stray words name nobody
        out.push_back(std::move(address));
    }
}

std::vector<Address> ParseAddresses(const std::optional<std::string>& value) {
    std::vector<Address> out;
    if (!value) {
        return out;
    }
    const std::vector<Token> tokens = Tokenize(*value);
    bool inGroup = false;
    bool inAngle = false;
    std::size_t itemStart = 0;
    for (std::size_t i = 0; i <= tokens.size(); ++i) {
        const bool last = i == tokens.size();
        if (!last && IsPunct(tokens[i], '<')) {
            inAngle = true;
        } else if (!last && IsPunct(tokens[i], '>')) {
            inAngle = false;
        }
        if (!last && inAngle) {
            continue;
        }
        const std::span<const Token> item(tokens.data() + itemStart, i - itemStart);
        if (!last && IsPunct(tokens[i], ':') && !inGroup) {
            Address start;
            start.mailbox = Phrase(item).value_or("");
            out.push_back(std::move(start));
            inGroup = true;
            itemStart = i + 1;
        } else if (last || IsPunct(tokens[i], ',') || IsPunct(tokens[i], ';')) {
            AddMailbox(item, out);
            if (inGroup && (last || IsPunct(tokens[i], ';'))) {
                out.push_back({});
                inGroup = false;
            }
            itemStart = i + 1;
        }
    }
    return out;
}

Envelope ParseEnvelope(const HeaderBlock& header) {
    Envelope envelope;
    envelope.date = header.Find("Date");
    envelope.subject = header.Find("Subject");
    envelope.from = ParseAddresses(header.Find("From"));
    envelope.sender = ParseAddresses(header.Find("Sender"));
    envelope.replyTo = ParseAddresses(header.Find("Reply-To"));
    envelope.to = ParseAddresses(header.Find("To"));
    envelope.cc = ParseAddresses(header.Find("Cc"));
    envelope.bcc = ParseAddresses(header.Find("Bcc"));
    envelope.inReplyTo = header.Find("In-Reply-To");
    envelope.messageId = header.Find("Message-ID");
    return envelope;
}

// ---- Body parts ----

std::vector<Parameter> Parameters(GMimeParamList* list) {
    std::vector<Parameter> out;
    const int count = g_mime_param_list_length(list);
    for (int i = 0; i < count; ++i) {
        GMimeParam* param = g_mime_param_list_get_parameter_at(list, i);
        const char* name = g_mime_param_get_name(param);
        const char* value = g_mime_param_get_value(param);
        out.push_back({name ? name : "", value ? value : ""});
    }
    return out;
}

void ParseContentType(const std::optional<std::string>& value, bool inDigest, BodyPart& part) {
    if (value) {
        GMimeContentType* type = g_mime_content_type_parse(nullptr, value->c_str());
        const char* media = g_mime_content_type_get_media_type(type);
        const char* sub = g_mime_content_type_get_media_subtype(type);
        // GMime takes what it cannot read for application/octet-stream; RFC 2045 says
        // text/plain, and a value without "/" is one it could not read.
        const std::string_view bare = std::string_view(*value).substr(0, value->find(';'));
        if (media && *media && sub && *sub && bare.find('/') != std::string_view::npos) {
            part.type = media;
            part.subtype = sub;
            part.parameters = Parameters(g_mime_content_type_get_parameters(type));
            g_object_unref(type);
            return;
        }
        g_object_unref(type);
    }
    if (inDigest) {
        part.type = "message";
        part.subtype = "rfc822";
    } else {
        part.parameters = {{"charset", "us-ascii"}};
    }
}

void ParseDisposition(const std::optional<std::string>& value, BodyPart& part) {
    if (!value) {
        return;
    }
    GMimeContentDisposition* disposition =
        g_mime_content_disposition_parse(nullptr, value->c_str());
    const char* name = g_mime_content_disposition_get_disposition(disposition);
    if (name && *name) {
        part.disposition = name;
        part.dispositionParameters =
            Parameters(g_mime_content_disposition_get_parameters(disposition));
    }
    g_object_unref(disposition);
}

std::vector<std::string> Languages(const std::optional<std::string>& value) {
    std::vector<std::string> out;
    if (!value) {
        return out;
    }
    std::string_view rest = *value;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view tag = Trim(rest.substr(0, comma));
        if (!tag.empty()) {
            out.emplace_back(tag);
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return out;
}

std::uint64_t CountLines(std::string_view body) {
    std::uint64_t lines = 0;
    for (const char c : body) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines + (!body.empty() && body.back() != '\n' ? 1 : 0);
}

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    /// The part whose header starts at `start` and which ends at `end`.
    BodyPart Part(std::size_t start, std::size_t end, unsigned depth, bool inDigest,
                  Envelope* envelope) {
        ++m_parts;
        BodyPart part;
        const HeaderBlock header = ParseHeader(m_text, start, end);
        part.headerStart = start;
        part.bodyStart = header.bodyStart;
        part.end = end;
        if (envelope != nullptr) {
            *envelope = ParseEnvelope(header);
        }
        ParseContentType(header.Find("Content-Type"), inDigest, part);
        if (const auto encoding = header.Find("Content-Transfer-Encoding")) {
            const std::string_view word =
                Trim(std::string_view(*encoding).substr(0, encoding->find_first_of(" \t(;")));
            if (!word.empty()) {
                part.encoding = word;
            }
        }
        part.id = header.Find("Content-ID");
        part.description = header.Find("Content-Description");
        part.md5 = header.Find("Content-MD5");
        ParseDisposition(header.Find("Content-Disposition"), part);
        part.language = Languages(header.Find("Content-Language"));
        part.location = header.Find("Content-Location");

        const bool deep = depth >= kMaxMimeDepth || m_parts >= kMaxMimeParts;
        const bool multipart = EqualNoCase(part.type, "multipart");
        const bool message =
            EqualNoCase(part.type, "message") &&
            (EqualNoCase(part.subtype, "rfc822") || EqualNoCase(part.subtype, "global"));
        if (deep && (multipart || message)) {
            part.type = "text";
            part.subtype = "plain";
        } else if (multipart) {
            SplitMultipart(part, depth, EqualNoCase(part.subtype, "digest"));
        } else if (message) {
            part.envelope.emplace();
            part.children.push_back(Part(part.bodyStart, end, depth + 1, false, &*part.envelope));
        }
        if (EqualNoCase(part.type, "text") || message) {
            part.lines = CountLines(m_text.substr(part.bodyStart, part.end - part.bodyStart));
        }
        return part;
    }

private:
    /// Whether the line at `at` is the delimiter "--boundary" (transport padding allowed);
    /// `closing` tells whether it was "--boundary--".
    bool IsDelimiter(std::size_t at, std::size_t end, std::string_view boundary,
                     bool& closing) const {
        const std::string_view line = m_text.substr(at, LineEnd(m_text, at, end) - at);
        if (!line.starts_with("--") || line.substr(2, boundary.size()) != boundary) {
            return false;
        }
        std::string_view rest = line.substr(2 + boundary.size());
        closing = rest.starts_with("--");
        if (closing) {
            rest.remove_prefix(2);
        }
        return Trim(rest).empty();
    }

    void SplitMultipart(BodyPart& part, unsigned depth, bool digest) {
        const auto boundary = part.ParameterValue("boundary");
        const std::size_t end = part.end;
        std::size_t partStart = std::string_view::npos; // where the current part's header starts
        if (boundary && !boundary->empty()) {
            std::size_t at = part.bodyStart;
            while (at < end) {
                bool closing = false;
                if (m_text[at] == '-' && IsDelimiter(at, end, *boundary, closing)) {
                    // The line end before a delimiter belongs to the delimiter.
                    std::size_t partEnd = at;
                    if (partEnd > part.bodyStart && m_text[partEnd - 1] == '\n') {
                        --partEnd;
                        if (partEnd > part.bodyStart && m_text[partEnd - 1] == '\r') {
                            --partEnd;
                        }
                    }
                    if (partStart != std::string_view::npos) {
                        part.children.push_back(Part(partStart, std::max(partStart, partEnd),
                                                     depth + 1, digest, nullptr));
                    }
                    partStart = LineEnd(m_text, at, end);
                    if (closing || m_parts >= kMaxMimeParts) {
                        partStart = closing ? std::string_view::npos : partStart;
                        break;
                    }
                }
                at = LineEnd(m_text, at, end);
            }
        }
        if (partStart != std::string_view::npos) { // no closing delimiter: the last part runs on
            part.children.push_back(Part(partStart, end, depth + 1, digest, nullptr));
        }
        if (part.children.empty()) { // IMAP shows a multipart with one part at least
            BodyPart text;
            text.headerStart = part.bodyStart;
            text.bodyStart = part.bodyStart;
            text.end = end;
            text.parameters = {{"charset", "us-ascii"}};
            text.lines = CountLines(m_text.substr(part.bodyStart, end - part.bodyStart));
            part.children.push_back(std::move(text));
        }
    }

    std::string_view m_text;
    std::size_t m_parts = 0;
};

} // namespace

Envelope::Envelope() = default;
BodyPart::BodyPart() = default;

bool BodyPart::IsMultipart() const {
    return EqualNoCase(type, "multipart") && !children.empty();
}

bool BodyPart::IsMessage() const {
    return EqualNoCase(type, "message") && envelope.has_value() && children.size() == 1;
}

std::optional<std::string_view> BodyPart::ParameterValue(std::string_view name) const {
    for (const Parameter& parameter : parameters) {
        if (EqualNoCase(parameter.name, name)) {
            return parameter.value;
        }
    }
    return std::nullopt;
}

MessageStructure ParseStructure(std::string_view text) {
    InitGMime();
    MessageStructure structure;
    structure.size = text.size();
    Parser parser(text);
    structure.body = parser.Part(0, text.size(), 0, false, &structure.envelope);
    return structure;
}

const BodyPart* FindSection(const MessageStructure& structure, std::span<const unsigned> path) {
    const BodyPart* part = &structure.body;
    bool atBody = true; // a message's body, whose part 1 is itself unless it is multipart
    for (std::size_t i = 0; i < path.size(); ++i) {
        const unsigned number = path[i];
        if (part->IsMultipart()) {
            if (number < 1 || number > part->children.size()) {
                return nullptr;
            }
            part = &part->children[number - 1];
        } else if (!atBody || number != 1) {
            return nullptr;
        }
        atBody = false;
        if (i + 1 < path.size() && part->IsMessage()) {
            part = &part->children[0];
            atBody = true;
        }
    }
    return part;
}

} // namespace brevin
