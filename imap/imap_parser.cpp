#include "imap/imap_parser.h"

#include "base/text.h"

#include <algorithm>
#include <array>
#include <limits>

namespace brevin::imap {

namespace {

// Deeper search programs than this are refused: no client nests keys so far, and a bound keeps
// the recursion (one frame per level) far from the stack's end.
constexpr int kMaxSearchDepth = 100;

// Longer text goes out as a literal: a client reading a quoted string byte by byte is slower,
// and some cap their line length.
constexpr std::size_t kMaxQuoted = 1024;

constexpr std::uint64_t kMaxNumber64 = std::numeric_limits<std::int64_t>::max();

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr bool IsAtomChar(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f) {
        return false;
    }
    switch (c) {
    case '(':
    case ')':
    case '{':
    case '%':
    case '*':
    case '"':
    case '\\':
    case ']':
        return false;
    default:
        return true;
    }
}

constexpr bool IsAstringChar(char c) {
    return IsAtomChar(c) || c == ']';
}

constexpr bool IsListChar(char c) {
    return IsAstringChar(c) || c == '%' || c == '*';
}

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

constexpr bool IsLeapYear(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr int DaysInMonth(std::int64_t year, int month) {
    constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
constexpr std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct Civil {
    std::int64_t year;
    int month;
    int day;
};

constexpr Civil CivilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const auto day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

void AppendDigits(std::string& out, std::int64_t value, int width) {
    std::string digits = std::to_string(value);
    if (digits.size() < static_cast<std::size_t>(width)) {
        out.append(static_cast<std::size_t>(width) - digits.size(), '0');
    }
    out += digits;
}

// Restores the cursor when a parse fails part way: each public method consumes on success only.
class Rewind {
public:
    explicit Rewind(std::size_t& at) : m_at(at), m_start(at) {}
    ~Rewind() {
        if (!m_kept) {
            m_at = m_start;
        }
    }
    Rewind(const Rewind&) = delete;
    Rewind& operator=(const Rewind&) = delete;

    void Keep() { m_kept = true; }

private:
    std::size_t& m_at;
    std::size_t m_start;
    bool m_kept = false;
};

} // namespace

bool SequenceSet::Contains(std::uint32_t number, std::uint32_t highest) const {
    for (const SequenceRange& range : ranges) {
        const std::uint32_t a = range.first == 0 ? highest : range.first;
        const std::uint32_t b = range.last == 0 ? highest : range.last;
        if (number >= std::min(a, b) && number <= std::max(a, b)) {
            return true;
        }
    }
    return false;
}

char Parser::Peek() const {
    return AtEnd() ? '\0' : m_text[m_at];
}

bool Parser::Space() {
    return Char(' ');
}

bool Parser::Word(std::string_view word) {
    if (!StartsWithIgnoringCase(m_text.substr(m_at), word)) {
        return false;
    }
    m_at += word.size();
    return true;
}

bool Parser::Char(char c) {
    if (AtEnd() || m_text[m_at] != c) {
        return false;
    }
    ++m_at;
    return true;
}

std::string_view Parser::Run(bool (*accept)(char)) {
    const std::size_t start = m_at;
    while (!AtEnd() && accept(m_text[m_at])) {
        ++m_at;
    }
    return m_text.substr(start, m_at - start);
}

std::optional<std::string_view> Parser::Tag() {
    const std::string_view tag = Run([](char c) { return IsAstringChar(c) && c != '+'; });
    if (tag.empty()) {
        return std::nullopt;
    }
    return tag;
}

std::optional<std::string_view> Parser::Atom() {
    const std::string_view atom = Run(IsAtomChar);
    if (atom.empty()) {
        return std::nullopt;
    }
    return atom;
}

std::optional<std::string_view> Parser::AstringAtom() {
    const std::string_view atom = Run(IsAstringChar);
    if (atom.empty()) {
        return std::nullopt;
    }
    return atom;
}

std::optional<std::string> Parser::String() {
    Rewind rewind(m_at);
    if (Char('"')) {
        std::string out;
        while (!AtEnd()) {
            const char c = m_text[m_at++];
            if (c == '"') {
                rewind.Keep();
                return out;
            }
            if (c == '\r' || c == '\n' || c == '\0') {
                return std::nullopt;
            }
            if (c == '\\') {
                if (AtEnd() || (Peek() != '"' && Peek() != '\\')) {
                    return std::nullopt;
                }
                out += m_text[m_at++];
            } else {
                out += c;
            }
        }
        return std::nullopt;
    }
    if (!Char('{')) {
        return std::nullopt;
    }
    const auto length = Number64();
    if (!length) {
        return std::nullopt;
    }
    Char('+');
    if (!Char('}') || !Char('\r') || !Char('\n') || *length > m_text.size() - m_at) {
        return std::nullopt;
    }
    std::string out(m_text.substr(m_at, static_cast<std::size_t>(*length)));
    m_at += static_cast<std::size_t>(*length);
    rewind.Keep();
    return out;
}

std::optional<std::string> Parser::Astring() {
    if (const auto atom = AstringAtom()) {
        return std::string(*atom);
    }
    return String();
}

std::optional<std::optional<std::string>> Parser::Nstring() {
    const std::size_t start = m_at;
    if (Word("NIL")) {
        if (!IsAstringChar(Peek())) {
            return std::optional<std::string>();
        }
        m_at = start;
    }
    if (auto text = String()) {
        return std::optional<std::string>(std::move(*text));
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Parser::Number() {
    Rewind rewind(m_at);
    const auto value = Number64();
    if (!value || *value > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    rewind.Keep();
    return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint64_t> Parser::Number64() {
    Rewind rewind(m_at);
    std::uint64_t value = 0;
    const std::size_t start = m_at;
    while (IsDigit(Peek())) {
        const auto digit = static_cast<std::uint64_t>(m_text[m_at++] - '0');
        if (value > (kMaxNumber64 - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    if (m_at == start) {
        return std::nullopt;
    }
    rewind.Keep();
    return value;
}

std::optional<std::uint32_t> Parser::NzNumber() {
    Rewind rewind(m_at);
    const auto value = Number();
    if (!value || *value == 0) {
        return std::nullopt;
    }
    rewind.Keep();
    return value;
}

std::optional<SequenceSet> Parser::Sequence() {
    Rewind rewind(m_at);
    SequenceSet set;
    if (Char('$')) {
        set.saved = true;
        rewind.Keep();
        return set;
    }
    const auto seqNumber = [this]() -> std::optional<std::uint32_t> {
        if (Char('*')) {
            return 0;
        }
        return NzNumber();
    };
    do {
        const auto first = seqNumber();
        if (!first) {
            return std::nullopt;
        }
        SequenceRange range{*first, *first};
        if (Char(':')) {
            const auto last = seqNumber();
            if (!last) {
                return std::nullopt;
            }
            range.last = *last;
        }
        set.ranges.push_back(range);
    } while (Char(','));
    rewind.Keep();
    return set;
}

std::optional<std::string> Parser::Flag(bool allowStar) {
    Rewind rewind(m_at);
    if (Char('\\')) {
        if (allowStar && Char('*')) {
            rewind.Keep();
            return "\\*";
        }
        const auto atom = Atom();
        if (!atom) {
            return std::nullopt;
        }
        rewind.Keep();
        return "\\" + std::string(*atom);
    }
    const auto atom = Atom();
    if (!atom) {
        return std::nullopt;
    }
    rewind.Keep();
    return std::string(*atom);
}

std::optional<std::vector<std::string>> Parser::FlagList() {
    Rewind rewind(m_at);
    if (!Char('(')) {
        return std::nullopt;
    }
    std::vector<std::string> flags;
    if (!Char(')')) {
        do {
            auto flag = Flag();
            if (!flag) {
                return std::nullopt;
            }
            flags.push_back(std::move(*flag));
        } while (Space());
        if (!Char(')')) {
            return std::nullopt;
        }
    }
    rewind.Keep();
    return flags;
}

std::optional<std::string> Parser::Mailbox() {
    auto name = Astring();
    if (name && EqualsIgnoringCase(*name, "INBOX")) {
        return std::string("INBOX");
    }
    return name;
}

std::optional<std::string> Parser::ListMailbox() {
    const std::string_view pattern = Run(IsListChar);
    if (!pattern.empty()) {
        return std::string(pattern);
    }
    return String();
}

bool Parser::Digits(std::size_t count, int& value) {
    if (m_text.size() - m_at < count) {
        return false;
    }
    int read = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = m_text[m_at + i];
        if (!IsDigit(c)) {
            return false;
        }
        read = read * 10 + (c - '0');
    }
    m_at += count;
    value = read;
    return true;
}

std::optional<std::int64_t> Parser::DayMonthYear() {
    Rewind rewind(m_at);
    // date-day-fixed pads with a space; a bare one digit day is taken too.
    int day = 0;
    const bool padded = Space();
    const bool gotDay = padded ? Digits(1, day) : Digits(2, day) || Digits(1, day);
    if (!gotDay || !Char('-')) {
        return std::nullopt;
    }
    int month = 0;
    for (std::size_t i = 0; i < kMonths.size() && month == 0; ++i) {
        if (Word(kMonths[i])) {
            month = static_cast<int>(i) + 1;
        }
    }
    int year = 0;
    if (month == 0 || !Char('-') || !Digits(4, year) || year == 0 || day < 1 ||
        day > DaysInMonth(year, month)) {
        return std::nullopt;
    }
    rewind.Keep();
    return DaysFromCivil(year, month, day);
}

std::optional<std::int64_t> Parser::DateTime() {
    Rewind rewind(m_at);
    if (!Char('"')) {
        return std::nullopt;
    }
    const auto days = DayMonthYear();
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!days || !Space() || !Digits(2, hour) || !Char(':') || !Digits(2, minute) || !Char(':') ||
        !Digits(2, second) || hour > 23 || minute > 59 || second > 60 || !Space()) {
        return std::nullopt;
    }
    const bool east = Char('+');
    int zoneHours = 0;
    int zoneMinutes = 0;
    if ((!east && !Char('-')) || !Digits(2, zoneHours) || !Digits(2, zoneMinutes) ||
        zoneHours > 23 || zoneMinutes > 59 || !Char('"')) {
        return std::nullopt;
    }
    const std::int64_t offset = (zoneHours * 60 + zoneMinutes) * 60;
    const std::int64_t local = *days * 86400 + hour * 3600 + minute * 60 + second;
    rewind.Keep();
    return east ? local - offset : local + offset;
}

std::optional<std::int64_t> Parser::Date() {
    Rewind rewind(m_at);
    const bool quoted = Char('"');
    // A bare date cannot start with the space of date-day-fixed: that SP would end the key.
    if (!quoted && Peek() == ' ') {
        return std::nullopt;
    }
    const auto days = DayMonthYear();
    if (!days || (quoted && !Char('"'))) {
        return std::nullopt;
    }
    rewind.Keep();
    return days;
}

std::optional<std::vector<std::string>> Parser::StatusItems() {
    static constexpr std::array<std::string_view, 8> kItems = {
        "MESSAGES", "UIDNEXT", "UIDVALIDITY", "UNSEEN",
        "DELETED",  "SIZE",    "RECENT",      "HIGHESTMODSEQ"};
    Rewind rewind(m_at);
    if (!Char('(')) {
        return std::nullopt;
    }
    std::vector<std::string> items;
    do {
        const auto atom = Atom();
        if (!atom || std::find_if(kItems.begin(), kItems.end(), [&](std::string_view item) {
                         return EqualsIgnoringCase(item, *atom);
                     }) == kItems.end()) {
            return std::nullopt;
        }
        items.push_back(AsciiUpper(*atom));
    } while (Space());
    if (!Char(')')) {
        return std::nullopt;
    }
    rewind.Keep();
    return items;
}

// ---- FETCH

// A section after "[": part numbers, then HEADER, HEADER.FIELDS[.NOT] (list), TEXT or MIME.
// `binary` takes part numbers only. Appends the canonical form to `item.responseName`.
bool Parser::Section(FetchItem& item, bool binary) {
    if (!Char('[')) {
        return false;
    }
    item.responseName += '[';
    bool needText = false;
    while (IsDigit(Peek())) {
        const auto part = NzNumber();
        if (!part) {
            return false;
        }
        if (!item.part.empty()) {
            item.responseName += '.';
        }
        item.responseName += std::to_string(*part);
        item.part.push_back(*part);
        if (!Char('.')) {
            break;
        }
        if (!IsDigit(Peek())) {
            needText = true;
        }
    }
    if (binary) {
        if (needText) {
            return false;
        }
    } else if (needText || (item.part.empty() && Peek() != ']')) {
        if (needText) {
            item.responseName += '.';
        }
        const std::string_view word = Run(
            [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.'; });
        if (EqualsIgnoringCase(word, "HEADER")) {
            item.text = FetchItem::Text::Header;
        } else if (EqualsIgnoringCase(word, "TEXT")) {
            item.text = FetchItem::Text::Body;
        } else if (EqualsIgnoringCase(word, "MIME") && !item.part.empty()) {
            item.text = FetchItem::Text::Mime;
        } else if (EqualsIgnoringCase(word, "HEADER.FIELDS")) {
            item.text = FetchItem::Text::HeaderFields;
        } else if (EqualsIgnoringCase(word, "HEADER.FIELDS.NOT")) {
            item.text = FetchItem::Text::HeaderFieldsNot;
        } else {
            return false;
        }
        item.responseName += AsciiUpper(word);
        if (item.text == FetchItem::Text::HeaderFields ||
            item.text == FetchItem::Text::HeaderFieldsNot) {
            if (!Space() || !Char('(')) {
                return false;
            }
            item.responseName += " (";
            do {
                auto field = Astring();
                if (!field || field->empty()) {
                    return false;
                }
                if (!item.fields.empty()) {
                    item.responseName += ' ';
                }
                // Echoed upper-cased, as common servers do; a name that is no atom stays
                // a string so that the response still parses.
                const std::string upper = AsciiUpper(*field);
                item.responseName +=
                    std::all_of(upper.begin(), upper.end(), IsAstringChar) ? upper : Quote(upper);
                item.fields.push_back(std::move(*field));
            } while (Space());
            if (!Char(')')) {
                return false;
            }
            item.responseName += ')';
        }
    }
    if (!Char(']')) {
        return false;
    }
    item.responseName += ']';
    if (Char('<')) {
        const auto offset = Number64();
        const auto length = offset && Char('.') ? Number64() : std::nullopt;
        if (!length || *length == 0 || !Char('>')) {
            return false;
        }
        item.partialOffset = *offset;
        item.partialLength = *length;
        item.responseName += '<' + std::to_string(*offset) + '>';
    }
    return true;
}

std::optional<FetchItem> Parser::FetchAtt() {
    struct Simple {
        std::string_view name;
        FetchItem::Kind kind;
    };
    static constexpr std::array<Simple, 8> kSimple = {{
        {"UID", FetchItem::Kind::Uid},
        {"FLAGS", FetchItem::Kind::Flags},
        {"INTERNALDATE", FetchItem::Kind::InternalDate},
        {"RFC822.SIZE", FetchItem::Kind::Rfc822Size},
        {"ENVELOPE", FetchItem::Kind::Envelope},
        {"BODYSTRUCTURE", FetchItem::Kind::BodyStructure},
        {"MODSEQ", FetchItem::Kind::ModSeq},
        {"BODY", FetchItem::Kind::Body},
    }};
    Rewind rewind(m_at);
    const std::string_view name = Run([](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '.';
    });
    FetchItem item;
    const bool bracket = Peek() == '[';
    if (!bracket) {
        for (const Simple& simple : kSimple) {
            if (EqualsIgnoringCase(name, simple.name)) {
                item.kind = simple.kind;
                item.responseName = simple.name;
                rewind.Keep();
                return item;
            }
        }
        item.kind = FetchItem::Kind::Section;
        if (EqualsIgnoringCase(name, "RFC822")) {
            item.responseName = "RFC822";
        } else if (EqualsIgnoringCase(name, "RFC822.HEADER")) {
            item.responseName = "RFC822.HEADER";
            item.text = FetchItem::Text::Header;
            item.peek = true;
        } else if (EqualsIgnoringCase(name, "RFC822.TEXT")) {
            item.responseName = "RFC822.TEXT";
            item.text = FetchItem::Text::Body;
        } else {
            return std::nullopt;
        }
        rewind.Keep();
        return item;
    }
    bool binary = false;
    if (EqualsIgnoringCase(name, "BODY") || EqualsIgnoringCase(name, "BODY.PEEK")) {
        item.kind = FetchItem::Kind::Section;
        item.responseName = "BODY";
    } else if (EqualsIgnoringCase(name, "BINARY") || EqualsIgnoringCase(name, "BINARY.PEEK")) {
        item.kind = FetchItem::Kind::Binary;
        item.responseName = "BINARY";
        binary = true;
    } else if (EqualsIgnoringCase(name, "BINARY.SIZE")) {
        item.kind = FetchItem::Kind::BinarySize;
        item.responseName = "BINARY.SIZE";
        binary = true;
    } else {
        return std::nullopt;
    }
    item.peek = EndsWithIgnoringCase(name, ".PEEK");
    if (!Section(item, binary) ||
        (item.kind == FetchItem::Kind::BinarySize && item.partialOffset)) {
        return std::nullopt;
    }
    rewind.Keep();
    return item;
}

std::optional<FetchRequest> Parser::FetchArguments() {
    Rewind rewind(m_at);
    FetchRequest request;
    const auto add = [&request](FetchItem::Kind kind, std::string_view name) {
        FetchItem item;
        item.kind = kind;
        item.responseName = name;
        request.items.push_back(std::move(item));
    };
    // A macro is a whole word: "ALL" must not take the start of another item.
    const auto macro = [this](std::string_view word) {
        const std::size_t start = m_at;
        if (Word(word) && (AtEnd() || Peek() == ' ')) {
            return true;
        }
        m_at = start;
        return false;
    };
    const bool fast = macro("FAST");
    const bool full = !fast && macro("FULL");
    const bool all = fast || full || macro("ALL");
    if (all) {
        add(FetchItem::Kind::Flags, "FLAGS");
        add(FetchItem::Kind::InternalDate, "INTERNALDATE");
        add(FetchItem::Kind::Rfc822Size, "RFC822.SIZE");
        if (!fast) {
            add(FetchItem::Kind::Envelope, "ENVELOPE");
        }
        if (full) {
            add(FetchItem::Kind::Body, "BODY");
        }
    } else if (Char('(')) {
        do {
            auto item = FetchAtt();
            if (!item) {
                return std::nullopt;
            }
            request.items.push_back(std::move(*item));
        } while (Space());
        if (!Char(')')) {
            return std::nullopt;
        }
    } else if (auto item = FetchAtt()) {
        request.items.push_back(std::move(*item));
    } else {
        return std::nullopt;
    }
    if (Space()) {
        if (!Char('(')) {
            return std::nullopt;
        }
        do {
            if (Word("CHANGEDSINCE ") && !request.changedSince) {
                const auto modSeq = Number64();
                if (!modSeq || *modSeq == 0) {
                    return std::nullopt;
                }
                request.changedSince = *modSeq;
            } else if (Word("VANISHED") && !request.vanished) {
                request.vanished = true;
            } else {
                return std::nullopt;
            }
        } while (Space());
        // QRESYNC: VANISHED only means something beside CHANGEDSINCE.
        if (!Char(')') || (request.vanished && !request.changedSince)) {
            return std::nullopt;
        }
    }
    if (!AtEnd()) {
        return std::nullopt;
    }
    rewind.Keep();
    return request;
}

// ---- SEARCH

std::optional<SearchKey> Parser::SearchKeyAt(int depth) {
    using Kind = SearchKey::Kind;
    if (depth > kMaxSearchDepth) {
        return std::nullopt;
    }
    Rewind rewind(m_at);
    SearchKey key;
    if (Char('(')) {
        key.kind = Kind::And;
        do {
            auto child = SearchKeyAt(depth + 1);
            if (!child) {
                return std::nullopt;
            }
            key.children.push_back(std::move(*child));
        } while (Space());
        if (!Char(')')) {
            return std::nullopt;
        }
        rewind.Keep();
        return key;
    }
    if (IsDigit(Peek()) || Peek() == '*' || Peek() == '$') {
        auto set = Sequence();
        if (!set) {
            return std::nullopt;
        }
        key.kind = Kind::SequenceSet;
        key.set = std::move(*set);
        rewind.Keep();
        return key;
    }
    const auto atom = Atom();
    if (!atom) {
        return std::nullopt;
    }
    const std::string name = AsciiUpper(*atom);

    struct Named {
        std::string_view name;
        Kind kind;
        std::string_view text; // a flag, or a header field
    };
    static constexpr std::array<Named, 14> kBare = {{
        {"ALL", Kind::All, ""},
        {"ANSWERED", Kind::Flag, "\\Answered"},
        {"DELETED", Kind::Flag, "\\Deleted"},
        {"DRAFT", Kind::Flag, "\\Draft"},
        {"FLAGGED", Kind::Flag, "\\Flagged"},
        {"SEEN", Kind::Flag, "\\Seen"},
        {"UNANSWERED", Kind::NoFlag, "\\Answered"},
        {"UNDELETED", Kind::NoFlag, "\\Deleted"},
        {"UNDRAFT", Kind::NoFlag, "\\Draft"},
        {"UNFLAGGED", Kind::NoFlag, "\\Flagged"},
        {"UNSEEN", Kind::NoFlag, "\\Seen"},
        {"NEW", Kind::New, ""},
        {"OLD", Kind::Old, ""},
        {"RECENT", Kind::Recent, ""},
    }};
    static constexpr std::array<Named, 7> kText = {{
        {"BCC", Kind::Header, "Bcc"},
        {"CC", Kind::Header, "Cc"},
        {"FROM", Kind::Header, "From"},
        {"SUBJECT", Kind::Header, "Subject"},
        {"TO", Kind::Header, "To"},
        {"BODY", Kind::Body, ""},
        {"TEXT", Kind::Text, ""},
    }};
    static constexpr std::array<Named, 6> kDates = {{
        {"BEFORE", Kind::Before, ""},
        {"ON", Kind::On, ""},
        {"SINCE", Kind::Since, ""},
        {"SENTBEFORE", Kind::SentBefore, ""},
        {"SENTON", Kind::SentOn, ""},
        {"SENTSINCE", Kind::SentSince, ""},
    }};
    const auto find = [&name](const auto& table) -> const Named* {
        for (const Named& entry : table) {
            if (entry.name == name) {
                return &entry;
            }
        }
        return nullptr;
    };
    const auto done = [&]() -> std::optional<SearchKey> {
        rewind.Keep();
        return std::move(key);
    };

    if (const Named* bare = find(kBare)) {
        key.kind = bare->kind;
        key.text = bare->text;
        return done();
    }
    if (!Space()) {
        return std::nullopt;
    }
    if (const Named* text = find(kText)) {
        auto value = Astring();
        if (!value) {
            return std::nullopt;
        }
        key.kind = text->kind;
        key.field = text->text;
        key.text = std::move(*value);
        return done();
    }
    if (const Named* date = find(kDates)) {
        const auto days = Date();
        if (!days) {
            return std::nullopt;
        }
        key.kind = date->kind;
        key.date = *days;
        return done();
    }
    if (name == "HEADER") {
        auto field = Astring();
        auto value = field && Space() ? Astring() : std::nullopt;
        if (!value) {
            return std::nullopt;
        }
        key.kind = Kind::Header;
        key.field = std::move(*field);
        key.text = std::move(*value);
        return done();
    }
    if (name == "KEYWORD" || name == "UNKEYWORD") {
        const auto keyword = Atom();
        if (!keyword) {
            return std::nullopt;
        }
        key.kind = name == "KEYWORD" ? Kind::Flag : Kind::NoFlag;
        key.text = *keyword;
        return done();
    }
    if (name == "LARGER" || name == "SMALLER") {
        const auto size = Number64();
        if (!size) {
            return std::nullopt;
        }
        key.kind = name == "LARGER" ? Kind::Larger : Kind::Smaller;
        key.number = *size;
        return done();
    }
    if (name == "UID") {
        auto set = Sequence();
        if (!set) {
            return std::nullopt;
        }
        key.kind = Kind::Uid;
        key.set = std::move(*set);
        return done();
    }
    if (name == "NOT") {
        auto child = SearchKeyAt(depth + 1);
        if (!child) {
            return std::nullopt;
        }
        key.kind = Kind::Not;
        key.children.push_back(std::move(*child));
        return done();
    }
    if (name == "OR") {
        auto left = SearchKeyAt(depth + 1);
        auto right = left && Space() ? SearchKeyAt(depth + 1) : std::nullopt;
        if (!right) {
            return std::nullopt;
        }
        key.kind = Kind::Or;
        key.children.push_back(std::move(*left));
        key.children.push_back(std::move(*right));
        return done();
    }
    if (name == "MODSEQ") {
        // The per-flag entry ("/flags/\\Seen" priv) is parsed and ignored: one modseq per
        // message is kept, not one per flag.
        if (Peek() == '"') {
            const auto entry = String();
            const auto type = entry && Space() ? Atom() : std::nullopt;
            if (!type ||
                (!EqualsIgnoringCase(*type, "priv") && !EqualsIgnoringCase(*type, "shared") &&
                 !EqualsIgnoringCase(*type, "all")) ||
                !Space()) {
                return std::nullopt;
            }
        }
        const auto modSeq = Number64();
        if (!modSeq) {
            return std::nullopt;
        }
        key.kind = Kind::ModSeq;
        key.number = *modSeq;
        return done();
    }
    return std::nullopt;
}

std::optional<SearchRequest> Parser::SearchArguments() {
    Rewind rewind(m_at);
    SearchRequest request;
    if (Word("RETURN ")) {
        request.esearch = true;
        if (!Char('(')) {
            return std::nullopt;
        }
        if (!Char(')')) {
            do {
                const auto atom = Atom();
                if (!atom) {
                    return std::nullopt;
                }
                if (EqualsIgnoringCase(*atom, "MIN")) {
                    request.returnMin = true;
                } else if (EqualsIgnoringCase(*atom, "MAX")) {
                    request.returnMax = true;
                } else if (EqualsIgnoringCase(*atom, "ALL")) {
                    request.returnAll = true;
                } else if (EqualsIgnoringCase(*atom, "COUNT")) {
                    request.returnCount = true;
                } else if (EqualsIgnoringCase(*atom, "SAVE")) {
                    request.returnSave = true;
                } else {
                    return std::nullopt;
                }
            } while (Space());
            if (!Char(')')) {
                return std::nullopt;
            }
        }
        if (!Space()) {
            return std::nullopt;
        }
        // RFC 4731: an empty list asks for ALL.
        if (!request.returnMin && !request.returnMax && !request.returnCount &&
            !request.returnSave) {
            request.returnAll = true;
        }
    }
    if (Word("CHARSET ")) {
        std::optional<std::string> charset;
        if (Peek() == '"') {
            charset = String();
        } else if (const auto atom = Atom()) {
            charset = std::string(*atom);
        }
        if (!charset || charset->empty() || !Space()) {
            return std::nullopt;
        }
        request.charset = std::move(*charset);
    }
    request.key.kind = SearchKey::Kind::And;
    do {
        auto key = SearchKeyAt(1);
        if (!key) {
            return std::nullopt;
        }
        request.key.children.push_back(std::move(*key));
    } while (Space());
    if (!AtEnd()) {
        return std::nullopt;
    }
    rewind.Keep();
    return request;
}

// ---- SELECT

std::optional<SelectRequest> Parser::SelectParameters() {
    Rewind rewind(m_at);
    SelectRequest request;
    if (AtEnd()) {
        rewind.Keep();
        return request;
    }
    if (!Space() || !Char('(')) {
        return std::nullopt;
    }
    do {
        if (Word("CONDSTORE") && !request.condstore) {
            request.condstore = true;
        } else if (Word("QRESYNC (") && !request.qresync) {
            SelectRequest::Qresync known;
            const auto validity = NzNumber();
            const auto modSeq = validity && Space() ? Number64() : std::nullopt;
            if (!modSeq) {
                return std::nullopt;
            }
            known.uidValidity = *validity;
            known.modSeq = *modSeq;
            if (Space()) {
                if (Char('(')) {
                    known.knownSequences = Sequence();
                    known.matchingUids =
                        known.knownSequences && Space() ? Sequence() : std::nullopt;
                    if (!known.matchingUids || !Char(')')) {
                        return std::nullopt;
                    }
                } else {
                    known.knownUids = Sequence();
                    if (!known.knownUids) {
                        return std::nullopt;
                    }
                    if (Space()) {
                        known.knownSequences = Char('(') ? Sequence() : std::nullopt;
                        known.matchingUids =
                            known.knownSequences && Space() ? Sequence() : std::nullopt;
                        if (!known.matchingUids || !Char(')')) {
                            return std::nullopt;
                        }
                    }
                }
            }
            const auto saved = [](const std::optional<SequenceSet>& set) {
                return set && set->saved;
            };
            if (!Char(')') || saved(known.knownUids) || saved(known.knownSequences) ||
                saved(known.matchingUids)) {
                return std::nullopt;
            }
            request.qresync = std::move(known);
        } else {
            return std::nullopt;
        }
    } while (Space());
    if (!Char(')') || !AtEnd()) {
        return std::nullopt;
    }
    rewind.Keep();
    return request;
}

// ---- STORE

std::optional<StoreRequest> Parser::StoreArguments() {
    Rewind rewind(m_at);
    StoreRequest request;
    if (Char('(')) {
        if (!Word("UNCHANGEDSINCE ")) {
            return std::nullopt;
        }
        const auto modSeq = Number64();
        if (!modSeq || !Char(')') || !Space()) {
            return std::nullopt;
        }
        request.unchangedSince = *modSeq;
    }
    if (Char('+')) {
        request.mode = StoreRequest::Mode::Add;
    } else if (Char('-')) {
        request.mode = StoreRequest::Mode::Remove;
    }
    if (!Word("FLAGS")) {
        return std::nullopt;
    }
    request.silent = Word(".SILENT");
    if (!Space()) {
        return std::nullopt;
    }
    if (auto list = FlagList()) {
        request.flags = std::move(*list);
    } else {
        do {
            auto flag = Flag();
            if (!flag) {
                return std::nullopt;
            }
            request.flags.push_back(std::move(*flag));
        } while (Space());
    }
    if (!AtEnd()) {
        return std::nullopt;
    }
    rewind.Keep();
    return request;
}

// ---- LIST

std::optional<ListRequest> Parser::ListArguments() {
    Rewind rewind(m_at);
    ListRequest request;
    if (Char('(')) {
        if (!Char(')')) {
            do {
                const auto atom = Atom();
                if (!atom) {
                    return std::nullopt;
                }
                if (EqualsIgnoringCase(*atom, "SUBSCRIBED")) {
                    request.subscribed = true;
                } else if (EqualsIgnoringCase(*atom, "REMOTE")) {
                    request.remote = true;
                } else if (EqualsIgnoringCase(*atom, "RECURSIVEMATCH")) {
                    request.recursiveMatch = true;
                } else if (EqualsIgnoringCase(*atom, "SPECIAL-USE")) {
                    request.specialUse = true;
                } else {
                    return std::nullopt;
                }
            } while (Space());
            if (!Char(')')) {
                return std::nullopt;
            }
        }
        // RFC 5258: RECURSIVEMATCH modifies a base option and is an error alone.
        if (!Space() || (request.recursiveMatch && !request.subscribed && !request.specialUse)) {
            return std::nullopt;
        }
    }
    auto reference = Astring();
    if (!reference || !Space()) {
        return std::nullopt;
    }
    request.reference = std::move(*reference);
    if (Char('(')) {
        do {
            auto pattern = ListMailbox();
            if (!pattern) {
                return std::nullopt;
            }
            request.patterns.push_back(std::move(*pattern));
        } while (Space());
        if (!Char(')')) {
            return std::nullopt;
        }
    } else if (auto pattern = ListMailbox()) {
        request.patterns.push_back(std::move(*pattern));
    } else {
        return std::nullopt;
    }
    if (Space()) {
        if (!Word("RETURN (")) {
            return std::nullopt;
        }
        if (!Char(')')) {
            do {
                if (Word("STATUS ")) {
                    auto items = StatusItems();
                    if (!items) {
                        return std::nullopt;
                    }
                    request.returnStatus = std::move(*items);
                    continue;
                }
                const auto atom = Atom();
                if (!atom) {
                    return std::nullopt;
                }
                if (EqualsIgnoringCase(*atom, "SUBSCRIBED")) {
                    request.returnSubscribed = true;
                } else if (EqualsIgnoringCase(*atom, "CHILDREN")) {
                    request.returnChildren = true;
                } else if (EqualsIgnoringCase(*atom, "SPECIAL-USE")) {
                    request.returnSpecialUse = true;
                } else {
                    return std::nullopt;
                }
            } while (Space());
            if (!Char(')')) {
                return std::nullopt;
            }
        }
    }
    if (!AtEnd()) {
        return std::nullopt;
    }
    rewind.Keep();
    return request;
}

// ---- APPEND

std::optional<AppendRequest> Parser::AppendArguments() {
    Rewind rewind(m_at);
    AppendRequest request;
    auto mailbox = Mailbox();
    if (!mailbox || !Space()) {
        return std::nullopt;
    }
    request.mailbox = std::move(*mailbox);
    if (auto flags = FlagList()) {
        request.flags = std::move(*flags);
        if (!Space()) {
            return std::nullopt;
        }
    }
    if (const auto date = DateTime()) {
        request.date = *date;
        if (!Space()) {
            return std::nullopt;
        }
    }
    if (Peek() != '{') {
        return std::nullopt;
    }
    rewind.Keep();
    return request;
}

// ---- Output

std::string Quote(std::string_view text) {
    const bool quotable =
        text.size() <= kMaxQuoted && std::none_of(text.begin(), text.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte == '\r' || byte == '\n' || byte == 0 || byte >= 0x80;
        });
    std::string out;
    if (!quotable) {
        out.reserve(text.size() + 24);
        out += '{';
        out += std::to_string(text.size());
        out += "}\r\n";
        out += text;
        return out;
    }
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

std::string NQuote(const std::optional<std::string>& text) {
    return text ? Quote(*text) : std::string("NIL");
}

std::string FormatDateTime(std::int64_t seconds) {
    // Four-digit years only: 0001-01-01 to 9999-12-31.
    constexpr std::int64_t kFirst = DaysFromCivil(1, 1, 1) * 86400;
    constexpr std::int64_t kLast = DaysFromCivil(9999, 12, 31) * 86400 + 86399;
    seconds = std::clamp(seconds, kFirst, kLast);
    const std::int64_t days = (seconds - kFirst) / 86400 + DaysFromCivil(1, 1, 1);
    const std::int64_t inDay = seconds - days * 86400;
    const Civil date = CivilFromDays(days);
    std::string out = "\"";
    if (date.day < 10) {
        out += ' ';
    }
    out += std::to_string(date.day);
    out += '-';
    out += kMonths[static_cast<std::size_t>(date.month - 1)];
    out += '-';
    AppendDigits(out, date.year, 4);
    out += ' ';
    AppendDigits(out, inDay / 3600, 2);
    out += ':';
    AppendDigits(out, inDay / 60 % 60, 2);
    out += ':';
    AppendDigits(out, inDay % 60, 2);
    out += " +0000\"";
    return out;
}

} // namespace brevin::imap
