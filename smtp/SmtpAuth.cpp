// TSmtpEngine's login (RFC 4954): the choice of a mechanism, the secret from
// the settings or from a command, and one named step per exchange.

#include "smtp/SmtpEngine.h"

#include "codecs/Base64.h"
#include "net/SocketErrors.h"

namespace pw {

namespace {

const char* SecretWord(TSaslMechanism mechanism)
{
    return TakesToken(mechanism) ? "access token" : "password";
}

}  // namespace

bool TSmtpEngine::RefuseUnprotected(TSmtpRequest type)
{
    if (Security == TSmtpSecurity::None || TlsActive())
        return false;
    lastReply_ = std::to_string(PWE_TLS_NOT_ACTIVE) + " " + SocketErrorText(PWE_TLS_NOT_ACTIVE) +
                 (Security == TSmtpSecurity::StartTls ? ": STARTTLS was asked for and has not been done"
                                                      : ": TLS on connect was asked for and is not in place");
    replyCode_ = 500;
    KeepFirstError();
    requestResult_ = PWE_TLS_NOT_ACTIVE;
    CompleteAtOnce(type, PWE_TLS_NOT_ACTIVE);
    return true;
}

void TSmtpEngine::FailAuth(std::int32_t code, const std::string& reply)
{
    WipeSecret(secret_);
    lastReply_ = reply;
    replyCode_ = 500;
    KeepFirstError();
    requestResult_ = code;
    CompleteAtOnce(TSmtpRequest::Auth, code);
}

void TSmtpEngine::Auth()
{
    if (!esmtpAccepted_) {
        lastReply_ = "500 ESMTP not supported.";
        KeepFirstError();
        CompleteAtOnce(TSmtpRequest::Auth, 500);
        return;
    }
    currentStep_ = TSmtpStep::Auth;
    mechanism_ = TSaslMechanism::None;
    WipeSecret(secret_);
    if (AuthType == SmtpAuthType::None) {
        lastReply_ = "500 No Authorization Type Selected.";
        KeepFirstError();
        CompleteAtOnce(TSmtpRequest::Auth, 500);
        return;
    }
    if (RefuseUnprotected(TSmtpRequest::Auth))
        return;
    const std::string noSecret = std::to_string(PWE_AUTH_NO_SECRET) + " " + SocketErrorText(PWE_AUTH_NO_SECRET);
    if (Password.empty() && PasswordCommand.empty() && TokenCommand.empty()) {
        FailAuth(PWE_AUTH_NO_SECRET, noSecret);
        return;
    }

    RAuthSituation situation;
    situation.AuthType = AuthType;
    situation.Offered = capabilities_.AuthMechanisms;
    situation.TokenCommand = !TokenCommand.empty();
    situation.CheckedTls = CheckedTls();
    const RAuthChoice choice = ChooseMechanism(situation);
    if (choice.Mechanism == TSaslMechanism::None) {
        FailAuth(PWE_AUTH_IMPOSSIBLE, std::to_string(PWE_AUTH_IMPOSSIBLE) + " " +
                                          SocketErrorText(PWE_AUTH_IMPOSSIBLE) + ": " + choice.Refusal);
        return;
    }
    mechanism_ = choice.Mechanism;
    if (choice.Exposed) {
        auto alive = alive_;
        Warn(std::string("AUTH ") + SaslName(mechanism_) + " was chosen by number and goes " +
             (TlsActive() ? "to a server whose certificate is not checked: whoever pretends to be the server"
                          : "in clear text: whoever can read the connection") +
             " can read the " + SecretWord(mechanism_));
        if (!*alive)
            return;
    }

    // A token mechanism takes the token command's line, else the password.
    const std::string* command = nullptr;
    if (TakesToken(mechanism_) && !TokenCommand.empty()) {
        command = &TokenCommand;
        commandName_ = "Token command";
    } else if (!PasswordCommand.empty()) {
        command = &PasswordCommand;
        commandName_ = "Password command";
    }
    if (command == nullptr) {
        if (Password.empty()) {
            FailAuth(PWE_AUTH_NO_SECRET, noSecret + ": AUTH " + SaslName(mechanism_) +
                                             " needs a password, and only a token command is set");
            return;
        }
        secret_ = Password;
        StartMechanism();
        return;
    }
    if (!CommandRefusal.empty()) {
        FailAuth(PWE_AUTH_COMMAND_REFUSED,
                 std::to_string(PWE_AUTH_COMMAND_REFUSED) + " " + commandName_ + " not run: " + CommandRefusal);
        return;
    }

    if (!runner_) {
        runner_ = std::make_unique<TCommandRunner>(loop_);
        runner_->OnDone = [this](TCommandRunner&, bool ok, std::string& line, const std::string& failure) {
            SecretFetched(ok, line, failure);
        };
    }
    runner_->TimeLimit = CommandTimeLimit;
    std::string failure;
    if (!runner_->Start(*command, failure)) {
        FailAuth(PWE_AUTH_COMMAND, std::to_string(PWE_AUTH_COMMAND) + " " + commandName_ + " failed: it " + failure);
        return;
    }
    // The request is outstanding while the command runs; lines the server
    // sends meanwhile are traced and otherwise ignored.
    if (!inSequence_)
        requestType_ = TSmtpRequest::Auth;
    doneReported_ = false;
    secretPending_ = true;
    ChangeState(TSmtpState::StepReady);
    ArmTimeout();
}

void TSmtpEngine::StopSecretCommand()
{
    secretPending_ = false;
    if (runner_)
        runner_->Cancel();
    WipeSecret(secret_);
}

void TSmtpEngine::SecretFetched(bool ok, std::string& secret, const std::string& failure)
{
    secretPending_ = false;
    if (doneReported_ || !connected_) {
        WipeSecret(secret);  // the request ended meanwhile
        return;
    }
    if (!ok) {
        FailAuth(PWE_AUTH_COMMAND, std::to_string(PWE_AUTH_COMMAND) + " " + commandName_ + " failed: it " + failure);
        return;
    }
    secret_.swap(secret);
    WipeSecret(secret);
    NoteProgress();
    StartMechanism();
}

void TSmtpEngine::SendSecretRequest(TSmtpRequest type, const std::string& command, std::string_view shown,
                                    std::initializer_list<std::int32_t> codes, Continuation next)
{
    shownCommand_.assign(shown.data(), shown.size());
    SendRequest(type, command, codes, next);
}

void TSmtpEngine::StartMechanism()
{
    const std::string shown = std::string("AUTH ") + SaslName(mechanism_) + " " + std::string(MaskedSecret);
    std::string line;
    switch (mechanism_) {
    case TSaslMechanism::Login:
        SendRequest(TSmtpRequest::Auth, "AUTH LOGIN", {334}, &TSmtpEngine::LoginStep1);
        return;
    case TSaslMechanism::CramMd5:
        SendRequest(TSmtpRequest::Auth, "AUTH CRAM-MD5", {334}, &TSmtpEngine::CramMd5Step);
        return;
    // These send their answer at once (RFC 4954, 4: the initial response).
    case TSaslMechanism::Plain:
        line = "AUTH PLAIN " + PlainResponse(Username, secret_);
        WipeSecret(secret_);
        SendSecretRequest(TSmtpRequest::Auth, line, shown, {235});
        break;
    case TSaslMechanism::XOAuth2:
        line = "AUTH XOAUTH2 " + XOAuth2Response(Username, secret_);
        WipeSecret(secret_);
        SendSecretRequest(TSmtpRequest::Auth, line, shown, {235, 334}, &TSmtpEngine::OAuthStep);
        break;
    case TSaslMechanism::OAuthBearer:
        line = "AUTH OAUTHBEARER " + OAuthBearerResponse(Username, Host, Port, secret_);
        WipeSecret(secret_);
        SendSecretRequest(TSmtpRequest::Auth, line, shown, {235, 334}, &TSmtpEngine::OAuthStep);
        break;
    case TSaslMechanism::None:
        break;
    }
    WipeSecret(line);
}

bool TSmtpEngine::AuthStepFailed()
{
    if (requestResult_ == 0 && connected_)
        return false;
    WipeSecret(secret_);
    FinishRequest(requestResult_);
    return true;
}

void TSmtpEngine::LoginStep1()
{
    if (AuthStepFailed())
        return;
    state_ = TSmtpState::StepReady;
    SendSecretRequest(TSmtpRequest::Auth, Base64Encode(Username), MaskedSecret, {334}, &TSmtpEngine::LoginStep2);
}

void TSmtpEngine::LoginStep2()
{
    if (AuthStepFailed())
        return;
    state_ = TSmtpState::StepReady;
    std::string answer = Base64Encode(secret_);
    WipeSecret(secret_);
    SendSecretRequest(TSmtpRequest::Auth, answer, MaskedSecret, {235});
    WipeSecret(answer);
}

void TSmtpEngine::CramMd5Step()
{
    if (AuthStepFailed())
        return;
    if (lastReply_.size() < 5) {
        WipeSecret(secret_);
        lastReply_ = "500 Malformed MD5 Challege: " + lastReply_;
        KeepFirstError();
        requestResult_ = 500;
        FinishRequest(500);
        return;
    }
    // The first four characters, normally "334 ", are skipped whatever they are.
    std::string answer = CramMd5Response(Username, secret_, std::string_view(lastReply_).substr(4));
    WipeSecret(secret_);
    state_ = TSmtpState::StepReady;
    SendSecretRequest(TSmtpRequest::Auth, answer, MaskedSecret, {235});
    WipeSecret(answer);
}

void TSmtpEngine::OAuthStep()
{
    if (requestResult_ != 0 || !connected_ || replyCode_ != 334) {
        FinishRequest(requestResult_);
        return;
    }
    // 334 carries the server's error in Base64; the client answers, and the
    // server's final reply (535 and the like) ends the exchange (RFC 7628,
    // 3.2.3; XOAUTH2 answers with an empty line).
    state_ = TSmtpState::StepReady;
    SendRequest(TSmtpRequest::Auth,
                mechanism_ == TSaslMechanism::OAuthBearer ? std::string(OAuthBearerErrorAnswer) : std::string(),
                {235});
}

}  // namespace pw
