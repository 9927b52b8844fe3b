// The SMTP engine over TLS against OpenSSL's server side on 127.0.0.1:
// STARTTLS (RFC 3207) and TLS on connect whole, what is learnt before TLS
// forgotten, bytes injected after "220" never read as replies, every failing
// certificate and handshake with the request it is reported on and the line
// that says why, and nothing of a login or a message ever sent in clear text
// when TLS was asked for. Certificates are made when the tests run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "net/SocketErrors.h"
#include "support/SmtpSessionDriver.h"
#include "support/TestCertificates.h"
#include "support/TlsTestServer.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using test::RequestRecord;
using test::TlsConnection;
using test::TlsTestServer;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using R = TSmtpRequest;
using Records = std::vector<RequestRecord>;

const std::string User = "tim";
const std::string Password = "a-made-up-Passw0rd";
const std::string PlainAnswer = "AHRpbQBhLW1hZGUtdXAtUGFzc3cwcmQ=";  // NUL tim NUL the password

// One line in clear text, read a byte at a time so nothing after it is taken.
std::string RawLine(TlsConnection& c)
{
    std::string line;
    while (line.empty() || line.back() != '\n') {
        const std::string b = c.ReadRaw(1);
        if (b.empty())
            break;
        line += b;
    }
    return line;
}

// The server's side up to and including the 220 to STARTTLS, in clear text.
// Returns false (noting why) when the client said something else.
bool PlainUpToStartTls(TlsConnection& c, std::vector<std::string>& seen, const std::string& ehloReply,
                       const std::string& startTlsReply = "220 2.0.0 go ahead\r\n")
{
    c.WriteRaw("220 tls.test ESMTP\r\n");
    seen.push_back(RawLine(c));
    c.WriteRaw(ehloReply);
    seen.push_back(RawLine(c));
    if (seen.back() != "STARTTLS\r\n")
        return false;
    c.WriteRaw(startTlsReply);
    return true;
}

// After the handshake: EHLO again, a login (when `auth` is given), one message, QUIT.
void EncryptedDialogue(TlsConnection& c, std::vector<std::string>& seen, const std::string& ehloReply,
                       const std::string& authLine)
{
    seen.push_back(c.ReadLine());
    c.Write(ehloReply);
    if (!authLine.empty()) {
        seen.push_back(c.ReadLine());
        c.Write("235 2.7.0 ok\r\n");
    }
    seen.push_back(c.ReadLine());  // MAIL FROM
    c.Write("250 ok\r\n");
    seen.push_back(c.ReadLine());  // RCPT TO
    c.Write("250 ok\r\n");
    seen.push_back(c.ReadLine());  // DATA
    c.Write("354 go\r\n");
    std::string line;
    while (!(line = c.ReadLine()).empty() && line != ".\r\n") {
    }
    c.Write("250 queued\r\n");
    seen.push_back(c.ReadLine());  // QUIT
    c.Write("221 bye\r\n");
    // No close notice: a close after 221 is a normal end all the same.
    c.CloseTcp();
}

// A server for TLS on connect: the handshake, the greeting inside it, then
// EncryptedDialogue, noting what the client said in `seen`.
void ServeTlsOnConnect(TlsTestServer& server, std::vector<std::string>& seen, const std::string& ehloReply,
                       const std::string& authLine)
{
    server.Start([&seen, ehloReply, authLine](TlsConnection& c) {
        if (!c.Handshake())
            return;
        c.Write("220 tls.test ESMTP\r\n");
        EncryptedDialogue(c, seen, ehloReply, authLine);
    });
}

class TlsDialogue : public ::testing::Test {
protected:
    std::unique_ptr<TSmtpClient> Client(const TlsTestServer& server, TSmtpSecurity security)
    {
        auto c = std::make_unique<TSmtpClient>(loop);
        c->Host = "127.0.0.1";
        c->Port = server.PortText();
        c->SignOn = "client.test";
        c->FromName = "a@x";
        c->RcptName = {"b@y"};
        c->TimeOut = 10;
        c->Security = security;
        c->TlsCaFile = certs.CaFile;
        c->Username = User;
        c->Password = Password;
        c->OnWarning = [this](TSmtpEngine&, const std::string& text) { warnings.push_back(text); };
        return c;
    }

    // Plays the session as the send job does, bounded.
    test::SessionResult Run(TSmtpClient& client, bool auth)
    {
        test::SmtpSessionDriver driver(client, {true, auth});
        driver.Start();
        test::SessionResult r;
        r.finished = test::RunLoopUntil(loop, [&] { return driver.Finished(); }, 20s);
        r.records = driver.records;
        r.trace = driver.trace;
        r.succeeded = driver.Succeeded();
        client.OnRequestDone = nullptr;
        return r;
    }

    MessageLoop loop;
    test::TestCertificates certs;
    std::vector<std::string> warnings;
};

TEST_F(TlsDialogue, StartTlsWholeDialogueForgetsWhatCameBefore)
{
    TlsTestServer server(certs.Server);
    std::vector<std::string> seen;
    bool handshake = false;
    std::string sni = "unset";
    server.Start([&](TlsConnection& c) {
        // Before TLS the server offers only CRAM-MD5, after it only PLAIN:
        // the automatic choice must go by what it says over TLS.
        if (!PlainUpToStartTls(c, seen, "250-tls.test\r\n250-STARTTLS\r\n250 AUTH CRAM-MD5\r\n"))
            return;
        handshake = c.Handshake();
        if (!handshake)
            return;
        sni = c.Sni();
        EncryptedDialogue(c, seen, "250-tls.test\r\n250-AUTH PLAIN LOGIN\r\n250 SIZE 100000\r\n", "AUTH PLAIN");
    });
    auto client = Client(server, TSmtpSecurity::StartTls);
    client->AuthType = SmtpAuthType::Automatic;
    const auto r = Run(*client, true);
    ASSERT_TRUE(server.Join());
    ASSERT_TRUE(handshake);
    EXPECT_EQ(r.records, test::SuccessRecords(true, true)) << test::Describe(r.records);
    EXPECT_EQ(sni, "") << "no SNI for an IP address";
    ASSERT_GE(seen.size(), 8u);
    EXPECT_EQ(seen[0], "EHLO client.test\r\n");
    EXPECT_EQ(seen[1], "STARTTLS\r\n");
    EXPECT_EQ(seen[2], "EHLO client.test\r\n");
    EXPECT_EQ(seen[3], "AUTH PLAIN " + PlainAnswer + "\r\n");
    EXPECT_THAT(seen[4], HasSubstr("MAIL FROM:<a@x> SIZE="));
    EXPECT_EQ(client->AuthMechanism(), TSaslMechanism::Plain);
    EXPECT_THAT(r.trace, Contains("> STARTTLS"));
    EXPECT_THAT(r.trace, Contains("> AUTH PLAIN ****"));
    for (const auto& line : r.trace)
        EXPECT_THAT(line, Not(HasSubstr(PlainAnswer)));
    EXPECT_THAT(warnings, IsEmpty());
}

TEST_F(TlsDialogue, TlsOnConnectWholeDialogueWithATokenChosenAutomatically)
{
    TlsTestServer server(certs.Server);
    std::vector<std::string> seen;
    ServeTlsOnConnect(server, seen, "250-tls.test\r\n250 AUTH PLAIN XOAUTH2\r\n", "AUTH XOAUTH2");
    auto client = Client(server, TSmtpSecurity::TlsOnConnect);
    client->AuthType = SmtpAuthType::Automatic;
    client->Password.clear();
    client->TokenCommand = "echo a-made-up-token";
    const auto r = Run(*client, true);
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(r.records, test::SuccessRecords(true, true)) << test::Describe(r.records);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[1], "AUTH XOAUTH2 " + XOAuth2Response(User, "a-made-up-token") + "\r\n");
    EXPECT_TRUE(client->AuthMechanism() == TSaslMechanism::XOAuth2);
}

TEST_F(TlsDialogue, BytesAfterThe220AreNeverReadAsReplies)
{
    // In the same write as the 220: dropped, and the handshake goes on.
    {
        TlsTestServer server(certs.Server);
        std::vector<std::string> seen;
        server.Start([&](TlsConnection& c) {
            if (!PlainUpToStartTls(c, seen, "250-tls.test\r\n250 STARTTLS\r\n",
                                   "220 go ahead\r\n250-injected.test\r\n250 AUTH PLAIN\r\n"))
                return;
            if (!c.Handshake())
                return;
            EncryptedDialogue(c, seen, "250 tls.test\r\n", "");
        });
        auto client = Client(server, TSmtpSecurity::StartTls);
        const auto r = Run(*client, false);
        ASSERT_TRUE(server.Join());
        EXPECT_EQ(r.records, test::SuccessRecords(true, false)) << test::Describe(r.records);
        for (const auto& line : r.trace)
            EXPECT_THAT(line, Not(HasSubstr("injected")));
        EXPECT_FALSE(client->Capabilities().OffersAuth("PLAIN"));
    }
    // In a write of its own after the 220: taken as the handshake's, which fails.
    {
        TlsTestServer server(certs.Server);
        std::vector<std::string> seen;
        server.Start([&](TlsConnection& c) {
            if (!PlainUpToStartTls(c, seen, "250-tls.test\r\n250 STARTTLS\r\n"))
                return;
            c.WriteRaw("250 injected.test\r\n");
            c.Handshake();
        });
        auto client = Client(server, TSmtpSecurity::StartTls);
        const auto r = Run(*client, false);
        server.Join();
        ASSERT_EQ(r.records.size(), 2u) << test::Describe(r.records);
        EXPECT_EQ(r.records[1], (RequestRecord{R::Ehlo, PWE_TLS_HANDSHAKE, ""}));
        EXPECT_THAT(r.records[1].lastReply, HasSubstr("12001 TLS handshake failed: "));
        for (const auto& line : r.trace)
            EXPECT_THAT(line, Not(HasSubstr("injected")));
    }
}

TEST_F(TlsDialogue, StartTlsMissingOrRefusedSendsNothingMore)
{
    struct Row {
        const char* name;
        std::string ehlo;
        bool offered;
        std::string reply;  // to STARTTLS
        int code;
        const char* reason;
    };
    const Row rows[] = {
        {"not offered", "250-tls.test\r\n250 AUTH PLAIN LOGIN\r\n", false, "", PWE_STARTTLS_NOT_OFFERED,
         "12005 Server does not offer STARTTLS: its EHLO reply names no STARTTLS, and Security=1 requires it"},
        {"refused", "250-tls.test\r\n250 STARTTLS\r\n", true, "454 4.7.0 TLS not available\r\n", 454,
         "454 4.7.0 TLS not available"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TlsTestServer server(certs.Server, 3000ms);
        std::vector<std::string> seen;
        std::string after;
        server.Start([&](TlsConnection& c) {
            c.WriteRaw("220 tls.test ESMTP\r\n");
            seen.push_back(RawLine(c));
            c.WriteRaw(row.ehlo);
            if (row.offered) {
                seen.push_back(RawLine(c));
                c.WriteRaw(row.reply);
            }
            after = c.ReadRaw(4096);  // whatever comes until the client leaves
        });
        auto client = Client(server, TSmtpSecurity::StartTls);
        client->AuthType = SmtpAuthType::Plain;
        const auto r = Run(*client, true);
        ASSERT_TRUE(server.Join());
        ASSERT_EQ(r.records.size(), 2u) << test::Describe(r.records);
        EXPECT_EQ(r.records[1], (RequestRecord{R::Ehlo, static_cast<std::uint16_t>(row.code), ""}));
        EXPECT_EQ(r.records[1].lastReply, row.reason);
        EXPECT_EQ(after, "") << "something went out in clear text";
    }
}

TEST_F(TlsDialogue, FailingCertificatesAndHandshakesSayWhich)
{
    struct Row {
        const char* name;
        const test::TestKeyPair* identity;
        std::string caFile;
        int code;
        const char* reason;
    };
    const Row rows[] = {
        {"expired", &certs.Expired, certs.CaFile, PWE_TLS_EXPIRED,
         "12003 Server certificate expired or not yet valid: certificate has expired"},
        {"not yet valid", &certs.NotYetValid, certs.CaFile, PWE_TLS_EXPIRED, "certificate is not yet valid"},
        {"other name", &certs.OtherName, certs.CaFile, PWE_TLS_NAME,
         "12004 Server certificate does not match the host name: it is made out for other.test, not 127.0.0.1"},
        {"self-signed", &certs.SelfSigned, certs.CaFile, PWE_TLS_UNTRUSTED,
         "12002 Server certificate not trusted: self-signed certificate"},
        {"unknown issuer", &certs.Server, "", PWE_TLS_UNTRUSTED,
         "12002 Server certificate not trusted: unknown issuer"},
        {"unreadable CA file", &certs.Server, certs.Folder() + "/missing.pem", PWE_TLS_UNTRUSTED,
         "missing.pem cannot be read"},
    };
    for (auto security : {TSmtpSecurity::StartTls, TSmtpSecurity::TlsOnConnect}) {
        const bool startTls = security == TSmtpSecurity::StartTls;
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (startTls ? " (STARTTLS)" : " (on connect)"));
            TlsTestServer server(*row.identity, 3000ms);
            std::vector<std::string> seen;
            std::string after = "unread";
            server.Start([&](TlsConnection& c) {
                if (startTls && !PlainUpToStartTls(c, seen, "250-tls.test\r\n250 STARTTLS\r\n"))
                    return;
                if (c.Handshake())
                    after = c.ReadLine();  // the client must not go on
                else
                    after = c.ReadRaw(4096);
            });
            auto client = Client(server, security);
            client->TlsCaFile = row.caFile;
            const auto r = Run(*client, false);
            server.Join();
            const R failing = startTls ? R::Ehlo : R::Connect;
            ASSERT_EQ(r.records.size(), startTls ? 2u : 1u) << test::Describe(r.records);
            EXPECT_EQ(r.records.back(), (RequestRecord{failing, static_cast<std::uint16_t>(row.code), ""}));
            EXPECT_THAT(r.records.back().lastReply, HasSubstr(row.reason));
            EXPECT_EQ(after.find("EHLO"), std::string::npos) << after;
            EXPECT_EQ(after.find("MAIL"), std::string::npos) << after;
        }
    }
}

TEST_F(TlsDialogue, BrokenHandshakes)
{
    struct Row {
        const char* name;
        std::function<void(TlsConnection&)> afterStartTls;
        const char* reason;
    };
    const Row rows[] = {
        {"closes mid-handshake",
         [](TlsConnection& c) {
             c.ReadRaw(10);  // a piece of the client's hello
             c.CloseTcp();
         },
         // With the rest of the hello unread the close may go out as a reset:
         // "closed the connection" or "the connection was lost", both during it.
         "during the handshake"},
        {"answers in plain text", [](TlsConnection& c) { c.WriteRaw("250 I do not speak TLS\r\n"); },
         "answered in plain text"},
        {"resets", [](TlsConnection& c) { c.ReadRaw(10); c.CloseTcp(true); }, "12001 TLS handshake failed: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TlsTestServer server(certs.Server, 3000ms);
        std::vector<std::string> seen;
        server.Start([&](TlsConnection& c) {
            if (!PlainUpToStartTls(c, seen, "250-tls.test\r\n250 STARTTLS\r\n"))
                return;
            row.afterStartTls(c);
            c.ReadRaw(4096);
        });
        auto client = Client(server, TSmtpSecurity::StartTls);
        const auto r = Run(*client, false);
        server.Join();
        ASSERT_TRUE(r.finished);
        ASSERT_EQ(r.records.size(), 2u) << test::Describe(r.records);
        EXPECT_EQ(r.records[1].type, R::Ehlo);
        EXPECT_EQ(r.records[1].error, PWE_TLS_HANDSHAKE) << r.records[1].lastReply;
        EXPECT_THAT(r.records[1].lastReply, HasSubstr(row.reason));
    }
    // TLS on connect against a server that greets in plain text.
    test::ScriptedSmtpServer plain;
    plain.Reply("220 plain.test ESMTP").Silent(3s);
    plain.Start();
    auto client = std::make_unique<TSmtpClient>(loop);
    client->Host = "127.0.0.1";
    client->Port = std::to_string(plain.Port());
    client->Security = TSmtpSecurity::TlsOnConnect;
    client->TimeOut = 10;
    const auto r = Run(*client, false);
    plain.Stop();
    ASSERT_EQ(r.records.size(), 1u) << test::Describe(r.records);
    EXPECT_EQ(r.records[0].error, PWE_TLS_HANDSHAKE);
    EXPECT_THAT(r.records[0].lastReply, HasSubstr("answered in plain text (\"220 plain.test ESMTP\")"));
}

TEST_F(TlsDialogue, ChecksOffWarnOncePerConnectionAndCountAsClearText)
{
    TlsTestServer server(certs.SelfSigned);
    std::vector<std::string> seen;
    std::string after;
    server.Start([&](TlsConnection& c) {
        if (!PlainUpToStartTls(c, seen, "250-tls.test\r\n250 STARTTLS\r\n"))
            return;
        if (!c.Handshake())
            return;
        seen.push_back(c.ReadLine());
        c.Write("250-tls.test\r\n250 AUTH PLAIN LOGIN\r\n");
        after = c.Read(1);  // the client gives up: nothing more comes
    });
    auto client = Client(server, TSmtpSecurity::StartTls);
    client->TlsVerify = false;
    client->TlsCaFile.clear();
    client->AuthType = SmtpAuthType::Automatic;
    const auto r = Run(*client, true);
    client.reset();
    server.Join();
    ASSERT_EQ(r.records.size(), 3u) << test::Describe(r.records);
    EXPECT_EQ(r.records[1], (RequestRecord{R::Ehlo, 0, ""}));
    // An unchecked certificate does not carry a password automatically.
    EXPECT_EQ(r.records[2], (RequestRecord{R::Auth, PWE_AUTH_IMPOSSIBLE, ""}));
    EXPECT_THAT(r.records[2].lastReply, HasSubstr("PLAIN and LOGIN show the password"));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "TLS certificate checks are off (TlsVerify=0): the connection is encrypted, but nothing "
                           "shows that the server is 127.0.0.1");
    EXPECT_EQ(after, "");
}

TEST_F(TlsDialogue, TheOpenSequenceTakesEhloForTlsWithoutALogin)
{
    TlsTestServer server(certs.Server);
    std::vector<std::string> seen;
    ServeTlsOnConnect(server, seen, "250 tls.test\r\n", "");
    auto client = Client(server, TSmtpSecurity::TlsOnConnect);
    Records records;
    client->OnRequestDone = [&](TSmtpEngine& c, TSmtpRequest type, std::uint16_t error) {
        records.push_back({type, error, c.LastReply()});
        if (error == 0 && type == R::Open)
            c.Mail();
        else if (error == 0 && type == R::Mail)
            c.Quit();
    };
    client->Open();
    ASSERT_TRUE(test::RunLoopUntil(loop, [&] { return records.size() == 3; }, 20s)) << test::Describe(records);
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(records, (Records{{R::Open, 0, ""}, {R::Mail, 0, ""}, {R::Quit, 0, ""}}));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0], "EHLO client.test\r\n");
}

}  // namespace
}  // namespace pw
