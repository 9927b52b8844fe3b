// Logins against scripted servers: every mechanism byte for byte (PLAIN,
// LOGIN, CRAM-MD5, XOAUTH2 and OAUTHBEARER, their failures included), the
// automatic choice, secrets from commands, the masked trace, the refusals
// the client makes itself, and SIZE.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include "codecs/Base64.h"
#include "net/SocketErrors.h"
#include "support/ProcessGroup.h"
#include "support/SmtpSessionDriver.h"
#include "support/TempDir.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using test::RequestRecord;
using test::ScriptedSmtpServer;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using R = TSmtpRequest;
using Records = std::vector<RequestRecord>;

const std::string User = "tim";
const std::string Password = "tanstaaftanstaaf";
const std::string Token = "ya29.a-made-up-access-token";

void DataToEnd(ScriptedSmtpServer& s)
{
    s.Exchange("MAIL FROM:<a@x>", "250 ok").Exchange("RCPT TO:<b@y>", "250 ok");
    s.Exchange("DATA", "354 go").ReadData().Reply("250 queued").Exchange("QUIT", "221 bye").Close();
}

Records FailsAtAuth(std::uint16_t code)
{
    return {{R::Connect, 0, ""}, {R::Ehlo, 0, ""}, {R::Auth, code, ""}};
}

class Login : public ::testing::Test {
protected:
    using Pair = test::ClientServerPair;
    std::unique_ptr<Pair> NewPair()
    {
        auto p = std::make_unique<Pair>();
        p->client = test::ClientFor(loop, p->server);
        p->client->Username = User;
        p->client->OnWarning = [this](TSmtpEngine&, const std::string& text) { warnings.push_back(text); };
        p->client->OnCommandSent = [this](TSmtpEngine&, const std::string& line) { sent.push_back(line); };
        return p;
    }

    test::SessionResult Run(Pair& p)
    {
        auto r = test::RunSession(loop, p.server, *p.client, {true, true});
        EXPECT_TRUE(r.finished) << test::Describe(r.records);
        EXPECT_TRUE(p.server.WaitFinished(10s));
        EXPECT_THAT(p.server.Failures(), IsEmpty());
        return r;
    }

    // Neither the trace nor OnCommandSent ever holds one of `secrets`.
    void ExpectNoSecret(const test::SessionResult& r, const std::vector<std::string>& secrets)
    {
        for (const auto& s : secrets) {
            for (const auto& line : r.trace)
                EXPECT_THAT(line, Not(HasSubstr(s))) << "secret in the trace";
            for (const auto& line : sent)
                EXPECT_THAT(line, Not(HasSubstr(s))) << "secret in OnCommandSent";
        }
    }

    MessageLoop loop;
    std::vector<std::string> warnings;
    std::vector<std::string> sent;
    test::TempDir dir{"pw-login"};
};

// ---------------------------------------------------------------------------
// Each mechanism, byte for byte

TEST_F(Login, PlainChosenByNumberSendsItsInitialResponseMaskedAndWarnsOnce)
{
    auto p = NewPair();
    p->client->AuthType = SmtpAuthType::Plain;
    p->client->Password = Password;
    const std::string answer = "AHRpbQB0YW5zdGFhZnRhbnN0YWFm";  // NUL tim NUL tanstaaftanstaaf
    p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH LOGIN"})
        .Exchange("AUTH PLAIN " + answer, "235 2.7.0 ok");
    DataToEnd(p->server);
    const auto r = Run(*p);
    EXPECT_EQ(r.records, test::SuccessRecords(true, true)) << test::Describe(r.records);
    EXPECT_THAT(r.trace, Contains("> AUTH PLAIN ****"));
    ExpectNoSecret(r, {Password, answer});
    EXPECT_EQ(p->client->AuthMechanism(), TSaslMechanism::Plain);
    // Used as chosen although the server did not list it, with one warning.
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("AUTH PLAIN was chosen by number and goes in clear text"));
    EXPECT_THAT(warnings[0], HasSubstr("password"));
}

TEST_F(Login, LoginAnswersAreBothMasked)
{
    auto p = NewPair();
    p->client->AuthType = SmtpAuthType::Login;
    p->client->Password = Password;
    p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH LOGIN"})
        .Exchange("AUTH LOGIN", "334 VXNlcm5hbWU6")
        .Exchange(Base64Encode(User), "334 UGFzc3dvcmQ6")
        .Exchange(Base64Encode(Password), "235 ok");
    DataToEnd(p->server);
    const auto r = Run(*p);
    EXPECT_EQ(r.records, test::SuccessRecords(true, true)) << test::Describe(r.records);
    const std::vector<std::string> authLines(std::find(r.trace.begin(), r.trace.end(), "> AUTH LOGIN"),
                                             std::find(r.trace.begin(), r.trace.end(), "< 235 ok") + 1);
    EXPECT_THAT(authLines, ElementsAre("> AUTH LOGIN", "< 334 VXNlcm5hbWU6", "> ****", "< 334 UGFzc3dvcmQ6",
                                       "> ****", "< 235 ok"));
    ExpectNoSecret(r, {Password, Base64Encode(Password), Base64Encode(User)});
    EXPECT_EQ(warnings.size(), 1u);  // LOGIN by number in clear text
}

TEST_F(Login, CramMd5IsTheAutomaticChoiceInClearText)
{
    auto p = NewPair();
    p->client->AuthType = SmtpAuthType::Automatic;
    p->client->Password = Password;
    // RFC 2195's example exchange.
    const std::string answer = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";
    p->server.Reply("220 hi").Expect("EHLO client.test")
        .ReplyLines({"250-hi", "250-AUTH PLAIN LOGIN CRAM-MD5", "250 8BITMIME"})
        .Exchange("AUTH CRAM-MD5", "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+")
        .Exchange(answer, "235 ok");
    DataToEnd(p->server);
    const auto r = Run(*p);
    EXPECT_EQ(r.records, test::SuccessRecords(true, true)) << test::Describe(r.records);
    EXPECT_THAT(r.trace, Contains("> ****"));
    ExpectNoSecret(r, {Password, answer});
    EXPECT_THAT(warnings, IsEmpty());  // CRAM-MD5 shows no secret
}

TEST_F(Login, XOAuth2WithATokenFromACommand)
{
    auto p = NewPair();
    p->client->AuthType = SmtpAuthType::XOAuth2;
    p->client->TokenCommand = "printf '%s\\n' '" + Token + "'";
    const std::string answer = XOAuth2Response(User, Token);
    p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH XOAUTH2"})
        .Exchange("AUTH XOAUTH2 " + answer, "235 2.7.0 Accepted");
    DataToEnd(p->server);
    const auto r = Run(*p);
    EXPECT_EQ(r.records, test::SuccessRecords(true, true)) << test::Describe(r.records);
    EXPECT_THAT(r.trace, Contains("> AUTH XOAUTH2 ****"));
    ExpectNoSecret(r, {Token, answer});
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("access token"));
}

TEST_F(Login, TokenMechanismFailuresAnswerTheErrorChallengeThenReportTheFinalReply)
{
    // 334 with the error in Base64, the client's answer (XOAUTH2: an empty
    // line, OAUTHBEARER: ^A), then the final 535.
    const std::string error = Base64Encode(R"({"status":"401","schemes":"bearer","scope":"https://mail.example/"})");
    struct Row {
        std::uint8_t type;
        const char* name;
        const char* answer;
    } rows[] = {{SmtpAuthType::XOAuth2, "XOAUTH2", ""}, {SmtpAuthType::OAuthBearer, "OAUTHBEARER", "AQ=="}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        warnings.clear();
        auto p = NewPair();
        p->client->AuthType = row.type;
        p->client->Password = Token;  // without a token command the password is the token
        p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH XOAUTH2 OAUTHBEARER"})
            .ExpectPrefix(std::string("AUTH ") + row.name + " ")
            .Reply("334 " + error)
            .Exchange(row.answer, "535 5.7.8 Username and Password not accepted");
        const auto r = Run(*p);
        EXPECT_EQ(r.records, FailsAtAuth(535)) << test::Describe(r.records);
        EXPECT_EQ(p->client->LastReply(), "535 5.7.8 Username and Password not accepted");
        ExpectNoSecret(r, {Token});
    }
    // The OAUTHBEARER answer names host and port (RFC 7628, 3.1).
    auto p = NewPair();
    p->client->AuthType = SmtpAuthType::OAuthBearer;
    p->client->Password = Token;
    p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH OAUTHBEARER"})
        .Exchange("AUTH OAUTHBEARER " + OAuthBearerResponse(User, "127.0.0.1", p->client->Port, Token), "235 ok");
    DataToEnd(p->server);
    EXPECT_EQ(Run(*p).records, test::SuccessRecords(true, true));
}

// ---------------------------------------------------------------------------
// Refusals the client makes itself: nothing of a login goes to the server

TEST_F(Login, NoUsableLoginFailsWithAReasonAndSendsNothing)
{
    struct Row {
        const char* name;
        std::uint8_t type;
        std::string password, passCommand, tokenCommand;
        std::vector<std::string> ehlo;
        int code;
        const char* reason;
    };
    const Row rows[] = {
        {"PLAIN and LOGIN in clear text", SmtpAuthType::Automatic, Password, "", "",
         {"250-hi", "250 AUTH PLAIN LOGIN"}, PWE_AUTH_IMPOSSIBLE, "PLAIN and LOGIN show the password"},
        {"no AUTH at all", SmtpAuthType::Automatic, Password, "", "", {"250-hi", "250 SIZE"}, PWE_AUTH_IMPOSSIBLE,
         "no AUTH in its EHLO reply"},
        {"AUTH with no mechanism", SmtpAuthType::Automatic, Password, "", "", {"250-hi", "250 AUTH"},
         PWE_AUTH_IMPOSSIBLE, "no AUTH in its EHLO reply"},
        {"unknown mechanisms", SmtpAuthType::Automatic, Password, "", "", {"250-hi", "250 AUTH GSSAPI NTLM"},
         PWE_AUTH_IMPOSSIBLE, "does not know (GSSAPI NTLM)"},
        {"token in clear text", SmtpAuthType::Automatic, "", "", "echo t", {"250-hi", "250 AUTH XOAUTH2"},
         PWE_AUTH_IMPOSSIBLE, "access token is sent only over TLS"},
        {"no secret", SmtpAuthType::Automatic, "", "", "", {"250-hi", "250 AUTH CRAM-MD5"}, PWE_AUTH_NO_SECRET,
         "Login enabled but no password or command set"},
        {"password mechanism, token only", SmtpAuthType::CramMd5, "", "", "echo t",
         {"250-hi", "250 AUTH CRAM-MD5"}, PWE_AUTH_NO_SECRET, "AUTH CRAM-MD5 needs a password"},
        {"unknown number", 99, Password, "", "", {"250-hi", "250 AUTH CRAM-MD5"}, PWE_AUTH_IMPOSSIBLE,
         "number 99 is unknown"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto p = NewPair();
        p->client->AuthType = row.type;
        p->client->Password = row.password;
        p->client->PasswordCommand = row.passCommand;
        p->client->TokenCommand = row.tokenCommand;
        p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines(row.ehlo);
        const auto r = Run(*p);
        EXPECT_EQ(r.records, FailsAtAuth(static_cast<std::uint16_t>(row.code))) << test::Describe(r.records);
        EXPECT_THAT(p->client->LastReply(), HasSubstr(std::to_string(row.code) + " "));
        EXPECT_THAT(p->client->LastReply(), HasSubstr(row.reason));
        EXPECT_EQ(p->server.ReceivedLines(), std::vector<std::string>{"EHLO client.test"});
    }
}

// ---------------------------------------------------------------------------
// Secrets from commands

TEST_F(Login, APasswordCommandRunsOncePerConnectionThatLogsIn)
{
    const std::string count = dir / "runs";
    for (int connection = 1; connection <= 2; ++connection) {
        auto p = NewPair();
        p->client->AuthType = SmtpAuthType::CramMd5;
        p->client->Password = "stale stored password";  // the command takes its place
        p->client->PasswordCommand = "echo run >> '" + count + "'; printf '%s\\n' " + Password + "; echo ignored";
        p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH CRAM-MD5"})
            .Exchange("AUTH CRAM-MD5", "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+")
            .Exchange("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw", "235 ok");
        DataToEnd(p->server);
        EXPECT_EQ(Run(*p).records, test::SuccessRecords(true, true));
        std::ifstream in(count);
        int lines = 0;
        for (std::string l; std::getline(in, l);)
            ++lines;
        EXPECT_EQ(lines, connection);
    }
}

TEST_F(Login, CommandFailuresFailTheLoginWithTheReason)
{
    struct Row {
        const char* command;
        std::chrono::milliseconds limit;
        const char* reason;
    };
    // Every way a command fails is in command_runner_test.cpp; here how the
    // login reports it.
    const Row rows[] = {
        {"echo; echo second", 30s, "12012 Password command failed: it printed an empty first line"},
        {"echo secret-in-stderr >&2; exit 2", 30s, "12012 Password command failed: it exited with status 2"},
        {"trap '' TERM; sleep 20", 300ms, "12012 Password command failed: it did not finish within 300 ms"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        auto p = NewPair();
        p->client->AuthType = SmtpAuthType::Login;
        p->client->PasswordCommand = row.command;
        p->client->CommandTimeLimit = row.limit;
        p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH LOGIN"});
        const auto r = Run(*p);
        EXPECT_EQ(r.records, FailsAtAuth(PWE_AUTH_COMMAND)) << test::Describe(r.records);
        EXPECT_THAT(p->client->LastReply(), HasSubstr(row.reason));
        EXPECT_EQ(p->server.ReceivedLines(), std::vector<std::string>{"EHLO client.test"});
        for (const auto& line : r.trace)
            EXPECT_THAT(line, Not(HasSubstr("secret-in-stderr")));
    }
}

TEST_F(Login, ACommandMayTakeLongerThanTimeOut)
{
    // The server's silence while the command runs is not the server's fault.
    auto p = NewPair();
    p->client->TimeOut = 1;
    p->client->AuthType = SmtpAuthType::Plain;
    p->client->PasswordCommand = "sleep 1.6; echo " + Password;
    p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH PLAIN"})
        .Exchange("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm", "235 ok");
    DataToEnd(p->server);
    EXPECT_EQ(Run(*p).records, test::SuccessRecords(true, true));
}

TEST_F(Login, CommandsRefusedRunNothing)
{
    const std::string marker = dir / "ran";
    auto p = NewPair();
    p->client->AuthType = SmtpAuthType::CramMd5;
    p->client->PasswordCommand = "touch '" + marker + "'; echo pw";
    p->client->CommandRefusal = "/x/parcelwing.ini may be written by others (mode 0666)";
    p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH CRAM-MD5"});
    const auto r = Run(*p);
    EXPECT_EQ(r.records, FailsAtAuth(PWE_AUTH_COMMAND_REFUSED)) << test::Describe(r.records);
    EXPECT_EQ(p->client->LastReply(),
              "12013 Password command not run: /x/parcelwing.ini may be written by others (mode 0666)");
    struct stat st {};
    EXPECT_NE(::stat(marker.c_str(), &st), 0) << "the command ran";
}

TEST_F(Login, AbortOrTheServersCloseWhileTheCommandRunsKillsIt)
{
    for (bool serverCloses : {false, true}) {
        SCOPED_TRACE(serverCloses ? "server closes" : "abort");
        const std::string pidFile = dir / ("pid" + std::to_string(serverCloses));
        auto p = NewPair();
        p->client->AuthType = SmtpAuthType::CramMd5;
        p->client->PasswordCommand = "echo $$ > '" + pidFile + "'; sleep 20; echo pw";
        p->server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 AUTH CRAM-MD5"});
        if (serverCloses)
            p->server.Pause(500ms).Close();
        else
            p->server.Silent(5s);
        Records records;
        p->client->OnRequestDone = [&](TSmtpEngine& c, TSmtpRequest type, std::uint16_t error) {
            records.push_back({type, error, c.LastReply()});
            if (type == R::Connect && error == 0)
                c.Ehlo();
            else if (type == R::Ehlo && error == 0)
                c.Auth();
        };
        p->server.Start();
        p->client->Connect();
        pid_t group = 0;
        ASSERT_TRUE(test::RunLoopUntil(loop, [&] {
            std::ifstream in(pidFile);
            return static_cast<bool>(in >> group);
        }, 10s));
        EXPECT_TRUE(test::GroupRunning(group)) << "the command runs";
        if (serverCloses) {
            ASSERT_TRUE(test::RunLoopUntil(loop, [&] { return records.size() == 3; }, 10s));
            EXPECT_EQ(records[2], (RequestRecord{R::Auth, WSAEINTR, ""}));
        } else {
            p->client->Abort();
        }
        ASSERT_TRUE(test::RunLoopUntil(loop, [&] { return !test::GroupRunning(group); }, 5s))
            << "the command's group is still there";
        if (!serverCloses) {
            test::RunLoopFor(loop, 100ms);
            EXPECT_EQ(records.size(), 2u) << "Abort reports nothing";
        }
        p->server.Stop();
    }
}

// ---------------------------------------------------------------------------
// TLS asked for: nothing of a message goes out in clear text

TEST_F(Login, WithoutTlsNothingOfTheMessageGoesOutWhenTlsWasAskedFor)
{
    for (auto security : {TSmtpSecurity::StartTls, TSmtpSecurity::TlsOnConnect}) {
        for (R request : {R::Auth, R::MailFrom, R::RcptTo, R::Data, R::Vrfy}) {
            SCOPED_TRACE(SmtpRequestName(request));
            auto p = NewPair();
            p->client->AuthType = SmtpAuthType::Plain;
            p->client->Password = Password;
            p->server.Reply("220 hi").Exchange("EHLO client.test", "250 hi").Silent(3s);
            Records records;
            p->client->OnRequestDone = [&](TSmtpEngine& c, TSmtpRequest type, std::uint16_t error) {
                records.push_back({type, error, c.LastReply()});
            };
            p->server.Start();
            p->client->Connect();
            ASSERT_TRUE(test::RunLoopUntil(loop, [&] { return records.size() == 1; }, 5s));
            // Plain EHLO, as if the application skipped the TLS step.
            p->client->Ehlo();
            ASSERT_TRUE(test::RunLoopUntil(loop, [&] { return records.size() == 2; }, 5s));
            p->client->Security = security;
            switch (request) {
            case R::Auth: p->client->Auth(); break;
            case R::MailFrom: p->client->MailFrom(); break;
            case R::RcptTo: p->client->RcptTo(); break;
            case R::Vrfy: p->client->Vrfy(); break;
            default: p->client->Data(); break;
            }
            ASSERT_TRUE(test::RunLoopUntil(loop, [&] { return records.size() == 3; }, 5s));
            EXPECT_EQ(records[2], (RequestRecord{request, PWE_TLS_NOT_ACTIVE, ""}));
            EXPECT_THAT(records[2].lastReply,
                        HasSubstr("12006 TLS was asked for, but the connection is not encrypted"));
            p->client->Abort();
            p->server.Stop();
            EXPECT_EQ(p->server.ReceivedLines(), std::vector<std::string>{"EHLO client.test"});
        }
    }
}

}  // namespace
}  // namespace pw
