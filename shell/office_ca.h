#pragma once

#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brevin {

struct HostAddress;

/// The names and addresses a server certificate carries, each list sorted and without repeats:
/// DNS names in lower case, addresses in their canonical text ("::1", "192.0.2.7").
struct CertificateNames {
    std::vector<std::string> dns;
    std::vector<std::string> addresses;

    /// Adds a name, or an address when `text` is one; blanks, wildcards and link-local
    /// addresses (useless without their scope) are left out.
    void Add(std::string text);
    /// Whether every name and address of `wanted` is here too.
    [[nodiscard]] bool Covers(const CertificateNames& wanted) const;
    /// What `wanted` has and this lacks, as "DNS:x, IP:y" for the log.
    [[nodiscard]] std::string Missing(const CertificateNames& wanted) const;
    bool operator==(const CertificateNames&) const = default;
};

/// Every name and address clients may use for this host: its name, its official name, the
/// name's `.local` form, `localhost`; the addresses listened on and reachable, 127.0.0.1, ::1
/// and each address of an interface that is up.
CertificateNames NamesForHost(const HostAddress& host);

/// The office CA's files and the server pair issued from it, beside the profile.
struct OfficeCaFiles {
    std::filesystem::path caCertificate; ///< brevin-ca.pem, what devices trust
    std::filesystem::path caKey;         ///< brevin-ca-key.pem, mode 0600
    std::filesystem::path certificate;   ///< brevin-cert.pem, the server's
    std::filesystem::path key;           ///< brevin-key.pem, mode 0600

    static OfficeCaFiles In(const std::filesystem::path& directory);
};

/// Issued server certificates last this long (Apple devices refuse more than 398 days)...
inline constexpr std::chrono::seconds kServerCertificateLife = std::chrono::hours(24 * 397);
/// ...and are renewed when less than this is left, so that a server that was off for weeks
/// still renews in time.
inline constexpr std::chrono::seconds kRenewWithin = std::chrono::hours(24 * 30);

/// What `KeepServerCertificate` did to the server's certificate.
enum class CertificateChange {
    None,               ///< it is good as it is
    Made,               ///< there was none
    ReplacedSelfSigned, ///< an earlier version's self-signed one, now issued by the CA
    Reissued,           ///< another issuer's, or its key did not match: issued afresh
    Renewed,            ///< it was about to end
    NamesAdded,         ///< a name or address clients use was missing
};

/// The word the log uses for `change` ("made", "renewed", ...).
const char* ChangeName(CertificateChange change);

struct CertificateReport {
    CertificateChange change = CertificateChange::None;
    bool madeCa = false; ///< the CA itself is new: devices must trust it (again)
    std::string detail;  ///< for NamesAdded, what was missing
    std::string error;   ///< empty when all went well
};

/// Makes the CA when it has neither file, and issues the server's certificate from it when
/// there is none, when it is not the CA's or its key does not match, when it ends within
/// `renewWithin` of `now`, or when it lacks one of `names`. Writes the keys first, each file
/// durably. Slow only when it writes (a few file flushes).
CertificateReport KeepServerCertificate(const OfficeCaFiles& files, const CertificateNames& names,
                                        std::chrono::seconds renewWithin = kRenewWithin,
                                        std::time_t now = std::time(nullptr));

/// What a PEM certificate file says about itself.
struct CertificateFacts {
    CertificateNames names;
    std::time_t notBefore = 0;
    std::time_t notAfter = 0;
    bool selfSigned = false;
    std::string fingerprint; ///< SHA-256 as clients pin it, "AB:CD:..."
};

/// The first certificate in `path`; nothing, with `error`, when it cannot be read or parsed.
std::optional<CertificateFacts> ReadCertificateFacts(const std::filesystem::path& path,
                                                     std::string& error);

} // namespace brevin
