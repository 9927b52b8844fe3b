#include "ui/ConnectionTest.h"

#include <algorithm>

#include "app/ClientSetup.h"
#include "config/Places.h"
#include "net/SocketErrors.h"
#include "platform/ProgramPath.h"
#include "smtp/SmtpClient.h"
#include "ui/QtText.h"

namespace pw {

namespace {

// The Winsock numbers of failed lookups and connections; failures the program
// makes itself (TLS, logins) have numbers above them and a reason of their own.
constexpr std::uint16_t kFirstSocketError = 10004;
constexpr std::uint16_t kLastSocketError = 11004;

bool IsSocketError(std::uint16_t error) { return error >= kFirstSocketError && error <= kLastSocketError; }

}  // namespace

TConnectionTest::TConnectionTest(MessageLoop& loop, const ROptions& options, ROptionsExtraTexts texts,
                                 QObject* parent)
    : QObject(parent), loop_(loop), options_(options), texts_(std::move(texts)) {}

TConnectionTest::~TConnectionTest() {
    if (client_) {
        client_->OnRequestDone = nullptr;
        client_->Abort();
    }
}

bool TConnectionTest::Configure() {
    TSmtpClient& c = *client_;
    // Server, TLS and login exactly as a send job sets them up.
    const std::string problem = SetUpClient(c, options_, PlacesFor(ProgramFileName()).IniFile);
    if (!problem.empty()) {
        Report(ToQt(problem));
        return false;
    }
    c.TimeOut = options_.TimeOut > 0 ? std::min(options_.TimeOut, kTestTimeOutLimit) : kTestTimeOutLimit;
    // TLS without checks, a login that shows its secret: said as steps.
    c.OnWarning = [this](TSmtpEngine&, const std::string& text) { Report(ToQt(text)); };
    return true;
}

void TConnectionTest::Start() {
    if (running_) return;
    running_ = true;
    passed_ = false;
    loginFailed_ = false;
    helloSaid_ = false;
    steps_.clear();
    client_ = std::make_unique<TSmtpClient>(loop_);
    client_->OnRequestDone = [this](TSmtpEngine& sender, TSmtpRequest request, std::uint16_t error) {
        RequestDone(sender, request, error);
    };
    // The client's own boxes would block the dialog: the reason is reported
    // as a step instead.
    client_->OnMessageBox = [](TSmtpEngine&, const std::string&, const std::string&) {};
    Report(texts_[oxTestRunning].arg(ToQt(options_.Host)).arg(options_.Port));
    if (!Configure()) {
        Finish(false);
        return;
    }
    client_->Connect();
}

QString TConnectionTest::Reason(std::uint16_t error) const {
    if (IsSocketError(error)) return ToQt(SocketErrorText(error));
    return ToQt(client_->LastReply());
}

void TConnectionTest::RequestDone(TSmtpEngine& sender, TSmtpRequest request, std::uint16_t error) {
    if (!client_ || &sender != client_.get() || !running_) return;
    switch (request) {
        case TSmtpRequest::Connect: ConnectDone(error); break;
        case TSmtpRequest::Helo:
        case TSmtpRequest::Ehlo: GreetingDone(error); break;
        case TSmtpRequest::Auth: LoginDone(error); break;
        case TSmtpRequest::Quit: Finish(!loginFailed_); break;
        default: break;
    }
}

void TConnectionTest::ConnectDone(std::uint16_t error) {
    const QString host = ToQt(options_.Host);
    if (error == WSAECONNREFUSED) {
        Report(texts_[oxTestRefused].arg(host).arg(options_.Port));
        Finish(false);
        return;
    }
    if (error != 0) {
        Report(texts_[oxTestNoConnection].arg(host).arg(options_.Port).arg(Reason(error)));
        Finish(false);
        return;
    }
    Report(texts_[oxTestConnected].arg(ToQt(client_->LastReply())));
    if (options_.Security == 2) Report(texts_[oxTestTlsOnConnect]);
    SayHello();
}

void TConnectionTest::SayHello() {
    helloSaid_ = true;
    // As a send job greets: EHLO when anything beyond plain SMTP is asked for.
    if (WantsEhlo(options_)) {
        client_->Ehlo();
    } else {
        client_->Helo();
    }
}

void TConnectionTest::GreetingDone(std::uint16_t error) {
    if (error != 0) {
        Report(texts_[oxTestStepRefused].arg(WantsEhlo(options_) ? QStringLiteral("EHLO") : QStringLiteral("HELO"),
                                             Reason(error)));
        Finish(false);
        return;
    }
    if (options_.Security == 1) Report(texts_[oxTestStartTls]);
    if (options_.Security == 0) Report(texts_[oxTestClearText]);
    if (WantsLogin(options_)) {
        client_->Auth();
        return;
    }
    Report(texts_[oxTestNoLogin]);
    client_->Quit();
}

void TConnectionTest::LoginDone(std::uint16_t error) {
    if (error != 0) {
        loginFailed_ = true;
        Report(texts_[oxTestLoginRefused].arg(Reason(error)));
    } else {
        Report(texts_[oxTestLoginAccepted]);
    }
    client_->Quit();
}

void TConnectionTest::Report(const QString& text) {
    steps_ << text;
    emit step(text);
}

void TConnectionTest::Finish(bool passed) {
    if (!running_) return;
    running_ = false;
    passed_ = passed;
    Report(texts_[passed ? oxTestPassed : oxTestFailed]);
    if (client_) {
        client_->OnRequestDone = nullptr;
        client_->Abort();
    }
    emit finished(passed);
}

}  // namespace pw
