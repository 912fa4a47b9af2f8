#include "store/folder_names.h"

#include "base/text.h"

#include <cstdint>

namespace brevin {

namespace {

/// The code point of the UTF-8 sequence at `text[at]` and its length in bytes; length 0 when
/// the bytes there are not a well-formed sequence.
struct CodePoint {
    char32_t value = 0;
    std::size_t length = 0;
};

CodePoint DecodeUtf8At(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t least = 0; // the smallest value this length may carry: anything less is overlong
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1Fu, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0Fu, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07u, least = 0x10000;
    } else {
        return {};
    }
    if (text.size() - at < length) {
        return {};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return {};
        }
        value = (value << 6) | (byte(at + i) & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {};
    }
    return {value, length};
}

void AppendUtf8(std::string& out, char32_t value) {
    const auto put = [&](char32_t bits) { out += static_cast<char>(bits); };
    if (value < 0x80) {
        put(value);
    } else if (value < 0x800) {
        put(0xC0 | (value >> 6));
        put(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        put(0xE0 | (value >> 12));
        put(0x80 | ((value >> 6) & 0x3F));
        put(0x80 | (value & 0x3F));
    } else {
        put(0xF0 | (value >> 18));
        put(0x80 | ((value >> 12) & 0x3F));
        put(0x80 | ((value >> 6) & 0x3F));
        put(0x80 | (value & 0x3F));
    }
}

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int Base64Value(char c) {
    const auto at = kBase64.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

/// Printable US-ASCII stands for itself on the wire and must never be shifted.
constexpr bool IsPrintableAscii(char32_t c) {
    return c >= 0x20 && c <= 0x7E;
}

/// Writes a run of UTF-16 units as a shifted base64 sequence.
void AppendShifted(std::string& out, const std::u16string& units) {
    out += '&';
    std::uint32_t bits = 0;
    int count = 0;
    for (const char16_t unit : units) {
        bits = (bits << 16) | unit;
        count += 16;
        while (count >= 6) {
            count -= 6;
            out += kBase64[(bits >> count) & 0x3F];
        }
    }
    if (count > 0) {
        out += kBase64[(bits << (6 - count)) & 0x3F];
    }
    out += '-';
}

/// Decodes the base64 between "&" and "-" into code points; false for anything that
/// `AppendShifted` would not have written.
bool DecodeShifted(std::string_view base64, std::string& out) {
    std::uint32_t bits = 0;
    int count = 0;
    char16_t high = 0; // a high surrogate waiting for its low half
    for (const char c : base64) {
        const int value = Base64Value(c);
        if (value < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count < 16) {
            continue;
        }
        count -= 16;
        const auto unit = static_cast<char16_t>((bits >> count) & 0xFFFF);
        bits &= (1u << count) - 1;
        if (high != 0) {
            if (unit < 0xDC00 || unit > 0xDFFF) {
                return false;
            }
            AppendUtf8(out, 0x10000 + ((char32_t{high} - 0xD800) << 10) + (unit - 0xDC00u));
            high = 0;
        } else if (unit >= 0xD800 && unit <= 0xDBFF) {
            high = unit;
        } else if ((unit >= 0xDC00 && unit <= 0xDFFF) || IsPrintableAscii(unit)) {
            return false;
        } else {
            AppendUtf8(out, unit);
        }
    }
    // Padding bits are fewer than one base64 digit, and zero.
    return high == 0 && count < 6 && bits == 0;
}

constexpr bool IsControlByte(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

/// The problem with one level of a name, Ok for a good one.
FolderNameProblem CheckLevel(std::string_view level) {
    if (level.empty()) {
        return FolderNameProblem::Empty;
    }
    if (level == "." || level == "..") {
        return FolderNameProblem::DotLevel;
    }
    if (DiskLevelName(level).size() > kMaxFolderLevelBytes) {
        return FolderNameProblem::LevelTooLong;
    }
    return FolderNameProblem::Ok;
}

/// Checks the characters of a whole name: UTF-8 without controls.
FolderNameProblem CheckCharacters(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const CodePoint c = DecodeUtf8At(text, at);
        if (c.length == 0) {
            return FolderNameProblem::InvalidUtf8;
        }
        if (c.value < 0x20 || (c.value >= 0x7F && c.value <= 0x9F)) {
            return FolderNameProblem::Control;
        }
        at += c.length;
    }
    return FolderNameProblem::Ok;
}

constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1; // lower case is never written, so never canonical
}

} // namespace

bool IsValidUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = DecodeUtf8At(text, at).length;
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::optional<std::string> DecodeModifiedUtf7(std::string_view wire) {
    std::string out;
    bool afterShift = false; // two shifted runs side by side would be one run
    for (std::size_t at = 0; at < wire.size();) {
        const char c = wire[at];
        if (!IsPrintableAscii(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
        if (c != '&') {
            out += c;
            ++at;
            afterShift = false;
            continue;
        }
        const std::size_t end = wire.find('-', at + 1);
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        if (end == at + 1) {
            out += '&';
            afterShift = false;
        } else if (afterShift || !DecodeShifted(wire.substr(at + 1, end - at - 1), out)) {
            return std::nullopt;
        } else {
            afterShift = true;
        }
        at = end + 1;
    }
    return out;
}

std::string EncodeModifiedUtf7(std::string_view utf8) {
    std::string out;
    std::u16string run;
    for (std::size_t at = 0; at < utf8.size();) {
        CodePoint c = DecodeUtf8At(utf8, at);
        if (c.length == 0) {
            c = {0xFFFD, 1};
        }
        at += c.length;
        if (IsPrintableAscii(c.value)) {
            if (!run.empty()) {
                AppendShifted(out, run);
                run.clear();
            }
            out += static_cast<char>(c.value);
            if (c.value == '&') {
                out += '-';
            }
        } else if (c.value >= 0x10000) {
            run += static_cast<char16_t>(0xD800 + ((c.value - 0x10000) >> 10));
            run += static_cast<char16_t>(0xDC00 + ((c.value - 0x10000) & 0x3FF));
        } else {
            run += static_cast<char16_t>(c.value);
        }
    }
    if (!run.empty()) {
        AppendShifted(out, run);
    }
    return out;
}

bool IsInbox(std::string_view utf8) {
    return EqualsIgnoringCase(utf8, "INBOX");
}

FolderNameProblem CheckFolderName(std::string_view utf8) {
    if (IsInbox(utf8)) {
        return FolderNameProblem::Ok;
    }
    if (const auto problem = CheckCharacters(utf8); problem != FolderNameProblem::Ok) {
        return problem;
    }
    std::size_t depth = 0;
    std::size_t diskBytes = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(utf8.find(kFolderSeparator, start), utf8.size());
        const std::string_view level = utf8.substr(start, end - start);
        if (const auto problem = CheckLevel(level); problem != FolderNameProblem::Ok) {
            return problem;
        }
        if (++depth > kMaxFolderDepth) {
            return FolderNameProblem::TooDeep;
        }
        diskBytes += DiskLevelName(level).size() + (depth > 1 ? 1 : 0);
        if (diskBytes > kMaxFolderNameBytes) {
            return FolderNameProblem::NameTooLong;
        }
        if (depth == 1 && end < utf8.size() && IsInbox(level)) {
            return FolderNameProblem::UnderInbox;
        }
        if (end == utf8.size()) {
            return FolderNameProblem::Ok;
        }
        start = end + 1;
    }
}

std::string_view FolderNameProblemText(FolderNameProblem problem) {
    switch (problem) {
    case FolderNameProblem::Ok:
        return "OK";
    case FolderNameProblem::Empty:
        return "[CANNOT] Folder names have no empty levels and no leading or trailing \"/\"";
    case FolderNameProblem::DotLevel:
        return "[CANNOT] \".\" and \"..\" are not folder names";
    case FolderNameProblem::Control:
        return "[CANNOT] Folder names have no control characters";
    case FolderNameProblem::InvalidUtf8:
        return "[CANNOT] Folder name is not valid UTF-8";
    case FolderNameProblem::LevelTooLong:
        return "[LIMIT] A level of a folder name may be 200 bytes at most";
    case FolderNameProblem::NameTooLong:
        return "[LIMIT] Folder names may be 1000 bytes at most";
    case FolderNameProblem::TooDeep:
        return "[LIMIT] Folders nest 16 levels deep at most";
    case FolderNameProblem::UnderInbox:
        return "[CANNOT] INBOX has no subfolders here: make folders beside it";
    }
    return "[SERVERBUG] Unknown folder name problem";
}

std::string DiskLevelName(std::string_view utf8Level) {
    const std::size_t bvnDot =
        EndsWithIgnoringCase(utf8Level, ".bvn") ? utf8Level.size() - 4 : std::string_view::npos;
    std::string out;
    out.reserve(utf8Level.size());
    for (std::size_t i = 0; i < utf8Level.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8Level[i]);
        if (c == '%' || c == kFolderSeparator || IsControlByte(c) || (i == 0 && c == '.') ||
            i == bvnDot) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> LevelFromDisk(std::string_view diskName) {
    std::string level;
    for (std::size_t at = 0; at < diskName.size(); ++at) {
        if (diskName[at] != '%') {
            level += diskName[at];
            continue;
        }
        if (diskName.size() - at < 3) {
            return std::nullopt;
        }
        const int high = HexValue(diskName[at + 1]);
        const int low = HexValue(diskName[at + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        level += static_cast<char>(high * 16 + low);
        at += 2;
    }
    if (DiskLevelName(level) != diskName || level.find(kFolderSeparator) != std::string::npos ||
        CheckCharacters(level) != FolderNameProblem::Ok ||
        CheckLevel(level) != FolderNameProblem::Ok) {
        return std::nullopt;
    }
    return level;
}

} // namespace brevin
