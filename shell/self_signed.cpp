#include "shell/self_signed.h"

#include "engine/tls.h"
#include "store/durable_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/types.h>

namespace brevin {

namespace {

constexpr int kValidDays = 3653;

bool AddExtension(X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (extension == nullptr) {
        return false;
    }
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

/// Replaces `path` with `bytes` through "PATH.new", so that a reader never sees half a file and
/// a power cut leaves the old file or the new one; the new file has `mode` from its creation on.
bool WriteDurably(const std::filesystem::path& path, std::string_view bytes, mode_t mode,
                  std::string& error) {
    if (durable::ReplaceFile(path.string(), bytes, mode, path.string() + ".new")) {
        return true;
    }
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
}

std::string MemoryBioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return {data, static_cast<std::size_t>(std::max(length, 0L))};
}

} // namespace

bool GenerateSelfSigned(const std::filesystem::path& certificate, const std::filesystem::path& key,
                        std::string_view hostName, std::string_view address, std::string& error) {
    ERR_clear_error();
    EVP_PKEY* pkey = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    BIGNUM* serial = BN_new();
    BIO* keyPem = BIO_new(BIO_s_mem());
    BIO* certPem = BIO_new(BIO_s_mem());
    const std::string host(hostName.empty() ? std::string_view("brevin") : hostName);
    std::string names = "DNS:" + host;
    if (!address.empty()) {
        names += ",IP:" + std::string(address);
    }
    X509_NAME* subject = cert != nullptr ? X509_get_subject_name(cert) : nullptr;
    const auto* cn = reinterpret_cast<const unsigned char*>(host.c_str());
    const bool made =
        pkey != nullptr && cert != nullptr && serial != nullptr && keyPem != nullptr &&
        certPem != nullptr && X509_set_version(cert, X509_VERSION_3) == 1 &&
        BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
        BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert)) != nullptr &&
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
        X509_time_adj_ex(X509_getm_notAfter(cert), kValidDays, 0, nullptr) != nullptr &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, cn, -1, -1, 0) == 1 &&
        X509_set_issuer_name(cert, subject) == 1 && X509_set_pubkey(cert, pkey) == 1 &&
        AddExtension(cert, NID_subject_alt_name, names) &&
        AddExtension(cert, NID_basic_constraints, "critical,CA:FALSE") &&
        AddExtension(cert, NID_key_usage, "critical,digitalSignature") &&
        AddExtension(cert, NID_ext_key_usage, "serverAuth") &&
        AddExtension(cert, NID_subject_key_identifier, "hash") &&
        AddExtension(cert, NID_authority_key_identifier, "keyid:always") &&
        X509_sign(cert, pkey, EVP_sha256()) > 0 &&
        PEM_write_bio_PrivateKey(keyPem, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
        PEM_write_bio_X509(certPem, cert) == 1;
    if (!made) {
        error = "cannot make a TLS certificate: " + OpenSslReason();
    }
    // The key first: a certificate without its key would be of no use.
    const bool written = made && WriteDurably(key, MemoryBioText(keyPem), 0600, error) &&
                         WriteDurably(certificate, MemoryBioText(certPem), 0644, error);
    BIO_free(certPem);
    BIO_free(keyPem);
    BN_free(serial);
    X509_free(cert);
    EVP_PKEY_free(pkey);
    return written;
}

} // namespace brevin
