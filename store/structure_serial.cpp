// The binary form of a MessageStructure: a version byte, then every field in declaration
// order. Numbers are LEB128 varints; an optional string is its length plus one (0: absent);
// a part's offsets are stored as the distances between them, which are small.

#include "store/message_structure.h"

#include <algorithm>

namespace brevin {

namespace {

constexpr char kVersion = 1;
// Lists are reserved up to this length before reading them: enough for most, and small enough
// that a damaged count cannot make a deep tree allocate much beyond its input.
constexpr std::size_t kReserve = 8;

class Writer {
public:
    void Number(std::uint64_t n) {
        while (n >= 0x80) {
            m_out += static_cast<char>((n & 0x7f) | 0x80);
            n >>= 7;
        }
        m_out += static_cast<char>(n);
    }
    void String(std::string_view s) {
        Number(s.size());
        m_out += s;
    }
    void Optional(const std::optional<std::string>& s) {
        Number(s ? s->size() + 1 : 0);
        if (s) {
            m_out += *s;
        }
    }
    void Addresses(const std::vector<Address>& list) {
        Number(list.size());
        for (const Address& a : list) {
            Optional(a.name);
            Optional(a.adl);
            Optional(a.mailbox);
            Optional(a.host);
        }
    }
    void Parameters(const std::vector<Parameter>& list) {
        Number(list.size());
        for (const Parameter& p : list) {
            String(p.name);
            String(p.value);
        }
    }
    void EnvelopeOf(const Envelope& e) {
        Optional(e.date);
        Optional(e.subject);
        for (const auto* list : {&e.from, &e.sender, &e.replyTo, &e.to, &e.cc, &e.bcc}) {
            Addresses(*list);
        }
        Optional(e.inReplyTo);
        Optional(e.messageId);
    }
    void Part(const BodyPart& p) {
        String(p.type);
        String(p.subtype);
        Parameters(p.parameters);
        Optional(p.id);
        Optional(p.description);
        String(p.encoding);
        Number(p.headerStart);
        Number(p.bodyStart - p.headerStart);
        Number(p.end - p.bodyStart);
        Number(p.lines);
        Optional(p.md5);
        Optional(p.disposition);
        Parameters(p.dispositionParameters);
        Number(p.language.size());
        for (const std::string& tag : p.language) {
            String(tag);
        }
        Optional(p.location);
        m_out += p.envelope ? '\1' : '\0';
        if (p.envelope) {
            EnvelopeOf(*p.envelope);
        }
        Number(p.children.size());
        for (const BodyPart& child : p.children) {
            Part(child);
        }
    }

    std::string m_out;
};

/// Reads what Writer wrote. Every length is checked against the bytes left, and lists grow one
/// element at a time as each is read (each takes a byte at least), so damage can neither make
/// it read beyond the input nor allocate more than a small multiple of it.
class Reader {
public:
    explicit Reader(std::string_view in) : m_in(in) {}

    [[nodiscard]] bool Ok() const { return m_ok; }
    [[nodiscard]] bool AtEnd() const { return m_in.empty(); }

    std::uint64_t Number() {
        std::uint64_t n = 0;
        for (unsigned shift = 0; shift < 64; shift += 7) {
            if (m_in.empty()) {
                break;
            }
            const auto byte = static_cast<unsigned char>(m_in.front());
            m_in.remove_prefix(1);
            n |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                return n;
            }
        }
        return Fail();
    }
    std::size_t Count() {
        const std::uint64_t n = Number();
        return n <= m_in.size() ? static_cast<std::size_t>(n) : Fail();
    }
    // Everything is read into its place: a structure has many small fields, and moving each
    // from a temporary cost more than the reading.
    void String(std::string& s) {
        const std::size_t n = Count();
        s.assign(m_in.data(), n);
        m_in.remove_prefix(n);
    }
    void Optional(std::optional<std::string>& s) {
        const std::uint64_t n = Number();
        if (n == 0) {
            return;
        }
        if (n - 1 > m_in.size()) {
            Fail();
            return;
        }
        s.emplace(m_in.data(), n - 1);
        m_in.remove_prefix(n - 1);
    }
    void Addresses(std::vector<Address>& list) {
        std::size_t n = Count();
        list.reserve(std::min<std::size_t>(n, kReserve));
        for (; n > 0 && m_ok; --n) {
            Address& a = list.emplace_back();
            Optional(a.name);
            Optional(a.adl);
            Optional(a.mailbox);
            Optional(a.host);
        }
    }
    void Parameters(std::vector<Parameter>& list) {
        std::size_t n = Count();
        list.reserve(std::min<std::size_t>(n, kReserve));
        for (; n > 0 && m_ok; --n) {
            Parameter& p = list.emplace_back();
            String(p.name);
            String(p.value);
        }
    }
    void EnvelopeOf(Envelope& e) {
        Optional(e.date);
        Optional(e.subject);
        for (auto* list : {&e.from, &e.sender, &e.replyTo, &e.to, &e.cc, &e.bcc}) {
            Addresses(*list);
        }
        Optional(e.inReplyTo);
        Optional(e.messageId);
    }
    void Part(BodyPart& p, unsigned depth) {
        String(p.type);
        String(p.subtype);
        Parameters(p.parameters);
        Optional(p.id);
        Optional(p.description);
        String(p.encoding);
        p.headerStart = Number();
        p.bodyStart = Sum(p.headerStart, Number());
        p.end = Sum(p.bodyStart, Number());
        p.lines = Number();
        Optional(p.md5);
        Optional(p.disposition);
        Parameters(p.dispositionParameters);
        for (std::size_t n = Count(); n > 0 && m_ok; --n) {
            String(p.language.emplace_back());
        }
        Optional(p.location);
        const std::uint64_t hasEnvelope = Number();
        if (hasEnvelope > 1) {
            Fail();
        } else if (hasEnvelope == 1) {
            EnvelopeOf(p.envelope.emplace());
        }
        // A deeper tree than ParseStructure makes is damage, and would cost stack.
        const std::size_t children = Count();
        if (!m_ok || (children > 0 && depth >= kMaxMimeDepth + 2)) {
            Fail();
            return;
        }
        p.children.reserve(std::min<std::size_t>(children, kReserve));
        for (std::size_t n = children; n > 0 && m_ok; --n) {
            Part(p.children.emplace_back(), depth + 1);
        }
    }

private:
    std::uint64_t Sum(std::uint64_t a, std::uint64_t b) { return a + b >= a ? a + b : Fail(); }
    std::size_t Fail() {
        m_ok = false;
        m_in = {};
        return 0;
    }

    std::string_view m_in;
    bool m_ok = true;
};

/// Offsets that stay inside the message, so that slicing the text by them is always safe.
bool WithinMessage(const BodyPart& part, std::uint64_t size) {
    if (part.headerStart > part.bodyStart || part.bodyStart > part.end || part.end > size) {
        return false;
    }
    for (const BodyPart& child : part.children) {
        if (!WithinMessage(child, size)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string Serialize(const MessageStructure& structure) {
    Writer writer;
    writer.m_out += kVersion;
    writer.Number(structure.size);
    writer.EnvelopeOf(structure.envelope);
    writer.Part(structure.body);
    return std::move(writer.m_out);
}

std::optional<MessageStructure> Deserialize(std::string_view bytes) {
    if (bytes.empty() || bytes[0] != kVersion) {
        return std::nullopt;
    }
    Reader reader(bytes.substr(1));
    std::optional<MessageStructure> structure(std::in_place); // filled in place, returned as is
    structure->size = reader.Number();
    reader.EnvelopeOf(structure->envelope);
    reader.Part(structure->body, 0);
    if (!reader.Ok() || !reader.AtEnd() || !WithinMessage(structure->body, structure->size)) {
        structure.reset();
    }
    return structure;
}

} // namespace brevin
