#pragma once

#include "store/profile_file.h"
#include "store/string_list.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace brevin {

/// Working directory + "/" + the program file's base name + ".INI".
std::filesystem::path BuildProfilePath(const std::filesystem::path& workingDirectory,
                                       std::string_view programPath);

/// The store root, `BREVIN`/`store`, as most readers take it (default "zzz").
std::string ReadStoreRoot(const ProfileFile& profile);
/// The store root with a fallback: a value beginning with "*" (or missing) is replaced by
/// `fallback`, which is also written back.
std::string ReadStoreRoot(ProfileFile& profile, const std::string& fallback);

/// The counter's text as a number: leading white space skipped, one optional "+" or "-", then
/// digits up to the first non-digit (none give 0), wrapping modulo 2^32.
std::uint32_t ParseCounter(std::string_view text);

/// Returns the number the next message file gets and advances `BREVIN`/`conta` (32-bit,
/// wrapping).
std::uint32_t TakeMessageNumber(ProfileFile& profile);
/// Takes `count` consecutive numbers in one rewrite of the profile, as that many calls of
/// `TakeMessageNumber` would; returns the first.
std::uint32_t TakeMessageNumbers(ProfileFile& profile, std::uint32_t count);

/// True when something of that name exists (a folder, or a plain file).
bool FolderExists(const std::string& path);

/// Appends one node per key of `USERS`, in file order, stopping at a key beginning with "*".
std::size_t LoadUserList(const ProfileFile& profile, listas*& userList);

/// Start-up: makes `BREVIN`/`store` an absolute path (working directory + "/store" when
/// missing or beginning with "*") and creates that folder when missing.
bool EnsureStoreRoot(ProfileFile& profile, const std::filesystem::path& workingDirectory);

// ---- user administration, shared by the command line and the desktop dialogs ----

/// Why a name cannot be a user; empty when it can.
std::string UserNameProblem(std::string_view name);
/// Letters lower-cased, blanks turned into ".", as the administration dialog types names.
std::string NormaliseUserName(std::string_view typed);

struct UserRecord {
    std::string name;
    std::string folder;   // `USERS` value, relative to the store root
    std::string password; // `PWD` value
};

/// Why a user cannot be stored as given (its name, or a folder or password the profile would not
/// read back the same); empty when it can.
std::string UserRecordProblem(const UserRecord& user);

/// Writes `USERS`/name and `PWD`/name, both in one replacement of the file. False (with `error`
/// set) when the name is refused or the profile could not be written.
bool SetUser(ProfileFile& profile, const UserRecord& user, std::string& error);
/// Removes both keys; the folder and its mail stay.
bool RemoveUser(ProfileFile& profile, std::string_view name, std::string& error);

} // namespace brevin
