#pragma once
// The one place where the options meet the SMTP client's connection and login
// properties: the send job prepares its client here, and so does the options
// dialog's test of a connection (Connect, Ehlo, Auth, Quit).

#include <cstdint>
#include <string>

#include "config/Options.h"
#include "smtp/SmtpEngine.h"

namespace pw {

// SMTP_Auth_Type (0 automatic, 1 LOGIN, 2 PLAIN, 3 CRAM-MD5, 4 XOAUTH2) as the
// client's AuthType; a value outside the table gives 255, which the client
// refuses with a line that names it.
std::uint8_t ClientAuthType(std::int32_t smtpAuthType);

// Security (0, 1, 2) as the client's; false for a value outside them.
bool ClientSecurity(std::int32_t security, TSmtpSecurity& out);

// Puts Host, Port, SignOn, TimeOut, the TLS options and the login options
// onto `client`. AuthType is None unless SMTP_Auth_Enabled. Commands may run
// only when `iniFile` is the user's own (platform/OwnFile.h); otherwise the
// client gets the reason as its CommandRefusal. Returns an empty text, or
// what in the options cannot be used (an unknown Security value); the client
// must not connect then.
std::string SetUpClient(TSmtpEngine& client, const ROptions& options, const std::string& iniFile);

// EHLO rather than HELO: security, a login or a return receipt is asked for.
bool WantsEhlo(const ROptions& options);

// Auth after EHLO. SMTP_Auth_Enabled decides: without a password or a
// command the client's Auth fails with the reason.
bool WantsLogin(const ROptions& options);

// A failed Auth whose repetition would fail the same way: the server refused
// the credentials (535, 534, 454), or the settings allow no login
// (12010-12013). Further messages would try the same secret again, which
// may lock the account.
bool LoginFailureEndsJob(std::uint16_t error);

}  // namespace pw
