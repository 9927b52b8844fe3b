#pragma once
// The SMTP command engine: one dialogue over one TWSocket, request by request.
// Every request sends at most one command and returns at once; its outcome
// arrives later through OnRequestDone (request type and error code, 0 for
// success), always from the message loop after the handler that completed the
// request has returned. The client never throws to the application: failures
// are error codes plus a kept reply text (LastReply, ErrorText).
//
// Error codes: 0 success; the server's reply code for a refused command; 500
// for refusals the client makes itself (and for replies with no valid status);
// a Winsock number for a failed lookup or connection; 10004 when the server
// drops the connection in the middle of a request; 10060 when the server stays
// silent (or a line does not leave the send queue) for TimeOut seconds; the
// program's own numbers 12001-12020 (net/SocketErrors.h) for TLS and login
// failures made here, with LastReply "<number> <reason in plain words>".
//
// TSmtpEngine is the engine only; the class to create is TSmtpClient
// (smtp/SmtpClient.h), which adds the MIME layer.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "platform/CommandRunner.h"
#include "platform/MessageLoop.h"
#include "smtp/AuthMechanism.h"
#include "smtp/Capabilities.h"
#include "smtp/MimeMessage.h"
#include "smtp/ReplyLines.h"

namespace pw {

// Session state, in this order.
enum class TSmtpState : std::uint8_t {
    Ready,
    Resolving,
    Connecting,
    Connected,
    StepReady,
    WaitingGreeting,
    WaitingReply,
    Aborting
};

// Request types as OnRequestDone reports them.
enum class TSmtpRequest : std::uint8_t {
    Connect = 0,
    Helo = 1,
    MailFrom = 2,
    Vrfy = 3,
    RcptTo = 4,
    Data = 5,
    Quit = 6,
    Rset = 7,
    Open = 8,
    Mail = 9,
    Ehlo = 10,
    Auth = 11,
    Custom = 12
};

// "Connect", "Helo", ... "Custom"; "" for a value outside the table.
const char* SmtpRequestName(TSmtpRequest request);
const char* SmtpRequestName(int request);

// Steps of the built-in sequences, in declaration order.
enum class TSmtpStep : std::uint8_t {
    None,
    Helo,
    Connect,
    MailFrom,
    RcptTo,
    Data,
    Vrfy,
    Quit,
    Rset,
    Ehlo,
    Auth
};

// What protects the connection.
enum class TSmtpSecurity : std::uint8_t {
    None = 0,          // plain SMTP
    StartTls = 1,      // STARTTLS after EHLO (RFC 3207), required
    TlsOnConnect = 2,  // TLS from the first byte
};

// One recipient the server refused during the last RcptTo.
struct TRefusedRecipient {
    std::string Address;  // the RcptName entry, trimmed
    std::int32_t Code;    // the reply's status
    std::string Reply;    // the final reply line
};

class TSmtpEngine : public MessageHandler {
public:
    // Message that carries a completion to the component's own handle.
    static constexpr std::uint32_t MsgRequestDone = MsgUser + 1;
    static constexpr std::int32_t Tag = 1001;
    static constexpr std::uintptr_t TimeoutTimerId = 1;
    static constexpr std::uintptr_t GreetingWaitTimerId = 2;

    ~TSmtpEngine() override;
    TSmtpEngine(const TSmtpEngine&) = delete;
    TSmtpEngine& operator=(const TSmtpEngine&) = delete;

    // --- configuration (set before the requests that use them) -----------
    std::string Host;                   // host name or dotted IPv4 address
    std::string Port = "smtp";          // service name or decimal number
    std::string LocalAddr = "0.0.0.0";  // local address to bind to
    // HELO/EHLO argument when it is a name with a dot or an address literal;
    // otherwise this machine's fully qualified name, or the connection's
    // local address as a literal when the machine has none (smtp/HeloName.h).
    std::string SignOn;
    std::string Username;
    std::string Password;
    std::uint8_t AuthType = 0;          // SmtpAuthType (smtp/AuthMechanism.h): 0 none, 1 and 2 LOGIN, ...
    // Envelope sender and recipients as typed: a display name may come with
    // the address ("Ann <a@x>"); only "<address>" goes on MAIL FROM and RCPT TO.
    std::string FromName;
    TStringList RcptName;
    std::string HeaderFrom, HeaderTo, HeaderCc, HeaderReplyTo, HeaderReturnPath, HeaderSubject, HeaderSender;
    std::string CharSet = "iso-8859-1";
    bool ReturnReceipt = false;         // NOTIFY on RCPT TO when the server offers DSN
    TStringList MessageLines;           // lines placed first in the body
    TStringList AttachedFiles;          // paths sent as attachments
    // Seconds of silence (or of a line not leaving the send queue) after which
    // the outstanding request fails with 10060; 0 or less: no limit. The reply
    // to the message's final "." is awaited at least FinalReplyFloor() seconds
    // (RFC 5321, 4.5.3.2: servers may scan a large message for minutes).
    int TimeOut = 15;

    // --- security and login ------------------------------------------------
    // With StartTls or TlsOnConnect nothing of a login or a message goes out
    // before TLS is up (12006 otherwise). StartTls: a server that does not
    // offer STARTTLS fails Ehlo with 12005; STARTTLS and the EHLO after it
    // belong to the Ehlo request. TlsOnConnect: the handshake belongs to
    // Connect. A failed handshake or certificate: 12001-12004.
    TSmtpSecurity Security = TSmtpSecurity::None;
    bool TlsVerify = true;   // off: any certificate, and one warning per connection
    std::string TlsCaFile;   // PEM file of extra trusted certificates
    // Shell commands whose first output line is the password, or an OAuth 2
    // access token; run (TCommandRunner) once per Auth that needs them. A
    // password command takes the place of Password. With a token command the
    // automatic choice takes only XOAUTH2 or OAUTHBEARER.
    std::string PasswordCommand;
    std::string TokenCommand;
    // Not empty: the commands may not be run, for this reason (a settings file
    // that is not the user's own); an Auth that needs one fails with 12013.
    std::string CommandRefusal;
    std::chrono::milliseconds CommandTimeLimit = TCommandRunner::DefaultTimeLimit;

    // 0 HTML, 1 plain text. Changing it sets ContentTypeText to "text/plain"
    // for 1 and "text/html" for any other value.
    int ContentType() const { return contentType_; }
    void SetContentType(int value);
    const std::string& ContentTypeText() const { return contentTypeText_; }

    // --- session and request state -----------------------------------------
    TSmtpState State() const { return state_; }
    bool IsConnected() const { return connected_; }
    bool EsmtpAccepted() const { return esmtpAccepted_; }
    bool DsnOffered() const { return capabilities_.Dsn; }
    // What the last EHLO reply offered; cleared by Connect and by every EHLO.
    const RSmtpCapabilities& Capabilities() const { return capabilities_; }
    TSmtpRequest RequestType() const { return requestType_; }
    std::int32_t RequestResult() const { return requestResult_; }
    std::int32_t ReplyCode() const { return replyCode_; }
    // The last complete reply line, or the synthetic reply made for a local failure.
    const std::string& LastReply() const { return lastReply_; }
    // The first failing reply kept; cleared only when a built-in sequence starts.
    const std::string& ErrorText() const { return errorText_; }
    TSmtpStep CurrentStep() const { return currentStep_; }
    // The connection runs over TLS.
    bool TlsActive() const;
    // The mechanism the last Auth chose (None before, or when it chose none).
    TSaslMechanism AuthMechanism() const { return mechanism_; }
    // The message's size in bytes as MAIL FROM announced it (RFC 1870), 0
    // when the server did not offer SIZE.
    std::uint64_t MessageSize() const { return messageSize_; }
    // Recipients refused during the last RcptTo, in order.
    const std::vector<TRefusedRecipient>& RefusedRecipients() const { return refused_; }
    // Set when an attachment could not be opened or read during the last
    // Data; the connection was then dropped before the final "." (so the
    // server discards the message) and Data failed with
    // PWE_ATTACHMENT_UNREADABLE, LastReply() naming the file and the reason.
    // Empty otherwise.
    const std::string& AttachmentError() const { return attachmentError_; }
    // Least time the reply to the final "." is awaited, in seconds.
    int FinalReplyFloor() const { return finalReplyFloor_; }

    TWSocket& Socket() { return socket_; }
    Handle WindowHandle() const { return window_; }

    // --- requests: each completes through OnRequestDone, except Abort -------
    // Lookup, connection and the 220 greeting. Lookup and connection failures
    // complete with the Winsock number; a final greeting other than 220 with
    // its code.
    virtual void Connect();
    virtual void Helo();
    // EHLO; success sets EsmtpAccepted.
    virtual void Ehlo();
    // The login AuthType names, or (Automatic) the one ChooseMechanism picks
    // from the EHLO reply; needs an accepted EHLO. Fetches the secret first
    // when it comes from a command. Lines that carry a secret are traced as
    // "****" (AUTH PLAIN ****). Failures made here: 500 (no EHLO, AuthType
    // 0), 12006, 12010 (no usable mechanism), 12011 (no secret), 12012 (the
    // command failed), 12013 (commands refused).
    virtual void Auth();
    virtual void Vrfy();
    // MAIL FROM; with SIZE offered it carries SIZE=<bytes>, and a message
    // above the server's limit fails at once with the synthetic reply "552
    // Message of N bytes exceeds the server's limit of M bytes".
    virtual void MailFrom();
    // One RCPT TO per RcptName entry, all of them sent. Completes with 0 when
    // at least one was accepted, else with the first refusal's code;
    // RefusedRecipients() lists the refusals.
    virtual void RcptTo();
    // DATA, the message, ".".
    virtual void Data();
    // Completes when the server closes the connection, at once when not connected.
    virtual void Quit();
    virtual void Rset();
    // Drops the connection; the outstanding request is not reported.
    virtual void Abort();
    // Sequences: Connect, Ehlo, Auth (AuthType != 0), or Connect, Ehlo (with
    // Security), or Connect, Helo; and MailFrom, RcptTo, Data. Reported as
    // "Open" and "Mail".
    virtual void Open();
    virtual void Mail();

    // --- events (sender first; an empty slot is skipped) -------------------
    std::function<void(TSmtpEngine&, TSmtpRequest, std::uint16_t error)> OnRequestDone;
    std::function<void(TSmtpEngine&, const std::string&)> OnTrace;        // "> " sent, "< " received
    // Before a command goes out; a line that carries a secret as the trace shows it.
    std::function<void(TSmtpEngine&, const std::string&)> OnCommandSent;
    std::function<void(TSmtpEngine&, const std::string&)> OnReplyLine;    // every complete reply line
    std::function<void(TSmtpEngine&)> OnSessionState;
    std::function<void(TSmtpEngine&, std::uint16_t error)> OnConnected;
    // A warning for the user's log, once per connection each: TLS without
    // certificate checks; a login chosen by number that shows its secret on a
    // connection without checked TLS.
    std::function<void(TSmtpEngine&, const std::string&)> OnWarning;
    std::function<void(TSmtpEngine&, std::uint16_t error)> OnDisconnected;
    // The next text body line (number from 1); set more = false to end the text.
    std::function<void(TSmtpEngine&, std::int32_t lineNo, std::string& line, std::int32_t maxLength, bool& more)>
        OnBodyLine;
    // A header line about to be sent; may be changed or extended (CR LF pairs
    // add header lines) within `size` bytes.
    std::function<void(TSmtpEngine&, std::string& line, int size)> OnHeaderField;
    // The header block is complete except for its closing empty line.
    std::function<void(TSmtpEngine&, TStringList& headers)> OnHeaderBuilt;
    std::function<void(TSmtpEngine&, std::int32_t index, std::string& fileName, std::string& mimeType)>
        OnAttachmentType;
    std::function<void(TSmtpEngine&, std::int32_t index, const std::string& fileName, TPendingLines& pending)>
        OnAttachmentHeader;
    // A message box the component shows (caption "SMTP error!!!"). Without a
    // handler the text goes to standard error as one line.
    std::function<void(TSmtpEngine&, const std::string& text, const std::string& caption)> OnMessageBox;

    void HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

    // Counts the bytes of the message as Data would send it (CR LF included,
    // dot-stuffing not), through the same line supply, without sending and
    // without reading the attachments (their Base64 size follows from their
    // file size). May dispatch messages through the body-line handler.
    virtual std::uint64_t MeasureMessage();

protected:
    // The owner is accepted and not used.
    explicit TSmtpEngine(MessageLoop& loop, void* owner = nullptr);

    using Continuation = void (TSmtpEngine::*)();

    // Raised inside the body supply when an attachment cannot be opened or read.
    class TAttachmentFailure : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // --- overridable steps ------------------------------------------------
    virtual void TriggerTrace(const std::string& text);
    virtual void TriggerCommandSent(const std::string& command);
    virtual void TriggerReplyLine(const std::string& line);
    virtual void FinishRequest(std::int32_t error);
    virtual void TriggerSessionState();
    // The next body line into `line` (at most maxLength characters); false
    // when the body has ended. May throw TAttachmentFailure.
    virtual bool NextBodyLine(std::int64_t lineNo, std::string& line, std::int32_t maxLength);
    // Whole body lines that go on the wire as they are (no dot to stuff, no
    // line break inside, no trace line of their own, such as an attachment's
    // Base64), written with their CR LF into out, at most room bytes; the
    // bytes written. 0: the next line comes through NextBodyLine. Asked only
    // between whole body lines while sending, never while measuring. The
    // engine alone: 0.
    virtual std::size_t NextBulkLines(char* out, std::size_t room);
    virtual void HeaderLineHook(std::string& line);
    virtual void TriggerHeaderBuilt(TStringList& headers);
    virtual void TriggerConnected(std::uint16_t error);
    virtual void TriggerDisconnected(std::uint16_t error);
    virtual void SendCommandLine(const std::string& command);
    virtual void OpenAttachmentFile(const std::string& path);
    // The next encoded line of the open file; false when it was the last one.
    virtual bool ReadEncodedLine(std::string& line);
    virtual void CloseAttachmentFile();
    virtual void TriggerAttachmentType(std::int32_t index, std::string& fileName, std::string& mimeType);
    virtual void TriggerAttachmentHeader(std::int32_t index, const std::string& fileName, TPendingLines& pending);
    // The charset label of the message's Content-Type and the
    // Content-Transfer-Encoding of the header block (empty: no such field).
    // The engine alone: CharSet, none.
    virtual void HeaderTextLabel(std::string& charSet, std::string& transferEncoding) const;
    // Asked by MailFrom when the server offers 8BITMIME: true when the message
    // will carry 8-bit text, so that MAIL FROM declares BODY=8BITMIME (RFC 6152).
    // May call into the application. The engine alone: false.
    virtual bool BodyNeedsEightBitMime();

    // --- engine helpers ---------------------------------------------------
    void SendRequest(TSmtpRequest type, const std::string& command, std::initializer_list<std::int32_t> codes,
                     Continuation next = nullptr);
    void ChangeState(TSmtpState s);
    void ShowReplyLine();
    void KeepFirstError();
    void ShowMessageBox(const std::string& text);
    void Warn(const std::string& text);
    // While MeasureMessage runs: the attachment layer counts instead of reading.
    bool Measuring() const { return measuring_; }
    void AddMeasuredBytes(std::uint64_t bytes) { measuredBulk_ += bytes; }
    // Completes a request that sent nothing (Auth, RcptTo refusals made locally).
    void CompleteAtOnce(TSmtpRequest type, std::int32_t error);
    // Makes `reply` the last reply, drops the connection and reports `error`.
    void FailRequest(std::int32_t error, const std::string& reply, bool graceful);
    void DropConnection(bool graceful);
    static std::string WinsockReply(int error);

    // A check that the object survived a call into the application.
    std::shared_ptr<bool> AliveToken() const { return alive_; }

    // Set by NextBodyLine for a line the trace leaves out (attachment data
    // that the MIME layer sums up in one trace line of its own).
    bool quietLine_ = false;
    // Seconds: see FinalReplyFloor().
    int finalReplyFloor_ = 600;
    // Tests shorten the wait for the final reply through this (tests/support).
    friend struct TEngineTestAccess;

    MessageLoop& loop_;
    TWSocket socket_;

private:
    // Socket events.
    void SocketLookupDone(std::uint16_t error);
    void SocketConnectDone(std::uint16_t error);
    void SocketDataReady(std::uint16_t error);
    void SocketClosed(std::uint16_t error);
    void SocketAllSent();

    // Reply handling.
    void HandleReply();
    void HandleLine(std::uint16_t dataError);

    // TLS (smtp/SmtpTls.cpp).
    void BeginTls();
    void TlsDone(std::uint16_t error);
    void StartTlsStep();
    void StartTlsReply();
    // HELO or EHLO once its argument is known; the machine's name may still
    // be on its way from the resolver (`mayWait`: wait for it, bounded).
    void SendGreeting(TSmtpRequest type, bool mayWait);
    void GreetingWaitTick();
    std::string LocalAddressLiteral() const;

    // Continuations, one named step each.
    void EhloCheck();
    void LoginStep1();
    void LoginStep2();
    void CramMd5Step();
    void OAuthStep();
    void NextRecipient();
    void NextRecipientAgain();
    void LastRecipientDone();
    void NoteRecipientReply();
    void DataPumpStart();
    void DataPump();

    // Sequences.
    void StartSequence(TSmtpRequest type, std::uint16_t steps);
    void ContinueSequence();
    void RunStep(TSmtpStep step);

    // Login (smtp/SmtpAuth.cpp).
    void FailAuth(std::int32_t code, const std::string& reply);
    // A step whose request failed or whose connection is gone: wipes the
    // secret, ends the request and gives true.
    bool AuthStepFailed();
    void SecretFetched(bool ok, std::string& secret, const std::string& failure);
    void StartMechanism();
    void StopSecretCommand();
    // A command whose line carries a secret: traced (and given to
    // OnCommandSent) as `shown`.
    void SendSecretRequest(TSmtpRequest type, const std::string& command, std::string_view shown,
                           std::initializer_list<std::int32_t> codes, Continuation next = nullptr);
    // TLS is up, or was not asked for; otherwise the request fails with 12006.
    bool RefuseUnprotected(TSmtpRequest type);
    bool CheckedTls() const;

    // Message.
    enum class TWireLine { Line, End, Failed, Gone };
    void BuildHeaderBlock();
    // The next line of the message into lineOut_ (CR LF included, dot-stuffed),
    // `shown` its length for the trace; End after the last line; Failed when
    // an attachment could not be read (attachmentError_ says why); Gone when
    // the object, the connection or the message went away meanwhile.
    TWireLine NextWireLine(std::size_t& shown);
    // One trace line per line of `line` (a folded header field is several);
    // false when the object or the connection went away meanwhile.
    bool TraceWireLine(std::string_view line);
    // Appends lineOut_ to the block; bulk lines where the supply has them.
    void GatherWireLine();
    bool GatherBulkLines();
    void SendWireBlock();
    // Ends the message without its final "." after an unreadable attachment.
    void FailUnreadableAttachment();
    // " SIZE=<bytes>" into `parameters`; false when the message is above the
    // server's limit (MailFrom then failed with 552) or went away meanwhile.
    bool SizeParameter(std::string& parameters);

    // Time-out.
    void ArmTimeout();
    void DisarmTimeout();
    void NoteProgress() { ++progress_; }
    void TimeoutTick();
    bool RequestOutstanding() const;
    unsigned TimeoutMs() const;


    Handle window_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    int contentType_ = 1;
    std::string contentTypeText_ = "text/plain";

    TSmtpState state_ = TSmtpState::Ready;
    bool connected_ = false;
    bool esmtpAccepted_ = false;
    RSmtpCapabilities capabilities_;
    int ehloLines_ = 0;  // lines of the current EHLO reply seen so far
    TSmtpRequest requestType_ = TSmtpRequest::Connect;
    std::int32_t requestResult_ = 0;
    std::int32_t replyCode_ = 0;
    std::string lastReply_;
    std::string errorText_;
    TReplyBuffer receive_;
    Continuation next_ = nullptr;        // FNext: the reply handler
    Continuation afterReply_ = nullptr;  // continuation after a final reply line
    std::int32_t acceptCodes_[17] = {};
    bool doneReported_ = true;
    bool awaitingQuitClose_ = false;
    std::uint64_t epoch_ = 0;  // changes whenever the connection is made or dropped

    // Sequences.
    std::uint16_t stepSet_ = 0;
    TSmtpStep currentStep_ = TSmtpStep::None;
    std::int32_t sequenceResult_ = 0;
    bool inSequence_ = false;
    Continuation sequenceNext_ = nullptr;

    // HELO/EHLO waiting for the machine's name.
    static constexpr unsigned GreetingWaitTickMs = 20;
    static constexpr unsigned GreetingWaitMs = 3000;
    bool greetingPending_ = false;
    TSmtpRequest greetingType_ = TSmtpRequest::Helo;
    unsigned greetingWaited_ = 0;

    // Recipients.
    std::int32_t rcptCursor_ = -1;
    std::int32_t rcptAccepted_ = 0;
    std::int32_t firstRefusal_ = 0;
    std::vector<TRefusedRecipient> refused_;

    // Message being sent.
    TStringList headers_;
    std::int32_t headerCursor_ = -1;
    std::int64_t lineCounter_ = 0;
    bool moreLines_ = false;
    TLineCutter cutter_;
    std::string lineOut_;    // the line as it goes on the wire
    // Lines gathered for one Send: a pump step hands the socket this much at
    // once, and the next step follows when the socket has taken it all.
    static constexpr std::size_t PumpBlockBytes = 64 * 1024;
    std::string wireBlock_;  // PumpBlockBytes at least once a message is sent
    std::size_t wireUsed_ = 0;
    // An attachment failed while its block was gathered: the lines before the
    // failure leave first, as they did one by one, then the message fails.
    bool failAfterBlock_ = false;
    std::string traceLine_;  // "> " + line, reused
    bool lineStuffed_ = false;  // lineOut_ got a dot in front
    std::string attachmentError_;

    // Message size (smtp/MessageSize.cpp).
    bool measuring_ = false;
    bool headersKept_ = false;  // headers_ were built by MeasureMessage for this message
    std::uint64_t measuredBulk_ = 0;
    std::uint64_t messageSize_ = 0;

    // Login.
    TSaslMechanism mechanism_ = TSaslMechanism::None;
    std::string secret_;         // the password or token while a login needs it
    std::string commandName_;    // "Password command" or "Token command"
    std::unique_ptr<TCommandRunner> runner_;
    bool secretPending_ = false; // a command runs; the time-out waits for it
    std::string shownCommand_;   // what the trace shows of the next command line

    // Time-out: the timer ticks four times per TimeOut; four ticks in a row
    // without progress (a new request, the connection made, a line sent) end
    // the request. Received bytes do not count: a reply must be whole in time.
    // A counter instead of a clock read keeps the line pump cheap.
    static constexpr int TicksPerTimeOut = 4;
    bool timerArmed_ = false;
    unsigned armedTickMs_ = 0;
    bool finalReply_ = false;  // the outstanding command is the message's final "."
    std::uint64_t progress_ = 0;
    std::uint64_t progressAtTick_ = 0;
    int quietTicks_ = 0;
};

}  // namespace pw
