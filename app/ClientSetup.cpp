#include "app/ClientSetup.h"

#include "net/SocketErrors.h"
#include "platform/OwnFile.h"

namespace pw {

std::uint8_t ClientAuthType(std::int32_t smtpAuthType)
{
    // The INI file's numbers are the user's; the client keeps its own.
    switch (smtpAuthType) {
    case 0: return SmtpAuthType::Automatic;
    case 1: return SmtpAuthType::Login;
    case 2: return SmtpAuthType::Plain;
    case 3: return SmtpAuthType::CramMd5;
    case 4: return SmtpAuthType::XOAuth2;
    default: return 255;
    }
}

bool ClientSecurity(std::int32_t security, TSmtpSecurity& out)
{
    switch (security) {
    case 0: out = TSmtpSecurity::None; return true;
    case 1: out = TSmtpSecurity::StartTls; return true;
    case 2: out = TSmtpSecurity::TlsOnConnect; return true;
    default: return false;
    }
}

std::string SetUpClient(TSmtpEngine& client, const ROptions& options, const std::string& iniFile)
{
    client.Host = options.Host;
    client.Port = std::to_string(options.Port);
    client.SignOn = options.SignOn;
    client.TimeOut = options.TimeOut;

    client.TlsVerify = options.TlsVerify;
    client.TlsCaFile = options.TlsCaFile;

    client.AuthType = options.SMTP_Auth_Enabled ? ClientAuthType(options.SMTP_Auth_Type) : SmtpAuthType::None;
    client.Username = options.SMTP_Auth_Name;
    client.Password = options.SMTP_Auth_Pass;
    client.PasswordCommand = options.SMTP_Auth_PassCommand;
    client.TokenCommand = options.SMTP_Auth_TokenCommand;
    client.CommandRefusal.clear();
    if (!client.PasswordCommand.empty() || !client.TokenCommand.empty()) {
        std::string why;
        if (!IsUsersOwnFile(iniFile, why))
            client.CommandRefusal = why + "; commands are run only from a settings file that is the user's own "
                                          "and that no one else may write";
    }

    if (!ClientSecurity(options.Security, client.Security)) {
        client.Security = TSmtpSecurity::StartTls;  // should it connect all the same, never in clear text
        return "Security=" + std::to_string(options.Security) +
               " in the settings is none of 0 (none), 1 (STARTTLS) and 2 (TLS on connect)";
    }
    return {};
}

bool WantsEhlo(const ROptions& options)
{
    return options.Security != 0 || options.SMTP_Auth_Enabled || options.Return_Receipt_Enabled;
}

bool WantsLogin(const ROptions& options)
{
    return options.SMTP_Auth_Enabled;
}

bool LoginFailureEndsJob(std::uint16_t error)
{
    switch (error) {
    case 454:  // temporary authentication failure (RFC 4954, 6)
    case 534:  // mechanism too weak, or the provider wants another way in
    case 535:  // credentials invalid
    case PWE_AUTH_IMPOSSIBLE:
    case PWE_AUTH_NO_SECRET:
    case PWE_AUTH_COMMAND:
    case PWE_AUTH_COMMAND_REFUSED:
        return true;
    default:
        return false;
    }
}

}  // namespace pw
