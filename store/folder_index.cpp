#include "store/folder_index.h"

#include "base/text.h"
#include "store/durable_file.h"
#include "store/file_util.h"
#include "store/message_size.h"
#include "store/store_layout.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace brevin {

// The index is text, one record a line, so that an admin can read it and a torn line is easy to
// tell. The first line names the format and the folder's numbers; then:
//   k <keyword>                                          defines the next keyword bit
//   + <uid> <modseq> <date> <size> <flags> <keywords> <name>   a message
//   f <uid> <modseq> <flags> <keywords>                  its flags, replaced
//   - <uid> <modseq>                                     it left the folder
//   s <seconds> <nanoseconds>                            the folder's time at a full scan
// Flags and keywords are hexadecimal bit sets; the name escapes space, controls and "%".

namespace {

constexpr std::string_view kMagic = "BREVIN-INDEX 1 ";

// A folder's modification time closer to now than this may hide a change made within the same
// clock tick after it was read, so a scan at such a time is done again at the next look.
constexpr std::time_t kTrustedAge = 2;

// Compaction rewrites the whole file; it pays once the records outnumber the messages by this.
constexpr std::size_t kCompactSlack = 1024;

class Fields {
public:
    explicit Fields(std::string_view line) : m_rest(line) {}

    bool Word(std::string_view& out) {
        if (m_rest.empty()) {
            return false;
        }
        const std::size_t space = m_rest.find(' ');
        out = m_rest.substr(0, space);
        m_rest = space == std::string_view::npos ? std::string_view{} : m_rest.substr(space + 1);
        return !out.empty();
    }
    template <typename T>
    bool Number(T& out, int base = 10) {
        std::string_view word;
        if (!Word(word)) {
            return false;
        }
        const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), out, base);
        return ec == std::errc{} && end == word.data() + word.size();
    }
    [[nodiscard]] bool AtEnd() const { return m_rest.empty(); }
    [[nodiscard]] std::string_view Rest() const { return m_rest; }

private:
    std::string_view m_rest;
};

void AppendHex(std::string& out, std::uint64_t value) {
    char buffer[20];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    out.append(buffer, end);
}

bool NeedsEscape(unsigned char c) {
    return c <= 0x20 || c == 0x7f || c == '%';
}

std::string EscapeName(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (NeedsEscape(byte)) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> UnescapeName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte != '%') {
            if (NeedsEscape(byte)) {
                return std::nullopt;
            }
            out += text[i];
            continue;
        }
        unsigned value = 0;
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const auto [end, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
        if (ec != std::errc{} || end != text.data() + i + 3) {
            return std::nullopt;
        }
        out += static_cast<char>(value);
        i += 2;
    }
    if (out.empty()) {
        return std::nullopt;
    }
    return out;
}

std::string FlagsText(const MessageFlags& flags) {
    std::string out;
    AppendHex(out, flags.system);
    out += ' ';
    AppendHex(out, flags.keywords);
    return out;
}

bool ParseFlags(Fields& fields, MessageFlags& flags) {
    unsigned system = 0;
    if (!fields.Number(system, 16) || system > system_flag::kAll) {
        return false;
    }
    flags.system = static_cast<std::uint8_t>(system);
    return fields.Number(flags.keywords, 16);
}

IndexedMessage* FindIn(std::vector<IndexedMessage>& messages, std::uint32_t uid) {
    const auto at =
        std::lower_bound(messages.begin(), messages.end(), uid,
                         [](const IndexedMessage& m, std::uint32_t u) { return m.uid < u; });
    return at != messages.end() && at->uid == uid ? &*at : nullptr;
}

/// Applies the records of `text` (whole lines) to `into`. A message record must bring a UID of
/// at least `minUid` and above every one before it: a UID is never given twice.
void ApplyRecords(std::string_view text, ReadIndex& into, std::uint32_t minUid) {
    FolderSnapshot& state = into.snapshot;
    std::vector<std::uint32_t> removed;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.size() < 2 || line[1] != ' ') {
            into.damaged = true;
            continue;
        }
        Fields fields(line.substr(2));
        bool good = false;
        std::uint64_t modSeq = 0;
        std::uint32_t uid = 0;
        switch (line[0]) {
        case 'k': {
            const std::string_view name = fields.Rest();
            good = !name.empty() && name.find(' ') == std::string_view::npos;
            if (good && state.keywords.size() < FolderIndex::kMaxKeywords) {
                state.keywords.emplace_back(name);
            }
            break;
        }
        case '+': {
            IndexedMessage message;
            std::string_view name;
            good = fields.Number(message.uid) && fields.Number(message.modSeq) &&
                   fields.Number(message.internalDate) && fields.Number(message.size) &&
                   ParseFlags(fields, message.flags) && fields.Word(name) && fields.AtEnd() &&
                   message.uid >= minUid && message.uid != 0 && message.uid != UINT32_MAX;
            std::optional<std::string> unescaped;
            if (good) {
                unescaped = UnescapeName(name);
                good = unescaped.has_value();
            }
            if (good) {
                message.name = std::move(*unescaped);
                modSeq = message.modSeq;
                minUid = message.uid + 1;
                state.uidNext = std::max(state.uidNext, message.uid + 1);
                state.messages.push_back(std::move(message));
            }
            break;
        }
        case 'f': {
            MessageFlags flags;
            good = fields.Number(uid) && fields.Number(modSeq) && ParseFlags(fields, flags) &&
                   fields.AtEnd();
            if (good) {
                if (IndexedMessage* message = FindIn(state.messages, uid)) {
                    message->flags = flags;
                    message->modSeq = modSeq;
                }
            }
            break;
        }
        case '-':
            good = fields.Number(uid) && fields.Number(modSeq) && fields.AtEnd();
            if (good) {
                removed.push_back(uid);
            }
            break;
        case 's':
            good = fields.Number(into.scanned.tv_sec) && fields.Number(into.scanned.tv_nsec) &&
                   fields.AtEnd() && into.scanned.tv_nsec >= 0 && into.scanned.tv_nsec < 1000000000;
            if (!good) {
                into.scanned = {};
            }
            break;
        default:
            break;
        }
        if (!good) {
            into.damaged = true;
            continue;
        }
        ++into.records;
        state.highestModSeq = std::max(state.highestModSeq, modSeq);
    }
    if (!removed.empty()) {
        std::sort(removed.begin(), removed.end());
        std::erase_if(state.messages, [&](const IndexedMessage& m) {
            return std::binary_search(removed.begin(), removed.end(), m.uid);
        });
    }
}

std::string HeaderLine(const FolderSnapshot& state) {
    return std::string(kMagic) + std::to_string(state.uidValidity) + " " +
           std::to_string(state.uidNext) + " " + std::to_string(state.highestModSeq) + "\n";
}

std::string AddLine(const IndexedMessage& m) {
    return "+ " + std::to_string(m.uid) + " " + std::to_string(m.modSeq) + " " +
           std::to_string(m.internalDate) + " " + std::to_string(m.size) + " " +
           FlagsText(m.flags) + " " + EscapeName(m.name) + "\n";
}

std::string ScanLine(const std::timespec& time) {
    return "s " + std::to_string(time.tv_sec) + " " + std::to_string(time.tv_nsec) + "\n";
}

bool SameTime(const std::timespec& a, const std::timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

/// A message's size as a client holds it: recorded with the file, or measured.
std::uint64_t ClientSizeOf(const std::string& path) {
    if (const auto recorded = layout::ReadRecordedSize(path)) {
        return *recorded;
    }
    MessageSizeCounter counter;
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd) {
        char buffer[64 * 1024];
        ssize_t got = 0;
        while ((got = ::read(fd.Get(), buffer, sizeof buffer)) > 0) {
            counter.Feed({buffer, static_cast<std::size_t>(got)});
        }
        if (got == 0) {
            layout::RecordSize(fd.Get(), counter.Size());
        }
    }
    return counter.Size();
}

/// A UIDVALIDITY for a folder starting over: the time, and never the same twice in a run, so a
/// folder deleted and made again within a second still tells clients its UIDs are new.
std::uint32_t NewUidValidity() {
    static std::atomic<std::uint32_t> last{0};
    const auto now = static_cast<std::uint32_t>(std::max<std::time_t>(::time(nullptr), 1));
    std::uint32_t previous = last.load();
    std::uint32_t next = 0;
    do {
        next = std::max(now, previous + 1);
    } while (!last.compare_exchange_weak(previous, next));
    return next;
}

} // namespace

const IndexedMessage* FolderSnapshot::Find(std::uint32_t uid) const {
    const auto at =
        std::lower_bound(messages.begin(), messages.end(), uid,
                         [](const IndexedMessage& m, std::uint32_t u) { return m.uid < u; });
    return at != messages.end() && at->uid == uid ? &*at : nullptr;
}

FolderChanges CompareSnapshots(const FolderSnapshot& before, const FolderSnapshot& after) {
    FolderChanges changes;
    if (before.uidValidity != after.uidValidity) {
        changes.newValidity = true;
        for (const IndexedMessage& m : after.messages) {
            changes.added.push_back(m.uid);
        }
        return changes;
    }
    auto a = before.messages.begin();
    auto b = after.messages.begin();
    while (a != before.messages.end() || b != after.messages.end()) {
        if (b == after.messages.end() || (a != before.messages.end() && a->uid < b->uid)) {
            changes.expunged.push_back((a++)->uid);
        } else if (a == before.messages.end() || b->uid < a->uid) {
            changes.added.push_back((b++)->uid);
        } else {
            if (a->modSeq != b->modSeq) {
                changes.flagged.push_back(b->uid);
            }
            ++a;
            ++b;
        }
    }
    return changes;
}

ReadIndex ReadIndexText(std::string_view text) {
    ReadIndex read;
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos || !text.starts_with(kMagic)) {
        return read;
    }
    Fields header(text.substr(kMagic.size(), end - kMagic.size()));
    FolderSnapshot& state = read.snapshot;
    if (!header.Number(state.uidValidity) || !header.Number(state.uidNext) ||
        !header.Number(state.highestModSeq) || !header.AtEnd() || state.uidValidity == 0 ||
        state.uidNext == 0) {
        read.snapshot = {};
        return read;
    }
    ApplyRecords(text.substr(end + 1), read, 1);
    return read;
}

FolderIndex::FolderIndex(std::string folderPath)
    : m_folder(std::move(folderPath)), m_indexPath(layout::IndexPath(m_folder)),
      m_published(std::make_shared<const FolderSnapshot>()) {}

bool FolderIndex::Load() {
    m_loaded = true;
    m_state = {};
    const std::string meta = layout::MetadataFolder(m_folder);
    const bool madeMeta = ::mkdir(meta.c_str(), layout::kFolderMode) == 0;
    if (madeMeta) {
        durable::FlushFolder(m_folder);
    }
    m_fd =
        UniqueFd(::open(m_indexPath.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW,
                        layout::kMessageMode));
    struct stat st {};
    if (!m_fd || ::fstat(m_fd.Get(), &st) != 0) {
        return false;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n =
            ::pread(m_fd.Get(), text.data() + got, text.size() - got, static_cast<off_t>(got));
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    // A record cut short by a crash is no record: it goes before anything is appended after it.
    const std::size_t whole = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
    ReadIndex read = ReadIndexText(std::string_view(text).substr(0, whole));
    if (read.snapshot.uidValidity == 0) {
        // Nothing of the old numbering can be trusted: the UIDs start over under a new validity.
        m_state.uidValidity = NewUidValidity();
        m_records = 0;
        m_scanned = {};
        m_scanTrusted = false;
        m_changed = true;
        if (!durable::ReplaceFile(m_indexPath, HeaderLine(m_state), layout::kMessageMode,
                                  m_indexPath + ".new")) {
            m_fd.Reset();
            return false;
        }
        m_fd = UniqueFd(::open(m_indexPath.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
        return m_fd.Valid();
    }
    if (whole != text.size() && ::ftruncate(m_fd.Get(), static_cast<off_t>(whole)) != 0) {
        return false;
    }
    m_state = std::move(read.snapshot);
    m_records = read.records;
    m_scanned = read.scanned;
    m_scanTrusted = read.scanned.tv_sec != 0 || read.scanned.tv_nsec != 0;
    m_changed = true;
    if (read.damaged) {
        m_records = SIZE_MAX; // rewrite it clean now
        CompactIfWorthIt();
    }
    return m_fd.Valid();
}

std::shared_ptr<const FolderSnapshot> FolderIndex::Refresh() {
    struct stat st {};
    if (::stat(m_folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        // Gone, or moved away for now: empty until it is back, when its index is read again.
        if (m_loaded) {
            m_state = {};
            m_fd.Reset();
            m_loaded = false;
            m_changed = true;
        }
        Publish();
        return m_published;
    }
    if (!m_loaded) {
        m_state.durable = Load();
    }
    if (!m_scanTrusted || !SameTime(st.st_mtim, m_scanned)) {
        Scan(st.st_mtim);
    }
    CompactIfWorthIt();
    Publish();
    return m_published;
}

std::string FolderIndex::AddRecord(const std::string& name, std::optional<std::int64_t> date) {
    const std::string path = m_folder + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    IndexedMessage message;
    message.uid = m_state.uidNext;
    message.modSeq = m_state.highestModSeq + 1;
    message.internalDate = date ? *date : static_cast<std::int64_t>(st.st_mtime);
    message.size = ClientSizeOf(path);
    message.name = name;
    // Reserve the numbers now; Append applies the records that take them for real.
    ++m_state.uidNext;
    ++m_state.highestModSeq;
    return AddLine(message);
}

void FolderIndex::Scan(const std::timespec& folderTime) {
    // The time is read before the listing: a file named during it changes the time again.
    const std::vector<std::string> names = layout::ListMessageNames(m_folder);
    std::unordered_set<std::string_view> listed(names.begin(), names.end());
    std::unordered_set<std::string_view> known;
    known.reserve(m_state.messages.size());
    std::string records;
    for (const IndexedMessage& message : m_state.messages) {
        known.insert(message.name);
        if (!listed.contains(message.name)) {
            records += "- " + std::to_string(message.uid) + " " +
                       std::to_string(++m_state.highestModSeq) + "\n";
        }
    }
    bool adding = false;
    const std::uint32_t uidNext = m_state.uidNext;
    const std::uint64_t modSeq = m_state.highestModSeq;
    for (const std::string& name : names) {
        if (!known.contains(name)) {
            const std::string record = AddRecord(name, std::nullopt);
            adding = adding || !record.empty();
            records += record;
        }
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const bool trusted = now.tv_sec - folderTime.tv_sec >= kTrustedAge;
    if (trusted && !SameTime(folderTime, m_scanned)) {
        records += ScanLine(folderTime);
    }
    if (!records.empty()) {
        // New UIDs are flushed before anyone sees them: a power cut must not hand them out again.
        m_state.uidNext = uidNext;
        m_state.highestModSeq = modSeq;
        if (!m_state.durable || !Append(records, adding)) {
            m_state.durable = false;
            return;
        }
    }
    m_scanned = folderTime;
    m_scanTrusted = trusted;
}

bool FolderIndex::Append(const std::string& records, bool flush) {
    if (!m_fd) {
        errno = EBADF;
        return false;
    }
    struct stat st {};
    if (::fstat(m_fd.Get(), &st) != 0) {
        return false;
    }
    if (!file_util::WriteAll(m_fd.Get(), records.data(), records.size()) ||
        (flush && ::fdatasync(m_fd.Get()) != 0)) {
        const int saved = errno;
        // Half a record would read as damage: cut back to where the file ended.
        if (::ftruncate(m_fd.Get(), st.st_size) != 0) {
            m_fd.Reset();
        }
        errno = saved;
        return false;
    }
    ReadIndex applied;
    const std::uint32_t minUid = m_state.uidNext;
    applied.snapshot = std::move(m_state);
    ApplyRecords(records, applied, minUid);
    m_state = std::move(applied.snapshot);
    if (applied.scanned.tv_sec != 0 || applied.scanned.tv_nsec != 0) {
        m_scanned = applied.scanned;
    }
    m_records += applied.records;
    m_changed = true;
    return true;
}

void FolderIndex::CompactIfWorthIt() {
    if (!m_fd || m_records <= 2 * m_state.messages.size() + kCompactSlack) {
        return;
    }
    std::string text = HeaderLine(m_state);
    for (const std::string& keyword : m_state.keywords) {
        text += "k " + keyword + "\n";
    }
    for (const IndexedMessage& message : m_state.messages) {
        text += AddLine(message);
    }
    if (m_scanTrusted) {
        text += ScanLine(m_scanned);
    }
    if (!durable::ReplaceFile(m_indexPath, text, layout::kMessageMode, m_indexPath + ".new")) {
        return; // the old file is still whole and still appended to
    }
    UniqueFd fd(::open(m_indexPath.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    if (fd) {
        m_fd = std::move(fd);
        m_records = m_state.keywords.size() + m_state.messages.size();
    } else {
        m_fd.Reset();
        m_state.durable = false;
    }
}

void FolderIndex::Publish() {
    if (m_changed) {
        m_state.totalSize = 0;
        for (const IndexedMessage& message : m_state.messages) {
            m_state.totalSize += message.size;
        }
        m_published = std::make_shared<const FolderSnapshot>(m_state);
        m_changed = false;
    }
}

bool FolderIndex::SetFlags(std::span<const FlagChange> changes) {
    std::string records;
    std::uint64_t modSeq = m_state.highestModSeq;
    for (const FlagChange& change : changes) {
        if (m_state.Find(change.uid) != nullptr) {
            records += "f " + std::to_string(change.uid) + " " + std::to_string(++modSeq) + " " +
                       FlagsText(change.flags) + "\n";
        }
    }
    if (records.empty()) {
        return true;
    }
    if (!m_state.durable || !Append(records, false)) {
        return false;
    }
    Publish();
    return true;
}

std::optional<unsigned> FolderIndex::Keyword(std::string_view name) {
    for (std::size_t i = 0; i < m_state.keywords.size(); ++i) {
        if (EqualsIgnoringCase(m_state.keywords[i], name)) {
            return static_cast<unsigned>(i);
        }
    }
    const bool printable = !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
    });
    if (!printable || m_state.keywords.size() >= kMaxKeywords || !m_state.durable ||
        !Append("k " + std::string(name) + "\n", false)) {
        return std::nullopt;
    }
    return static_cast<unsigned>(m_state.keywords.size() - 1);
}

std::vector<std::uint32_t> FolderIndex::Expunge(std::span<const std::uint32_t> uids) {
    std::vector<std::uint32_t> gone;
    std::string records;
    std::uint64_t modSeq = m_state.highestModSeq;
    for (const std::uint32_t uid : uids) {
        const IndexedMessage* message = m_state.Find(uid);
        if (message == nullptr) {
            continue;
        }
        const std::string path = m_folder + "/" + message->name;
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) {
            gone.push_back(uid);
            records += "- " + std::to_string(uid) + " " + std::to_string(++modSeq) + "\n";
        }
    }
    // A record lost here leaves an entry whose file is gone: the next scan removes it.
    if (!records.empty() && m_state.durable) {
        Append(records, false);
    }
    Publish();
    return gone;
}

void FolderIndex::Forget(std::span<const std::string> names) {
    if (names.empty() || !m_loaded) {
        return;
    }
    const std::unordered_set<std::string_view> goneNames(names.begin(), names.end());
    std::string records;
    std::uint64_t modSeq = m_state.highestModSeq;
    for (const IndexedMessage& message : m_state.messages) {
        if (goneNames.contains(message.name)) {
            records += "- " + std::to_string(message.uid) + " " + std::to_string(++modSeq) + "\n";
        }
    }
    if (!records.empty() && m_state.durable) {
        Append(records, false);
    }
    Publish();
}

std::vector<std::uint32_t> FolderIndex::Add(std::span<const std::string> names,
                                            std::span<const std::int64_t> dates) {
    if (!m_loaded) {
        Refresh(); // indexes the new files with the rest
    }
    std::vector<std::uint32_t> uids(names.size(), 0);
    std::string records;
    const std::uint32_t uidNext = m_state.uidNext;
    const std::uint64_t modSeq = m_state.highestModSeq;
    std::vector<std::size_t> fresh;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto known =
            std::find_if(m_state.messages.rbegin(), m_state.messages.rend(),
                         [&](const IndexedMessage& m) { return m.name == names[i]; });
        if (known != m_state.messages.rend()) {
            uids[i] = known->uid;
            continue;
        }
        const std::optional<std::int64_t> date =
            i < dates.size() ? std::optional(dates[i]) : std::nullopt;
        const std::uint32_t uid = m_state.uidNext;
        const std::string record = AddRecord(names[i], date);
        if (!record.empty()) {
            uids[i] = uid;
            records += record;
            fresh.push_back(i);
        }
    }
    m_state.uidNext = uidNext;
    m_state.highestModSeq = modSeq;
    if (!records.empty() && (!m_state.durable || !Append(records, true))) {
        for (const std::size_t i : fresh) {
            uids[i] = 0;
        }
    }
    Publish();
    return uids;
}

} // namespace brevin
