#include "shell/tls_setup.h"

#include "base/log.h"
#include "engine/listeners.h"

#include <fstream>
#include <ostream>
#include <sstream>
#include <utility>

namespace brevin {

std::filesystem::path OfficeCaCertificate(const std::filesystem::path& directory) {
    return OfficeCaFiles::In(directory).caCertificate;
}

TlsSetup SetUpTls(const ServerOptions& options, const std::filesystem::path& directory,
                  const HostAddress& host) {
    TlsSetup setup;
    if (!options.tlsCertificate.empty()) {
        setup.context = TlsContext::Load(options.tlsCertificate, options.tlsKey, setup.problem);
        setup.fatal = setup.context == nullptr;
        return setup;
    }
    const OfficeCaFiles files = OfficeCaFiles::In(directory);
    setup.report = KeepServerCertificate(files, NamesForHost(host), options.tlsRenewWithin);
    // A CA that cannot be used still leaves a good certificate made earlier to serve.
    std::string problem;
    setup.context = TlsContext::Load(files.certificate, files.key, problem);
    setup.officeCa = setup.context != nullptr && setup.report.error.empty();
    if (!setup.report.error.empty()) {
        setup.problem = setup.report.error;
    }
    if (setup.context == nullptr) {
        setup.problem =
            (setup.problem.empty() ? problem : setup.problem) + "; running without encryption";
    }
    return setup;
}

std::string CertificateNote(const CertificateReport& report, const OfficeCaFiles& files) {
    if (report.change == CertificateChange::ReplacedSelfSigned) {
        return "the self-signed certificate of an earlier version was replaced by one from the "
               "office CA " +
               files.caCertificate.string() +
               ": clients that pinned or trusted the old one trust the CA once instead "
               "(`brevin tls ca` prints it)";
    }
    if (report.madeCa) {
        return "made the office CA " + files.caCertificate.string() +
               ": clients trust it once (`brevin tls ca` prints it)";
    }
    return {};
}

std::string TlsFingerprintLine(std::string_view fingerprint) {
    return "TLS: certificate SHA-256 fingerprint " + std::string(fingerprint);
}

int RunTlsCommand(const std::vector<std::string>& args, const std::filesystem::path& directory,
                  std::ostream& out, std::ostream& err) {
    std::string error;
    const bool known = !args.empty() && (args.front() == "fingerprint" || args.front() == "ca");
    const auto options = known ? ParseOptions({args.begin() + 1, args.end()}, error) : std::nullopt;
    if (!options) {
        err << (error.empty() ? std::string("usage: brevin tls fingerprint|ca [--address "
                                            "ADDRESS] [--tls-cert FILE --tls-key FILE]")
                              : error)
            << "\n";
        return 2;
    }
    if (args.front() == "ca" && !options->tlsCertificate.empty()) {
        err << "TLS: with --tls-cert the server uses the administrator's certificate, not the "
               "office CA's\n";
        return 1;
    }
    // The addresses go into a certificate made now, as the server would put them there.
    HostAddress host;
    if (options->tlsCertificate.empty() &&
        FindLocalAddress(host, options->addresses) != AddressError::None) {
        host = {};
    }
    const TlsSetup setup = SetUpTls(*options, directory, host);
    if (const std::string note = CertificateNote(setup.report, OfficeCaFiles::In(directory));
        !note.empty()) {
        err << "TLS: " << note << "\n";
    }
    if (setup.context == nullptr) {
        err << "TLS: " << setup.problem << "\n";
        return 1;
    }
    if (args.front() == "fingerprint") {
        out << TlsFingerprintLine(setup.context->Fingerprint()) << "\n";
        return 0;
    }
    std::ifstream ca(OfficeCaCertificate(directory), std::ios::binary);
    std::ostringstream pem;
    pem << ca.rdbuf();
    if (!ca || pem.str().empty()) {
        err << "TLS: cannot read " << OfficeCaCertificate(directory).string() << "\n";
        return 1;
    }
    out << pem.str();
    return 0;
}

// ---- renewal while the server runs ----

CertificateRenewal::CertificateRenewal(EventLoop& loop, TlsContext& context, OfficeCaFiles files,
                                       NamesSource names, std::chrono::seconds renewWithin,
                                       std::chrono::seconds every)
    : m_context(context), m_files(std::move(files)), m_names(std::move(names)),
      m_renewWithin(renewWithin), m_every(every), m_timer(loop, [this] { Check(); }),
      m_worker(loop) {
    m_timer.Start(m_every);
}

void CertificateRenewal::Check() {
    struct Outcome {
        CertificateReport report;
        std::unique_ptr<TlsContext> fresh;
        std::string problem;
    };
    auto outcome = std::make_shared<Outcome>();
    m_worker.Post(
        [outcome, files = m_files, names = m_names(), renewWithin = m_renewWithin,
         served = m_context.Fingerprint()] {
            outcome->report = KeepServerCertificate(files, names, renewWithin);
            std::string error;
            const auto onDisk = ReadCertificateFacts(files.certificate, error);
            if (outcome->report.change != CertificateChange::None ||
                (onDisk && onDisk->fingerprint != served)) {
                outcome->fresh = TlsContext::Load(files.certificate, files.key, outcome->problem);
            }
        },
        [this, outcome] {
            const CertificateReport& report = outcome->report;
            if (!report.error.empty() || !outcome->problem.empty()) {
                LogEvent("tls", "certificate")
                    .Add("error", report.error.empty() ? outcome->problem : report.error)
                    .Failed();
            }
            if (outcome->fresh != nullptr) {
                m_context.Adopt(*outcome->fresh);
                LogEvent event("tls", "certificate");
                event.Add("change", ChangeName(report.change));
                if (!report.detail.empty()) {
                    event.Add("added", report.detail);
                }
                event.Add("fingerprint", m_context.Fingerprint());
            }
            m_timer.Start(m_every);
        });
}

} // namespace brevin
