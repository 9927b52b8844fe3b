#pragma once
// Certificates for TLS tests, made with the `openssl` command in a temporary
// folder when a test asks for them, and removed with it. Nothing is stored in
// the repository. Keys are P-256 (quick to make), without a pass phrase.
//
//   pw::test::TestCertificates certs;        // throws std::runtime_error with openssl's words
//   server.Use(certs.Server.Cert, certs.Server.Key);
//   settings.CaFile = certs.CaFile;          // the test CA that signed them
//
// Made out for 127.0.0.1, ::1 and localhost (subjectAltName IP and DNS), and
// signed by the test CA, unless said otherwise:
//   Server       good for ten years
//   Expired      valid 2020-01-01 to 2020-01-02 (made with `openssl ca
//                -startdate/-enddate`: OpenSSL 3.0 refuses negative days)
//   NotYetValid  valid from 2090 on
//   OtherName    made out for other.test only
//   SelfSigned   signed by its own key, not by the CA

#include <string>

#include "support/TempDir.h"

namespace pw::test {

struct TestKeyPair {
    std::string Cert;  // PEM certificate file
    std::string Key;   // PEM private key file
};

class TestCertificates {
public:
    TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    const std::string& Folder() const { return dir_.Path(); }

    std::string CaFile;  // the test CA's certificate (PEM), to trust
    TestKeyPair Ca;      // the CA's own certificate and key
    TestKeyPair Server;
    TestKeyPair Expired;
    TestKeyPair NotYetValid;
    TestKeyPair OtherName;
    TestKeyPair SelfSigned;

private:
    void Run(const std::string& command);
    TestKeyPair Issue(const std::string& name, const std::string& altNames);
    TestKeyPair IssueDated(const std::string& name, const std::string& start, const std::string& end);

    TempDir dir_{"pw-certs"};
};

}  // namespace pw::test
