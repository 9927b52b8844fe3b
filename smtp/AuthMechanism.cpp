#include "smtp/AuthMechanism.h"

#include <string.h>  // explicit_bzero

#include <algorithm>

#include "codecs/Base64.h"
#include "codecs/Md5.h"

namespace pw {

namespace {

constexpr const char* TlsAdvice = "Security=1 or 2 with TlsVerify=1";

bool Offers(const std::vector<std::string>& offered, TSaslMechanism mechanism)
{
    const std::string_view name = SaslName(mechanism);
    return std::find(offered.begin(), offered.end(), name) != offered.end();
}

std::string Listed(const std::vector<std::string>& offered)
{
    std::string text;
    for (const auto& m : offered) {
        if (!text.empty())
            text += ' ';
        text += m;
    }
    return text;
}

RAuthChoice Refuse(std::string why)
{
    RAuthChoice c;
    c.Refusal = std::move(why);
    return c;
}

RAuthChoice Take(TSaslMechanism mechanism)
{
    RAuthChoice c;
    c.Mechanism = mechanism;
    return c;
}

RAuthChoice ChooseTokenMechanism(const RAuthSituation& s)
{
    for (TSaslMechanism m : {TSaslMechanism::XOAuth2, TSaslMechanism::OAuthBearer}) {
        if (!Offers(s.Offered, m))
            continue;
        if (!s.CheckedTls)
            return Refuse(std::string("an access token is sent only over TLS with the server's certificate checked (") +
                          TlsAdvice + ")");
        return Take(m);
    }
    if (s.Offered.empty())
        return Refuse("a token command is set, but the server offers no login at all (no AUTH in its EHLO reply)");
    return Refuse("a token command is set, but the server offers neither XOAUTH2 nor OAUTHBEARER (it offers " +
                  Listed(s.Offered) + ")");
}

RAuthChoice ChoosePasswordMechanism(const RAuthSituation& s)
{
    if (Offers(s.Offered, TSaslMechanism::CramMd5))
        return Take(TSaslMechanism::CramMd5);
    const bool plain = Offers(s.Offered, TSaslMechanism::Plain);
    const bool login = Offers(s.Offered, TSaslMechanism::Login);
    if ((plain || login) && s.CheckedTls)
        return Take(plain ? TSaslMechanism::Plain : TSaslMechanism::Login);
    if (plain || login)
        return Refuse("the server offers " + Listed(s.Offered) +
                      "; PLAIN and LOGIN show the password, so they are used only over TLS with the server's "
                      "certificate checked (" + TlsAdvice + "), or when SMTP_Auth_Type names them");
    if (s.Offered.empty())
        return Refuse("the server offers no login at all (no AUTH in its EHLO reply)");
    return Refuse("the server offers only login methods Parcelwing does not know (" + Listed(s.Offered) + ")");
}

// Both token mechanisms end alike: the bearer token as the last key, then the
// closing ^A^A (RFC 7628, 3.1); the whole goes in Base64.
std::string BearerResponse(std::string message, std::string_view token)
{
    message += "\x01" "auth=Bearer ";
    message += token;
    message += "\x01\x01";
    std::string encoded = Base64Encode(message);
    WipeSecret(message);
    return encoded;
}

}  // namespace

const char* SaslName(TSaslMechanism mechanism)
{
    switch (mechanism) {
    case TSaslMechanism::Login: return "LOGIN";
    case TSaslMechanism::Plain: return "PLAIN";
    case TSaslMechanism::CramMd5: return "CRAM-MD5";
    case TSaslMechanism::XOAuth2: return "XOAUTH2";
    case TSaslMechanism::OAuthBearer: return "OAUTHBEARER";
    case TSaslMechanism::None: break;
    }
    return "";
}

TSaslMechanism MechanismOfAuthType(std::uint8_t authType)
{
    switch (authType) {
    case SmtpAuthType::Login:
    case SmtpAuthType::LoginToo: return TSaslMechanism::Login;
    case SmtpAuthType::CramMd5: return TSaslMechanism::CramMd5;
    case SmtpAuthType::Plain: return TSaslMechanism::Plain;
    case SmtpAuthType::XOAuth2: return TSaslMechanism::XOAuth2;
    case SmtpAuthType::OAuthBearer: return TSaslMechanism::OAuthBearer;
    default: return TSaslMechanism::None;
    }
}

bool TakesToken(TSaslMechanism mechanism)
{
    return mechanism == TSaslMechanism::XOAuth2 || mechanism == TSaslMechanism::OAuthBearer;
}

bool ShowsSecret(TSaslMechanism mechanism)
{
    return mechanism != TSaslMechanism::None && mechanism != TSaslMechanism::CramMd5;
}

RAuthChoice ChooseMechanism(const RAuthSituation& situation)
{
    if (situation.AuthType == SmtpAuthType::Automatic)
        return situation.TokenCommand ? ChooseTokenMechanism(situation) : ChoosePasswordMechanism(situation);
    const TSaslMechanism chosen = MechanismOfAuthType(situation.AuthType);
    if (chosen == TSaslMechanism::None) {
        if (situation.AuthType == SmtpAuthType::None)
            return Refuse("no login method is selected");
        return Refuse("login method number " + std::to_string(situation.AuthType) + " is unknown");
    }
    RAuthChoice c = Take(chosen);
    c.Exposed = ShowsSecret(chosen) && !situation.CheckedTls;
    return c;
}

std::string PlainResponse(std::string_view user, std::string_view password)
{
    std::string message;
    message.reserve(user.size() + password.size() + 2);
    message += '\0';
    message += user;
    message += '\0';
    message += password;
    std::string encoded = Base64Encode(message);
    WipeSecret(message);
    return encoded;
}

std::string CramMd5Response(std::string_view user, std::string_view password, std::string_view challengeBase64)
{
    const std::string challenge = Base64DecodeStrict(challengeBase64);
    MD5Digest digest = HmacMD5(password, challenge);
    std::string response = std::string(user) + " " + MD5DigestToHex(digest);
    explicit_bzero(digest.data(), digest.size());
    std::string encoded = Base64Encode(response);
    WipeSecret(response);
    return encoded;
}

std::string XOAuth2Response(std::string_view user, std::string_view token)
{
    return BearerResponse("user=" + std::string(user), token);
}

std::string OAuthBearerResponse(std::string_view user, std::string_view host, std::string_view port,
                                std::string_view token)
{
    // RFC 5801, 4: the authorisation identity is a saslname.
    std::string name;
    for (char c : user) {
        if (c == '=')
            name += "=3D";
        else if (c == ',')
            name += "=2C";
        else
            name += c;
    }
    std::string message = "n,a=" + name + ",";
    message += "\x01" "host=";
    message += host;
    message += "\x01" "port=";
    message += port;
    return BearerResponse(std::move(message), token);
}

void WipeSecret(std::string& secret)
{
    // Bytes beyond the size may still hold an earlier, longer content.
    secret.resize(secret.capacity());
    if (!secret.empty())
        explicit_bzero(secret.data(), secret.size());
    secret.clear();
}

}  // namespace pw
