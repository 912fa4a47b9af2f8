#pragma once

#include "store/profile_file.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace brevin {

/// The counter's text as a number: leading white space skipped, one optional "+" or "-", then
/// digits up to the first non-digit (none give 0), wrapping modulo 2^32.
std::uint32_t ParseCounter(std::string_view text);
/// Takes `count` consecutive message numbers from the profile's counter in one durable rewrite
/// of the profile (32-bit, wrapping); returns the first.
std::uint32_t TakeMessageNumbers(ProfileFile& profile, std::uint32_t count = 1);

/// Hands out message numbers from blocks reserved in the profile's counter: one durable rewrite
/// of the profile moves the counter past a whole block, so most numbers cost no write at all.
/// The counter on disk is thus always past every number handed out; what a crash leaves of a
/// block is skipped, never reused. One per thread: it is not shared.
class MessageNumbers {
public:
    static constexpr std::uint32_t kBlock = 4096;

    explicit MessageNumbers(ProfileFile& profile, std::uint32_t block = kBlock)
        : m_profile(profile), m_block(block) {}

    /// `count` consecutive numbers; returns the first. When the profile cannot be written the
    /// numbers are handed out all the same, past every number this object handed out before
    /// (a name never replaces a file; a clash moves past the folder's highest number).
    std::uint32_t Take(std::uint32_t count = 1);
    /// The next number after a name clash in a folder whose highest number is `highest` (-1
    /// for none): the counter runs behind that folder, so it is moved past it first.
    std::uint32_t TakeAfterClash(long long highest);

private:
    /// Reserves a block of at least `count` from a counter of at least `floor`; returns its
    /// first number.
    std::uint32_t Reserve(std::uint32_t count, long long floor);

    ProfileFile& m_profile;
    std::uint32_t m_block;
    std::uint32_t m_next = 0;
    std::uint32_t m_left = 0; // numbers of the block not handed out yet
    long long m_end = 0;      // one past the last number reserved by this object
    bool m_handedOut = false; // m_end holds
};

/// The path a message of that number gets in `folder` (for tools that fill a mailbox).
std::string MessagePath(const std::string& folder, std::uint32_t number);

} // namespace brevin
