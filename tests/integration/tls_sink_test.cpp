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
#include "integration/LoginSinkFixture.h"
#include "support/SmtpSink.h"
#include "support/TestCertificates.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using test::TChild;

const std::string& kUser = test::kSinkUser;
const std::string& kPassword = test::kSinkPassword;

class TlsSinkTest : public test::TLoginSinkTest {
protected:
    std::vector<std::string> SinkTls(bool onConnect) const {
        std::vector<std::string> o{"--cert", certs_.Server.Cert, "--key", certs_.Server.Key};
        for (const auto& login : SinkLogin()) o.push_back(login);
        if (onConnect) o.push_back("--tls-on-connect");
        return o;
    }

    std::vector<std::string> Options(int port, int security) const {
        auto o = folder_.LoginOptions(port, kUser);
        o.insert(o.end(), {"Security=" + std::to_string(security), "TlsCaFile=" + certs_.CaFile});
        return o;
    }

    // One send that must stop at EHLO with `error`: exit code 2, nothing
    // received, no secret shown. Returns the log for the case's own checks.
    std::vector<std::string> SendRefusedAtEhlo(const test::TSmtpSink& sink, const std::string& error) {
        TChild child;
        EXPECT_EQ(Send(child, {folder_.File("a.txt", "alpha\r\n")}), 2) << child.out << child.err;
        EXPECT_EQ(sink.Count(), 0);
        const auto log = folder_.LogLines();
        EXPECT_THAT(log, Contains("Rq=10(Ehlo) Error=" + error));
        ExpectNoSecretAnywhere(child);
        return log;
    }

    test::TestCertificates certs_;
};

TEST_F(TlsSinkTest, StartTlsWithTheAutomaticLogin) {
    test::TSmtpSink sink(folder_.root + "/mail", SinkTls(false));
    ASSERT_NE(sink.Port(), 0) << "the sink did not start (python3-aiosmtpd missing?)";
    auto options = Options(sink.Port(), 1);
    options.push_back("SMTP_Auth_Pass=" + EncodeSecret(kPassword));
    folder_.WriteIni(options);
    const std::string file = folder_.File("report.txt", "the report\r\n");

    TChild child;
    ASSERT_EQ(Send(child, {file}), 1) << child.out << child.err;
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
    ASSERT_EQ(Send(child, {folder_.File("a.txt", "alpha\r\n")}), 1) << child.out << child.err;
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

    const auto log = SendRefusedAtEhlo(sink, "12002");
    EXPECT_THAT(log, Not(Contains(HasSubstr("AUTH"))));
}

TEST_F(TlsSinkTest, ChecksSwitchedOffWarnAndAChosenLoginStillGoes) {
    test::TSmtpSink sink(folder_.root + "/mail", SinkTls(false));
    ASSERT_NE(sink.Port(), 0);
    auto options = Options(sink.Port(), 1);
    std::erase(options, "TlsCaFile=" + certs_.CaFile);
    options.insert(options.end(), {"TlsVerify=0", "SMTP_Auth_Type=2", "SMTP_Auth_Pass=" + EncodeSecret(kPassword)});
    folder_.WriteIni(options);

    TChild child;
    ASSERT_EQ(Send(child, {folder_.File("a.txt", "alpha\r\n")}), 1) << child.out << child.err;
    ASSERT_EQ(sink.Count(), 1);
    const auto log = folder_.LogLines();
    EXPECT_THAT(log, Contains("Warning: TLS certificate checks are off (TlsVerify=0): the connection is encrypted, "
                              "but nothing shows that the server is 127.0.0.1"));
    EXPECT_THAT(log, Contains("Warning: AUTH PLAIN was chosen by number and goes to a server whose certificate is "
                              "not checked: whoever pretends to be the server can read the password"));
    ExpectNoSecretAnywhere(child);
}

TEST_F(TlsSinkTest, StartTlsAskedOfAServerWithoutItSendsNothing) {
    test::TSmtpSink sink(folder_.root + "/mail", SinkLoginInClear());
    ASSERT_NE(sink.Port(), 0);
    auto options = Options(sink.Port(), 1);
    options.push_back("SMTP_Auth_Pass=" + EncodeSecret(kPassword));
    folder_.WriteIni(options);

    const auto log = SendRefusedAtEhlo(sink, "12005");
    EXPECT_THAT(log, Not(Contains(HasSubstr("> AUTH"))));
    EXPECT_THAT(log, Not(Contains(HasSubstr("> MAIL"))));
}

}  // namespace
}  // namespace pw
