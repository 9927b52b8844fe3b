// TSmtpEngine's TLS: when to start it (RFC 3207 STARTTLS after EHLO, or on
// connect before the greeting) and what a failed handshake reports. The TLS
// itself lives under the socket (net/Tls.h).

#include "smtp/SmtpEngine.h"

#include "net/SocketErrors.h"

namespace pw {

bool TSmtpEngine::TlsActive() const
{
    return socket_.TlsActive();
}

bool TSmtpEngine::CheckedTls() const
{
    return socket_.TlsActive() && socket_.TlsVerified();
}

void TSmtpEngine::StartTlsStep()
{
    if (!capabilities_.StartTls) {
        // Nothing of a login or a message goes out without it.
        lastReply_ = std::to_string(PWE_STARTTLS_NOT_OFFERED) + " " + SocketErrorText(PWE_STARTTLS_NOT_OFFERED) +
                     ": its EHLO reply names no STARTTLS, and Security=1 requires it";
        replyCode_ = 500;
        KeepFirstError();
        requestResult_ = PWE_STARTTLS_NOT_OFFERED;
        FinishRequest(PWE_STARTTLS_NOT_OFFERED);
        return;
    }
    state_ = TSmtpState::StepReady;
    SendRequest(TSmtpRequest::Ehlo, "STARTTLS", {220}, &TSmtpEngine::StartTlsReply);
}

void TSmtpEngine::StartTlsReply()
{
    if (requestResult_ != 0 || !connected_) {
        FinishRequest(requestResult_);
        return;
    }
    // RFC 3207, 5: bytes that came after the 220 are no reply; they are
    // dropped here, and what is still on the way goes to the handshake.
    receive_.Clear();
    ++epoch_;  // ends the reading of the lines that came with the 220
    ChangeState(TSmtpState::StepReady);
    BeginTls();
}

void TSmtpEngine::BeginTls()
{
    RTlsSettings settings;
    settings.HostName = Host;
    settings.Verify = TlsVerify;
    settings.CaFile = TlsCaFile;
    socket_.OnTlsDone = [this](TWSocket&, std::uint16_t error) { TlsDone(error); };
    try {
        socket_.StartTls(settings);
    } catch (const Exception& e) {
        FailRequest(PWE_TLS_HANDSHAKE,
                    std::to_string(PWE_TLS_HANDSHAKE) + " " + SocketErrorText(PWE_TLS_HANDSHAKE) + ": " + e.what(),
                    false);
    }
}

void TSmtpEngine::TlsDone(std::uint16_t error)
{
    if (error != 0) {
        // Reported on the request it belongs to: Connect for TLS on connect,
        // Ehlo for STARTTLS.
        const std::string why = socket_.TlsFailure();
        FailRequest(error, std::to_string(error) + " " + SocketErrorText(error) + (why.empty() ? "" : ": " + why),
                    false);
        return;
    }
    NoteProgress();
    if (!TlsVerify) {
        auto alive = alive_;
        Warn("TLS certificate checks are off (TlsVerify=0): the connection is encrypted, but nothing shows that "
             "the server is " + Host);
        if (!*alive)
            return;
    }
    if (state_ == TSmtpState::WaitingGreeting)
        return;  // TLS on connect: the greeting comes next
    // RFC 3207, 4.2: what the server said before TLS is forgotten; ask again.
    esmtpAccepted_ = false;
    Ehlo();
}

}  // namespace pw
