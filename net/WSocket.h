// TWSocket: the event-driven, non-blocking TCP client socket the SMTP client
// runs on. Every event fires on the message loop's thread.
//
// Failures of operations are thrown as pw::Exception with the texts the user
// is shown (unless OnSocketError is assigned: then that event fires instead
// and the operation goes on as far as it can). Asynchronous outcomes arrive as
// events with Winsock error numbers (SocketErrors.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/SendBuffer.h"
#include "net/SocketErrors.h"
#include "net/Tls.h"
#include "platform/Error.h"
#include "platform/MessageLoop.h"

namespace pw {

// Messages of a socket's hidden window.
constexpr std::uint32_t MsgSocketEvent = MsgUser + 1;     // wParam socket, lParam bits | error << 16
constexpr std::uint32_t MsgNameLookupDone = MsgUser + 2;  // wParam request, lParam error << 16
constexpr std::uint32_t MsgAddrLookupDone = MsgUser + 3;  // not used
constexpr std::uint32_t MsgCloseLater = MsgUser + 4;
constexpr std::uint32_t MsgFreeLater = MsgUser + 5;  // not used: owners destroy their sockets
// The TLS layer's own messages; wParam is the layer's serial, so that none
// reaches a later connection.
constexpr std::uint32_t MsgTlsEvent = MsgUser + 7;  // lParam what | error << 16
constexpr std::uint32_t MsgTlsFlush = MsgUser + 8;  // lParam 1 when the loop is about to wait

// State values (the byte State() returns).
struct WSocketState {
    enum : std::uint8_t {
        Invalid = 0,
        Opened = 1,
        Bound = 2,
        Connecting = 3,
        Connected = 4,
        Accepting = 5,
        Listening = 6,
        Closed = 7
    };
};

// Flags of Options().
struct WSocketOption {
    enum : unsigned {
        NoDelay = 1,             // TCP_NODELAY on connect
        SingleReadPerEvent = 2,  // one OnDataReady per read readiness
    };
};

// A handle of the loop whose messages go to owner (the "hidden window" other
// components create for their own deferred work). 0 when none can be had.
Handle CreateHiddenWindow(MessageLoop& loop, MessageHandler* owner);
bool DestroyHiddenWindow(MessageLoop& loop, Handle window);

class TWSocket : public MessageHandler, private TTlsTransport {
public:
    explicit TWSocket(MessageLoop& loop);
    // Cancels a lookup and closes without OnClosed.
    ~TWSocket() override;
    TWSocket(const TWSocket&) = delete;
    TWSocket& operator=(const TWSocket&) = delete;

    // --- properties ----------------------------------------------------------
    // Setting the same text again is always accepted; a different text is
    // refused unless State() is Closed: "Cannot change Addr if not closed"
    // (Port, Proto likewise). The text is stored trimmed; an empty result
    // counts as not set. Every close forgets that Addr and Port were set.
    const std::string& Addr() const { return addr_; }
    void SetAddr(const std::string& text);
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& text);
    const std::string& Proto() const { return proto_; }
    void SetProto(const std::string& text);
    // Refused unless Closed: "Cannot change LocalAddr if not closed"; empty
    // means "0.0.0.0".
    const std::string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const std::string& text);
    const std::string& BindPort() const { return bindPort_; }
    void SetBindPort(const std::string& text) { bindPort_ = text; localPortResolved_ = false; }

    std::uint8_t State() const { return state_; }
    int LastErrorCode() const { return lastError_; }
    const std::string& LookupResult() const { return lookupResult_; }
    const std::vector<std::string>& LookupAddresses() const { return lookupAddresses_; }
    int ChunkSize() const { return chunkSize_; }
    void SetChunkSize(int size) { chunkSize_ = size; }
    unsigned Options() const { return options_; }
    void SetOptions(unsigned flags) { options_ = flags; }
    std::uint8_t LingerMode() const { return lingerMode_; }  // 0 off, 1 on, 2 platform default
    void SetLingerMode(std::uint8_t mode) { lingerMode_ = mode; }
    std::uint16_t LingerSeconds() const { return lingerSeconds_; }
    void SetLingerSeconds(std::uint16_t seconds) { lingerSeconds_ = seconds; }
    int BytesReceived() const { return bytesReceived_; }
    // True once everything handed to Send/QueueData has gone to the transport.
    bool AllSent() const { return allSent_; }
    const TSendQueue& SendQueue() const { return sendQueue_; }
    int SocketHandle() const { return socket_; }
    Handle WindowHandle() const { return window_; }
    MessageLoop& Loop() const { return loop_; }

    // Number of TWSocket objects alive in the process.
    static int LiveCount() { return liveCount_.load(); }

    // --- operations ----------------------------------------------------------
    // Resolves name to IPv4 addresses into LookupResult()/LookupAddresses();
    // OnLookupDone(error) reports the end. A dotted address completes inside
    // this call; a name completes later from the loop. A pending lookup is
    // cancelled silently first. Throws "DNS lookup: invalid host name." for
    // an empty name, "<name>: can't start DNS lookup, error #<code>".
    void DnsLookup(const std::string& name);
    // Cancels a pending lookup; no OnLookupDone follows.
    void CancelLookup();
    // Starts the connection to Addr:Port; OnConnectDone(error) reports the
    // outcome (after which a failed socket is closed). Throws the check texts
    // ("Connect: Socket already in use", "Connect: No Port Specified",
    // "Connect: No IP Address Specified", "Connect: No Protocol Specified"),
    // "connect: " + a resolver text, or a framed platform error.
    void Connect();
    // Reads up to length bytes: the count, 0 at end of stream, or -1 with
    // LastErrorCode() (10035 when nothing is waiting).
    int Receive(void* buffer, int length);
    // Queues length bytes and starts sending; returns length (0 for
    // length <= 0). OnAllSent never fires inside Send: it comes from the loop
    // once everything has gone out. Not connected: OnClosed(10057) if not
    // closed, then throws the framed 10057 text for "Send".
    int Send(const void* data, int length);
    int SendText(const std::string& text);
    // Appends to the send queue without sending.
    void QueueData(const void* data, int length);
    // Shuts down sending, closes and resets to defaults; no OnClosed.
    void Close();
    // Close() from the loop, after the current handler has returned.
    void CloseLater();
    // Cancels a lookup, drops queued data and closes at once (a reset for a
    // connected stream); no OnClosed.
    void Abort();

    // --- TLS (client side) ---------------------------------------------------
    // Starts TLS on a connected stream: the handshake runs from the loop, and
    // OnTlsDone reports its end, never inside this call. From then on the
    // events above carry plaintext: OnDataReady fires only when decrypted
    // bytes can be read, Receive returns them, Send takes plaintext, and
    // OnClosed(0) also follows the server's close notice, or its end of the
    // connection without one. Bytes that came before this call and were not
    // read are taken as the handshake's, never handed up. Close sends the
    // close notice when it can, without waiting. Throws "StartTls: socket
    // not connected" or "StartTls: TLS already started".
    void StartTls(const RTlsSettings& settings);
    // The handshake is done and TLS carries the data.
    bool TlsActive() const { return tlsPhase_ == TlsPhase::Open; }
    // The certificate checks were on and passed (false with Verify off).
    bool TlsVerified() const { return tlsVerified_; }
    // Which check failed and why, in plain words, after OnTlsDone reported a
    // failure (or the TLS connection broke); empty otherwise. Kept after
    // the socket closes, until the next Connect or StartTls.
    const std::string& TlsFailure() const { return tlsFailure_; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" while TLS is active, else empty.
    std::string TlsSummary() const { return tls_ ? tls_->Summary() : std::string(); }
    // 0, or PWE_TLS_HANDSHAKE, PWE_TLS_UNTRUSTED, PWE_TLS_EXPIRED,
    // PWE_TLS_NAME. After a failure the socket stays open for its owner
    // to close; nothing more is read from it.
    std::function<void(TWSocket&, std::uint16_t error)> OnTlsDone;

    // --- events (sender first; an empty function is skipped) --------------
    std::function<void(TWSocket&, std::uint8_t oldState, std::uint8_t newState)> OnChangeState;
    std::function<void(TWSocket&, std::uint16_t error)> OnConnectDone;
    std::function<void(TWSocket&, std::uint16_t error)> OnDataReady;
    std::function<void(TWSocket&, std::uint16_t error)> OnAllSent;
    std::function<void(TWSocket&, std::uint16_t error)> OnClosed;
    std::function<void(TWSocket&, std::uint16_t error)> OnLookupDone;
    std::function<void(TWSocket&, int count)> OnBytesSent;
    std::function<void(TWSocket&)> OnSocketError;
    // A pw::Exception escaped an event handler run from the loop; abort starts
    // true, and the socket is aborted when the handler leaves it true.
    std::function<void(TWSocket&, const Exception&, bool& abort)> OnHandlerException;

    void HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    void ResetToDefaults();
    void SetState(std::uint8_t state);
    void ReportError(const std::string& text);
    void RaiseSocketError(const std::string& op, int code);
    bool ApplyLinger();  // false when it reported an error
    void BindLocal();
    void Dispatch(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
    void SocketEvent(int fd, std::uint32_t bits, std::uint16_t error);
    void LookupDone(Handle request, std::uint16_t error);
    void ReceiveLoop(std::uint16_t error, unsigned options);
    void TryToSend();
    void SendQueued();
    void CloseProcedure(bool shutdownSends);

    // The TLS layer's transport: the socket's own descriptor through the loop.
    long TransportRecv(void* buffer, std::size_t length, int* error) override;
    long TransportSend(const void* data, std::size_t length, int* error) override;
    enum TlsWhat : std::uint16_t { TlsStartFailed = 1, TlsMoreInput = 2, TlsStreamEnded = 3 };
    void PostTlsEvent(TlsWhat what, int error);
    void TlsEvent(TlsWhat what, std::uint16_t error);
    void TlsHandshakeStep();
    void TlsReceiveLoop(std::uint16_t error, unsigned options);
    void TlsAskFlush();
    void ReportTlsDone(int error);

    MessageLoop& loop_;
    Handle window_ = 0;
    std::string addr_;
    std::string port_;
    std::string proto_ = "tcp";
    std::string localAddr_ = "0.0.0.0";
    std::string bindPort_ = "0";
    bool addrAssigned_ = false;
    bool portAssigned_ = false;
    bool protoAssigned_ = true;
    bool addrResolved_ = false;
    bool portResolved_ = false;
    bool protoResolved_ = false;
    bool localPortResolved_ = false;
    std::uint32_t remoteAddress_ = 0;  // network order
    std::uint16_t remotePort_ = 0;
    std::uint16_t localPort_ = 0;
    int protocol_ = 6;
    int socketType_ = 1;
    int socket_ = -1;
    std::uint8_t state_ = WSocketState::Closed;
    TSendQueue sendQueue_;
    int chunkSize_ = 1460;
    bool allSent_ = true;
    int lastError_ = 0;
    int bytesReceived_ = 0;
    bool closeReported_ = false;
    std::uint8_t lingerMode_ = 1;
    std::uint16_t lingerSeconds_ = 0;
    unsigned options_ = 0;
    Handle lookupRequest_ = 0;
    std::string lookupResult_;
    std::vector<std::string> lookupAddresses_;

    enum class TlsPhase : std::uint8_t { None, Handshaking, Open, Failed };
    std::unique_ptr<TTlsSession> tls_;
    std::shared_ptr<TTlsContext> tlsContext_;  // kept across connections
    TlsPhase tlsPhase_ = TlsPhase::None;
    std::uintptr_t tlsSerial_ = 0;
    bool tlsFlushAsked_ = false;
    bool tlsDoneReported_ = false;
    bool tlsVerified_ = false;
    std::string tlsFailure_;

    static std::atomic<int> liveCount_;
};

}  // namespace pw
