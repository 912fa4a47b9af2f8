#include "shell/office_ca.h"

#include "base/host_name.h"
#include "engine/listeners.h"
#include "engine/tls.h"
#include "store/durable_file.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <string_view>
#include <sys/types.h>
#include <tuple>

namespace brevin {

namespace {

// The CA outlives many server certificates: a device trusts it once, for years.
constexpr long kCaLifeDays = 20L * 365 + 5;
// Clocks of clients a little behind the server's must not see a certificate from the future.
constexpr long kBackdate = 3600;

struct Freer {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
};
using Cert = std::unique_ptr<X509, Freer>;
using Key = std::unique_ptr<EVP_PKEY, Freer>;
using Bio = std::unique_ptr<BIO, Freer>;

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

/// `text` as an address in canonical form; empty when it is none.
std::string CanonicalAddress(const std::string& text) {
    unsigned char bytes[16];
    char out[INET6_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        return inet_ntop(AF_INET, bytes, out, sizeof out) != nullptr ? out : "";
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        return inet_ntop(AF_INET6, bytes, out, sizeof out) != nullptr ? out : "";
    }
    return {};
}

void Insert(std::vector<std::string>& list, std::string item) {
    const auto at = std::lower_bound(list.begin(), list.end(), item);
    if (at == list.end() || *at != item) {
        list.insert(at, std::move(item));
    }
}

std::string Hex(const unsigned char* bytes, unsigned length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += i > 0 ? ":" : "";
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
    }
    return out;
}

bool AddExtension(X509* issuer, X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (extension == nullptr) {
        return false;
    }
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

std::string SubjectAltNames(const CertificateNames& names) {
    std::string text;
    for (const std::string& dns : names.dns) {
        text += (text.empty() ? "DNS:" : ",DNS:") + dns;
    }
    for (const std::string& address : names.addresses) {
        text += (text.empty() ? "IP:" : ",IP:") + address;
    }
    // Some clients (fetchmail) match whatever they were given against the DNS names alone, so
    // each IPv4 address is a DNS name too; IPv6 text, with its colons, no parser would take.
    for (const std::string& address : names.addresses) {
        if (address.find(':') == std::string::npos) {
            text += ",DNS:" + address;
        }
    }
    return text;
}

CertificateNames NamesOf(X509* certificate) {
    CertificateNames names;
    const std::unique_ptr<GENERAL_NAMES, Freer> list(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; list != nullptr && i < sk_GENERAL_NAME_num(list.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(list.get(), i);
        if (name->type == GEN_DNS) {
            const ASN1_IA5STRING* dns = name->d.dNSName;
            std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                             static_cast<std::size_t>(ASN1_STRING_length(dns)));
            // An address written as a DNS name mirrors its IP entry (see SubjectAltNames).
            if (CanonicalAddress(text).empty()) {
                Insert(names.dns, Lower(std::move(text)));
            }
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            const int length = ASN1_STRING_length(ip);
            char out[INET6_ADDRSTRLEN] = {};
            if ((length == 4 || length == 16) &&
                inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), out,
                          sizeof out) != nullptr) {
                Insert(names.addresses, out);
            }
        }
    }
    return names;
}

std::time_t TimeOf(const ASN1_TIME* time) {
    std::tm parts{};
    return ASN1_TIME_to_tm(time, &parts) == 1 ? timegm(&parts) : 0;
}

Cert ReadCertificate(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    Cert certificate(PEM_read_X509(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    return certificate;
}

Key ReadKey(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    Key key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    return key;
}

bool Exists(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::string Pem(const Cert& certificate) {
    const Bio bio(BIO_new(BIO_s_mem()));
    char* data = nullptr;
    if (bio == nullptr || PEM_write_bio_X509(bio.get(), certificate.get()) != 1) {
        return {};
    }
    const long length = BIO_get_mem_data(bio.get(), &data);
    return {data, static_cast<std::size_t>(std::max(length, 0L))};
}

std::string Pem(const Key& key) {
    const Bio bio(BIO_new(BIO_s_mem()));
    char* data = nullptr;
    if (bio == nullptr || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0,
                                                   nullptr, nullptr) != 1) {
        return {};
    }
    const long length = BIO_get_mem_data(bio.get(), &data);
    return {data, static_cast<std::size_t>(std::max(length, 0L))};
}

/// Writes the key, then the certificate, each replacing its file durably: a certificate
/// without its key would be of no use.
bool WritePair(const Cert& certificate, const Key& key, const std::filesystem::path& certPath,
               const std::filesystem::path& keyPath, std::string& error) {
    const std::string keyPem = Pem(key);
    const std::string certPem = Pem(certificate);
    if (keyPem.empty() || certPem.empty()) {
        error = "cannot encode a certificate: " + OpenSslReason();
        return false;
    }
    for (const auto& [path, bytes, mode] :
         {std::tuple{keyPath, keyPem, mode_t{0600}}, std::tuple{certPath, certPem, mode_t{0644}}}) {
        if (!durable::ReplaceFile(path.string(), bytes, mode, path.string() + ".new")) {
            error = "cannot write " + path.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

/// A fresh certificate for `key` with a random serial, valid from a little before `now` for
/// `lifeSeconds`, named `commonName` (and `organisation` when given).
Cert NewCertificate(const Key& key, std::time_t now, long lifeSeconds,
                    const std::string& commonName, const std::string& organisation) {
    Cert certificate(X509_new());
    const std::unique_ptr<BIGNUM, Freer> serial(BN_new());
    if (certificate == nullptr || serial == nullptr) {
        return nullptr;
    }
    X509* cert = certificate.get();
    X509_NAME* subject = X509_get_subject_name(cert);
    const auto text = [](const std::string& s) {
        return reinterpret_cast<const unsigned char*>(s.c_str());
    };
    std::time_t from = now - kBackdate;
    const bool made =
        X509_set_version(cert, X509_VERSION_3) == 1 &&
        BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
        BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)) != nullptr &&
        X509_time_adj_ex(X509_getm_notBefore(cert), 0, 0, &from) != nullptr &&
        X509_time_adj_ex(X509_getm_notAfter(cert), 0, lifeSeconds - kBackdate, &now) != nullptr &&
        (organisation.empty() || X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                                            text(organisation), -1, -1, 0) == 1) &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, text(commonName), -1, -1, 0) ==
            1 &&
        X509_set_pubkey(cert, key.get()) == 1;
    return made ? std::move(certificate) : nullptr;
}

struct Ca {
    Cert certificate;
    Key key;
};

std::optional<Ca> MakeCa(const OfficeCaFiles& files, std::time_t now, std::string& error) {
    Key key(EVP_EC_gen("P-256"));
    const std::string host = HostName().empty() ? "brevin" : HostName();
    // A name of its own for each CA, so that trust stores holding two offices' CAs never take
    // one for the other.
    unsigned char tag[4] = {};
    const std::unique_ptr<BIGNUM, Freer> random(BN_new());
    if (random != nullptr && BN_rand(random.get(), 32, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1) {
        BN_bn2binpad(random.get(), tag, sizeof tag);
    }
    std::string name = "Brevin office CA " + Hex(tag, sizeof tag);
    name.erase(std::remove(name.begin(), name.end(), ':'), name.end());
    Cert certificate =
        key != nullptr ? NewCertificate(key, now, kCaLifeDays * 86400, name, host) : nullptr;
    X509* cert = certificate.get();
    const bool made =
        cert != nullptr && X509_set_issuer_name(cert, X509_get_subject_name(cert)) == 1 &&
        AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
        AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign") &&
        AddExtension(cert, cert, NID_subject_key_identifier, "hash") &&
        AddExtension(cert, cert, NID_authority_key_identifier, "keyid:always") &&
        X509_sign(cert, key.get(), EVP_sha256()) > 0;
    if (!made) {
        error = "cannot make the office CA: " + OpenSslReason();
        return std::nullopt;
    }
    if (!WritePair(certificate, key, files.caCertificate, files.caKey, error)) {
        return std::nullopt;
    }
    return Ca{std::move(certificate), std::move(key)};
}

bool IssueServerCertificate(const Ca& ca, const OfficeCaFiles& files, const CertificateNames& names,
                            std::time_t now, std::string& error) {
    Key key(EVP_EC_gen("P-256"));
    const std::string commonName = names.dns.empty() ? "localhost" : names.dns.front();
    Cert certificate = key != nullptr
                           ? NewCertificate(key, now, kServerCertificateLife.count(),
                                            HostName().empty() ? commonName : HostName(), "")
                           : nullptr;
    X509* cert = certificate.get();
    X509* issuer = ca.certificate.get();
    // ECDSA keys sign; they never encipher, so keyEncipherment has no place here.
    const bool made = cert != nullptr &&
                      X509_set_issuer_name(cert, X509_get_subject_name(issuer)) == 1 &&
                      AddExtension(issuer, cert, NID_subject_alt_name, SubjectAltNames(names)) &&
                      AddExtension(issuer, cert, NID_basic_constraints, "critical,CA:FALSE") &&
                      AddExtension(issuer, cert, NID_key_usage, "critical,digitalSignature") &&
                      AddExtension(issuer, cert, NID_ext_key_usage, "serverAuth") &&
                      AddExtension(issuer, cert, NID_subject_key_identifier, "hash") &&
                      AddExtension(issuer, cert, NID_authority_key_identifier, "keyid:always") &&
                      X509_sign(cert, ca.key.get(), EVP_sha256()) > 0;
    if (!made) {
        error = "cannot issue the server certificate: " + OpenSslReason();
        return false;
    }
    return WritePair(certificate, key, files.certificate, files.key, error);
}

} // namespace

void CertificateNames::Add(std::string text) {
    if (text.empty() || text == "0.0.0.0" || text == "::") {
        return;
    }
    if (const std::string address = CanonicalAddress(text); !address.empty()) {
        if (address.rfind("fe80:", 0) != 0) {
            Insert(addresses, address);
        }
        return;
    }
    if (text.find('%') == std::string::npos && text.find_first_of(" ,*") == std::string::npos) {
        Insert(dns, Lower(std::move(text)));
    }
}

bool CertificateNames::Covers(const CertificateNames& wanted) const {
    return std::includes(dns.begin(), dns.end(), wanted.dns.begin(), wanted.dns.end()) &&
           std::includes(addresses.begin(), addresses.end(), wanted.addresses.begin(),
                         wanted.addresses.end());
}

std::string CertificateNames::Missing(const CertificateNames& wanted) const {
    std::string text;
    for (const auto& [have, want, kind] : {std::tuple{&dns, &wanted.dns, "DNS:"},
                                           std::tuple{&addresses, &wanted.addresses, "IP:"}}) {
        for (const std::string& name : *want) {
            if (!std::binary_search(have->begin(), have->end(), name)) {
                text += (text.empty() ? "" : ", ") + std::string(kind) + name;
            }
        }
    }
    return text;
}

CertificateNames NamesForHost(const HostAddress& host) {
    CertificateNames names;
    names.Add("localhost");
    if (const std::string name = HostName(); !name.empty()) {
        names.Add(name);
        // Zeroconf (mDNS) names the host by its first label under .local.
        names.Add(name.substr(0, name.find('.')) + ".local");
    }
    names.Add(OfficialHostName());
    for (const std::string& address :
         {std::string("127.0.0.1"), std::string("::1"), host.address}) {
        names.Add(address);
    }
    for (const ListenAddress& listen : host.listen) {
        names.Add(listen.address);
    }
    for (const std::string& address : host.reachable) {
        names.Add(address);
    }
    for (const auto& [_, address] : InterfaceAddresses(true)) {
        names.Add(address);
    }
    for (const auto& [_, address] : InterfaceAddresses6("")) {
        names.Add(address);
    }
    return names;
}

OfficeCaFiles OfficeCaFiles::In(const std::filesystem::path& directory) {
    return {directory / "brevin-ca.pem", directory / "brevin-ca-key.pem",
            directory / "brevin-cert.pem", directory / "brevin-key.pem"};
}

const char* ChangeName(CertificateChange change) {
    switch (change) {
    case CertificateChange::None:
        return "none";
    case CertificateChange::Made:
        return "made";
    case CertificateChange::ReplacedSelfSigned:
        return "replaced-self-signed";
    case CertificateChange::Reissued:
        return "reissued";
    case CertificateChange::Renewed:
        return "renewed";
    case CertificateChange::NamesAdded:
        return "names-added";
    }
    return "none";
}

std::optional<CertificateFacts> ReadCertificateFacts(const std::filesystem::path& path,
                                                     std::string& error) {
    ERR_clear_error();
    const Cert certificate = ReadCertificate(path);
    if (certificate == nullptr) {
        error = "cannot read a certificate from " + path.string();
        ERR_clear_error();
        return std::nullopt;
    }
    CertificateFacts facts;
    facts.names = NamesOf(certificate.get());
    facts.notBefore = TimeOf(X509_get0_notBefore(certificate.get()));
    facts.notAfter = TimeOf(X509_get0_notAfter(certificate.get()));
    facts.selfSigned = X509_self_signed(certificate.get(), 1) == 1;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    X509_digest(certificate.get(), EVP_sha256(), digest, &length);
    facts.fingerprint = Hex(digest, length);
    ERR_clear_error();
    return facts;
}

CertificateReport KeepServerCertificate(const OfficeCaFiles& files, const CertificateNames& names,
                                        std::chrono::seconds renewWithin, std::time_t now) {
    CertificateReport report;
    ERR_clear_error();
    std::optional<Ca> ca;
    if (!Exists(files.caCertificate) && !Exists(files.caKey)) {
        ca = MakeCa(files, now, report.error);
        if (!ca) {
            return report;
        }
        report.madeCa = true;
    } else {
        ca = Ca{ReadCertificate(files.caCertificate), ReadKey(files.caKey)};
        if (ca->certificate == nullptr || ca->key == nullptr ||
            X509_check_private_key(ca->certificate.get(), ca->key.get()) != 1) {
            // Never made afresh here: every device that trusts it would have to again.
            report.error = "the office CA (" + files.caCertificate.string() + ", " +
                           files.caKey.string() + ") cannot be used";
            ERR_clear_error();
            return report;
        }
    }

    const Cert current = ReadCertificate(files.certificate);
    const Key currentKey = current != nullptr ? ReadKey(files.key) : nullptr;
    if (current == nullptr) {
        report.change = CertificateChange::Made;
    } else if (report.madeCa && X509_self_signed(current.get(), 1) == 1) {
        report.change = CertificateChange::ReplacedSelfSigned;
    } else if (X509_check_issued(ca->certificate.get(), current.get()) != X509_V_OK ||
               X509_verify(current.get(), ca->key.get()) != 1 || currentKey == nullptr ||
               X509_check_private_key(current.get(), currentKey.get()) != 1) {
        report.change = CertificateChange::Reissued;
    } else if (TimeOf(X509_get0_notAfter(current.get())) - now < renewWithin.count()) {
        report.change = CertificateChange::Renewed;
    }
    CertificateNames issued = names;
    if (report.change == CertificateChange::None && current != nullptr) {
        if (CertificateNames has = NamesOf(current.get()); !has.Covers(names)) {
            report.change = CertificateChange::NamesAdded;
            report.detail = has.Missing(names);
            // The names it had stay until the next renewal: another process asking with fewer
            // (`brevin tls` without the server's --address) must not take the server's away.
            for (std::string& name : has.dns) {
                issued.Add(std::move(name));
            }
            for (std::string& address : has.addresses) {
                issued.Add(std::move(address));
            }
        }
    }
    ERR_clear_error();
    if (report.change != CertificateChange::None &&
        !IssueServerCertificate(*ca, files, issued, now, report.error)) {
        report.change = CertificateChange::None;
    }
    return report;
}

} // namespace brevin
