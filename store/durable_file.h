#pragma once

// Files that never tear. New contents go into a temporary file beside the final one, which is
// flushed, then takes the final name in one rename; then the folder is flushed, so that the
// rename itself survives a power cut. A reader sees the old file or the new one, never half.

#include <string>
#include <string_view>
#include <sys/types.h>

namespace brevin::durable {

/// How a flushed temporary file takes its final name.
enum class Placing {
    Replace,   ///< whatever had the name before is gone
    NoReplace, ///< fails with EEXIST when the name is taken
    /// Trades places with the file of that name, which then holds the old contents under the
    /// temporary name: a spare to fill next time. Replaces where the file system cannot trade
    /// or the name is free.
    Exchange,
};

/// Creates `temporary` (or empties what has that name) with `mode`, writes `bytes` into it and
/// flushes it. False with errno set; a file it made is removed again.
bool WriteTemporary(const std::string& temporary, std::string_view bytes, mode_t mode);

/// Overwrites the open file `fd` from its start with `bytes`, cuts it to their length and
/// flushes its data: for a spare written again and again, whose blocks thus stay allocated.
/// False with errno set.
bool Refill(int fd, std::string_view bytes);

/// Gives the flushed file `temporary` the name `path`, as `how` says; the folder's entry is
/// not flushed yet. False with errno set, and then `path` is as it was.
bool Place(const std::string& temporary, const std::string& path, Placing how);

/// Flushes a folder's entries, so that names given or removed in it survive a power cut.
/// False with errno set.
bool FlushFolder(const std::string& folder);

/// The whole durable replacement of a small file: writes `bytes` into `temporary` (in the same
/// folder as `path`) with `mode`, flushes it, renames it over `path` and flushes the folder.
/// False with errno set; until the rename `path` is as it was, and no temporary file is left.
bool ReplaceFile(const std::string& path, std::string_view bytes, mode_t mode,
                 const std::string& temporary);

} // namespace brevin::durable
