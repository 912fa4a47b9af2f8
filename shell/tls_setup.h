#pragma once

#include "engine/tls.h"
#include "shell/options.h"

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// The certificate and key made on the first start, beside the profile.
inline constexpr std::string_view kGeneratedCertificate = "brevin-cert.pem";
inline constexpr std::string_view kGeneratedKey = "brevin-key.pem";

/// What start-up makes of the encryption options.
struct TlsSetup {
    std::unique_ptr<TlsContext> context; ///< null: the server runs without encryption
    std::string problem;                 ///< why not, or what went wrong; empty when all is well
    bool fatal = false; ///< the administrator's files are unusable: the server must not start
};

/// With --tls-cert and --tls-key, loads those (any problem is fatal). Otherwise loads the
/// certificate generated earlier in `directory`, or makes one for `address` and this host's
/// name; one that cannot be made or read leaves the server without encryption.
TlsSetup SetUpTls(const ServerOptions& options, const std::filesystem::path& directory,
                  std::string_view address);

/// The line that tells users which certificate to pin.
std::string TlsFingerprintLine(std::string_view fingerprint);

/// `brevin tls fingerprint [--address IPV4] [--tls-cert FILE --tls-key FILE]`: prints the
/// fingerprint line of the certificate the server would use, making it as the server would.
/// `args` are the words after "tls". Returns the exit status.
int RunTlsCommand(const std::vector<std::string>& args, const std::filesystem::path& directory,
                  std::ostream& out, std::ostream& err);

} // namespace brevin
