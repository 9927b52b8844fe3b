// The real program through TLS to aiosmtpd (Debian's python3-aiosmtpd, with
// Python's ssl module): STARTTLS with the automatic login, TLS on connect with
// LOGIN and a password command, an untrusted certificate, checks switched off,
// and STARTTLS asked of a server that has none. Certificates are made when the
// test runs (tests/support/TestCertificates).

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/Secret.h"
#include "support/SmtpSink.h"
#include "support/TestCertificates.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using test::TChild;
using test::TProgramFolder;

const std::string kUser = "tim";
const std::string kPassword = "a-made-up-Passw0rd";

class TlsSinkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder_.copied) << "build the program first: " << test::BuiltProgram(); }

    std::vector<std::string> SinkTls(bool onConnect) const {
        std::vector<std::string> o{"--cert", certs_.Server.Cert, "--key", certs_.Server.Key,
                                   "--login", kUser + ":" + kPassword};
        if (onConnect) o.push_back("--tls-on-connect");
        return o;
    }

    std::vector<std::string> Options(int port, int security) const {
        auto o = folder_.LoginOptions(port, kUser);
        o.insert(o.end(), {"Security=" + std::to_string(security), "TlsCaFile=" + certs_.CaFile});
        return o;
    }

    int Send(TChild& child, const std::string& file) {
        return folder_.Run(child, {"-TO:you@example.org", "-SUBJ:Report", "-ASEND:YES", "-AEXIT:YES", file}, 60s);
    }

    void ExpectNoSecretAnywhere(const TChild& child) const {
        const std::string everything = test::ReadWholeFile(folder_.LogPath()) + child.out + child.err;
        EXPECT_THAT(everything, Not(HasSubstr(kPassword)));
        EXPECT_THAT(everything, Not(HasSubstr("YS1tYWRlLXVwLVBhc3N3MHJk")));          // the password's Base64
        EXPECT_THAT(everything, Not(HasSubstr("AHRpbQBhLW1hZGUtdXAtUGFzc3cwcmQ=")));  // PLAIN's answer
    }

    test::TestCertificates certs_;
    TProgramFolder folder_;
};

TEST_F(TlsSinkTest, StartTlsWithTheAutomaticLogin) {
    test::TSmtpSink sink(folder_.root + "/mail", SinkTls(false));
    ASSERT_NE(sink.Port(), 0) << "the sink did not start (python3-aiosmtpd missing?)";
    auto options = Options(sink.Port(), 1);
    options.push_back("SMTP_Auth_Pass=" + EncodeSecret(kPassword));
    folder_.WriteIni(options);
    const std::string file = folder_.File("report.txt", "the report\r\n");

    TChild child;
    ASSERT_EQ(Send(child, file), 1) << child.out << child.err;
    ASSERT_EQ(sink.Count(), 1);
    EXPECT_THAT(sink.Envelope(1), HasSubstr("\"login\": \"tim\""));
    EXPECT_THAT(sink.Envelope(1), HasSubstr("\"tls\": true"));
    EXPECT_EQ(test::CheckMessage({sink.Message(1), "--subject", "Report", "--attach", file}), "OK");
    const auto log = folder_.LogLines();
    EXPECT_THAT(log, Contains("> STARTTLS"));
    EXPECT_THAT(log, Contains("> AUTH PLAIN ****"));  // PLAIN: offered, and the certificate was checked
    EXPECT_THAT(log, Contains("Rq=10(Ehlo) Error=0"));
    for (const auto& line : log) EXPECT_EQ(line.rfind("Warning", 0), std::string::npos) << line;
    ExpectNoSecretAnywhere(child);
}

TEST_F(TlsSinkTest, TlsOnConnectWithLoginAndAPasswordCommand) {
    test::TSmtpSink sink(folder_.root + "/mail", SinkTls(true));
    ASSERT_NE(sink.Port(), 0);
    auto options = Options(sink.Port(), 2);
    options.insert(options.end(), {"SMTP_Auth_Type=1", "SMTP_Auth_PassCommand=printf '%s\\n' " + kPassword});
    folder_.WriteIni(options);
    ::chmod(folder_.ini.c_str(), 0600);

    TChild child;
    ASSERT_EQ(Send(child, folder_.File("a.txt", "alpha\r\n")), 1) << child.out << child.err;
    ASSERT_EQ(sink.Count(), 1);
    EXPECT_THAT(sink.Envelope(1), HasSubstr("\"login\": \"tim\""));
    const auto log = folder_.LogLines();
    EXPECT_THAT(log, Contains("> AUTH LOGIN"));
    EXPECT_THAT(log, Not(Contains("> STARTTLS")));
    // Chosen by number, but over checked TLS: no warning.
    for (const auto& line : log) EXPECT_EQ(line.rfind("Warning", 0), std::string::npos) << line;
    ExpectNoSecretAnywhere(child);
}

TEST_F(TlsSinkTest, AnUntrustedCertificateFailsTheMessageAndSaysWhy) {
    test::TSmtpSink sink(folder_.root + "/mail", SinkTls(false));
    ASSERT_NE(sink.Port(), 0);
    auto options = Options(sink.Port(), 1);
    std::erase(options, "TlsCaFile=" + certs_.CaFile);
    options.push_back("SMTP_Auth_Pass=" + EncodeSecret(kPassword));
    folder_.WriteIni(options);

    TChild child;
    EXPECT_EQ(Send(child, folder_.File("a.txt", "alpha\r\n")), 2) << child.out << child.err;
    EXPECT_EQ(sink.Count(), 0);
    const auto log = folder_.LogLines();
    EXPECT_THAT(log, Contains("Rq=10(Ehlo) Error=12002"));
    EXPECT_THAT(log, Not(Contains(HasSubstr("AUTH"))));
    ExpectNoSecretAnywhere(child);
}

TEST_F(TlsSinkTest, ChecksSwitchedOffWarnAndAChosenLoginStillGoes) {
    test::TSmtpSink sink(folder_.root + "/mail", SinkTls(false));
    ASSERT_NE(sink.Port(), 0);
    auto options = Options(sink.Port(), 1);
    std::erase(options, "TlsCaFile=" + certs_.CaFile);
    options.insert(options.end(), {"TlsVerify=0", "SMTP_Auth_Type=2", "SMTP_Auth_Pass=" + EncodeSecret(kPassword)});
    folder_.WriteIni(options);

    TChild child;
    ASSERT_EQ(Send(child, folder_.File("a.txt", "alpha\r\n")), 1) << child.out << child.err;
    ASSERT_EQ(sink.Count(), 1);
    const auto log = folder_.LogLines();
    EXPECT_THAT(log, Contains("Warning: TLS certificate checks are off (TlsVerify=0): the connection is encrypted, "
                              "but nothing shows that the server is 127.0.0.1"));
    EXPECT_THAT(log, Contains("Warning: AUTH PLAIN was chosen by number and goes to a server whose certificate is "
                              "not checked: whoever pretends to be the server can read the password"));
    ExpectNoSecretAnywhere(child);
}

TEST_F(TlsSinkTest, StartTlsAskedOfAServerWithoutItSendsNothing) {
    test::TSmtpSink sink(folder_.root + "/mail", {"--login", kUser + ":" + kPassword, "--login-in-clear"});
    ASSERT_NE(sink.Port(), 0);
    auto options = Options(sink.Port(), 1);
    options.push_back("SMTP_Auth_Pass=" + EncodeSecret(kPassword));
    folder_.WriteIni(options);

    TChild child;
    EXPECT_EQ(Send(child, folder_.File("a.txt", "alpha\r\n")), 2) << child.out << child.err;
    EXPECT_EQ(sink.Count(), 0);
    const auto log = folder_.LogLines();
    EXPECT_THAT(log, Contains("Rq=10(Ehlo) Error=12005"));
    EXPECT_THAT(log, Not(Contains(HasSubstr("> AUTH"))));
    EXPECT_THAT(log, Not(Contains(HasSubstr("> MAIL"))));
    ExpectNoSecretAnywhere(child);
}

}  // namespace
}  // namespace pw
