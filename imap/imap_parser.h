#pragma once

// IMAP command syntax (RFC 9051 §9, RFC 3501 §9): a cursor over one whole command as it came
// off the wire, literals included in their wire form ("{5}\r\nhello", "{5+}\r\nhello"), without
// the final CR LF. Every method either consumes what it read and returns it, or consumes
// nothing and returns nothing, so a caller can try alternatives. What it allocates grows with
// the command's size only, and nesting is bounded: hostile input gets a clean failure.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brevin::imap {

/// A sequence set (`1:3,7,9:*`). 0 stands for "*" (the highest number in use). `saved` is the
/// "$" of SEARCHRES, which this server does not offer: it parses, and the session refuses it.
struct SequenceRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0; // as written: first may be above last ("5:2" means 2:5)
    bool operator==(const SequenceRange&) const = default;
};
struct SequenceSet {
    std::vector<SequenceRange> ranges;
    bool saved = false;
    /// Whether `number` is in the set, "*" meaning `highest` (the largest number in use).
    [[nodiscard]] bool Contains(std::uint32_t number, std::uint32_t highest) const;
    bool operator==(const SequenceSet&) const = default;
};

/// One data item of FETCH (RFC 9051 §6.4.5).
struct FetchItem {
    enum class Kind : std::uint8_t {
        Uid,
        Flags,
        InternalDate,
        Rfc822Size,
        Envelope,
        Body,          // BODY without a section: the non-extensible BODYSTRUCTURE
        BodyStructure, //
        Section,       // BODY[...] / BODY.PEEK[...] / RFC822 / RFC822.HEADER / RFC822.TEXT
        Binary,        // BINARY[...] / BINARY.PEEK[...]
        BinarySize,    // BINARY.SIZE[...]
        ModSeq,        // CONDSTORE
    };
    /// What a section names after its part numbers.
    enum class Text : std::uint8_t {
        Whole,           // BODY[] or BODY[1.2]
        Header,          // HEADER
        HeaderFields,    // HEADER.FIELDS (...)
        HeaderFieldsNot, // HEADER.FIELDS.NOT (...)
        Body,            // TEXT
        Mime,            // MIME (only after part numbers)
    };
    Kind kind = Kind::Uid;
    bool peek = false;          // BODY.PEEK / BINARY.PEEK: \Seen is not set
    std::vector<unsigned> part; // section part numbers, e.g. {1, 2}
    Text text = Text::Whole;
    std::vector<std::string> fields; // HEADER.FIELDS (...), as written (responseName upper-cases)
    std::optional<std::uint64_t> partialOffset; // <offset.length>
    std::uint64_t partialLength = 0;
    /// The name as the response must echo it: "BODY[HEADER.FIELDS (DATE FROM)]<0>",
    /// "RFC822.HEADER", "BINARY[1]"... (RFC 9051 §7.5.2: a PEEK answers without ".PEEK"; a
    /// partial answers with its origin only).
    std::string responseName;
};

/// A FETCH request: its items (the macros ALL, FAST, FULL expanded) and CHANGEDSINCE.
struct FetchRequest {
    std::vector<FetchItem> items;
    std::optional<std::uint64_t> changedSince; // CONDSTORE modifier
    bool vanished = false;                     // QRESYNC modifier
};

/// A search key (RFC 9051 §6.4.4), a tree: AND of a list, OR of two, NOT of one.
struct SearchKey {
    enum class Kind : std::uint8_t {
        All,
        And, // a parenthesised list, or the top-level list
        Or,
        Not,
        SequenceSet, // a bare sequence set
        Uid,         // UID set
        Flag,   // ANSWERED DELETED DRAFT FLAGGED SEEN, KEYWORD x  (`text`: "\\Seen" or keyword)
        NoFlag, // UN... and UNKEYWORD x
        New,    // RECENT UNSEEN in rev1; never true for rev2's missing \Recent
        Old,
        Recent,
        Header, // HEADER field string (`field`, `text`); BCC CC FROM SUBJECT TO become this
        Body,
        Text,
        Before, // internal date, `date` in days since the epoch
        On,
        Since,
        SentBefore, // Date: header
        SentOn,
        SentSince,
        Larger, // `number`
        Smaller,
        ModSeq, // CONDSTORE MODSEQ n (`number`)
    };
    Kind kind = Kind::All;
    std::string field;
    std::string text;
    std::int64_t date = 0; // days since 1970-01-01
    std::uint64_t number = 0;
    SequenceSet set;
    std::vector<SearchKey> children;
};

/// SEARCH's arguments: RETURN options (ESEARCH), CHARSET and the keys (an implicit AND).
struct SearchRequest {
    bool esearch = false; // a RETURN (...) was given (rev2 answers ESEARCH always)
    bool returnMin = false, returnMax = false, returnAll = false, returnCount = false;
    bool returnSave = false;
    std::string charset; // empty: none given
    SearchKey key;       // Kind::And of the keys
};

/// STORE's action.
struct StoreRequest {
    enum class Mode : std::uint8_t { Replace, Add, Remove };
    Mode mode = Mode::Replace;
    bool silent = false;
    std::vector<std::string> flags; // as written: "\\Seen", "$Forwarded"
    std::optional<std::uint64_t> unchangedSince;
};

/// LIST's arguments (RFC 9051 §6.3.9, RFC 5258): selection options, reference, patterns,
/// return options.
struct ListRequest {
    bool subscribed = false, remote = false, recursiveMatch = false, specialUse = false;
    std::string reference;
    std::vector<std::string> patterns; // mailbox patterns as written, not decoded
    bool returnSubscribed = false, returnChildren = false, returnSpecialUse = false;
    std::vector<std::string> returnStatus; // STATUS items asked for with RETURN (STATUS (...))
};

/// SELECT's and EXAMINE's parameters (RFC 7162): CONDSTORE, or what a QRESYNC client knows.
struct SelectRequest {
    struct Qresync {
        std::uint32_t uidValidity = 0;
        std::uint64_t modSeq = 0;
        std::optional<SequenceSet> knownUids;
        /// Message numbers and the UIDs the client holds for them: a hint this server does not
        /// need (it answers VANISHED from the index), parsed for the syntax.
        std::optional<SequenceSet> knownSequences, matchingUids;
    };
    bool condstore = false;
    std::optional<Qresync> qresync;
};

/// APPEND's arguments before its message literal.
struct AppendRequest {
    std::string mailbox;
    std::vector<std::string> flags;
    std::optional<std::int64_t> date; // seconds since the epoch, zone applied
};

/// The cursor. `text` must outlive it.
class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    [[nodiscard]] bool AtEnd() const { return m_at == m_text.size(); }
    [[nodiscard]] std::size_t Position() const { return m_at; }
    /// Exactly one SP.
    bool Space();
    /// The exact bytes `word`, compared without regard to ASCII case.
    bool Word(std::string_view word);
    /// The character `c`.
    bool Char(char c);

    /// tag: ASTRING-CHAR except "+".
    std::optional<std::string_view> Tag();
    /// atom: ATOM-CHAR+ (no "(", ")", "{", SP, CTL, "%", "*", DQUOTE, "\", "]").
    std::optional<std::string_view> Atom();
    /// ASTRING-CHAR+ (atom chars and "]").
    std::optional<std::string_view> AstringAtom();
    /// A quoted string (escapes undone) or a literal.
    std::optional<std::string> String();
    /// astring: an ASTRING-CHAR+ atom, a quoted string or a literal.
    std::optional<std::string> Astring();
    /// nstring: NIL or a string.
    std::optional<std::optional<std::string>> Nstring();
    /// number (32-bit) and number64.
    std::optional<std::uint32_t> Number();
    std::optional<std::uint64_t> Number64();
    /// A nonzero number.
    std::optional<std::uint32_t> NzNumber();
    /// A sequence set (or "$").
    std::optional<SequenceSet> Sequence();
    /// A flag: "\\Word" or an atom keyword; `allowStar` takes "\\*" (PERMANENTFLAGS only).
    std::optional<std::string> Flag(bool allowStar = false);
    /// "(" flag *(SP flag) ")" or "()".
    std::optional<std::vector<std::string>> FlagList();
    /// A mailbox name as astring; "INBOX" in any case becomes "INBOX". Not yet decoded from
    /// modified UTF-7: the session does that, as it knows whether UTF8=ACCEPT is on.
    std::optional<std::string> Mailbox();
    /// A list-mailbox (pattern): astring chars plus "%" and "*", or a string.
    std::optional<std::string> ListMailbox();
    /// date-time `"dd-Mon-yyyy hh:mm:ss +zzzz"`, in seconds since the epoch (UTC).
    std::optional<std::int64_t> DateTime();
    /// date `dd-Mon-yyyy` (or quoted), in days since the epoch.
    std::optional<std::int64_t> Date();

    /// The whole remaining arguments of each command (after the command name and its SP);
    /// nothing when they are malformed. Each also checks that nothing follows.
    std::optional<FetchRequest> FetchArguments();   // after "FETCH <set> "
    std::optional<SearchRequest> SearchArguments(); // after "SEARCH "
    std::optional<StoreRequest> StoreArguments();   // after "STORE <set> "
    std::optional<ListRequest> ListArguments();     // after "LIST "
    /// After SELECT's or EXAMINE's mailbox: nothing, or SP and the parameter list.
    std::optional<SelectRequest> SelectParameters();
    /// After "APPEND ": the mailbox, flags and date, and the SP before the message literal; it
    /// stops at the literal's "{", which the caller reads with String() (its bytes need not
    /// have arrived yet: only the "{" is checked here).
    std::optional<AppendRequest> AppendArguments();
    /// STATUS items: "(" att *(SP att) ")" with MESSAGES UIDNEXT UIDVALIDITY UNSEEN DELETED
    /// SIZE RECENT HIGHESTMODSEQ, upper-cased.
    std::optional<std::vector<std::string>> StatusItems();

private:
    [[nodiscard]] char Peek() const; // '\0' at the end
    std::string_view Run(bool (*accept)(char));
    bool Digits(std::size_t count, int& value);
    std::optional<std::int64_t> DayMonthYear();
    bool Section(FetchItem& item, bool binary);
    std::optional<FetchItem> FetchAtt();
    std::optional<SearchKey> SearchKeyAt(int depth);

    std::string_view m_text;
    std::size_t m_at = 0;
};

/// How the server writes a string to the client: an atom-safe quoted string where it can, a
/// literal ("{n}\r\n...") where it must (CR, LF, NUL, 8-bit bytes, or long text).
std::string Quote(std::string_view text);
/// NIL for nothing.
std::string NQuote(const std::optional<std::string>& text);
/// A date-time as INTERNALDATE shows it: `"dd-Mon-yyyy hh:mm:ss +0000"` (UTC).
std::string FormatDateTime(std::int64_t seconds);

} // namespace brevin::imap
