// Login methods without a server: which mechanism is chosen from what the
// server offers, and the exact texts each mechanism sends (RFC examples).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "codecs/Base64.h"
#include "smtp/AuthMechanism.h"

namespace pw {
namespace {

using ::testing::HasSubstr;
using M = TSaslMechanism;
namespace T = SmtpAuthType;

struct ChoiceRow {
    std::uint8_t authType;
    std::vector<std::string> offered;
    bool token;
    bool checkedTls;
    M want;
    bool exposed;
    const char* refusal;  // a piece of the refusal text when want is None
};

TEST(AuthChoice, AutomaticAndByNumber)
{
    const std::vector<std::string> all = {"PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2", "OAUTHBEARER"};
    const ChoiceRow rows[] = {
        // Automatic, password: CRAM-MD5 first, even in clear text.
        {T::Automatic, all, false, false, M::CramMd5, false, ""},
        {T::Automatic, all, false, true, M::CramMd5, false, ""},
        // PLAIN before LOGIN, and both only over checked TLS.
        {T::Automatic, {"LOGIN", "PLAIN"}, false, true, M::Plain, false, ""},
        {T::Automatic, {"LOGIN"}, false, true, M::Login, false, ""},
        {T::Automatic, {"LOGIN", "PLAIN"}, false, false, M::None, false, "PLAIN and LOGIN show the password"},
        {T::Automatic, {"PLAIN"}, false, false, M::None, false, "TlsVerify=1"},
        // Tokens: XOAUTH2, else OAUTHBEARER, only over checked TLS; never a password mechanism.
        {T::Automatic, all, true, true, M::XOAuth2, false, ""},
        {T::Automatic, {"OAUTHBEARER", "PLAIN"}, true, true, M::OAuthBearer, false, ""},
        {T::Automatic, all, true, false, M::None, false, "access token is sent only over TLS"},
        {T::Automatic, {"PLAIN", "LOGIN", "CRAM-MD5"}, true, true, M::None, false,
         "neither XOAUTH2 nor OAUTHBEARER (it offers PLAIN LOGIN CRAM-MD5)"},
        // No AUTH at all, or only methods the client does not know.
        {T::Automatic, {}, false, true, M::None, false, "no AUTH in its EHLO reply"},
        {T::Automatic, {}, true, true, M::None, false, "no AUTH in its EHLO reply"},
        {T::Automatic, {"GSSAPI", "NTLM"}, false, true, M::None, false, "does not know (GSSAPI NTLM)"},
        // By number: used as chosen, offered or not; a warning where the secret shows.
        {T::Login, {}, false, false, M::Login, true, ""},
        {T::LoginToo, {"CRAM-MD5"}, false, true, M::Login, false, ""},
        {T::Plain, {"LOGIN"}, false, false, M::Plain, true, ""},
        {T::Plain, {}, false, true, M::Plain, false, ""},
        {T::CramMd5, {}, false, false, M::CramMd5, false, ""},
        {T::XOAuth2, {}, false, false, M::XOAuth2, true, ""},
        {T::OAuthBearer, {}, true, true, M::OAuthBearer, false, ""},
        {T::None, all, false, true, M::None, false, "no login method is selected"},
        {99, all, false, true, M::None, false, "number 99 is unknown"},
    };
    for (const auto& r : rows) {
        RAuthSituation s;
        s.AuthType = r.authType;
        s.Offered = r.offered;
        s.TokenCommand = r.token;
        s.CheckedTls = r.checkedTls;
        const RAuthChoice c = ChooseMechanism(s);
        const std::string row = "type " + std::to_string(r.authType) + " token " + std::to_string(r.token) +
                                " tls " + std::to_string(r.checkedTls) + " offered " +
                                std::to_string(r.offered.size());
        EXPECT_EQ(c.Mechanism, r.want) << row;
        EXPECT_EQ(c.Exposed, r.exposed) << row;
        if (r.want == M::None)
            EXPECT_THAT(c.Refusal, HasSubstr(r.refusal)) << row;
        else
            EXPECT_EQ(c.Refusal, "") << row;
    }
}

TEST(AuthChoice, NamesAndProperties)
{
    EXPECT_STREQ(SaslName(M::CramMd5), "CRAM-MD5");
    EXPECT_STREQ(SaslName(M::OAuthBearer), "OAUTHBEARER");
    EXPECT_STREQ(SaslName(M::None), "");
    EXPECT_TRUE(TakesToken(M::XOAuth2));
    EXPECT_FALSE(TakesToken(M::Plain));
    EXPECT_FALSE(ShowsSecret(M::CramMd5));
    EXPECT_TRUE(ShowsSecret(M::Login));
    // The old numbers keep their meaning.
    EXPECT_EQ(MechanismOfAuthType(1), M::Login);
    EXPECT_EQ(MechanismOfAuthType(2), M::Login);
    EXPECT_EQ(MechanismOfAuthType(3), M::CramMd5);
    EXPECT_EQ(MechanismOfAuthType(T::Automatic), M::None);
}

TEST(AuthTexts, MechanismAnswers)
{
    // RFC 4616: NUL user NUL password.
    EXPECT_EQ(PlainResponse("tim", "tanstaaftanstaaf"), "AHRpbQB0YW5zdGFhZnRhbnN0YWFm");
    // RFC 2195, section 2: the example exchange.
    EXPECT_EQ(CramMd5Response("tim", "tanstaaftanstaaf",
                              "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"),
              Base64Encode("tim b913a602c7eda7a495b4e6e7334d3890"));
    EXPECT_EQ(XOAuth2Response("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
              "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1"
              "semRHRXVZMjl0Q2cBAQ==");
    // RFC 7628, section 4.1.
    EXPECT_EQ(OAuthBearerResponse("user@example.com", "server.example.com", "143",
                                  "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
              "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9QmVhcmVyIHZGOWRm"
              "dDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB");
    // "=" and "," in the user name are escaped in the GS2 header.
    EXPECT_EQ(Base64DecodeStrict(OAuthBearerResponse("a=b,c", "h", "1", "t")),
              std::string("n,a=a=3Db=2Cc,\x01host=h\x01port=1\x01" "auth=Bearer t\x01\x01"));
    EXPECT_EQ(Base64DecodeStrict(OAuthBearerErrorAnswer), "\x01");
}

TEST(AuthTexts, WipeLeavesNothing)
{
    std::string secret = "a long password that fills the buffer well";
    const char* data = secret.data();
    const std::size_t size = secret.size();
    WipeSecret(secret);
    EXPECT_TRUE(secret.empty());
    // The same storage now holds zeros where the password was.
    EXPECT_EQ(secret.data(), data);
    for (std::size_t i = 0; i < size; ++i)
        EXPECT_EQ(data[i], '\0') << i;
}

}  // namespace
}  // namespace pw
