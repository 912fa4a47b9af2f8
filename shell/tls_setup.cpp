#include "shell/tls_setup.h"

#include "base/host_name.h"
#include "engine/listeners.h"
#include "shell/self_signed.h"

#include <ostream>
#include <system_error>

namespace brevin {

TlsSetup SetUpTls(const ServerOptions& options, const std::filesystem::path& directory,
                  std::string_view address) {
    TlsSetup setup;
    if (!options.tlsCertificate.empty()) {
        setup.context = TlsContext::Load(options.tlsCertificate, options.tlsKey, setup.problem);
        setup.fatal = setup.context == nullptr;
        return setup;
    }
    const auto certificate = directory / kGeneratedCertificate;
    const auto key = directory / kGeneratedKey;
    std::error_code ec;
    const bool made =
        !std::filesystem::exists(certificate, ec) || !std::filesystem::exists(key, ec);
    if (made && !GenerateSelfSigned(certificate, key, HostName(), address, setup.problem)) {
        setup.problem += "; running without encryption";
        return setup;
    }
    setup.context = TlsContext::Load(certificate, key, setup.problem);
    if (setup.context == nullptr) {
        setup.problem += "; running without encryption";
    }
    return setup;
}

std::string TlsFingerprintLine(std::string_view fingerprint) {
    return "TLS: certificate SHA-256 fingerprint " + std::string(fingerprint);
}

int RunTlsCommand(const std::vector<std::string>& args, const std::filesystem::path& directory,
                  std::ostream& out, std::ostream& err) {
    std::string error;
    const auto options = args.empty() || args.front() != "fingerprint"
                             ? std::nullopt
                             : ParseOptions({args.begin() + 1, args.end()}, error);
    if (!options) {
        err << (error.empty() ? std::string("usage: brevin tls fingerprint [--address ADDRESS] "
                                            "[--tls-cert FILE --tls-key FILE]")
                              : error)
            << "\n";
        return 2;
    }
    // The address goes into a certificate made now, as the server would put it there.
    HostAddress host;
    if (options->tlsCertificate.empty() &&
        FindLocalAddress(host, options->addresses) != AddressError::None) {
        host.address.clear();
    }
    const TlsSetup setup = SetUpTls(*options, directory, host.address);
    if (setup.context == nullptr) {
        err << "TLS: " << setup.problem << "\n";
        return 1;
    }
    out << TlsFingerprintLine(setup.context->Fingerprint()) << "\n";
    return 0;
}

} // namespace brevin
