#include "store/ini_document.h"

#include "base/text.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace brevin::ini {

namespace {

// Blanks around names and values; a stray CR (an editor mixing line ends) counts as one.
constexpr std::string_view kBlanks = " \t\r";

std::string Joined(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const std::string_view part : parts) {
        out.append(part);
    }
    return out;
}

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

/// Where a key of the first section of its name is: lower-cased section, "\n" (which no
/// name holds), lower-cased key.
std::string IndexName(std::string_view section, std::string_view key) {
    std::string name = AsciiLower(section);
    name += '\n';
    name += AsciiLower(key);
    return name;
}

} // namespace

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool StorableSection(std::string_view section) {
    return !section.empty() && Trim(section) == section && !HasLineBreak(section) &&
           section.find(']') == std::string_view::npos;
}

bool StorableKey(std::string_view key) {
    return !key.empty() && Trim(key) == key && !HasLineBreak(key) &&
           key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';';
}

void Document::Reindex() {
    sections.clear();
    keys.clear();
    bool first = false; // in the first section of its name
    std::string section;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (line.kind == LineKind::Section) {
            section = AsciiLower(line.name);
            first = sections.emplace(section, i).second;
        } else if (line.kind == LineKind::Key && first) {
            keys.emplace(IndexName(section, line.name), i);
        }
    }
}

std::size_t Document::IndexedSection(std::string_view section) const {
    const auto found = sections.find(AsciiLower(section));
    return found == sections.end() ? lines.size() : found->second;
}

const Line* Document::IndexedKey(std::string_view section, std::string_view key) const {
    const auto found = keys.find(IndexName(section, key));
    return found == keys.end() ? nullptr : &lines[found->second];
}

Document Document::Parse(std::string_view content) {
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
            // A last line cut after its CR still ends there: the CR is no part of a value.
            if (text.ends_with('\r')) {
                text.remove_suffix(1);
                line.end = "\r";
            }
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
    doc.Reindex();
    return doc;
}

std::string Document::Serialise() const {
    std::string out;
    for (const Line& line : lines) {
        out += line.text;
        out += line.end;
    }
    return out;
}

std::size_t Document::FindSection(std::string_view section) const {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == LineKind::Section && EqualsIgnoringCase(lines[i].name, section)) {
            return i;
        }
    }
    return lines.size();
}

std::size_t Document::SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines.size() && lines[i].kind != LineKind::Section) {
        ++i;
    }
    return i;
}

void Document::Append(std::size_t at, std::string text) {
    // The line before a new one must end, or the two would run together.
    if (at > 0 && (lines[at - 1].end.empty() || lines[at - 1].end == "\r")) {
        lines[at - 1].end = eol;
    }
    Line line;
    line.text = std::move(text);
    line.end = eol;
    Classify(line);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

bool Document::Set(std::string_view section, std::string_view key, std::string_view value) {
    std::size_t header = FindSection(section);
    if (header == lines.size()) {
        Append(lines.size(), Joined({"[", section, "]"}));
        Append(lines.size(), Joined({key, "=", value}));
        return true;
    }
    const std::size_t end = SectionEnd(header);
    std::size_t insertAt = header + 1;
    for (std::size_t i = header + 1; i < end; ++i) {
        Line& line = lines[i];
        if (line.kind != LineKind::Key) {
            continue;
        }
        if (EqualsIgnoringCase(line.name, key)) {
            if (line.value == value) {
                return false;
            }
            // The key keeps its spelling in the file; only the value changes.
            line.text = Joined({line.name, "=", value});
            Classify(line);
            return true;
        }
        insertAt = i + 1;
    }
    Append(insertAt, Joined({key, "=", value}));
    return true;
}

bool Document::Erase(std::string_view section, std::string_view key) {
    const std::size_t header = FindSection(section);
    if (header == lines.size()) {
        return false;
    }
    const auto first = lines.begin() + static_cast<std::ptrdiff_t>(header + 1);
    const auto last = lines.begin() + static_cast<std::ptrdiff_t>(SectionEnd(header));
    const auto kept = std::remove_if(first, last, [key](const Line& line) {
        return line.kind == LineKind::Key && EqualsIgnoringCase(line.name, key);
    });
    if (kept == last) {
        return false;
    }
    lines.erase(kept, last);
    return true;
}

std::size_t Document::Rewrite(
    std::string_view section,
    const std::function<std::optional<std::string>(std::string_view, std::string_view)>& next) {
    std::size_t changed = 0;
    bool inside = false;
    for (Line& line : lines) {
        if (line.kind == LineKind::Section) {
            inside = EqualsIgnoringCase(line.name, section);
        } else if (inside && line.kind == LineKind::Key) {
            const std::optional<std::string> value = next(line.name, line.value);
            if (value && *value != line.value) {
                line.text = Joined({line.name, "=", *value});
                Classify(line);
                ++changed;
            }
        }
    }
    return changed;
}

} // namespace brevin::ini
