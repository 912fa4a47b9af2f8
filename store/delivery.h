#pragma once

// Filing messages: a round names many complete messages and their copies at once, durably.
// Includes what callers need with it: message numbers, the message file, crash recovery.

#include "store/crash_recovery.h"
#include "store/incoming_message.h"
#include "store/message_numbers.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brevin {

/// A complete message and the further folders (full paths) that each get a copy of it.
struct Delivery {
    IncomingMessage message;
    std::vector<std::string> copyFolders;
    // The first of the copies' consecutive numbers, when taken before filing; else filing
    // takes them.
    std::optional<std::uint32_t> firstCopyNumber;

    // Set by `FileMessages`.
    bool filed = false;
    int error = 0;          // when not filed: the errno of the failure (ENOSPC: disk full)
    std::string failedPath; // and the file or folder it concerns
    std::vector<IncomingMessage> copies; // committed with the message, in `copyFolders` order
};

/// Files every delivery: makes its copies (creating a missing copy folder, one level, and
/// taking one number per copy unless the delivery brings them; a copy shares the message's
/// file where it can), then flushes every file, then names them all, then flushes each folder
/// once. The journal then commits about as few times for many messages as for one, so
/// messages that finish together are filed together. A delivery any of whose files fails
/// leaves none of them behind (`filed` false); the others are not affected. Blocking file
/// work: the server runs it on a worker.
///
/// No file of the round gets its final name before every file of the round is flushed. With a
/// `journalPath`, the names about to be given are listed there before the first one is, and
/// the list is removed (durably) once every name and folder is flushed: a crash in between
/// leaves the list, and `RollBackUnfinishedFiling` removes those names at the next start.
void FileMessages(MessageNumbers& numbers, std::span<Delivery* const> deliveries,
                  const std::string& journalPath = {});

/// Removes every file of filed deliveries again and flushes each folder once: for messages
/// whose sender went away before hearing that they were filed.
void UnfileMessages(std::span<Delivery* const> deliveries);

} // namespace brevin
