// SetUpClient: the options as the client's properties, the login number
// mapping, the refusal of commands from a settings file open to others, and
// the failures that end a job.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "app/ClientSetup.h"
#include "net/SocketErrors.h"
#include "smtp/SmtpClient.h"
#include "support/TempDir.h"

namespace pw {
namespace {

using ::testing::HasSubstr;

TEST(ClientSetup, LoginNumbersAreMappedNotCopied)
{
    const struct {
        std::int32_t option;
        std::uint8_t client;
    } rows[] = {{0, SmtpAuthType::Automatic}, {1, SmtpAuthType::Login},   {2, SmtpAuthType::Plain},
                {3, SmtpAuthType::CramMd5},   {4, SmtpAuthType::XOAuth2}, {5, 255},
                {-1, 255}};
    for (const auto& r : rows)
        EXPECT_EQ(ClientAuthType(r.option), r.client) << r.option;
}

TEST(ClientSetup, OptionsBecomeTheClientsProperties)
{
    MessageLoop loop;
    test::TempDir dir;
    const std::string ini = dir / "parcelwing.ini";
    std::ofstream(ini) << "[ROptions]\n";
    ::chmod(ini.c_str(), 0600);

    ROptions o;
    o.Host = "smtp.example.org";
    o.Port = 587;
    o.SignOn = "me.example.org";
    o.TimeOut = 42;
    o.Security = 1;
    o.TlsVerify = false;
    o.TlsCaFile = "/etc/company-ca.pem";
    o.SMTP_Auth_Enabled = true;
    o.SMTP_Auth_Type = 3;
    o.SMTP_Auth_Name = "me";
    o.SMTP_Auth_Pass = "made-up";
    o.SMTP_Auth_PassCommand = "pass show mail";
    o.SMTP_Auth_TokenCommand = "oauth2 token";
    TSmtpClient c(loop);
    EXPECT_EQ(SetUpClient(c, o, ini), "");
    EXPECT_EQ(c.Host, "smtp.example.org");
    EXPECT_EQ(c.Port, "587");
    EXPECT_EQ(c.SignOn, "me.example.org");
    EXPECT_EQ(c.TimeOut, 42);
    EXPECT_EQ(c.Security, TSmtpSecurity::StartTls);
    EXPECT_FALSE(c.TlsVerify);
    EXPECT_EQ(c.TlsCaFile, "/etc/company-ca.pem");
    EXPECT_EQ(c.AuthType, SmtpAuthType::CramMd5);
    EXPECT_EQ(c.Username, "me");
    EXPECT_EQ(c.Password, "made-up");
    EXPECT_EQ(c.PasswordCommand, "pass show mail");
    EXPECT_EQ(c.TokenCommand, "oauth2 token");
    EXPECT_EQ(c.CommandRefusal, "");

    // Login off: no login, whatever the rest says.
    o.SMTP_Auth_Enabled = false;
    EXPECT_EQ(SetUpClient(c, o, ini), "");
    EXPECT_EQ(c.AuthType, SmtpAuthType::None);

    // A settings file others may write: commands refused, with the reason.
    ::chmod(ini.c_str(), 0664);
    EXPECT_EQ(SetUpClient(c, o, ini), "");
    EXPECT_THAT(c.CommandRefusal, HasSubstr("may be written by others (mode 0664)"));
    // Without commands there is nothing to refuse.
    o.SMTP_Auth_PassCommand.clear();
    o.SMTP_Auth_TokenCommand.clear();
    EXPECT_EQ(SetUpClient(c, o, ini), "");
    EXPECT_EQ(c.CommandRefusal, "");
}

TEST(ClientSetup, SecurityValues)
{
    MessageLoop loop;
    TSmtpClient c(loop);
    const struct {
        std::int32_t option;
        bool valid;
        TSmtpSecurity client;
    } rows[] = {{0, true, TSmtpSecurity::None},
                {1, true, TSmtpSecurity::StartTls},
                {2, true, TSmtpSecurity::TlsOnConnect},
                {3, false, TSmtpSecurity::StartTls},
                {-1, false, TSmtpSecurity::StartTls}};
    for (const auto& r : rows) {
        ROptions o;
        o.Security = r.option;
        const std::string problem = SetUpClient(c, o, "/nonexistent.ini");
        EXPECT_EQ(problem.empty(), r.valid) << r.option;
        // An unusable value never leaves the connection in clear text.
        EXPECT_EQ(c.Security, r.client) << r.option;
        if (!r.valid) {
            EXPECT_THAT(problem, HasSubstr("Security=" + std::to_string(r.option)));
        }
    }
}

TEST(ClientSetup, FailuresThatEndTheJob)
{
    for (std::uint16_t code : {454, 534, 535, 12010, 12011, 12012, 12013})
        EXPECT_TRUE(LoginFailureEndsJob(code)) << code;
    for (std::uint16_t code : {0, 500, 504, 530, 550, 10004, 10060, 12001, 12005, 12006})
        EXPECT_FALSE(LoginFailureEndsJob(code)) << code;
}

}  // namespace
}  // namespace pw
