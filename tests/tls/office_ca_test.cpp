// The office CA and the server certificates it issues: what clients check in them.

#include "shell/office_ca.h"
#include "shell/self_signed.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <memory>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

namespace brevin {
namespace {

using testing::ReadFile;
using testing::TempDir;

struct Freer {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
};
using Cert = std::unique_ptr<X509, Freer>;

Cert Load(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    Cert cert(file != nullptr ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr);
    if (file != nullptr) {
        std::fclose(file);
    }
    return cert;
}

/// The X.509 error of checking `files.certificate` against the CA alone as a TLS client does
/// for `host` (a DNS name, or an address when `isAddress`) at `when`; X509_V_OK when it passes.
int Verify(const OfficeCaFiles& files, const std::string& host, bool isAddress, std::time_t when) {
    const Cert ca = Load(files.caCertificate);
    const Cert server = Load(files.certificate);
    const std::unique_ptr<X509_STORE, Freer> store(X509_STORE_new());
    const std::unique_ptr<X509_STORE_CTX, Freer> context(X509_STORE_CTX_new());
    if (ca == nullptr || server == nullptr || X509_STORE_add_cert(store.get(), ca.get()) != 1 ||
        X509_STORE_CTX_init(context.get(), store.get(), server.get(), nullptr) != 1) {
        return -1;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM_set_time(param, when);
    if (isAddress) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    }
    return X509_verify_cert(context.get()) == 1 ? X509_V_OK
                                                : X509_STORE_CTX_get_error(context.get());
}

CertificateNames Names(std::initializer_list<const char*> items) {
    CertificateNames names;
    for (const char* item : items) {
        names.Add(item);
    }
    return names;
}

mode_t Mode(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(OfficeCa, FirstStartMakesACaAndAServerCertificateClientsVerify) {
    TempDir dir;
    const OfficeCaFiles files = OfficeCaFiles::In(dir.Path());
    const auto names = Names(
        {"localhost", "office", "office.local", "127.0.0.1", "::1", "192.0.2.7", "2001:db8::7"});
    const std::time_t now = std::time(nullptr);
    const CertificateReport report = KeepServerCertificate(files, names, kRenewWithin, now);
    ASSERT_EQ(report.error, "");
    EXPECT_EQ(report.change, CertificateChange::Made);
    EXPECT_TRUE(report.madeCa);
    EXPECT_EQ(Mode(files.caKey), 0600) << "the CA's key is its owner's alone";
    EXPECT_EQ(Mode(files.key), 0600);

    for (const char* host : {"localhost", "office", "office.local", "OFFICE.local"}) {
        EXPECT_EQ(Verify(files, host, false, now), X509_V_OK) << host;
    }
    for (const char* address : {"127.0.0.1", "::1", "192.0.2.7", "2001:db8::7"}) {
        EXPECT_EQ(Verify(files, address, true, now), X509_V_OK) << address;
    }
    EXPECT_EQ(Verify(files, "elsewhere.example", false, now), X509_V_ERR_HOSTNAME_MISMATCH);
    EXPECT_EQ(Verify(files, "192.0.2.8", true, now), X509_V_ERR_IP_ADDRESS_MISMATCH);

    std::string error;
    const auto facts = ReadCertificateFacts(files.certificate, error);
    ASSERT_TRUE(facts) << error;
    EXPECT_EQ(facts->names, names);
    EXPECT_LE(facts->notAfter - facts->notBefore, 397L * 86400) << "Apple devices take 398 at most";
    EXPECT_LE(facts->notBefore, now);
    EXPECT_GE(facts->notAfter, now + 396L * 86400);
    EXPECT_FALSE(facts->selfSigned);

    const Cert ca = Load(files.caCertificate);
    const Cert server = Load(files.certificate);
    ASSERT_TRUE(ca && server);
    EXPECT_EQ(X509_check_ca(ca.get()), 1);
    EXPECT_EQ(X509_get_pathlen(ca.get()), 0);
    EXPECT_EQ(X509_get_key_usage(ca.get()), static_cast<uint32_t>(KU_KEY_CERT_SIGN | KU_CRL_SIGN));
    EXPECT_EQ(X509_check_ca(server.get()), 0);
    EXPECT_EQ(X509_get_key_usage(server.get()), static_cast<uint32_t>(KU_DIGITAL_SIGNATURE));
    EXPECT_EQ(X509_get_extended_key_usage(server.get()), static_cast<uint32_t>(XKU_SSL_SERVER));
    ASSERT_NE(X509_get0_authority_key_id(server.get()), nullptr);
    EXPECT_EQ(ASN1_OCTET_STRING_cmp(X509_get0_authority_key_id(server.get()),
                                    X509_get0_subject_key_id(ca.get())),
              0);
}

TEST(OfficeCa, ALaterStartKeepsEverything) {
    TempDir dir;
    const OfficeCaFiles files = OfficeCaFiles::In(dir.Path());
    const auto names = Names({"localhost", "127.0.0.1"});
    ASSERT_EQ(KeepServerCertificate(files, names).error, "");
    const std::string ca = ReadFile(files.caCertificate);
    const std::string cert = ReadFile(files.certificate);
    const CertificateReport again = KeepServerCertificate(files, names);
    EXPECT_EQ(again.change, CertificateChange::None);
    EXPECT_FALSE(again.madeCa);
    EXPECT_EQ(ReadFile(files.caCertificate), ca);
    EXPECT_EQ(ReadFile(files.certificate), cert);
}

TEST(OfficeCa, RenewsWellBeforeTheEndUnderTheSameCa) {
    TempDir dir;
    const OfficeCaFiles files = OfficeCaFiles::In(dir.Path());
    const auto names = Names({"localhost", "127.0.0.1"});
    const std::time_t now = std::time(nullptr);
    ASSERT_EQ(KeepServerCertificate(files, names, kRenewWithin, now).error, "");
    const std::string ca = ReadFile(files.caCertificate);
    const std::string cert = ReadFile(files.certificate);

    EXPECT_EQ(KeepServerCertificate(files, names, kRenewWithin, now + 360L * 86400).change,
              CertificateChange::None)
        << "37 days left is still enough";
    const std::time_t later = now + 370L * 86400;
    const CertificateReport renewed = KeepServerCertificate(files, names, kRenewWithin, later);
    EXPECT_EQ(renewed.change, CertificateChange::Renewed);
    EXPECT_FALSE(renewed.madeCa);
    EXPECT_EQ(ReadFile(files.caCertificate), ca) << "devices that trust the CA trust the new one";
    EXPECT_NE(ReadFile(files.certificate), cert);
    EXPECT_EQ(Verify(files, "localhost", false, later + 300L * 86400), X509_V_OK);
}

TEST(OfficeCa, AMissingNameIsAddedAndTheOthersKept) {
    TempDir dir;
    const OfficeCaFiles files = OfficeCaFiles::In(dir.Path());
    ASSERT_EQ(KeepServerCertificate(files, Names({"localhost", "10.0.0.5"})).error, "");
    const CertificateReport added = KeepServerCertificate(files, Names({"localhost", "10.0.0.6"}));
    EXPECT_EQ(added.change, CertificateChange::NamesAdded);
    EXPECT_EQ(added.detail, "IP:10.0.0.6");
    std::string error;
    const auto facts = ReadCertificateFacts(files.certificate, error);
    ASSERT_TRUE(facts) << error;
    EXPECT_EQ(facts->names, Names({"localhost", "10.0.0.5", "10.0.0.6"}));
}

TEST(OfficeCa, AnEarlierSelfSignedPairIsReplacedByOneFromTheCa) {
    TempDir dir;
    const OfficeCaFiles files = OfficeCaFiles::In(dir.Path());
    std::string error;
    ASSERT_TRUE(GenerateSelfSigned(files.certificate, files.key, "office", "127.0.0.1", error));
    const CertificateReport report = KeepServerCertificate(files, Names({"office", "127.0.0.1"}));
    EXPECT_EQ(report.change, CertificateChange::ReplacedSelfSigned);
    EXPECT_TRUE(report.madeCa);
    EXPECT_EQ(Verify(files, "127.0.0.1", true, std::time(nullptr)), X509_V_OK);
}

TEST(OfficeCa, ACaWithoutItsKeyIsNeverMadeAfresh) {
    TempDir dir;
    const OfficeCaFiles files = OfficeCaFiles::In(dir.Path());
    ASSERT_EQ(KeepServerCertificate(files, Names({"localhost"})).error, "");
    const std::string ca = ReadFile(files.caCertificate);
    const std::string cert = ReadFile(files.certificate);
    std::filesystem::remove(files.caKey);
    const CertificateReport report = KeepServerCertificate(files, Names({"localhost", "::1"}));
    EXPECT_NE(report.error, "");
    EXPECT_EQ(ReadFile(files.caCertificate), ca) << "devices trust this one";
    EXPECT_EQ(ReadFile(files.certificate), cert) << "the certificate in use is left alone";
}

} // namespace
} // namespace brevin
