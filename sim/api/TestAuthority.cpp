#include "TestAuthority.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>


namespace {

// Fixed validity, from 2000-01-01 to 2049-12-31, so that a test clock set anywhere in between
// (the simulated board's fake wall clock included) sees every certificate as valid.
constexpr time_t kValidFrom = 946684800;
constexpr time_t kValidUntil = 2524521600;

void require(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test certificate: ") + what);
    }
}

KeyPtr generateKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    require(key != nullptr, "key generation failed");
    return key;
}

void addExtension(X509* subject, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, subject, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    require(extension != nullptr, "bad extension");
    X509_add_ext(subject, extension, -1);
    X509_EXTENSION_free(extension);
}

CertificatePtr newCertificate(EVP_PKEY* key, const std::string& commonName, long serial) {
    CertificatePtr certificate(X509_new());
    require(certificate != nullptr, "allocation failed");
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
    ASN1_TIME_set(X509_getm_notBefore(certificate.get()), kValidFrom);
    ASN1_TIME_set(X509_getm_notAfter(certificate.get()), kValidUntil);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    return certificate;
}

void sign(X509* certificate, EVP_PKEY* issuerKey) {
    require(X509_sign(certificate, issuerKey, EVP_sha256()) > 0, "signing failed");
}

std::string makeDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestro-pki-XXXXXX";
    require(mkdtemp(pattern.data()) != nullptr, "no temporary directory");
    return pattern;
}

void writeCertificate(const std::string& path, X509* certificate) {
    FILE* file = std::fopen(path.c_str(), "w");
    require(file != nullptr, "cannot write the certificate file");
    const bool written = PEM_write_X509(file, certificate) == 1;
    std::fclose(file);
    require(written, "cannot write the certificate");
}

long nextSerial() {
    static long serial = 1;
    return serial++;
}

}  // namespace

TestAuthority::TestAuthority(const std::string& name)
    : _key(generateKey()), _certificate(newCertificate(_key.get(), name, nextSerial())) {
    X509* self = _certificate.get();
    X509_set_issuer_name(self, X509_get_subject_name(self));
    addExtension(self, self, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(self, self, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(self, self, NID_subject_key_identifier, "hash");
    sign(self, _key.get());
    _directory = makeDirectory();
    _certificateFile = _directory + "/authority.pem";
    writeCertificate(_certificateFile, self);
}

TestAuthority::~TestAuthority() {
    unlink(_certificateFile.c_str());
    rmdir(_directory.c_str());
}

ServerIdentity TestAuthority::issueLeaf(const std::string& name, const std::string& usage,
                                        const std::string& alternativeNames) const {
    KeyPtr key = generateKey();
    CertificatePtr leaf = newCertificate(key.get(), name, nextSerial());
    X509_set_issuer_name(leaf.get(), X509_get_subject_name(_certificate.get()));
    addExtension(leaf.get(), _certificate.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(leaf.get(), _certificate.get(), NID_key_usage,
                 "critical,digitalSignature,keyAgreement");
    addExtension(leaf.get(), _certificate.get(), NID_ext_key_usage, usage.c_str());
    addExtension(leaf.get(), _certificate.get(), NID_subject_alt_name, alternativeNames.c_str());
    addExtension(leaf.get(), _certificate.get(), NID_authority_key_identifier, "keyid:always");
    sign(leaf.get(), _key.get());
    return ServerIdentity{std::move(leaf), std::move(key)};
}

ServerIdentity TestAuthority::issueServerIdentity(const std::string& host) const {
    return issueLeaf(host, "serverAuth", "DNS:" + host + ",DNS:localhost,IP:127.0.0.1");
}

ServerIdentity TestAuthority::issueClientIdentity(const std::string& name) const {
    return issueLeaf(name, "clientAuth", "DNS:" + name);
}

void TestAuthority::writeIdentity(const ServerIdentity& identity, const std::string& stem) {
    writeCertificate(stem + ".crt", identity.certificate.get());
    FILE* file = std::fopen((stem + ".key").c_str(), "w");
    require(file != nullptr, "cannot write the key file");
    const bool written =
        PEM_write_PrivateKey(file, identity.key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(file);
    require(written, "cannot write the key");
}
