#include "smtp/SmtpEngine.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "net/Resolve.h"
#include "net/SocketErrors.h"
#include "smtp/AddressList.h"
#include "smtp/HeloName.h"
#include "smtp/MailDate.h"
#include "smtp/MessageId.h"

namespace pw {

namespace {

const char* const RequestNames[] = {"Connect", "Helo", "MailFrom", "Vrfy", "RcptTo", "Data", "Quit",
                                    "Rset",    "Open", "Mail",     "Ehlo", "Auth",   "Custom"};

constexpr const char* MessageBoxCaption = "SMTP error!!!";

std::uint16_t StepBit(TSmtpStep step)
{
    return static_cast<std::uint16_t>(1u << static_cast<unsigned>(step));
}

// A failing reply whose status is no SMTP code (no digits, garbage, a number
// that would read as success once cut to 16 bits) is reported as 500.
std::int32_t FailureCode(std::int32_t status)
{
    return status >= 100 && status <= 599 ? status : 500;
}

}  // namespace

const char* SmtpRequestName(int request)
{
    if (request < 0 || request > 12)
        return "";
    return RequestNames[request];
}

const char* SmtpRequestName(TSmtpRequest request)
{
    return SmtpRequestName(static_cast<int>(request));
}

// ---------------------------------------------------------------------------
// Construction

TSmtpEngine::TSmtpEngine(MessageLoop& loop, void* /*owner*/) : loop_(loop), socket_(loop)
{
    next_ = &TSmtpEngine::HandleReply;
    // Each command, and the message's last bytes, wait for the server's reply:
    // Nagle's algorithm would hold them back until the previous segment is
    // acknowledged, which a receiver delays by up to 40 ms.
    socket_.SetOptions(socket_.Options() | WSocketOption::NoDelay);
    // One read per readiness message: a server that sends without pause would
    // otherwise keep the socket's receive loop going and starve the timers
    // (the time-out), the signals and the Abort command.
    socket_.SetOptions(socket_.Options() | WSocketOption::SingleReadPerEvent);
    // A pump step's block fits one chunk of the send queue, so it reaches
    // the loop (and the kernel) in one piece.
    socket_.SetChunkSize(static_cast<int>(PumpBlockBytes));
    socket_.OnClosed = [this](TWSocket&, std::uint16_t error) { SocketClosed(error); };
    window_ = CreateHiddenWindow(loop_, this);
}

TSmtpEngine::~TSmtpEngine()
{
    *alive_ = false;
    socket_.OnAllSent = nullptr;
    socket_.OnClosed = nullptr;
    socket_.OnDataReady = nullptr;
    socket_.OnConnectDone = nullptr;
    socket_.OnLookupDone = nullptr;
    socket_.OnTlsDone = nullptr;
    try {
        socket_.CancelLookup();
        socket_.Abort();
    } catch (const std::exception&) {
        // Nothing can be reported from a destructor.
    }
    if (window_ != 0)
        DestroyHiddenWindow(loop_, window_);
}

void TSmtpEngine::SetContentType(int value)
{
    if (value == contentType_)
        return;
    contentType_ = value;
    contentTypeText_ = value == 1 ? "text/plain" : "text/html";
}

// ---------------------------------------------------------------------------
// Triggers

void TSmtpEngine::TriggerTrace(const std::string& text)
{
    if (OnTrace)
        OnTrace(*this, text);
}

void TSmtpEngine::TriggerCommandSent(const std::string& command)
{
    if (OnCommandSent)
        OnCommandSent(*this, command);
}

void TSmtpEngine::TriggerReplyLine(const std::string& line)
{
    if (OnReplyLine)
        OnReplyLine(*this, line);
}

void TSmtpEngine::TriggerSessionState()
{
    if (OnSessionState)
        OnSessionState(*this);
}

void TSmtpEngine::TriggerHeaderBuilt(TStringList& headers)
{
    if (OnHeaderBuilt)
        OnHeaderBuilt(*this, headers);
}

void TSmtpEngine::TriggerConnected(std::uint16_t error)
{
    if (OnConnected)
        OnConnected(*this, error);
}

void TSmtpEngine::TriggerDisconnected(std::uint16_t error)
{
    if (OnDisconnected)
        OnDisconnected(*this, error);
}

void TSmtpEngine::TriggerAttachmentType(std::int32_t index, std::string& fileName, std::string& mimeType)
{
    if (OnAttachmentType)
        OnAttachmentType(*this, index, fileName, mimeType);
}

void TSmtpEngine::TriggerAttachmentHeader(std::int32_t index, const std::string& fileName, TPendingLines& pending)
{
    if (OnAttachmentHeader)
        OnAttachmentHeader(*this, index, fileName, pending);
}

void TSmtpEngine::ShowMessageBox(const std::string& text)
{
    if (OnMessageBox)
        OnMessageBox(*this, text, MessageBoxCaption);
    else
        std::fprintf(stderr, "%s %s\n", MessageBoxCaption, text.c_str());
}

void TSmtpEngine::Warn(const std::string& text)
{
    if (OnWarning)
        OnWarning(*this, text);
}

// The engine alone has no MIME layer: the body is what OnBodyLine supplies.
bool TSmtpEngine::NextBodyLine(std::int64_t lineNo, std::string& line, std::int32_t maxLength)
{
    bool more = false;
    line.clear();
    if (OnBodyLine)
        OnBodyLine(*this, static_cast<std::int32_t>(lineNo), line, maxLength, more);
    return more;
}

std::size_t TSmtpEngine::NextBulkLines(char* /*out*/, std::size_t /*room*/)
{
    return 0;
}

void TSmtpEngine::HeaderLineHook(std::string& line)
{
    if (OnHeaderField)
        OnHeaderField(*this, line, HeaderBufferSize);
}

void TSmtpEngine::OpenAttachmentFile(const std::string& path)
{
    throw TAttachmentFailure("attachments need the MIME layer: " + path);
}

bool TSmtpEngine::ReadEncodedLine(std::string& line)
{
    line.clear();
    return false;
}

void TSmtpEngine::CloseAttachmentFile() {}

void TSmtpEngine::HeaderTextLabel(std::string& charSet, std::string& transferEncoding) const
{
    charSet = CharSet;
    transferEncoding.clear();
}

bool TSmtpEngine::BodyNeedsEightBitMime()
{
    return false;
}

// ---------------------------------------------------------------------------
// State, replies, completion

void TSmtpEngine::ChangeState(TSmtpState s)
{
    if (s == state_)
        return;
    state_ = s;
    TriggerSessionState();
}

void TSmtpEngine::ShowReplyLine()
{
    if (currentStep_ == TSmtpStep::Ehlo && state_ == TSmtpState::WaitingReply)
        NoteEhloLine(capabilities_, lastReply_, ehloLines_++ == 0);
    TriggerTrace("< " + lastReply_);
}

void TSmtpEngine::KeepFirstError()
{
    if (errorText_.empty())
        errorText_ = lastReply_;
}

std::string TSmtpEngine::WinsockReply(int error)
{
    return "500 " + SocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}

void TSmtpEngine::SendRequest(TSmtpRequest type, const std::string& command,
                              std::initializer_list<std::int32_t> codes, Continuation next)
{
    if (!inSequence_)
        requestType_ = type;
    std::size_t n = 0;
    for (std::int32_t c : codes) {
        if (n == 16)
            break;
        acceptCodes_[n++] = c;
    }
    acceptCodes_[n] = 0;
    doneReported_ = false;
    awaitingQuitClose_ = false;
    finalReply_ = type == TSmtpRequest::Data && command == ".";
    next_ = &TSmtpEngine::HandleReply;
    afterReply_ = next;
    ChangeState(TSmtpState::WaitingReply);
    ArmTimeout();
    SendCommandLine(command);
}

void TSmtpEngine::SendCommandLine(const std::string& command)
{
    // A line break inside an argument would start a command of its own.
    std::string line = FlattenLineBreaks(command);
    std::string shown;
    shown.swap(shownCommand_);
    const bool secret = !shown.empty();
    auto alive = alive_;
    TriggerCommandSent(secret ? shown : line);
    TriggerTrace("> " + (secret ? shown : line));
    if (!*alive) {
        WipeSecret(line);
        return;
    }
    if (socket_.State() != WSocketState::Connected) {
        // Nothing can carry the command: the request would wait for ever.
        FailRequest(WSAENOTCONN, WinsockReply(WSAENOTCONN), false);
        return;
    }
    line += "\r\n";
    try {
        socket_.SendText(line);
    } catch (const Exception& e) {
        FailRequest(500, "500 " + std::string(e.what()), false);
    }
    if (secret)
        WipeSecret(line);
}

void TSmtpEngine::HandleReply()
{
    ShowReplyLine();
    std::size_t next = 0;
    replyCode_ = ParseStatus(lastReply_, next);
    if (next < lastReply_.size() && lastReply_[next] == '-')
        return;

    bool ok = false;
    if (acceptCodes_[0] == 0) {
        ok = replyCode_ < 500;
    } else {
        for (int i = 0; i < 16 && acceptCodes_[i] != 0; ++i) {
            if (acceptCodes_[i] == replyCode_) {
                ok = true;
                break;
            }
        }
    }
    if (ok) {
        requestResult_ = 0;
    } else {
        requestResult_ = FailureCode(replyCode_);
        KeepFirstError();
    }

    if (afterReply_ != nullptr) {
        (this->*afterReply_)();
        return;
    }
    if (requestType_ == TSmtpRequest::Quit && connected_) {
        awaitingQuitClose_ = true;  // Quit completes when the server closes
        return;
    }
    FinishRequest(requestResult_);
}

void TSmtpEngine::FinishRequest(std::int32_t error)
{
    if (doneReported_)
        return;
    doneReported_ = true;
    if (sequenceNext_ != nullptr) {
        if (state_ != TSmtpState::Aborting)
            ChangeState(TSmtpState::StepReady);
        (this->*sequenceNext_)();
        return;
    }
    ChangeState(TSmtpState::Ready);
    inSequence_ = false;
    DisarmTimeout();
    loop_.PostMessage(window_, MsgRequestDone, 0, static_cast<std::intptr_t>(static_cast<std::uint16_t>(error)));
}

void TSmtpEngine::CompleteAtOnce(TSmtpRequest type, std::int32_t error)
{
    if (!inSequence_)
        requestType_ = type;
    doneReported_ = false;
    FinishRequest(error);
}

void TSmtpEngine::FailRequest(std::int32_t error, const std::string& reply, bool graceful)
{
    lastReply_ = reply;
    replyCode_ = 500;
    KeepFirstError();
    requestResult_ = error;
    DropConnection(graceful);
    FinishRequest(error);
}

void TSmtpEngine::DropConnection(bool graceful)
{
    ++epoch_;
    socket_.OnAllSent = nullptr;
    try {
        socket_.CancelLookup();
        if (graceful)
            socket_.Close();
        else
            socket_.Abort();
    } catch (const std::exception&) {
        // The socket is being given up; its own complaint changes nothing.
    }
    connected_ = false;
    awaitingQuitClose_ = false;
    if (greetingPending_) {
        greetingPending_ = false;
        loop_.KillTimer(window_, GreetingWaitTimerId);
    }
    receive_.Clear();
    CloseAttachmentFile();
    StopSecretCommand();
}

void TSmtpEngine::HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (msg == MsgRequestDone) {
        // The type is read now, not when the completion was posted.
        if (OnRequestDone)
            OnRequestDone(*this, requestType_, static_cast<std::uint16_t>(lParam & 0xFFFF));
    } else if (msg == MsgTimer && wParam == TimeoutTimerId) {
        TimeoutTick();
    } else if (msg == MsgTimer && wParam == GreetingWaitTimerId) {
        GreetingWaitTick();
    }
}

// ---------------------------------------------------------------------------
// Time-out

unsigned TSmtpEngine::TimeoutMs() const
{
    long long seconds = TimeOut;
    if (finalReply_ && seconds < finalReplyFloor_)
        seconds = finalReplyFloor_;
    // Capped so the milliseconds fit the timer (about 46 days).
    if (seconds > 4000000)
        seconds = 4000000;
    return static_cast<unsigned>(seconds * 1000);
}

bool TSmtpEngine::RequestOutstanding() const
{
    return !doneReported_ && state_ != TSmtpState::Ready && state_ != TSmtpState::Aborting;
}

void TSmtpEngine::ArmTimeout()
{
    NoteProgress();
    if (TimeOut <= 0)
        return;
    unsigned tick = TimeoutMs() / TicksPerTimeOut;
    if (tick < 1)
        tick = 1;
    if (timerArmed_ && tick == armedTickMs_)
        return;
    // Not armed yet, or the wait changes length (the final "."): start anew.
    progressAtTick_ = progress_;
    quietTicks_ = 0;
    timerArmed_ = loop_.SetTimer(window_, TimeoutTimerId, tick);
    armedTickMs_ = tick;
}

void TSmtpEngine::DisarmTimeout()
{
    if (!timerArmed_)
        return;
    loop_.KillTimer(window_, TimeoutTimerId);
    timerArmed_ = false;
}

void TSmtpEngine::TimeoutTick()
{
    if (!RequestOutstanding() || TimeOut <= 0) {
        DisarmTimeout();
        return;
    }
    // A password command has a time limit of its own.
    if (progress_ != progressAtTick_ || secretPending_) {
        progressAtTick_ = progress_;
        quietTicks_ = 0;
        return;
    }
    if (++quietTicks_ < TicksPerTimeOut)
        return;
    DisarmTimeout();
    if (awaitingQuitClose_) {
        // QUIT was answered but the server keeps the connection: end it here,
        // as the server's own close would have.
        DropConnection(true);
        FinishRequest(0);
        return;
    }
    FailRequest(WSAETIMEDOUT, WinsockReply(WSAETIMEDOUT), false);
}

// ---------------------------------------------------------------------------
// Connection

void TSmtpEngine::Connect()
{
    if (connected_)
        ShowMessageBox("SMTP component already connected!");
    if (!inSequence_)
        requestType_ = TSmtpRequest::Connect;
    doneReported_ = false;
    awaitingQuitClose_ = false;
    receive_.Clear();
    requestResult_ = 0;
    esmtpAccepted_ = false;
    headersKept_ = false;
    mechanism_ = TSaslMechanism::None;
    ++epoch_;
    // The machine's name may be needed for HELO: the resolver gets the time
    // the connection takes.
    if (!IsUsableHeloName(SignOn))
        StartMachineNameLookup();
    ChangeState(TSmtpState::Resolving);
    ArmTimeout();
    socket_.OnAllSent = nullptr;
    socket_.OnLookupDone = [this](TWSocket&, std::uint16_t error) { SocketLookupDone(error); };
    try {
        socket_.DnsLookup(Host);
    } catch (const Exception& e) {
        // An empty or unusable host name: the request fails, nothing throws.
        FailRequest(500, "500 " + std::string(e.what()), false);
    }
}

void TSmtpEngine::SocketLookupDone(std::uint16_t error)
{
    if (state_ != TSmtpState::Resolving)
        return;  // a lookup that ended after the request was given up
    if (error != 0) {
        lastReply_ = WinsockReply(error);
        replyCode_ = 500;
        KeepFirstError();
        requestResult_ = error;
        FinishRequest(error);
        return;
    }
    try {
        socket_.SetAddr(socket_.LookupResult());
        socket_.SetLocalAddr(LocalAddr);
        socket_.SetProto("tcp");
        socket_.SetPort(Port);
        socket_.OnConnectDone = [this](TWSocket&, std::uint16_t e) { SocketConnectDone(e); };
        socket_.OnDataReady = [this](TWSocket&, std::uint16_t e) { SocketDataReady(e); };
        ChangeState(TSmtpState::Connecting);
        socket_.Connect();
    } catch (const Exception& e) {
        auto alive = alive_;
        ShowMessageBox("SMTP component can't connected!!!");
        if (!*alive)
            return;
        FailRequest(500, "500 " + std::string(e.what()), false);
    }
}

void TSmtpEngine::SocketConnectDone(std::uint16_t error)
{
    if (error != 0) {
        lastReply_ = WinsockReply(error);
        replyCode_ = 500;
        connected_ = false;
        requestResult_ = 500;
        KeepFirstError();
        FinishRequest(error);
        try {
            socket_.Close();
        } catch (const Exception&) {
        }
        ChangeState(TSmtpState::Ready);
        return;
    }
    connected_ = true;
    capabilities_ = {};
    ++epoch_;
    NoteProgress();
    ChangeState(TSmtpState::WaitingGreeting);
    if (Security == TSmtpSecurity::TlsOnConnect)
        BeginTls();  // the greeting comes through TLS
}

void TSmtpEngine::SocketDataReady(std::uint16_t error)
{
    const std::size_t room = receive_.FreeCount();
    if (room == 0) {
        FailRequest(500, "500 Reply line too long", true);
        return;
    }
    const int n = socket_.Receive(receive_.FreeSpace(), static_cast<int>(room));
    if (n <= 0)
        return;
    receive_.Commit(static_cast<std::size_t>(n));
    // Received bytes are no progress: only a whole reply ends the wait, so a
    // server that trickles a reply or sends continuation lines for ever still
    // meets the time-out.

    auto alive = alive_;
    const std::uint64_t epoch = epoch_;
    while (receive_.NextLine(lastReply_)) {
        TriggerReplyLine(lastReply_);
        if (!*alive || epoch != epoch_)
            return;
        HandleLine(error);
        if (!*alive || epoch != epoch_)
            return;
    }
    if (receive_.Overflowed())
        FailRequest(500, "500 Reply line too long", true);
}

void TSmtpEngine::HandleLine(std::uint16_t dataError)
{
    if (state_ == TSmtpState::WaitingGreeting) {
        ShowReplyLine();
        std::size_t next = 0;
        const std::int32_t status = ParseStatus(lastReply_, next);
        replyCode_ = status;
        if (next < lastReply_.size() && lastReply_[next] == '-')
            return;
        if (status != 220) {
            // The server does not want us: Connect fails with its code.
            KeepFirstError();
            requestResult_ = FailureCode(status);
            DropConnection(true);
            FinishRequest(requestResult_);
            return;
        }
        ChangeState(TSmtpState::Connected);
        auto alive = alive_;
        TriggerConnected(dataError);
        if (!*alive)
            return;
        FinishRequest(0);
    } else if (state_ == TSmtpState::WaitingReply) {
        (this->*next_)();
    } else {
        ShowReplyLine();  // nothing asked for it: traced, otherwise ignored
    }
}

void TSmtpEngine::SocketClosed(std::uint16_t error)
{
    auto alive = alive_;
    connected_ = false;
    ++epoch_;
    socket_.OnAllSent = nullptr;
    receive_.Clear();
    CloseAttachmentFile();
    StopSecretCommand();
    TriggerDisconnected(error);
    if (!*alive)
        return;
    if (requestType_ == TSmtpRequest::Quit) {
        awaitingQuitClose_ = false;
        FinishRequest(0);
        return;
    }
    if (!doneReported_) {
        lastReply_ = WinsockReply(WSAEINTR);
        replyCode_ = 500;
        KeepFirstError();
        requestResult_ = WSAEINTR;
    }
    FinishRequest(WSAEINTR);
}

void TSmtpEngine::Quit()
{
    currentStep_ = TSmtpStep::Quit;
    if (!connected_) {
        CompleteAtOnce(TSmtpRequest::Quit, 0);
        return;
    }
    SendRequest(TSmtpRequest::Quit, "QUIT", {221});
}

void TSmtpEngine::Abort()
{
    ChangeState(TSmtpState::Aborting);
    DisarmTimeout();
    // A sequence in progress is dropped with its request.
    sequenceNext_ = nullptr;
    inSequence_ = false;
    stepSet_ = 0;
    DropConnection(false);
    ChangeState(TSmtpState::Ready);
}

// ---------------------------------------------------------------------------
// Commands

std::string TSmtpEngine::LocalAddressLiteral() const
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(socket_.SocketHandle(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return "[127.0.0.1]";  // no socket to ask: a literal servers still take
    const std::string literal = AddressLiteral(reinterpret_cast<const sockaddr*>(&local), length);
    return literal.empty() ? "[127.0.0.1]" : literal;
}

void TSmtpEngine::Helo()
{
    currentStep_ = TSmtpStep::Helo;
    SendGreeting(TSmtpRequest::Helo, true);
}

void TSmtpEngine::Ehlo()
{
    currentStep_ = TSmtpStep::Ehlo;
    // What an earlier EHLO taught is forgotten (RFC 3207, 4.2).
    capabilities_ = {};
    ehloLines_ = 0;
    SendGreeting(TSmtpRequest::Ehlo, true);
}

void TSmtpEngine::SendGreeting(TSmtpRequest type, bool mayWait)
{
    std::string machine;
    const bool known = IsUsableHeloName(SignOn) || MachineNameReady(machine);
    if (!known && mayWait && connected_) {
        // The request stays outstanding while the name is awaited, bounded by
        // GreetingWaitMs; the close handling still reports a dropped connection.
        if (!inSequence_)
            requestType_ = type;
        doneReported_ = false;
        greetingType_ = type;
        greetingWaited_ = 0;
        greetingPending_ = loop_.SetTimer(window_, GreetingWaitTimerId, GreetingWaitTickMs);
        if (greetingPending_)
            return;
    }
    const std::string name = HeloArgument(SignOn, machine, LocalAddressLiteral());
    if (type == TSmtpRequest::Helo)
        SendRequest(TSmtpRequest::Helo, "HELO " + name, {250});
    else
        SendRequest(TSmtpRequest::Ehlo, "EHLO " + name, {250}, &TSmtpEngine::EhloCheck);
}

void TSmtpEngine::GreetingWaitTick()
{
    if (!greetingPending_) {
        loop_.KillTimer(window_, GreetingWaitTimerId);
        return;
    }
    greetingWaited_ += GreetingWaitTickMs;
    std::string machine;
    if (!MachineNameReady(machine) && greetingWaited_ < GreetingWaitMs && connected_)
        return;
    greetingPending_ = false;
    loop_.KillTimer(window_, GreetingWaitTimerId);
    if (!connected_)
        return;  // the close handling reports the request
    // Whatever the resolver said by now: without a name the local address goes.
    SendGreeting(greetingType_, false);
}

void TSmtpEngine::EhloCheck()
{
    if (!connected_)
        return;  // the close handling reports it
    if (requestResult_ == 0)
        esmtpAccepted_ = true;
    if (requestResult_ == 0 && Security == TSmtpSecurity::StartTls && !TlsActive()) {
        StartTlsStep();  // STARTTLS and the EHLO after it belong to this request
        return;
    }
    FinishRequest(requestResult_);
}

void TSmtpEngine::Vrfy()
{
    currentStep_ = TSmtpStep::Vrfy;
    if (RefuseUnprotected(TSmtpRequest::Vrfy))
        return;
    SendRequest(TSmtpRequest::Vrfy, "VRFY " + HeaderTo, {250});
}

void TSmtpEngine::MailFrom()
{
    currentStep_ = TSmtpStep::MailFrom;
    messageSize_ = 0;
    if (RefuseUnprotected(TSmtpRequest::MailFrom))
        return;
    const std::string a = TrimControls(FromName);
    std::string path;
    if (!EnvelopePath(a, path)) {
        // Not readable as an address: sent as before, for the server to judge.
        const bool bracketed =
            FromName.find('<') != std::string::npos && FromName.find('>') != std::string::npos;
        path = bracketed ? a : "<" + a + ">";
    }
    std::string command = "MAIL FROM:" + path;
    if (capabilities_.EightBitMime) {
        auto alive = alive_;
        const std::uint64_t epoch = epoch_;
        const bool eightBit = BodyNeedsEightBitMime();
        if (!*alive || epoch != epoch_ || !connected_)
            return;  // aborted or dropped meanwhile: nothing more to send
        if (eightBit)
            command += " BODY=8BITMIME";
    }
    // Counted once the text is prepared as it will go (8-bit or not).
    std::string parameters;
    if (capabilities_.Size && !SizeParameter(parameters))
        return;
    SendRequest(TSmtpRequest::MailFrom, command + parameters, {250});
}

void TSmtpEngine::RcptTo()
{
    if (RefuseUnprotected(TSmtpRequest::RcptTo))
        return;
    refused_.clear();
    rcptAccepted_ = 0;
    firstRefusal_ = 0;
    if (RcptName.empty()) {
        auto alive = alive_;
        ShowMessageBox("RcptName list is empty!");
        if (!*alive)
            return;
        // Nobody to send to: nothing goes out and the request fails.
        currentStep_ = TSmtpStep::RcptTo;
        lastReply_ = "500 RcptName list is empty!";
        replyCode_ = 500;
        KeepFirstError();
        requestResult_ = 500;
        CompleteAtOnce(TSmtpRequest::RcptTo, 500);
        return;
    }
    rcptCursor_ = -1;
    NextRecipient();
}

void TSmtpEngine::NextRecipient()
{
    ++rcptCursor_;
    const bool last = rcptCursor_ >= static_cast<std::int32_t>(RcptName.size()) - 1;
    currentStep_ = TSmtpStep::RcptTo;
    std::string a = TrimControls(RcptName[static_cast<std::size_t>(rcptCursor_)]);
    std::string path;
    if (EnvelopePath(a, path))
        a = path;
    else if (!(a.compare(0, 1, "<") == 0 || a.find('>') != std::string::npos))
        a = "<" + a + ">";  // not readable as an address: as before
    if (capabilities_.Dsn && ReturnReceipt)
        a += " NOTIFY=SUCCESS,FAILURE";
    SendRequest(TSmtpRequest::RcptTo, "RCPT TO:" + a, {250, 251},
                last ? &TSmtpEngine::LastRecipientDone : &TSmtpEngine::NextRecipientAgain);
}

void TSmtpEngine::NoteRecipientReply()
{
    if (requestResult_ == 0) {
        ++rcptAccepted_;
        return;
    }
    if (firstRefusal_ == 0)
        firstRefusal_ = requestResult_;
    refused_.push_back({TrimControls(RcptName[static_cast<std::size_t>(rcptCursor_)]), replyCode_, lastReply_});
}

void TSmtpEngine::NextRecipientAgain()
{
    NoteRecipientReply();
    if (!connected_)
        return;  // the close handling reports it
    state_ = TSmtpState::StepReady;
    NextRecipient();
}

void TSmtpEngine::LastRecipientDone()
{
    NoteRecipientReply();
    requestResult_ = rcptAccepted_ > 0 ? 0 : firstRefusal_;
    FinishRequest(requestResult_);
}

void TSmtpEngine::Rset()
{
    currentStep_ = TSmtpStep::Rset;
    SendRequest(TSmtpRequest::Rset, "RSET", {250});
}

// ---------------------------------------------------------------------------
// Message

void TSmtpEngine::Data()
{
    currentStep_ = TSmtpStep::Data;
    if (RefuseUnprotected(TSmtpRequest::Data))
        return;
    attachmentError_.clear();  // a failure of an earlier message is not this one's
    failAfterBlock_ = false;
    BuildHeaderBlock();
    SendRequest(TSmtpRequest::Data, "DATA", {354}, &TSmtpEngine::DataPumpStart);
}

void TSmtpEngine::BuildHeaderBlock()
{
    headerCursor_ = -1;
    lineCounter_ = 0;
    moreLines_ = true;
    cutter_.Clear();
    if (headersKept_) {
        // Built for measuring this very message: the size announced stays true.
        headersKept_ = false;
        return;
    }
    THeaderValues v{HeaderReplyTo, HeaderReturnPath, HeaderFrom, HeaderTo, HeaderCc, HeaderSubject, HeaderSender};
    std::string charSet, transferEncoding;
    HeaderTextLabel(charSet, transferEncoding);
    std::string domain = AddressDomain(HeaderFrom);
    if (domain.empty())
        domain = AddressDomain(FromName);
    BuildHeaderLines(headers_, v, contentTypeText_, charSet, transferEncoding, CurrentMailDateText(),
                     NewMessageId(domain));
    TriggerHeaderBuilt(headers_);
    headers_.emplace_back();
}

void TSmtpEngine::DataPumpStart()
{
    if (requestResult_ != 0) {
        FinishRequest(requestResult_);  // DATA refused: nothing of the message goes out
        return;
    }
    socket_.OnAllSent = [this](TWSocket&, std::uint16_t) { SocketAllSent(); };
    DataPump();
}

void TSmtpEngine::SocketAllSent()
{
    state_ = TSmtpState::StepReady;
    NoteProgress();
    DataPump();
}

bool TSmtpEngine::TraceWireLine(std::string_view line)
{
    if (!OnTrace || quietLine_)
        return true;
    // A folded header field goes out as several lines: one trace line each.
    auto alive = alive_;
    const std::uint64_t epoch = epoch_;
    for (;;) {
        const std::size_t crlf = line.find("\r\n");
        traceLine_.assign("> ", 2);
        traceLine_.append(line.data(), crlf == std::string_view::npos ? line.size() : crlf);
        TriggerTrace(traceLine_);
        if (!*alive || epoch != epoch_)
            return false;
        if (crlf == std::string_view::npos)
            return true;
        line.remove_prefix(crlf + 2);
    }
}

void TSmtpEngine::GatherWireLine()
{
    if (wireBlock_.size() < wireUsed_ + lineOut_.size())
        wireBlock_.resize(wireUsed_ + lineOut_.size());
    std::memcpy(wireBlock_.data() + wireUsed_, lineOut_.data(), lineOut_.size());
    wireUsed_ += lineOut_.size();
}

bool TSmtpEngine::GatherBulkLines()
{
    // Only between whole body lines: after the header block, with no piece
    // of a cut line still to go.
    if (!moreLines_ || cutter_.HasMore() || headerCursor_ + 1 < static_cast<std::int32_t>(headers_.size()) ||
        wireUsed_ >= PumpBlockBytes)
        return false;
    const std::size_t written = NextBulkLines(wireBlock_.data() + wireUsed_, PumpBlockBytes - wireUsed_);
    wireUsed_ += written;
    return written > 0;
}

void TSmtpEngine::SendWireBlock()
{
    try {
        socket_.Send(wireBlock_.data(), static_cast<int>(wireUsed_));
    } catch (const Exception& e) {
        FailRequest(500, "500 " + std::string(e.what()), false);
    }
}

// One pump step: the next lines of the message, up to PumpBlockBytes, go to
// the socket in one Send; the socket's OnAllSent brings the next step, and
// after the last line the final ".". Each line is traced before it is
// handed on, so the trace keeps the order of the wire.
void TSmtpEngine::DataPump()
{
    if (!connected_) {
        socket_.OnAllSent = nullptr;
        return;  // the close handling reports the request
    }
    if (failAfterBlock_) {
        FailUnreadableAttachment();
        return;
    }
    state_ = TSmtpState::StepReady;
    if (wireBlock_.size() < PumpBlockBytes)
        wireBlock_.resize(PumpBlockBytes);
    wireUsed_ = 0;
    TWireLine step = TWireLine::Line;
    while (wireUsed_ < PumpBlockBytes) {
        if (GatherBulkLines())
            continue;
        std::size_t shown = 0;
        step = NextWireLine(shown);
        if (step != TWireLine::Line)
            break;
        if (!TraceWireLine(std::string_view(lineOut_).substr(0, shown)))
            return;  // gone: nothing of this object may be touched
        GatherWireLine();
    }
    if (step == TWireLine::Gone)
        return;
    if (step == TWireLine::Failed && wireUsed_ == 0) {
        FailUnreadableAttachment();
        return;
    }
    if (wireUsed_ > 0) {
        // The end, if it came, is met again by the next step; a failure is
        // reported once the lines before it have left.
        failAfterBlock_ = step == TWireLine::Failed;
        SendWireBlock();
        return;
    }
    socket_.OnAllSent = nullptr;
    SendRequest(TSmtpRequest::Data, ".", {250});
}

void TSmtpEngine::FailUnreadableAttachment()
{
    failAfterBlock_ = false;
    // A message is whole or not sent: without its final "." the server
    // throws the message away (RFC 5321, 4.1.1.4).
    FailRequest(PWE_ATTACHMENT_UNREADABLE, std::to_string(PWE_ATTACHMENT_UNREADABLE) + " " + attachmentError_, false);
}

TSmtpEngine::TWireLine TSmtpEngine::NextWireLine(std::size_t& shown)
{
    auto alive = alive_;
    const std::uint64_t epoch = epoch_;
    lineStuffed_ = false;

    if (headerCursor_ + 1 < static_cast<std::int32_t>(headers_.size())) {
        ++headerCursor_;
        lineOut_ = headers_[static_cast<std::size_t>(headerCursor_)];
        HeaderLineHook(lineOut_);
        if (!*alive || epoch != epoch_)
            return TWireLine::Gone;
        // Header lines are never dot-stuffed; what the hook added goes as it is.
        shown = lineOut_.size();
        lineOut_.append("\r\n", 2);
        return TWireLine::Line;
    }

    std::string_view piece;
    bool have = cutter_.Next(piece);
    while (!have && moreLines_) {
        ++lineCounter_;
        quietLine_ = false;
        try {
            moreLines_ = NextBodyLine(lineCounter_, cutter_.Buffer(), static_cast<std::int32_t>(MaxBodyLine));
        } catch (const TAttachmentFailure& e) {
            if (!*alive)
                return TWireLine::Gone;
            moreLines_ = false;
            quietLine_ = false;
            CloseAttachmentFile();
            if (measuring_)
                return TWireLine::End;  // counted so far; Data meets the failure itself
            attachmentError_ = e.what();
            if (epoch != epoch_ || !connected_)
                return TWireLine::Gone;
            return TWireLine::Failed;
        }
        if (!*alive || epoch != epoch_ || !connected_)
            return TWireLine::Gone;
        if (moreLines_) {
            cutter_.Restart();
            have = cutter_.Next(piece);
        }
    }
    if (!have)
        return TWireLine::End;
    StuffLine(lineOut_, piece);
    lineStuffed_ = lineOut_.size() > piece.size() + 2;
    shown = lineOut_.size() - 2;
    return TWireLine::Line;
}

// ---------------------------------------------------------------------------
// Sequences

void TSmtpEngine::Open()
{
    std::uint16_t steps = StepBit(TSmtpStep::Connect);
    if (AuthType != 0)
        steps |= StepBit(TSmtpStep::Ehlo) | StepBit(TSmtpStep::Auth);
    else if (Security != TSmtpSecurity::None)
        steps |= StepBit(TSmtpStep::Ehlo);  // STARTTLS comes with EHLO
    else
        steps |= StepBit(TSmtpStep::Helo);
    StartSequence(TSmtpRequest::Open, steps);
}

void TSmtpEngine::Mail()
{
    StartSequence(TSmtpRequest::Mail,
                  StepBit(TSmtpStep::MailFrom) | StepBit(TSmtpStep::RcptTo) | StepBit(TSmtpStep::Data));
}

void TSmtpEngine::StartSequence(TSmtpRequest type, std::uint16_t steps)
{
    if (connected_ && (steps & StepBit(TSmtpStep::Connect)) != 0) {
        auto alive = alive_;
        ShowMessageBox("SMTP component already connected!");
        if (!*alive)
            return;
    }
    requestType_ = type;
    requestResult_ = 0;
    stepSet_ = steps;
    currentStep_ = TSmtpStep::None;
    sequenceResult_ = 0;
    inSequence_ = true;
    lastReply_.clear();
    errorText_.clear();
    ContinueSequence();
}

void TSmtpEngine::ContinueSequence()
{
    sequenceNext_ = &TSmtpEngine::ContinueSequence;
    if (requestResult_ != 0) {
        if (currentStep_ == TSmtpStep::Ehlo) {
            stepSet_ = StepBit(TSmtpStep::Helo);  // EHLO refused: fall back to HELO
        } else {
            sequenceResult_ = requestResult_;
            const bool quitPending = (stepSet_ & StepBit(TSmtpStep::Quit)) != 0;
            stepSet_ = quitPending && currentStep_ != TSmtpStep::Quit ? StepBit(TSmtpStep::Quit) : 0;
        }
    }
    static const TSmtpStep order[] = {TSmtpStep::Connect, TSmtpStep::Helo,     TSmtpStep::Ehlo,
                                      TSmtpStep::Auth,    TSmtpStep::Vrfy,     TSmtpStep::MailFrom,
                                      TSmtpStep::RcptTo,  TSmtpStep::Data,     TSmtpStep::Quit};
    for (TSmtpStep step : order) {
        if ((stepSet_ & StepBit(step)) == 0)
            continue;
        currentStep_ = step;
        stepSet_ = static_cast<std::uint16_t>(stepSet_ & ~StepBit(step));
        RunStep(step);
        return;
    }
    stepSet_ = 0;
    sequenceNext_ = nullptr;
    doneReported_ = false;
    FinishRequest(sequenceResult_);
}

void TSmtpEngine::RunStep(TSmtpStep step)
{
    switch (step) {
    case TSmtpStep::Connect: Connect(); break;
    case TSmtpStep::Helo: Helo(); break;
    case TSmtpStep::Ehlo: Ehlo(); break;
    case TSmtpStep::Auth: Auth(); break;
    case TSmtpStep::Vrfy: Vrfy(); break;
    case TSmtpStep::MailFrom: MailFrom(); break;
    case TSmtpStep::RcptTo: RcptTo(); break;
    case TSmtpStep::Data: Data(); break;
    case TSmtpStep::Quit: Quit(); break;
    case TSmtpStep::Rset: Rset(); break;
    case TSmtpStep::None: break;
    }
}

}  // namespace pw
