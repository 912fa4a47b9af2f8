#include "store/passwords.h"

#include <algorithm>
#include <cerrno>
#include <crypt.h>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace brevin {

namespace {

constexpr std::string_view kYescryptPrefix = "$y$";
constexpr std::size_t kHashLength = 43; // 256 bits in crypt's base-64

bool IsCryptBase64(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '/';
    });
}

/// No early exit: the time depends on the length of `typed` only, not on where the first
/// difference lies or how long `stored` is.
bool SameSecret(std::string_view stored, std::string_view typed) {
    volatile unsigned char difference = stored.size() == typed.size() ? 0 : 1;
    const std::size_t last = stored.empty() ? 0 : stored.size() - 1;
    for (std::size_t i = 0; i < typed.size(); ++i) {
        const char want = stored.empty() ? '\0' : stored[std::min(i, last)];
        difference = static_cast<unsigned char>(difference | (want ^ typed[i]));
    }
    return difference == 0;
}

/// The crypt work area (32 KiB) of one call, so that calls on several threads share nothing;
/// wiped afterwards, as it held the password.
struct CryptArea {
    std::unique_ptr<crypt_data> data = std::make_unique<crypt_data>();
    ~CryptArea() { ::explicit_bzero(data.get(), sizeof *data); }
    CryptArea() = default;
    CryptArea(const CryptArea&) = delete;
    CryptArea& operator=(const CryptArea&) = delete;
};

/// yescrypt of `password` with `setting` (a salt, or a whole hash); empty on failure.
std::string Crypt(std::string_view password, const char* setting) {
    if (password.find('\0') != std::string_view::npos) {
        errno = EINVAL; // crypt would read only up to it
        return {};
    }
    std::string phrase(password);
    CryptArea area;
    const char* hash = ::crypt_rn(phrase.c_str(), setting, area.data.get(), sizeof *area.data);
    ::explicit_bzero(phrase.data(), phrase.size());
    return hash != nullptr ? std::string(hash) : std::string();
}

} // namespace

std::string HashPassword(std::string_view password, unsigned long cost) {
    char* salt = ::crypt_gensalt_ra(kYescryptPrefix.data(), cost, nullptr, 0);
    if (salt == nullptr) {
        return {};
    }
    std::string hash = Crypt(password, salt);
    std::free(salt);
    if (!hash.starts_with(kYescryptPrefix)) {
        return {};
    }
    return std::string(kPasswordHashMarker) + hash;
}

bool IsPasswordHash(std::string_view stored) {
    if (!stored.starts_with(kPasswordHashMarker)) {
        return false;
    }
    stored.remove_prefix(kPasswordHashMarker.size());
    if (!stored.starts_with(kYescryptPrefix)) {
        return false;
    }
    stored.remove_prefix(kYescryptPrefix.size());
    // Parameters, salt and hash, each in crypt's base-64, the hash of a fixed length.
    for (int field = 0; field < 2; ++field) {
        const auto dollar = stored.find('$');
        if (dollar == std::string_view::npos || !IsCryptBase64(stored.substr(0, dollar))) {
            return false;
        }
        stored.remove_prefix(dollar + 1);
    }
    return stored.size() == kHashLength && IsCryptBase64(stored);
}

bool PasswordMatches(std::string_view stored, std::string_view typed) {
    if (stored.empty()) {
        return false;
    }
    if (!IsPasswordHash(stored)) {
        return SameSecret(stored, typed);
    }
    const std::string hash(stored.substr(kPasswordHashMarker.size()));
    const std::string computed = Crypt(typed, hash.c_str());
    return !computed.empty() && SameSecret(hash, computed);
}

} // namespace brevin
