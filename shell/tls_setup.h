#pragma once

#include "engine/event_loop.h"
#include "engine/tls.h"
#include "engine/worker.h"
#include "shell/office_ca.h"
#include "shell/options.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

struct HostAddress;

/// The server's certificate and key made on the first start, beside the profile, issued by
/// the office CA (`OfficeCaCertificate`).
inline constexpr std::string_view kGeneratedCertificate = "brevin-cert.pem";
inline constexpr std::string_view kGeneratedKey = "brevin-key.pem";

/// The office CA's certificate beside the profile in `directory`: what a device trusts once,
/// so that every server certificate issued from it is trusted too.
std::filesystem::path OfficeCaCertificate(const std::filesystem::path& directory);

/// What start-up makes of the encryption options.
struct TlsSetup {
    std::unique_ptr<TlsContext> context; ///< null: the server runs without encryption
    std::string problem;                 ///< why not, or what went wrong; empty when all is well
    bool fatal = false;       ///< the administrator's files are unusable: the server must not start
    bool officeCa = false;    ///< the certificate is the office CA's: the server renews it
    CertificateReport report; ///< what was made or renewed on the way
};

/// With --tls-cert and --tls-key, loads those (any problem is fatal). Otherwise keeps the office
/// CA's certificate in `directory` (making the CA and the certificate, renewing it, adding the
/// host's names, see `KeepServerCertificate`) and loads it; one that cannot be made or read
/// leaves the server without encryption.
TlsSetup SetUpTls(const ServerOptions& options, const std::filesystem::path& directory,
                  const HostAddress& host);

/// A sentence for the administrator about what `report` says was made, for clients' sake;
/// empty when nothing they would notice changed.
std::string CertificateNote(const CertificateReport& report, const OfficeCaFiles& files);

/// The line that tells users which certificate to pin.
std::string TlsFingerprintLine(std::string_view fingerprint);

/// `brevin tls fingerprint|ca [--address ADDRESS] [--tls-cert FILE --tls-key FILE]`: prints
/// the fingerprint line of the certificate the server would use, or the office CA's
/// certificate (PEM), making them as the server would. `args` are the words after "tls".
/// Returns the exit status.
int RunTlsCommand(const std::vector<std::string>& args, const std::filesystem::path& directory,
                  std::ostream& out, std::ostream& err);

/// Keeps the office CA's server certificate fresh while the server runs: every `every` it
/// asks `names` for the names clients use and, on its worker (the check reads files and a
/// renewal flushes them), renews the certificate when it ends within `renewWithin` or lacks a
/// name, then hands it to `context` for new handshakes. A certificate renewed on disk by
/// another process (`brevin tls`) is taken up the same way.
class CertificateRenewal {
public:
    using NamesSource = std::function<CertificateNames()>;

    CertificateRenewal(EventLoop& loop, TlsContext& context, OfficeCaFiles files, NamesSource names,
                       std::chrono::seconds renewWithin, std::chrono::seconds every);
    CertificateRenewal(const CertificateRenewal&) = delete;
    CertificateRenewal& operator=(const CertificateRenewal&) = delete;

private:
    void Check();

    TlsContext& m_context;
    OfficeCaFiles m_files;
    NamesSource m_names;
    std::chrono::seconds m_renewWithin;
    std::chrono::seconds m_every;
    Timer m_timer;
    Worker m_worker;
};

} // namespace brevin
