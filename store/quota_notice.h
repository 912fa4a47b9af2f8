#pragma once

#include "store/message_numbers.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace brevin {

/// A user whose mailbox is 90% full or more hears of it: a short message from the server in
/// the INBOX, at most once a calendar day (the day of the last one is kept in the INBOX's
/// metadata folder). True when a notice was filed now.
bool FileQuotaNotice(const std::string& inbox, std::uint64_t used, std::uint64_t quota,
                     MessageNumbers& numbers, std::time_t now);

} // namespace brevin
