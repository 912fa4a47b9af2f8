#pragma once

// What a user's folder tree keeps beside the folders themselves, in <inbox>/.brevin/folders:
// subscriptions, special uses and whether the special-use folders were made. A header line,
// then one record a line; folder names come last on their line, as they may hold spaces but
// never a line break (CheckFolderName refuses controls):
//   brevin-folders 1
//   special-use-made
//   use \Sent Sent
//   subscribed Work/2026
// Private to store/, like every file name and format.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace brevin {

/// The special uses of RFC 6154 that the server gives folders.
enum class SpecialUse { None, Sent, Drafts, Trash, Junk };
/// "\Sent" and so on; empty for None.
std::string_view SpecialUseAttribute(SpecialUse use);

/// The folders the server makes at a user's first IMAP login, one for each use.
struct SpecialUseFolder {
    SpecialUse use;
    std::string_view name;
};
inline constexpr SpecialUseFolder kSpecialUseFolders[] = {
    {SpecialUse::Sent, "Sent"},
    {SpecialUse::Drafts, "Drafts"},
    {SpecialUse::Trash, "Trash"},
    {SpecialUse::Junk, "Junk"},
};

/// The records of the state file.
struct FolderState {
    bool specialUseMade = false;
    std::set<std::string> subscribed;
    std::map<std::string, SpecialUse> uses; // by folder name
};

/// Reads the file's text; nullopt for a header this version does not know, which must then
/// be left alone rather than written over.
std::optional<FolderState> ParseFolderState(std::string_view text);
std::string FormatFolderState(const FolderState& state);

/// Moves the subscriptions and special uses of `from` and of its children over to `to`.
void RenameFolderRecords(FolderState& state, const std::string& from, const std::string& to);

} // namespace brevin
