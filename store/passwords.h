#pragma once

// Passwords as the profile keeps them: yescrypt hashes behind a marker. Earlier versions kept
// them in the clear; such a value still logs in until start-up replaces it with its hash.

#include <string>
#include <string_view>

namespace brevin {

/// What begins a hashed password in the profile, before the yescrypt string ("$y$...").
inline constexpr std::string_view kPasswordHashMarker = "{YESCRYPT}";

/// The yescrypt cost ("count") of new hashes. On the 2-core test machine one check took
/// 9.3-9.7 ms at 4, 18-23 ms at 5 (44-54 a second, 16 MiB of memory) and 38-43 ms at 6
/// (`bench_passwords`, four runs). 5 makes every guess at a copied profile costly, while a
/// login still answers well within the pause before each reply, and a start-up that hashes
/// 50 users' passwords takes about a second.
inline constexpr unsigned long kPasswordHashCost = 5;

/// `password` hashed for the profile with a fresh salt from the system's random source,
/// marker included. Empty when the system cannot hash (errno set): nothing is to be stored.
/// Thread-safe; costs about as much as one `PasswordMatches`.
std::string HashPassword(std::string_view password, unsigned long cost = kPasswordHashCost);

/// True when `stored` is the marker followed by a whole yescrypt string. Anything else,
/// whatever it begins with ("$y$", or the marker before something else), is a password in
/// the clear.
bool IsPasswordHash(std::string_view stored);

/// True when `typed` is the password that `stored` (a profile's value) holds, hashed or in
/// the clear. An empty `stored` matches nothing. Pure and thread-safe, so a worker can check
/// off the loop; the time it takes does not tell how much of `typed` was right.
bool PasswordMatches(std::string_view stored, std::string_view typed);

} // namespace brevin
