#pragma once

#include "store/message_numbers.h"

#include <optional>
#include <string>
#include <string_view>

namespace brevin {

/// Files `stored` (a message in its stored form) into `folder` under a new number, durably, as
/// filing does; returns the file's name, or nothing with errno set (ENOSPC: the disk is full).
std::optional<std::string> FileMessageText(const std::string& folder, std::string_view stored,
                                           MessageNumbers& numbers);

/// Gives message `name` of folder `from` a name in folder `to` too: a second link to the same
/// file where the file system allows (flags live in each folder's index, so the copies stay
/// apart), else a copy of its bytes. Not yet flushed: `FlushCopies` does that for many at once.
/// Returns the new name, or nothing with errno set.
std::optional<std::string> CopyMessageFile(const std::string& from, const std::string& name,
                                           const std::string& to, MessageNumbers& numbers);
/// Makes the copies named in folder `to` durable; false with errno set.
bool FlushCopies(const std::string& to);

/// The free bytes of the file system that holds `folder`, or nothing when it cannot be told.
std::optional<std::uint64_t> FreeBytes(const std::string& folder);

} // namespace brevin
