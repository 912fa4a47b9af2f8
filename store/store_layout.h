#pragma once

// The names and modes of what the store keeps on disk. Private to store/: everything above it
// goes through the user directory, the mailbox and the delivery types.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace brevin::layout {

// Profile sections and keys. Existing profiles depend on these exact spellings.
inline constexpr std::string_view kServerSection = "BREVIN";
inline constexpr std::string_view kStoreRootKey = "store";
inline constexpr std::string_view kCounterKey = "conta";
inline constexpr std::string_view kUsersSection = "USERS";
inline constexpr std::string_view kPasswordsSection = "PWD";
// Sections an earlier version does not read, so its users still get their mail: aliases
// (name=user), the lists' names (name=member count), each list's members (one section a list,
// as a list may be longer than a profile value), and quotas in MiB ("*" for everyone else).
inline constexpr std::string_view kAliasesSection = "ALIASES";
inline constexpr std::string_view kListsSection = "LISTS";
inline constexpr std::string_view kListSectionPrefix = "LIST ";
inline constexpr std::string_view kQuotaSection = "QUOTA";

// Mailbox folders and message files are the server's alone: they hold other people's mail.
inline constexpr mode_t kFolderMode = 0700;
inline constexpr mode_t kMessageMode = 0600;

/// "MSG%05lu.bvn" in `folder`: the name a message of that number gets.
std::string MessagePath(const std::string& folder, std::uint32_t number);
/// Names ending in ".bvn", in any letter case, are messages.
bool IsMessageName(std::string_view name);
/// The number in "MSG<digits>.bvn" (any letter case), or -1 for other names.
long long NumberInName(std::string_view name);
/// The message names of a folder, in listing order.
std::vector<std::string> ListMessageNames(const std::string& folderPath);
/// The temporary name of a message being written: it does not end in ".bvn", so no listing
/// shows it until it is complete.
std::string TemporaryPath(const std::string& folder, std::uint32_t number, int attempt);
/// True for a name `TemporaryPath` gives.
bool IsTemporaryName(std::string_view name);

/// The folder's own files (its index, its cache of message structure) live in this directory
/// inside it: the leading "." keeps it out of every listing of messages and folders.
inline constexpr std::string_view kMetadataName = ".brevin";
std::string MetadataFolder(const std::string& folder);
/// The folder's index of UIDs and flags.
std::string IndexPath(const std::string& folder);
/// The folder's cache of message structures (`StructureCache`), keyed by file name and size.
std::string StructurePath(const std::string& folder);
/// The day (YYYY-MM-DD) the INBOX last had a notice of a nearly full mailbox.
std::string QuotaNoticePath(const std::string& inbox);

/// Records a message's size as a POP3 client will hold it, in an extended attribute of the
/// file, so that listings need not read every message. Best effort: a file system without
/// user attributes just goes without, and the size is measured when asked for.
void RecordSize(int fd, std::uint64_t size);
/// The recorded size, when the file has one.
std::optional<std::uint64_t> ReadRecordedSize(const std::string& path);

} // namespace brevin::layout
