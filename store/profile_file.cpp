#include "store/profile_file.h"

#include "store/file_util.h"
#include "store/store_faults.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace brevin {

namespace {

constexpr std::string_view kBlanks = " \t";
// A file changed less than this long before it was read may change again within the same
// timestamp tick without its times moving, so such a read is not kept for later calls.
constexpr long kRacySeconds = 2;
// Attempts at finding a free temporary name next to the profile.
constexpr int kTempAttempts = 100;

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

enum class LineKind { Other, Section, Key };

struct Line {
    std::string text; // without its line end
    std::string end;  // "\r\n", "\n", or "" for a last line without one
    LineKind kind = LineKind::Other;
    std::string name;  // section or key name, blanks trimmed
    std::string value; // key value, blanks trimmed
};

void Classify(Line& line) {
    std::string_view text = line.text;
    if (text.starts_with("\xEF\xBB\xBF")) { // a byte-order mark left by some editors
        text.remove_prefix(3);
    }
    text = Trim(text);
    line.kind = LineKind::Other;
    line.name.clear();
    line.value.clear();
    if (text.empty() || text.front() == ';') {
        return;
    }
    if (text.front() == '[') {
        const auto close = text.find(']');
        line.kind = LineKind::Section;
        line.name = Trim(text.substr(1, close == std::string_view::npos ? close : close - 1));
        return;
    }
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) {
        return;
    }
    const auto name = Trim(text.substr(0, eq));
    if (name.empty()) {
        return;
    }
    line.kind = LineKind::Key;
    line.name = name;
    line.value = Trim(text.substr(eq + 1));
}

struct Document {
    std::vector<Line> lines;
    std::string eol = "\n"; // for lines added to the file

    static Document Parse(std::string_view content) {
        Document doc;
        std::size_t crlf = 0;
        std::size_t lf = 0;
        // Each round consumes at least one byte of `content`.
        while (!content.empty()) {
            Line line;
            const auto nl = content.find('\n');
            std::string_view text = content.substr(0, nl);
            if (nl == std::string_view::npos) {
                content = {};
            } else {
                content.remove_prefix(nl + 1);
                if (text.ends_with('\r')) {
                    text.remove_suffix(1);
                    line.end = "\r\n";
                    ++crlf;
                } else {
                    line.end = "\n";
                    ++lf;
                }
            }
            line.text = text;
            Classify(line);
            doc.lines.push_back(std::move(line));
        }
        if (crlf > lf) {
            doc.eol = "\r\n";
        }
        return doc;
    }

    [[nodiscard]] std::string Serialise() const {
        std::string out;
        for (const Line& line : lines) {
            out += line.text;
            out += line.end;
        }
        return out;
    }

    /// Index of the header of the first section so named, or lines.size().
    [[nodiscard]] std::size_t FindSection(std::string_view section) const {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].kind == LineKind::Section && SameName(lines[i].name, section)) {
                return i;
            }
        }
        return lines.size();
    }

    /// One past the last line of the section whose header is at `header`.
    [[nodiscard]] std::size_t SectionEnd(std::size_t header) const {
        std::size_t i = header + 1;
        while (i < lines.size() && lines[i].kind != LineKind::Section) {
            ++i;
        }
        return i;
    }

    [[nodiscard]] const Line* FindKey(std::string_view section, std::string_view key) const {
        const std::size_t header = FindSection(section);
        if (header == lines.size()) {
            return nullptr;
        }
        const std::size_t end = SectionEnd(header);
        for (std::size_t i = header + 1; i < end; ++i) {
            if (lines[i].kind == LineKind::Key && SameName(lines[i].name, key)) {
                return &lines[i];
            }
        }
        return nullptr;
    }

    void Append(std::size_t at, std::string text) {
        // The line before a new one must end, or the two would run together.
        if (at > 0 && lines[at - 1].end.empty()) {
            lines[at - 1].end = eol;
        }
        Line line;
        line.text = std::move(text);
        line.end = eol;
        Classify(line);
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
    }

    /// Returns true when the document changed.
    bool Set(std::string_view section, std::string_view key, std::string_view value) {
        std::size_t header = FindSection(section);
        if (header == lines.size()) {
            Append(lines.size(), "[" + std::string(section) + "]");
            Append(lines.size(), std::string(key) + "=" + std::string(value));
            return true;
        }
        const std::size_t end = SectionEnd(header);
        std::size_t insertAt = header + 1;
        for (std::size_t i = header + 1; i < end; ++i) {
            Line& line = lines[i];
            if (line.kind != LineKind::Key) {
                continue;
            }
            if (SameName(line.name, key)) {
                if (line.value == value) {
                    return false;
                }
                // The key keeps its spelling in the file; only the value changes.
                line.text = line.name + "=" + std::string(value);
                Classify(line);
                return true;
            }
            insertAt = i + 1;
        }
        Append(insertAt, std::string(key) + "=" + std::string(value));
        return true;
    }

    bool Erase(std::string_view section, std::string_view key) {
        const std::size_t header = FindSection(section);
        if (header == lines.size()) {
            return false;
        }
        const auto first = lines.begin() + static_cast<std::ptrdiff_t>(header + 1);
        const auto last = lines.begin() + static_cast<std::ptrdiff_t>(SectionEnd(header));
        const auto kept = std::remove_if(first, last, [key](const Line& line) {
            return line.kind == LineKind::Key && SameName(line.name, key);
        });
        if (kept == last) {
            return false;
        }
        lines.erase(kept, last);
        return true;
    }
};

bool StorableSection(std::string_view section) {
    return !section.empty() && Trim(section) == section && !HasLineBreak(section) &&
           section.find(']') == std::string_view::npos;
}

bool StorableKey(std::string_view key) {
    return !key.empty() && Trim(key) == key && !HasLineBreak(key) &&
           key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';';
}

std::string CutValue(std::string_view value) {
    return std::string(value.substr(0, ProfileFile::kMaxValue));
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool ChangedLongAgo(const struct stat& st) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_ctim.tv_sec > kRacySeconds;
}

} // namespace

struct ProfileFile::Snapshot {
    struct stat identity {};
    bool keep = false; // may answer later calls while the identity holds
    Document doc;
};

namespace {

/// Reads the whole file. Null when it is missing or unreadable (reads then give defaults).
std::shared_ptr<ProfileFile::Snapshot> ReadSnapshot(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    auto snap = std::make_shared<ProfileFile::Snapshot>();
    std::string content;
    bool ok = ::fstat(fd, &snap->identity) == 0 && S_ISREG(snap->identity.st_mode);
    if (ok) {
        content.reserve(static_cast<std::size_t>(snap->identity.st_size));
        char buffer[8192];
        // Ends at end of file or on an error.
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            content.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (!ok) {
        return nullptr;
    }
    snap->doc = Document::Parse(content);
    // A file that grew or shrank while it was read is not kept.
    snap->keep = static_cast<off_t>(content.size()) == snap->identity.st_size &&
                 ChangedLongAgo(snap->identity);
    return snap;
}

/// Replaces `path` by a new file holding `content`: a temporary file next to it, flushed, then
/// renamed over it. On failure the old file is untouched and the temporary file removed.
bool ReplaceFile(const std::string& path, const std::string& content, ProfileSync sync) {
    static std::atomic<unsigned> sequence{0};
    const std::string folder = file_util::FolderOf(path);
    const auto slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

    // Keep the old file's permissions; a new profile holds passwords, so only its owner reads it.
    mode_t mode = 0600;
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    }

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < kTempAttempts && fd < 0; ++attempt) {
        temp = folder + "/." + base + "." + std::to_string(::getpid()) + "." +
               std::to_string(sequence++) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 || errno == EPERM;
    if (ok && StoreFaults::failProfileWrites) {
        errno = ENOSPC;
        ok = false;
    }
    ok = ok && file_util::WriteAll(fd, content.data(), content.size());
    ok = ok && ::fdatasync(fd) == 0;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        file_util::CloseQuietly(fd);
        ::unlink(temp.c_str());
        return false;
    }
    file_util::CloseQuietly(fd);
    if (sync == ProfileSync::Durable) {
        return file_util::SyncFolder(folder);
    }
    return true;
}

} // namespace

ProfileFile::ProfileFile(std::filesystem::path path) : m_path(std::move(path)) {}

std::shared_ptr<const ProfileFile::Snapshot> ProfileFile::Load() const {
    struct stat st {};
    if (::stat(m_path.c_str(), &st) != 0) {
        m_cache.reset();
        return nullptr;
    }
    if (m_cache && m_cache->keep && SameFile(m_cache->identity, st)) {
        return m_cache;
    }
    auto snap = ReadSnapshot(m_path.string());
    m_cache = snap;
    return snap;
}

std::string ProfileFile::Read(std::string_view section, std::string_view key,
                              std::string_view fallback) const {
    if (const auto snap = Load()) {
        if (const Line* line = snap->doc.FindKey(section, key)) {
            return CutValue(line->value);
        }
    }
    return CutValue(fallback);
}

std::vector<std::string> ProfileFile::Keys(std::string_view section) const {
    std::vector<std::string> keys;
    const auto snap = Load();
    if (!snap) {
        return keys;
    }
    const Document& doc = snap->doc;
    const std::size_t header = doc.FindSection(section);
    if (header == doc.lines.size()) {
        return keys;
    }
    const std::size_t end = doc.SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        if (doc.lines[i].kind == LineKind::Key) {
            keys.push_back(doc.lines[i].name);
        }
    }
    return keys;
}

bool ProfileFile::Write(std::string_view section, std::string_view key, std::string_view value) {
    const ProfileChange change{section, key, value};
    return Apply({&change, 1});
}

bool ProfileFile::Remove(std::string_view section, std::string_view key) {
    const ProfileChange change{section, key, std::nullopt};
    return Apply({&change, 1});
}

bool ProfileFile::Apply(std::span<const ProfileChange> changes, ProfileSync sync) {
    for (const ProfileChange& change : changes) {
        if (!StorableSection(change.section) || !StorableKey(change.key) ||
            (change.value && HasLineBreak(*change.value))) {
            errno = EINVAL;
            return false;
        }
    }
    const auto snap = Load();
    if (!snap) {
        // Only a missing file starts empty; one that exists but cannot be read is left alone.
        struct stat st {};
        if (::stat(m_path.c_str(), &st) == 0 || errno != ENOENT) {
            return false;
        }
    }
    Document doc = snap ? snap->doc : Document{};
    bool changed = false;
    for (const ProfileChange& change : changes) {
        if (change.value) {
            changed = doc.Set(change.section, change.key, Trim(*change.value)) || changed;
        } else {
            changed = doc.Erase(change.section, change.key) || changed;
        }
    }
    if (!changed) {
        return true;
    }
    m_cache.reset();
    return ReplaceFile(m_path.string(), doc.Serialise(), sync);
}

} // namespace brevin
