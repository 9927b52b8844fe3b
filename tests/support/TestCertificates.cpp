#include "support/TestCertificates.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pw::test {

namespace {

// One configuration for every command: the CA's own extensions, those of
// the server certificates, and a minimal `openssl ca` setup for the dated ones.
const char* const Config = R"(
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Parcelwing Test CA

[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[local_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, IP:::1, DNS:localhost

[other_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.test

[ca]
default_ca = test_ca
[test_ca]
dir = .
database = index.txt
new_certs_dir = issued
certificate = ca.pem
private_key = ca.key
serial = serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
)";

const char* const NewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

}  // namespace

void TestCertificates::Run(const std::string& command) {
    const std::string log = dir_ / "openssl.log";
    const std::string line = "cd '" + dir_.Path() + "' && openssl " + command + " >>openssl.log 2>&1";
    if (std::system(line.c_str()) != 0) {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        throw std::runtime_error("openssl " + command + " failed:\n" + text.str());
    }
}

TestKeyPair TestCertificates::Issue(const std::string& name, const std::string& extensions) {
    Run("req -new " + std::string(NewKey) + " -config openssl.cnf -subj /CN=" + name + " -keyout " + name +
        ".key -out " + name + ".csr");
    Run("x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 -extfile openssl.cnf"
        " -extensions " + extensions + " -out " + name + ".pem");
    return {dir_ / (name + ".pem"), dir_ / (name + ".key")};
}

TestKeyPair TestCertificates::IssueDated(const std::string& name, const std::string& start, const std::string& end) {
    Run("req -new " + std::string(NewKey) + " -config openssl.cnf -subj /CN=" + name + " -keyout " + name +
        ".key -out " + name + ".csr");
    Run("ca -batch -notext -config openssl.cnf -extensions local_ext -startdate " + start + " -enddate " + end +
        " -in " + name + ".csr -out " + name + ".pem");
    return {dir_ / (name + ".pem"), dir_ / (name + ".key")};
}

TestCertificates::TestCertificates() {
    if (dir_.Path().empty()) throw std::runtime_error("no temporary folder for the test certificates");
    {
        std::ofstream(dir_ / "openssl.cnf") << Config;
        std::ofstream(dir_ / "index.txt");
        std::ofstream(dir_ / "serial") << "1000\n";
        std::filesystem::create_directory(dir_ / "issued");
    }
    Run("req -x509 -new " + std::string(NewKey) + " -config openssl.cnf -extensions ca_ext -days 3650"
        " -keyout ca.key -out ca.pem");
    Ca = {dir_ / "ca.pem", dir_ / "ca.key"};
    CaFile = Ca.Cert;
    Server = Issue("localhost", "local_ext");
    OtherName = Issue("other.test", "other_ext");
    Expired = IssueDated("expired", "20200101000000Z", "20200102000000Z");
    NotYetValid = IssueDated("future", "20900101000000Z", "20901231000000Z");
    Run("req -x509 -new " + std::string(NewKey) + " -config openssl.cnf -extensions local_ext -days 3650"
        " -subj /CN=localhost -keyout self.key -out self.pem");
    SelfSigned = {dir_ / "self.pem", dir_ / "self.key"};
}

}  // namespace pw::test
