#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

struct X509Release {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyRelease {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using CertificatePtr = std::unique_ptr<X509, X509Release>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyRelease>;

// A leaf certificate with its private key.
struct ServerIdentity {
    CertificatePtr certificate;
    KeyPtr key;
};

// A certificate authority made at run time, whose certificate sits in a PEM file of its own so
// that a TLS client can be told to trust it.
class TestAuthority {
  public:
    explicit TestAuthority(const std::string& name);
    ~TestAuthority();

    TestAuthority(const TestAuthority&) = delete;
    TestAuthority& operator=(const TestAuthority&) = delete;

    const std::string& certificateFile() const { return _certificateFile; }

    // A leaf certificate valid for `host`, "localhost" and 127.0.0.1, signed by this authority.
    ServerIdentity issueServerIdentity(const std::string& host = "localhost") const;

    // A certificate a TLS client presents to a server that asks for one, named `name`.
    ServerIdentity issueClientIdentity(const std::string& name) const;

    // `identity`'s certificate and key as PEM files `stem`.crt and `stem`.key.
    static void writeIdentity(const ServerIdentity& identity, const std::string& stem);

  private:
    ServerIdentity issueLeaf(const std::string& name, const std::string& usage,
                             const std::string& alternativeNames) const;

    KeyPtr _key;
    CertificatePtr _certificate;
    std::string _directory;
    std::string _certificateFile;
};

// The authority that every HTTPS request of this process trusts (see CurlTrust.h).
const TestAuthority& trustedTestAuthority();
