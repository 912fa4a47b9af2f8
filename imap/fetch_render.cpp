#include "imap/fetch_render.h"

#include "base/text.h"

#include <algorithm>
#include <chrono>
#include <gmime/gmime.h>
#include <memory>
#include <mutex>

namespace brevin::imap {

namespace {

// Quoted strings longer than this go out as literals: some clients cap the length of a line.
constexpr std::size_t kMaxQuoted = 1024;

void InitGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

struct GFree {
    void operator()(char* p) const { g_free(p); }
};
using GlibText = std::unique_ptr<char, GFree>;

/// text[from, to), clamped: a structure that does not fit its text never reads beyond it.
std::string_view Slice(std::string_view text, std::uint64_t from, std::uint64_t to) {
    const std::size_t end = std::min<std::uint64_t>(to, text.size());
    const std::size_t start = std::min<std::uint64_t>(from, end);
    return text.substr(start, end - start);
}

std::string_view HeaderOf(std::string_view text, const BodyPart& part) {
    return Slice(text, part.headerStart, part.bodyStart);
}

std::string_view BodyOf(std::string_view text, const BodyPart& part) {
    return Slice(text, part.bodyStart, part.end);
}

// ---- Strings as the client reads them ----

// Our own quoting rather than the parser's Quote: the two are built side by side.
void AppendString(std::string& out, std::string_view s) {
    const bool literal = s.size() > kMaxQuoted || std::any_of(s.begin(), s.end(), [](char c) {
                             const auto byte = static_cast<unsigned char>(c);
                             return byte == 0 || byte == '\r' || byte == '\n' || byte >= 0x80;
                         });
    if (literal) {
        out += '{';
        out += std::to_string(s.size());
        out += "}\r\n";
        out += s;
        return;
    }
    out += '"';
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
}

void AppendNString(std::string& out, const std::optional<std::string>& s) {
    if (s) {
        AppendString(out, *s);
    } else {
        out += "NIL";
    }
}

std::string AsciiUpper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

// ---- ENVELOPE ----

void AppendAddresses(std::string& out, const std::vector<Address>& list) {
    if (list.empty()) {
        out += "NIL";
        return;
    }
    out += '(';
    for (const Address& address : list) {
        out += '(';
        AppendNString(out, address.name);
        out += ' ';
        AppendNString(out, address.adl);
        out += ' ';
        AppendNString(out, address.mailbox);
        out += ' ';
        AppendNString(out, address.host);
        out += ')';
    }
    out += ')';
}

// ---- BODYSTRUCTURE ----

void AppendParameters(std::string& out, const std::vector<Parameter>& parameters) {
    if (parameters.empty()) {
        out += "NIL";
        return;
    }
    out += '(';
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (i > 0) {
            out += ' ';
        }
        AppendString(out, AsciiUpper(parameters[i].name));
        out += ' ';
        AppendString(out, parameters[i].value);
    }
    out += ')';
}

/// body-fld-dsp, body-fld-lang and body-fld-loc: the extension data every part ends with.
void AppendDispositionToLocation(std::string& out, const BodyPart& part) {
    out += ' ';
    if (part.disposition) {
        out += '(';
        AppendString(out, *part.disposition);
        out += ' ';
        AppendParameters(out, part.dispositionParameters);
        out += ')';
    } else {
        out += "NIL";
    }
    out += ' ';
    if (part.language.empty()) {
        out += "NIL";
    } else if (part.language.size() == 1) {
        AppendString(out, part.language.front());
    } else {
        out += '(';
        for (std::size_t i = 0; i < part.language.size(); ++i) {
            if (i > 0) {
                out += ' ';
            }
            AppendString(out, part.language[i]);
        }
        out += ')';
    }
    out += ' ';
    AppendNString(out, part.location);
}

void AppendBody(std::string& out, const BodyPart& part, bool extensible) {
    out += '(';
    if (part.IsMultipart()) {
        for (const BodyPart& child : part.children) {
            AppendBody(out, child, extensible);
        }
        out += ' ';
        AppendString(out, AsciiUpper(part.subtype));
        if (extensible) {
            out += ' ';
            AppendParameters(out, part.parameters);
            AppendDispositionToLocation(out, part);
        }
        out += ')';
        return;
    }
    AppendString(out, AsciiUpper(part.type));
    out += ' ';
    AppendString(out, AsciiUpper(part.subtype));
    out += ' ';
    AppendParameters(out, part.parameters);
    out += ' ';
    AppendNString(out, part.id);
    out += ' ';
    AppendNString(out, part.description);
    out += ' ';
    AppendString(out, AsciiUpper(part.encoding));
    out += ' ';
    out += std::to_string(part.Size());
    if (part.IsMessage()) {
        out += ' ';
        out += EnvelopeText(*part.envelope);
        out += ' ';
        AppendBody(out, part.children.front(), extensible);
        out += ' ';
        out += std::to_string(part.lines);
    } else if (EqualsIgnoringCase(part.type, "text")) {
        out += ' ';
        out += std::to_string(part.lines);
    }
    if (extensible) {
        out += ' ';
        AppendNString(out, part.md5);
        AppendDispositionToLocation(out, part);
    }
    out += ')';
}

// ---- Header fields ----

struct HeaderField {
    std::string_view name;
    std::string_view whole; // the field as written: name, value, folds and line end
    std::string_view value; // after the colon, folded
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

/// The fields of a header block (which may end with its blank line). A line that is neither a
/// field nor a fold of one is skipped: the structure's parser has already put the header's end.
std::vector<HeaderField> Fields(std::string_view header) {
    std::vector<HeaderField> fields;
    bool lastIsField = false;
    std::size_t at = 0;
    while (at < header.size()) {
        const std::size_t lf = header.find('\n', at);
        const std::size_t next = lf == std::string_view::npos ? header.size() : lf + 1;
        const std::string_view line = header.substr(at, next - at);
        if (line == "\r\n" || line == "\n") {
            break;
        }
        if (IsBlank(line.front())) {
            if (lastIsField) {
                HeaderField& last = fields.back();
                last.whole = std::string_view(last.whole.data(), last.whole.size() + line.size());
                last.value = std::string_view(last.value.data(), last.value.size() + line.size());
            }
        } else if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
            std::string_view name = line.substr(0, colon);
            while (!name.empty() && IsBlank(name.back())) {
                name.remove_suffix(1);
            }
            fields.push_back({name, line, line.substr(colon + 1)});
            lastIsField = true;
        } else {
            lastIsField = false;
        }
        at = next;
    }
    return fields;
}

std::string Filtered(std::string_view header, const std::vector<std::string>& names, bool keep) {
    std::string out;
    for (const HeaderField& field : Fields(header)) {
        const bool named = std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            return EqualsIgnoringCase(field.name, name);
        });
        if (named == keep) {
            out += field.whole;
            if (!field.whole.ends_with('\n')) {
                out += "\r\n";
            }
        }
    }
    out += "\r\n";
    return out;
}

/// A field's value unfolded, trimmed and with its RFC 2047 words decoded to UTF-8.
std::string DecodedValue(std::string_view value) {
    std::string unfolded;
    unfolded.reserve(value.size());
    for (const char c : value) {
        if (c != '\r' && c != '\n' && c != '\0') {
            unfolded += c;
        }
    }
    const std::size_t first = unfolded.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    unfolded = unfolded.substr(first, unfolded.find_last_not_of(" \t") + 1 - first);
    const GlibText decoded(g_mime_utils_header_decode_text(nullptr, unfolded.c_str()));
    return decoded ? std::string(decoded.get()) : unfolded;
}

// ---- Transfer encodings ----

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') { // not canonical, but some writers use it
        return c - 'a' + 10;
    }
    return -1;
}

/// Lenient: bytes outside the alphabet (line ends, garbage) are skipped, and "=" ends a group,
/// so bodies made of several padded pieces decode whole.
std::string DecodeBase64(std::string_view encoded) {
    std::string out;
    out.reserve(encoded.size() / 4 * 3);
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : encoded) {
        int value = -1;
        if (c >= 'A' && c <= 'Z') {
            value = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            value = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            value = c - '0' + 52;
        } else if (c == '+') {
            value = 62;
        } else if (c == '/') {
            value = 63;
        } else if (c == '=') {
            bits = 0;
            count = 0;
        }
        if (value < 0) {
            continue;
        }
        bits = ((bits << 6) | static_cast<std::uint32_t>(value)) & 0xFFFFFFU;
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFFU);
        }
    }
    return out;
}

/// RFC 2045 §6.7: trailing blanks are the transport's and go; "=" at a line's end joins it to
/// the next; "=" not followed by two hex digits stays as it is. Line ends come out as CR LF.
std::string DecodeQuotedPrintable(std::string_view encoded) {
    std::string out;
    out.reserve(encoded.size());
    std::size_t at = 0;
    while (at < encoded.size()) {
        const std::size_t lf = encoded.find('\n', at);
        const bool broken = lf != std::string_view::npos;
        std::string_view line = encoded.substr(at, broken ? lf - at : std::string_view::npos);
        at = broken ? lf + 1 : encoded.size();
        while (!line.empty() && (IsBlank(line.back()) || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        const bool soft = line.ends_with('=');
        if (soft) {
            line.remove_suffix(1);
        }
        for (std::size_t i = 0; i < line.size(); ++i) {
            const int high = line[i] == '=' && i + 2 < line.size() ? HexDigit(line[i + 1]) : -1;
            const int low = high >= 0 ? HexDigit(line[i + 2]) : -1;
            if (low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
            } else {
                out += line[i];
            }
        }
        if (broken && !soft) {
            out += "\r\n";
        }
    }
    return out;
}

/// The body with its transfer encoding undone; nullopt for an encoding this server does not
/// know.
std::optional<std::string> Decoded(std::string_view body, std::string_view encoding) {
    if (EqualsIgnoringCase(encoding, "base64")) {
        return DecodeBase64(body);
    }
    if (EqualsIgnoringCase(encoding, "quoted-printable")) {
        return DecodeQuotedPrintable(body);
    }
    if (EqualsIgnoringCase(encoding, "7bit") || EqualsIgnoringCase(encoding, "8bit") ||
        EqualsIgnoringCase(encoding, "binary")) {
        return std::string(body);
    }
    return std::nullopt;
}

// ---- Search ----

/// `s` as valid UTF-8, case-folded. NUL bytes become blanks, as GLib's strings end at them.
std::string Folded(std::string_view s) {
    std::string copy(s);
    std::replace(copy.begin(), copy.end(), '\0', ' ');
    const GlibText valid(g_utf8_make_valid(copy.c_str(), -1));
    const GlibText folded(g_utf8_casefold(valid.get(), -1));
    return folded.get();
}

bool Holds(std::string_view haystack, const std::string& foldedNeedle) {
    return Folded(haystack).find(foldedNeedle) != std::string::npos;
}

/// A text part's body in UTF-8: transfer encoding undone, charset converted where iconv knows
/// it and the text is in it.
std::string BodyText(std::string_view text, const BodyPart& part) {
    std::string body =
        Decoded(BodyOf(text, part), part.encoding).value_or(std::string(BodyOf(text, part)));
    const auto charset = part.ParameterValue("charset");
    if (!charset || EqualsIgnoringCase(*charset, "utf-8") ||
        EqualsIgnoringCase(*charset, "us-ascii")) {
        return body;
    }
    const std::string name(*charset);
    gsize written = 0;
    GError* error = nullptr;
    const GlibText converted(g_convert(body.data(), static_cast<gssize>(body.size()), "UTF-8",
                                       g_mime_charset_iconv_name(name.c_str()), nullptr, &written,
                                       &error));
    if (error != nullptr) {
        g_error_free(error);
        return body;
    }
    return {converted.get(), written};
}

bool AnyBodyHolds(std::string_view text, const BodyPart& part, const std::string& needle) {
    if (part.children.empty()) {
        return EqualsIgnoringCase(part.type, "text") && Holds(BodyText(text, part), needle);
    }
    return std::any_of(part.children.begin(), part.children.end(),
                       [&](const BodyPart& child) { return AnyBodyHolds(text, child, needle); });
}

} // namespace

std::string EnvelopeText(const Envelope& envelope) {
    std::string out = "(";
    AppendNString(out, envelope.date);
    out += ' ';
    AppendNString(out, envelope.subject);
    out += ' ';
    AppendAddresses(out, envelope.from);
    out += ' ';
    AppendAddresses(out, envelope.sender.empty() ? envelope.from : envelope.sender);
    out += ' ';
    AppendAddresses(out, envelope.replyTo.empty() ? envelope.from : envelope.replyTo);
    out += ' ';
    AppendAddresses(out, envelope.to);
    out += ' ';
    AppendAddresses(out, envelope.cc);
    out += ' ';
    AppendAddresses(out, envelope.bcc);
    out += ' ';
    AppendNString(out, envelope.inReplyTo);
    out += ' ';
    AppendNString(out, envelope.messageId);
    out += ')';
    return out;
}

std::string BodyStructureText(const MessageStructure& structure, bool extensible) {
    std::string out;
    AppendBody(out, structure.body, extensible);
    return out;
}

std::optional<std::string> SectionBytes(std::string_view text, const MessageStructure& structure,
                                        const FetchItem& item) {
    const bool top = item.part.empty();
    const BodyPart* part = top ? &structure.body : FindSection(structure, item.part);
    if (part == nullptr) {
        return std::nullopt;
    }
    // The message whose HEADER and TEXT the section may name.
    const BodyPart* message = top ? part : part->IsMessage() ? &part->children.front() : nullptr;
    switch (item.text) {
    case FetchItem::Text::Whole:
        return std::string(top ? text : BodyOf(text, *part));
    case FetchItem::Text::Mime:
        return top ? std::nullopt : std::optional<std::string>(HeaderOf(text, *part));
    case FetchItem::Text::Header:
    case FetchItem::Text::HeaderFields:
    case FetchItem::Text::HeaderFieldsNot:
    case FetchItem::Text::Body:
        break;
    }
    if (message == nullptr) {
        return std::nullopt;
    }
    switch (item.text) {
    case FetchItem::Text::Header:
        return std::string(HeaderOf(text, *message));
    case FetchItem::Text::HeaderFields:
        return Filtered(HeaderOf(text, *message), item.fields, true);
    case FetchItem::Text::HeaderFieldsNot:
        return Filtered(HeaderOf(text, *message), item.fields, false);
    default:
        return std::string(BodyOf(text, *message));
    }
}

std::string_view ApplyPartial(std::string_view bytes, const FetchItem& item) {
    if (!item.partialOffset) {
        return bytes;
    }
    if (*item.partialOffset >= bytes.size()) {
        return {};
    }
    const auto offset = static_cast<std::size_t>(*item.partialOffset);
    return bytes.substr(offset, std::min<std::uint64_t>(item.partialLength, bytes.size() - offset));
}

std::optional<std::string> BinaryBytes(std::string_view text, const MessageStructure& structure,
                                       const FetchItem& item) {
    if (item.part.empty()) {
        return std::string(text);
    }
    const BodyPart* part = FindSection(structure, item.part);
    if (part == nullptr) {
        return std::nullopt;
    }
    return Decoded(BodyOf(text, *part), part->encoding);
}

bool HeaderMatches(std::string_view text, const MessageStructure& structure, std::string_view field,
                   std::string_view needle) {
    InitGMime();
    const std::string folded = Folded(needle);
    for (const HeaderField& candidate : Fields(HeaderOf(text, structure.body))) {
        if (EqualsIgnoringCase(candidate.name, field) &&
            (needle.empty() || Holds(DecodedValue(candidate.value), folded))) {
            return true;
        }
    }
    return false;
}

bool BodyMatches(std::string_view text, const MessageStructure& structure,
                 std::string_view needle) {
    InitGMime();
    return AnyBodyHolds(text, structure.body, Folded(needle));
}

bool TextMatches(std::string_view text, const MessageStructure& structure,
                 std::string_view needle) {
    InitGMime();
    const std::string folded = Folded(needle);
    for (const HeaderField& field : Fields(HeaderOf(text, structure.body))) {
        if (Holds(std::string(field.name) + ": " + DecodedValue(field.value), folded)) {
            return true;
        }
    }
    return AnyBodyHolds(text, structure.body, folded);
}

std::optional<std::int64_t> SentDate(const MessageStructure& structure) {
    if (!structure.envelope.date) {
        return std::nullopt;
    }
    InitGMime();
    GDateTime* date = g_mime_utils_header_decode_date(structure.envelope.date->c_str());
    if (date == nullptr) {
        return std::nullopt;
    }
    int year = 0;
    int month = 0;
    int day = 0;
    g_date_time_get_ymd(date, &year, &month, &day);
    g_date_time_unref(date);
    const std::chrono::year_month_day ymd{std::chrono::year(year),
                                          std::chrono::month(static_cast<unsigned>(month)),
                                          std::chrono::day(static_cast<unsigned>(day))};
    return std::chrono::sys_days(ymd).time_since_epoch().count();
}

} // namespace brevin::imap
