#include "store/message_numbers.h"

#include "base/text.h"
#include "store/store_layout.h"

#include <algorithm>
#include <string>
#include <utility>

namespace brevin {

std::uint32_t ParseCounter(std::string_view text) {
    bool negative = false;
    std::uint32_t number = 0; // unsigned arithmetic wraps modulo 2^32, as wanted
    for (const char digit : LeadingDigits(text, negative)) {
        number = number * 10U + static_cast<std::uint32_t>(digit - '0');
    }
    return negative ? 0U - number : number;
}

std::uint32_t TakeMessageNumbers(ProfileFile& profile, std::uint32_t count) {
    return MessageNumbers(profile, 1).Take(count);
}

std::uint32_t MessageNumbers::Take(std::uint32_t count) {
    if (m_left < count) {
        return Reserve(count, -1);
    }
    m_left -= count;
    return std::exchange(m_next, m_next + count);
}

std::uint32_t MessageNumbers::TakeAfterClash(long long highest) {
    // Numbers left in the block at or below the folder's highest would clash again.
    if (highest >= 0 && highest < 0xFFFFFFFFLL && m_next <= highest) {
        return Reserve(1, highest + 1);
    }
    return Take(1);
}

std::uint32_t MessageNumbers::Reserve(std::uint32_t count, long long floor) {
    const std::uint32_t want = std::max(count, m_block);
    // Never below what this process already handed out: a profile that cannot be written
    // must not bring back numbers in use.
    if (m_handedOut && (floor < 0 || floor < m_end)) {
        floor = m_end;
    }
    std::uint32_t first = 0;
    bool written = false;
    // Durable: after a power cut the counter must still be past every number handed out, or
    // a later number could name a file that was already filed under it.
    m_profile.Update(
        layout::kServerSection, layout::kCounterKey, "0",
        [&](std::string_view value) {
            first = ParseCounter(value);
            if (floor >= 0 && first < floor) {
                first = static_cast<std::uint32_t>(floor);
            }
            return std::to_string(first + want); // wraps at 2^32
        },
        ProfileSync::Durable, &written);
    if (!written) {
        // The block is handed out all the same, from memory: the profile is asked again for the
        // next one, and a name never replaces a file (a clash moves past the folder).
        first = ParseCounter(m_profile.Read(layout::kServerSection, layout::kCounterKey, "0"));
        if (floor >= 0 && first < floor) {
            first = static_cast<std::uint32_t>(floor);
        }
    }
    m_next = first + count;
    m_left = want - count;
    m_end = static_cast<long long>(first) + want;
    m_handedOut = m_end <= 0xFFFFFFFFLL; // past the top the counter wraps: start over
    return first;
}

std::string MessagePath(const std::string& folder, std::uint32_t number) {
    return layout::MessagePath(folder, number);
}
} // namespace brevin
