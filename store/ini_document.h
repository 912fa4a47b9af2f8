#pragma once

// An INI file as lines that can be edited one key at a time and written back with every other
// line as it was: comments, blanks, letter case and line ends included.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brevin::ini {

/// `text` without surrounding blanks (space, tab, and a stray CR, as editors mixing line ends
/// leave).
std::string_view Trim(std::string_view text);
/// True when `text` holds a CR, LF or NUL, so it cannot stay within one line.
bool HasLineBreak(std::string_view text);
/// Whether a name can be written as a section header, or as a key, that reads back as itself.
bool StorableSection(std::string_view section);
bool StorableKey(std::string_view key);

enum class LineKind { Other, Section, Key };

struct Line {
    std::string text; // without its line end
    std::string end;  // "\r\n", "\n", or "" for a last line without one
    LineKind kind = LineKind::Other;
    std::string name;  // section or key name, blanks trimmed
    std::string value; // key value, blanks trimmed
};

/// Sections and keys compare without regard to letter case; the first section of a name and
/// the first key of a name within it are the ones that count.
struct Document {
    std::vector<Line> lines;
    std::string eol = "\n"; // for lines added to the file
    // Reads look names up here rather than walking the lines, so a read costs the same with
    // ten users as with fifty thousand. Rebuilt after every parse and edit.
    std::unordered_map<std::string, std::size_t> sections; // lower-cased name -> first header
    std::unordered_map<std::string, std::size_t> keys;     // section and key -> first such line

    /// Any bytes: a line is what ends at LF (or at the end); the file's commoner line end is
    /// the one new lines take.
    static Document Parse(std::string_view content);
    /// The bytes again: Parse then Serialise gives back what was parsed.
    [[nodiscard]] std::string Serialise() const;

    void Reindex();
    /// Index of the header of the first section so named, or lines.size().
    [[nodiscard]] std::size_t IndexedSection(std::string_view section) const;
    [[nodiscard]] const Line* IndexedKey(std::string_view section, std::string_view key) const;
    /// Index of the header of the first section so named, or lines.size(), without the index.
    [[nodiscard]] std::size_t FindSection(std::string_view section) const;
    /// One past the last line of the section whose header is at `header`.
    [[nodiscard]] std::size_t SectionEnd(std::size_t header) const;

    /// Sets the first such key (a new key goes to the end of its section, a new section to the
    /// end of the file). Returns true when the document changed.
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    /// Removes every such key of the first such section. Returns true when the document changed.
    bool Erase(std::string_view section, std::string_view key);
    /// Gives every key line of every section so named, repeats that reads never see included,
    /// the value `next` returns for its key and value (std::nullopt keeps it). Returns how
    /// many lines changed.
    std::size_t
    Rewrite(std::string_view section,
            const std::function<std::optional<std::string>(std::string_view key,
                                                           std::string_view value)>& next);

private:
    void Append(std::size_t at, std::string text);
};

} // namespace brevin::ini
