#pragma once
// Login methods (SASL mechanisms over SMTP AUTH, RFC 4954): the client's own
// numbering, the choice of a mechanism from what the server offers, and the
// texts each mechanism sends. Plain functions, so every rule can be checked
// without a server.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pw {

// Values of TSmtpEngine::AuthType. 0 to 3 keep their old meaning (1 and 2
// both LOGIN); the rest were added for today's servers.
namespace SmtpAuthType {
inline constexpr std::uint8_t None = 0;
inline constexpr std::uint8_t Login = 1;
inline constexpr std::uint8_t LoginToo = 2;
inline constexpr std::uint8_t CramMd5 = 3;
inline constexpr std::uint8_t Plain = 4;
inline constexpr std::uint8_t XOAuth2 = 5;
inline constexpr std::uint8_t OAuthBearer = 6;
// Pick from the server's AUTH list (ChooseMechanism).
inline constexpr std::uint8_t Automatic = 7;
}  // namespace SmtpAuthType

enum class TSaslMechanism : std::uint8_t { None, Login, Plain, CramMd5, XOAuth2, OAuthBearer };

// "LOGIN", "PLAIN", "CRAM-MD5", "XOAUTH2", "OAUTHBEARER"; "" for None.
const char* SaslName(TSaslMechanism mechanism);

// The mechanism an AuthType value names; None for None, Automatic and values
// outside the table.
TSaslMechanism MechanismOfAuthType(std::uint8_t authType);

// The mechanism takes an OAuth 2 access token rather than a password.
bool TakesToken(TSaslMechanism mechanism);

// Whoever reads the connection can read (or replay) the secret: everything
// but CRAM-MD5, which sends only a keyed digest of the server's challenge.
bool ShowsSecret(TSaslMechanism mechanism);

// What the engine knows when it picks a mechanism.
struct RAuthSituation {
    std::uint8_t AuthType = SmtpAuthType::Automatic;
    std::vector<std::string> Offered;  // the server's AUTH list, upper case
    bool TokenCommand = false;         // a token command is set
    bool CheckedTls = false;           // TLS is up and the certificate was checked
};

struct RAuthChoice {
    TSaslMechanism Mechanism = TSaslMechanism::None;
    // With None: why no mechanism may be used, in plain words.
    std::string Refusal;
    // Set: a mechanism chosen by number shows its secret on a connection
    // that is not TLS with a checked certificate; the user is to be warned.
    bool Exposed = false;
};

// Automatic: with a token command XOAUTH2, else OAUTHBEARER; without one
// CRAM-MD5, else PLAIN, else LOGIN; a mechanism that shows its secret only
// with CheckedTls. A mechanism chosen by number is used as chosen, offered
// or not (the user's decision), with Exposed set when it shows its secret
// on a connection without checked TLS. None and unknown values give None
// with a refusal.
RAuthChoice ChooseMechanism(const RAuthSituation& situation);

// --- what the mechanisms send (Base64 where the protocol wants it) ---------

// PLAIN (RFC 4616): Base64 of NUL user NUL password (no authorisation identity).
std::string PlainResponse(std::string_view user, std::string_view password);

// CRAM-MD5 (RFC 2195): Base64 of user, a blank and the HMAC-MD5 of the
// decoded challenge under the password, in lowercase hexadecimal.
std::string CramMd5Response(std::string_view user, std::string_view password, std::string_view challengeBase64);

// XOAUTH2: Base64 of "user=" user ^A "auth=Bearer " token ^A ^A.
std::string XOAuth2Response(std::string_view user, std::string_view token);

// OAUTHBEARER (RFC 7628, 3.1): Base64 of the GS2 header "n,a=" user ","
// (with "=" and "," in the user name escaped as "=3D" and "=2C"), then
// ^A "host=" host ^A "port=" port ^A "auth=Bearer " token ^A ^A.
std::string OAuthBearerResponse(std::string_view user, std::string_view host, std::string_view port,
                                std::string_view token);

// The line a client sends after an OAUTHBEARER error challenge (RFC 7628,
// 3.2.3): Base64 of a single ^A. XOAUTH2 sends an empty line instead.
inline constexpr std::string_view OAuthBearerErrorAnswer = "AQ==";

// What the trace shows in place of a line that carries a secret.
inline constexpr std::string_view MaskedSecret = "****";

// Overwrites the bytes of `secret` with zeros before it is cleared, so the
// secret does not linger in freed memory.
void WipeSecret(std::string& secret);

}  // namespace pw
