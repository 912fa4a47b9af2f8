#pragma once

// IMAP folder names in their three spellings: modified UTF-7 on the wire (RFC 3501 §5.1.3),
// UTF-8 inside the server, and one directory name per level on disk. The disk spelling is what
// keeps a hostile name inside the user's INBOX folder: it can never be ".", "..", a hidden
// name (temporary files, ".brevin"), a message name or contain a "/".

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brevin {

/// The hierarchy separator of every folder name.
inline constexpr char kFolderSeparator = '/';

// Limits, measured on the disk spelling so that any accepted name can be made: a level stays
// well under NAME_MAX (255), a whole name well under PATH_MAX beside the INBOX's own path.
inline constexpr std::size_t kMaxFolderLevelBytes = 200;
inline constexpr std::size_t kMaxFolderNameBytes = 1000;
inline constexpr std::size_t kMaxFolderDepth = 16;

/// True when `text` is well-formed UTF-8: no overlong forms, no UTF-16 surrogates, nothing
/// beyond U+10FFFF.
bool IsValidUtf8(std::string_view text);

/// The UTF-8 name a modified UTF-7 mailbox name stands for; nullopt unless `wire` is exactly
/// what `EncodeModifiedUtf7` makes of it (bad base64, unterminated or needless shifts,
/// printable ASCII in base64, 8-bit bytes, unpaired surrogates), so that every name has one
/// wire spelling.
std::optional<std::string> DecodeModifiedUtf7(std::string_view wire);
/// The modified UTF-7 spelling of a UTF-8 name. Bytes that are not UTF-8 go as U+FFFD.
std::string EncodeModifiedUtf7(std::string_view utf8);

/// What is wrong with a folder name, if anything.
enum class FolderNameProblem {
    Ok,
    Empty,        ///< an empty level: "", "a//b", "/a", "a/"
    DotLevel,     ///< a level "." or "..", which only path tricks need
    Control,      ///< a C0 or C1 control character or DEL
    InvalidUtf8,  ///< not UTF-8
    LevelTooLong, ///< a level over kMaxFolderLevelBytes once on disk
    NameTooLong,  ///< the whole name over kMaxFolderNameBytes once on disk
    TooDeep,      ///< more than kMaxFolderDepth levels
    UnderInbox,   ///< "INBOX/...": see CheckFolderName
};

/// Checks a UTF-8 folder name. INBOX itself is fine; names under it are not, because the
/// INBOX's folder already holds every other folder: "INBOX/Work" would be the directory of
/// "Work", and mapping one onto the other would give a folder two names.
FolderNameProblem CheckFolderName(std::string_view utf8);
/// An IMAP response text for a problem, with its RFC 5530 code: "[CANNOT] ...".
std::string_view FolderNameProblemText(FolderNameProblem problem);

/// True for "INBOX" in any letter case.
bool IsInbox(std::string_view utf8);

/// The directory name of one level of a folder name. Reversible for any bytes; "%" and the
/// bytes that must not show are written %XX: control bytes, "/", a leading "." and the "." of
/// a trailing ".bvn" (any case). Everything else, letters beyond ASCII included, is verbatim so
/// that an administrator can read the names.
std::string DiskLevelName(std::string_view utf8Level);
/// The level a directory name stands for; nullopt for names that are not one (not exactly what
/// `DiskLevelName` makes, or a level `CheckFolderName` would refuse): listings skip them.
std::optional<std::string> LevelFromDisk(std::string_view diskName);

} // namespace brevin
