#include "net/WSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "net/Resolve.h"

namespace pw {

std::atomic<int> TWSocket::liveCount_{0};

Handle CreateHiddenWindow(MessageLoop& loop, MessageHandler* owner) { return loop.CreateHandle(owner); }

bool DestroyHiddenWindow(MessageLoop& loop, Handle window) { return loop.DestroyHandle(window); }

namespace {

std::string FormatError(const char* format, int code) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, code);
    return buffer;
}

}  // namespace

TWSocket::TWSocket(MessageLoop& loop) : loop_(loop) {
    window_ = CreateHiddenWindow(loop_, this);
    if (window_ == 0) ReportError("Cannot create a hidden window for TWSocket");
    chunkSize_ = 1460;
    ResetToDefaults();
    liveCount_.fetch_add(1);
}

TWSocket::~TWSocket() {
    try {
        CancelLookup();
    } catch (...) {
    }
    if (state_ != WSocketState::Closed) {
        try {
            Close();
        } catch (...) {
        }
    }
    if (socket_ != -1) loop_.CloseSocket(socket_);  // whatever Close could not finish
    if (liveCount_.fetch_sub(1) <= 1) liveCount_.store(0);
    sendQueue_.DropQueuedData();
    DestroyHiddenWindow(loop_, window_);
}

void TWSocket::ResetToDefaults() {
    addrAssigned_ = false;
    portAssigned_ = false;
    addrResolved_ = false;
    portResolved_ = false;
    protoResolved_ = false;
    localPortResolved_ = false;
    protoAssigned_ = true;
    protocol_ = 6;
    proto_ = "tcp";
    socketType_ = 1;
    bindPort_ = "0";
    localAddr_ = "0.0.0.0";
    lingerMode_ = 1;
    lingerSeconds_ = 0;
    socket_ = -1;
    state_ = WSocketState::Closed;  // directly, without OnChangeState
    allSent_ = true;
    bytesReceived_ = 0;
    closeReported_ = false;
    tls_.reset();
    tlsPhase_ = TlsPhase::None;
    ++tlsSerial_;  // what the layer still has queued dies with it
    tlsFlushAsked_ = false;
    tlsVerified_ = false;
}

void TWSocket::SetState(std::uint8_t state) {
    std::uint8_t old = state_;
    state_ = state;
    if (OnChangeState) OnChangeState(*this, old, state);
}

void TWSocket::ReportError(const std::string& text) {
    if (OnSocketError) {
        OnSocketError(*this);
        return;
    }
    throw Exception(text);
}

void TWSocket::RaiseSocketError(const std::string& op, int code) {
    std::string text = SocketErrorMessage(code, op);
    if (code == WSAECONNRESET || code == WSAENOTCONN) {
        if (socket_ != -1) loop_.CloseSocket(socket_);
        socket_ = -1;
        if (state_ != WSocketState::Closed && OnClosed) OnClosed(*this, static_cast<std::uint16_t>(code));
        SetState(WSocketState::Closed);
    }
    lastError_ = code;
    ReportError(text);
}

// ---------------------------------------------------------------- properties

void TWSocket::SetAddr(const std::string& text) {
    if (addrAssigned_ && text == addr_) return;
    if (state_ != WSocketState::Closed) return ReportError("Cannot change Addr if not closed");
    addr_ = TrimBlanks(text);
    addrAssigned_ = !addr_.empty();
    addrResolved_ = false;
}

void TWSocket::SetPort(const std::string& text) {
    if (portAssigned_ && text == port_) return;
    if (state_ != WSocketState::Closed) return ReportError("Cannot change Port if not closed");
    port_ = TrimBlanks(text);
    portAssigned_ = !port_.empty();
    portResolved_ = false;
}

void TWSocket::SetProto(const std::string& text) {
    if (protoAssigned_ && text == proto_) return;
    if (state_ != WSocketState::Closed) return ReportError("Cannot change Proto if not closed");
    proto_ = TrimBlanks(text);
    protoAssigned_ = !proto_.empty();
    protoResolved_ = false;
}

void TWSocket::SetLocalAddr(const std::string& text) {
    if (state_ != WSocketState::Closed) return ReportError("Cannot change LocalAddr if not closed");
    localAddr_ = text.empty() ? "0.0.0.0" : text;
}

// ---------------------------------------------------------------- lookup

void TWSocket::DnsLookup(const std::string& name) {
    if (name.empty()) {
        ReportError("DNS lookup: invalid host name.");
        if (OnLookupDone) OnLookupDone(*this, WSAEINVAL);
        return;
    }
    if (lookupRequest_ != 0) {
        loop_.CancelAsyncRequest(lookupRequest_);
        lookupRequest_ = 0;
    }
    lookupResult_.clear();
    lookupAddresses_.clear();
    if (IsDottedAddress(name)) {
        in_addr_t a = ::inet_addr(TrimBlanks(name).c_str());
        if (a != INADDR_NONE) {
            lookupResult_ = DottedAddress(a);
            lookupAddresses_.push_back(lookupResult_);
            if (OnLookupDone) OnLookupDone(*this, 0);
            return;
        }
    }
    int error = 0;
    Handle request = loop_.AsyncGetHostByName(window_, MsgNameLookupDone, name, &error);
    if (request == 0) {
        std::vector<char> buffer(name.size() + 64);
        std::snprintf(buffer.data(), buffer.size(), "%s: can't start DNS lookup, error #%d", name.c_str(), error);
        return ReportError(buffer.data());
    }
    // The completion is always posted, never delivered inside the call, so
    // the request is known before it can arrive.
    lookupRequest_ = request;
}

void TWSocket::LookupDone(Handle request, std::uint16_t error) {
    // A completion for a request this socket no longer waits for (the loop
    // drops cancelled ones; this is the second line of defence).
    if (lookupRequest_ == 0 || request != lookupRequest_) return;
    lookupRequest_ = 0;
    if (error == 0) {
        std::vector<std::uint32_t> addresses;
        loop_.LookupAddresses(request, addresses);
        for (std::uint32_t a : addresses) lookupAddresses_.push_back(DottedAddress(a));
        if (!lookupAddresses_.empty()) lookupResult_ = lookupAddresses_.front();
    }
    if (OnLookupDone) OnLookupDone(*this, error);
}

void TWSocket::CancelLookup() {
    if (lookupRequest_ == 0) return;
    int r = loop_.CancelAsyncRequest(lookupRequest_);
    lookupRequest_ = 0;
    if (r != 0) RaiseSocketError("WSACancelAsyncRequest", r);
}

// ---------------------------------------------------------------- connect

void TWSocket::Connect() {
    if (socket_ != -1 && state_ != WSocketState::Closed) return ReportError("Connect: Socket already in use");
    if (!portAssigned_) return ReportError("Connect: No Port Specified");
    if (!addrAssigned_) return ReportError("Connect: No IP Address Specified");
    if (!protoAssigned_) return ReportError("Connect: No Protocol Specified");

    try {
        if (!protoResolved_) {
            protocol_ = WSocketResolveProto(proto_);
            socketType_ = protocol_ == 6 ? 1 : protocol_ == 17 ? 2 : 3;
            protoResolved_ = true;
        }
        if (!portResolved_) {
            remotePort_ = static_cast<std::uint16_t>(WSocketResolvePort(port_, proto_) & 0xffff);
            portResolved_ = true;
        }
        if (!localPortResolved_) {
            localPort_ = static_cast<std::uint16_t>(WSocketResolvePort(bindPort_, proto_) & 0xffff);
            localPortResolved_ = true;
        }
        if (!addrResolved_) {
            remoteAddress_ = WSocketResolveHost(addr_);
            addrResolved_ = true;
        }
    } catch (const Exception& e) {
        return ReportError(std::string("connect: ") + e.what());
    }

    sendQueue_.DropQueuedData();
    tlsFailure_.clear();

    // Only the stream path exists; datagram and raw sockets are refused
    // instead of half working.
    if (socketType_ != 1) return RaiseSocketError("Connect (socket)", WSAESOCKTNOSUPPORT);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol_);
    if (fd < 0) return RaiseSocketError("Connect (socket)", WinsockErrorFromErrno(errno));
    socket_ = fd;

    SetState(WSocketState::Opened);
    if (state_ != WSocketState::Opened)
        return RaiseSocketError("Connect (Invalid operation in OnChangeState)", WSAEINVAL);

    int on = 1;
    if (::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return RaiseSocketError("setsockopt(SO_REUSEADDR)", WinsockErrorFromErrno(errno));
    if ((options_ & WSocketOption::NoDelay) != 0 &&
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        return RaiseSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)", WinsockErrorFromErrno(errno));
    if (!ApplyLinger()) return;
    if (::setsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        return RaiseSocketError("setsockopt(SO_KEEPALIVE)", WinsockErrorFromErrno(errno));
    if (localPort_ != 0 || localAddr_ != "0.0.0.0") BindLocal();

    int r = loop_.AsyncSelect(socket_, window_, MsgSocketEvent, FdRead | FdWrite | FdAccept | FdConnect | FdClose);
    if (r != 0) return RaiseSocketError("WSAAsyncSelect", r);

    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(remotePort_);
    endpoint.sin_addr.s_addr = remoteAddress_;
    int error = 0;
    if (loop_.Connect(socket_, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint, &error) == 0 ||
        error == WSAEWOULDBLOCK) {
        SetState(WSocketState::Connecting);
        return;
    }
    lastError_ = error;
    RaiseSocketError("Connect", error);
}

bool TWSocket::ApplyLinger() {
    if (lingerMode_ == 2) return true;
    if (socket_ == -1) {
        ReportError("Cannot set linger option at this time");
        return false;
    }
    linger value{};
    value.l_onoff = lingerMode_;
    value.l_linger = lingerSeconds_;
    if (::setsockopt(socket_, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) {
        RaiseSocketError("setsockopt(SO_LINGER)", WinsockErrorFromErrno(errno));
        return false;
    }
    return true;
}

void TWSocket::BindLocal() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(localPort_);
    local.sin_addr.s_addr = WSocketResolveHost(localAddr_);
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return ReportError(FormatError("winsock.bind failed, error #%d", WinsockErrorFromErrno(errno)));
    socklen_t length = sizeof local;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return ReportError(FormatError("winsock.getsockname failed, error #%d", WinsockErrorFromErrno(errno)));
    localPort_ = ntohs(local.sin_port);
    bindPort_ = std::to_string(localPort_);
}

// ---------------------------------------------------------------- data

int TWSocket::Receive(void* buffer, int length) {
    if (length < 0) {
        lastError_ = WSAEINVAL;
        return -1;
    }
    int error = 0;
    long n = tls_ ? tls_->Read(buffer, static_cast<std::size_t>(length), &error)
                  : loop_.Recv(socket_, buffer, static_cast<std::size_t>(length), &error);
    if (n < 0) {
        lastError_ = error;
        return -1;
    }
    bytesReceived_ += static_cast<int>(n);
    return static_cast<int>(n);
}

void TWSocket::QueueData(const void* data, int length) { sendQueue_.QueueData(data, length, chunkSize_); }

int TWSocket::Send(const void* data, int length) {
    if (state_ != WSocketState::Connected) {
        RaiseSocketError("Send", WSAENOTCONN);
        return -1;
    }
    allSent_ = false;
    int result = 0;
    if (length > 0) {
        result = length;
        QueueData(data, length);
    }
    TryToSend();
    // OnAllSent comes from the loop, never from inside Send, so a handler
    // that sends again from OnAllSent does not recurse.
    // Posted through the loop so that it dies with this connection: a later
    // connection that gets the same descriptor number never sees it.
    if (allSent_ && socket_ != -1) loop_.PostSocketEvent(socket_, FdWrite);
    return result;
}

int TWSocket::SendText(const std::string& text) {
    if (text.empty()) return 0;
    return Send(text.data(), static_cast<int>(text.size()));
}

void TWSocket::TryToSend() {
    SendQueued();
    // What the TLS layer gathered leaves before the loop next waits.
    if (tls_ && tls_->Gathering()) TlsAskFlush();
}

void TWSocket::SendQueued() {
    if (socket_ == -1 || sendQueue_.Empty()) return;
    for (;;) {
        TSendChunk& chunk = sendQueue_.Front();
        int count = 0;
        const char* pending = chunk.Pending(count);
        if (count == 0) {
            if (sendQueue_.ChunkCount() == 1) {
                allSent_ = true;
                return;
            }
            sendQueue_.PopFront();
            continue;
        }
        int error = 0;
        long n = tls_ ? tls_->Write(pending, static_cast<std::size_t>(count), &error)
                      : loop_.Send(socket_, pending, static_cast<std::size_t>(count), &error);
        if (n == 0) return;
        if (n < 0) {
            switch (error) {
                case WSAECONNRESET:
                case WSAENOTSOCK:
                case WSAENOTCONN:
                case WSAEINVAL:
                case WSAECONNABORTED:
                    closeReported_ = true;
                    Close();
                    if (OnClosed) OnClosed(*this, static_cast<std::uint16_t>(error));
                    return;
                case WSAEWOULDBLOCK:
                    return;  // the next write readiness resumes
                default:
                    return RaiseSocketError("TryToSend failed", error);
            }
        }
        // Consumed before OnBytesSent, so a handler that drops the queue
        // (Abort) leaves nothing dangling here.
        chunk.Consume(static_cast<int>(n));
        if (OnBytesSent) {
            OnBytesSent(*this, static_cast<int>(n));
            if (socket_ == -1 || sendQueue_.Empty()) return;
        }
        if (n < count) return;
    }
}

// ---------------------------------------------------------------- closing

void TWSocket::CloseProcedure(bool shutdownSends) {
    if (socket_ == -1) {
        if (state_ != WSocketState::Closed) {
            SetState(WSocketState::Closed);
            ResetToDefaults();
        }
        return;
    }
    if (state_ == WSocketState::Closed) return;
    // The close notice goes out behind what was sent; nobody waits for the
    // server's.
    if (shutdownSends && tls_ && tlsPhase_ == TlsPhase::Open) tls_->Shutdown();
    if (shutdownSends) loop_.Shutdown(socket_, SHUT_WR);
    // Linux close never asks to be retried, so the Winsock "would block"
    // loop has nothing to wait for.
    int r = loop_.CloseSocket(socket_);
    if (r != 0) {
        lastError_ = r;
        socket_ = -1;
        if (r != WSANOTINITIALISED) return RaiseSocketError("Disconnect (closesocket)", r);
    }
    socket_ = -1;
    SetState(WSocketState::Closed);
    try {
        ResetToDefaults();
    } catch (...) {
    }
}

void TWSocket::Close() { CloseProcedure(true); }

void TWSocket::CloseLater() { loop_.PostMessage(window_, MsgCloseLater); }

void TWSocket::Abort() {
    CancelLookup();
    sendQueue_.DropQueuedData();
    if (state_ == WSocketState::Connected && protocol_ == 6) {
        lingerMode_ = 0;
        ApplyLinger();
    }
    CloseProcedure(false);
}

// ---------------------------------------------------------------- events

void TWSocket::HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
    try {
        Dispatch(msg, wParam, lParam);
    } catch (const Exception& e) {
        bool abort = true;
        if (OnHandlerException) {
            try {
                OnHandlerException(*this, e, abort);
            } catch (...) {
            }
        }
        if (abort) {
            try {
                Abort();
            } catch (...) {
            }
        }
    }
}

void TWSocket::Dispatch(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
    std::uint32_t low = static_cast<std::uint32_t>(lParam) & 0xffff;
    std::uint16_t high = static_cast<std::uint16_t>((static_cast<std::uint32_t>(lParam) >> 16) & 0xffff);
    switch (msg) {
        case MsgSocketEvent: SocketEvent(static_cast<int>(wParam), low, high); break;
        case MsgNameLookupDone: LookupDone(wParam, high); break;
        case MsgCloseLater: Close(); break;
        case MsgTlsEvent:
            if (tls_ && wParam == tlsSerial_) TlsEvent(static_cast<TlsWhat>(low), high);
            break;
        case MsgTlsFlush:
            if (tls_ && wParam == tlsSerial_) {
                tlsFlushAsked_ = false;
                if (tls_->LoopTurn(lParam != 0)) TlsAskFlush();
            }
            break;
        default: break;  // MsgFreeLater and the rest: nothing to do here
    }
}

void TWSocket::SocketEvent(int fd, std::uint32_t bits, std::uint16_t error) {
    if (fd != socket_ || fd == -1) return;
    if ((bits & FdConnect) != 0) {
        if (state_ != WSocketState::Connected) {
            SetState(WSocketState::Connected);
            if (OnConnectDone) OnConnectDone(*this, error);
            if (error != 0 && state_ != WSocketState::Closed) Close();
        }
    }
    // A handler above may have closed the socket; the rest of the bits
    // belonged to that connection.
    if (fd != socket_) return;
    if ((bits & FdRead) != 0) {
        if (state_ != WSocketState::Connected) {
            SetState(WSocketState::Connected);
            if (OnConnectDone) OnConnectDone(*this, error);
        }
        if (fd != socket_) return;
        if (!tls_)
            ReceiveLoop(error, options_);
        else if (tlsPhase_ == TlsPhase::Handshaking)
            TlsHandshakeStep();
        else if (tlsPhase_ == TlsPhase::Open)
            TlsReceiveLoop(error, options_);
        // After a failed handshake nothing more is read.
    }
    if (fd != socket_) return;
    if ((bits & FdWrite) != 0) {
        if (tls_) {
            tls_->Push();
            if (tlsPhase_ == TlsPhase::Handshaking) {
                TlsHandshakeStep();
                if (fd != socket_) return;
            }
        }
        TryToSend();
        if (allSent_ && OnAllSent && tlsPhase_ != TlsPhase::Handshaking) OnAllSent(*this, error);
    }
    if (fd != socket_) return;
    if ((bits & FdClose) != 0) {
        if (state_ == WSocketState::Connecting) return;
        const unsigned drain = options_ & ~static_cast<unsigned>(WSocketOption::SingleReadPerEvent);
        std::uint16_t closeError = error;
        if (!tls_) {
            ReceiveLoop(0, drain);
        } else {
            // A handshake cut short fails first, so its owner hears why. The
            // loop has read the reason of a reset already: hand it on.
            if (tlsPhase_ == TlsPhase::Handshaking) {
                if (error != 0) tls_->TransportFailed(error);
                TlsHandshakeStep();
            }
            if (tlsPhase_ == TlsPhase::Failed && !tlsDoneReported_) ReportTlsDone(tls_->FailureCode());
            if (fd != socket_) return;
            if (tlsPhase_ == TlsPhase::Open) TlsReceiveLoop(0, drain);
            if (fd != socket_) return;
            if (closeError == 0 && tls_ && tls_->FailureCode() != 0) closeError = WSAECONNABORTED;
        }
        if (!closeReported_) {
            closeReported_ = true;
            if (OnClosed) OnClosed(*this, closeError);
        }
        if (state_ != WSocketState::Closed) Close();
    }
}

void TWSocket::ReceiveLoop(std::uint16_t error, unsigned options) {
    for (;;) {
        lastError_ = 0;
        int before = bytesReceived_;
        bool discarded = false;
        try {
            if (OnDataReady) {
                OnDataReady(*this, error);
            } else {
                char scratch[1024];
                int e = 0;
                long n = loop_.Recv(socket_, scratch, sizeof scratch, &e);
                if (n < 0) {
                    lastError_ = e;
                    if (e == WSAEWOULDBLOCK) {
                        lastError_ = 0;
                        return;
                    }
                }
                discarded = n > 0;
            }
        } catch (const Exception&) {
            return;  // swallowed here: it reaches neither the guard nor OnHandlerException
        }
        // The handler started TLS: what waits now belongs to the handshake.
        if (tls_) return;
        if ((options & WSocketOption::SingleReadPerEvent) != 0) return;
        if (lastError_ != 0 || socket_ == -1) return;
        int waiting = 0;
        if (::ioctl(socket_, FIONREAD, &waiting) != 0) {
            lastError_ = WinsockErrorFromErrno(errno);
            return;
        }
        if (waiting == 0) return;
        // A handler that read nothing while bytes wait would spin here; the
        // bytes stay in the socket for its next turn.
        if (!discarded && bytesReceived_ == before) return;
    }
}

}  // namespace pw

namespace pw {

// ---------------------------------------------------------------- TLS

long TWSocket::TransportRecv(void* buffer, std::size_t length, int* error) {
    return loop_.Recv(socket_, buffer, length, error);
}

long TWSocket::TransportSend(const void* data, std::size_t length, int* error) {
    return loop_.Send(socket_, data, length, error);
}

void TWSocket::StartTls(const RTlsSettings& settings) {
    if (state_ != WSocketState::Connected || socket_ == -1) return ReportError("StartTls: socket not connected");
    if (tls_) return ReportError("StartTls: TLS already started");
    tlsFailure_.clear();
    tlsVerified_ = false;
    ++tlsSerial_;
    tls_ = std::make_unique<TTlsSession>(static_cast<TTlsTransport&>(*this));
    tlsPhase_ = TlsPhase::Handshaking;
    tlsDoneReported_ = false;
    if (tls_->Start(settings, tlsContext_) == TTlsSession::Step::Failed) {
        tlsPhase_ = TlsPhase::Failed;
        tlsFailure_ = tls_->Failure();
        PostTlsEvent(TlsStartFailed, tls_->FailureCode());
        return;
    }
    // The server's answer may be waiting already; look once from the loop.
    PostTlsEvent(TlsMoreInput, 0);
}

void TWSocket::PostTlsEvent(TlsWhat what, int error) {
    std::uint32_t l = static_cast<std::uint32_t>(what) | (static_cast<std::uint32_t>(error & 0xffff) << 16);
    loop_.PostMessage(window_, MsgTlsEvent, tlsSerial_, static_cast<std::intptr_t>(l));
}

void TWSocket::TlsEvent(TlsWhat what, std::uint16_t error) {
    switch (what) {
        case TlsStartFailed:
            if (!tlsDoneReported_) ReportTlsDone(error);
            break;
        case TlsMoreInput:
            if (tlsPhase_ == TlsPhase::Handshaking)
                TlsHandshakeStep();
            else if (tlsPhase_ == TlsPhase::Open)
                TlsReceiveLoop(0, options_);
            break;
        case TlsStreamEnded:
            if (!closeReported_) {
                closeReported_ = true;
                if (OnClosed) OnClosed(*this, error);
            }
            if (state_ != WSocketState::Closed) Close();
            break;
    }
}

void TWSocket::TlsHandshakeStep() {
    TTlsSession::Step step = tls_->ContinueHandshake();
    if (step == TTlsSession::Step::Pending) return;
    if (step == TTlsSession::Step::Failed) {
        tlsPhase_ = TlsPhase::Failed;
        tlsFailure_ = tls_->Failure();
        ReportTlsDone(tls_->FailureCode());
        return;
    }
    tlsPhase_ = TlsPhase::Open;
    tlsVerified_ = tls_->Verified();
    const std::uintptr_t serial = tlsSerial_;
    // Data may have come with the handshake's last flight.
    PostTlsEvent(TlsMoreInput, 0);
    ReportTlsDone(0);
    if (serial != tlsSerial_ || socket_ == -1) return;
    // What was sent while the handshake ran goes out now; OnAllSent follows.
    if (!sendQueue_.Empty() && !allSent_) {
        TryToSend();
        if (allSent_ && socket_ != -1) loop_.PostSocketEvent(socket_, FdWrite);
    }
}

// The TLS counterpart of ReceiveLoop: OnDataReady only while decrypted bytes
// can be read. The descriptor may be empty while OpenSSL still holds bytes,
// so the next turn is posted here instead of waiting for readiness.
void TWSocket::TlsReceiveLoop(std::uint16_t error, unsigned options) {
    const std::uintptr_t serial = tlsSerial_;
    for (;;) {
        TTlsSession::Input input = tls_->Poll();
        if (input == TTlsSession::Input::Nothing) return;
        if (input != TTlsSession::Input::Data) {
            if (input == TTlsSession::Input::Broken) tlsFailure_ = tls_->Failure();
            // The end of the connection itself comes as FdClose from the loop;
            // a close notice (or a broken stream) on a connection still open
            // is reported from here.
            if (!tls_->TransportEnded())
                PostTlsEvent(TlsStreamEnded, input == TTlsSession::Input::Broken ? WSAECONNABORTED : 0);
            return;
        }
        lastError_ = 0;
        int before = bytesReceived_;
        try {
            if (OnDataReady) {
                OnDataReady(*this, error);
            } else {
                char scratch[1024];
                int e = 0;
                if (tls_->Read(scratch, sizeof scratch, &e) <= 0) return;
                continue;
            }
        } catch (const Exception&) {
            return;  // swallowed, as in ReceiveLoop
        }
        if (serial != tlsSerial_ || !tls_ || socket_ == -1) return;
        if ((options & WSocketOption::SingleReadPerEvent) != 0) {
            PostTlsEvent(TlsMoreInput, 0);
            return;
        }
        if (lastError_ != 0 && lastError_ != WSAEWOULDBLOCK) return;
        // A handler that read nothing keeps the bytes for its next turn.
        if (bytesReceived_ == before) return;
    }
}

void TWSocket::ReportTlsDone(int error) {
    tlsDoneReported_ = true;
    if (OnTlsDone) OnTlsDone(*this, static_cast<std::uint16_t>(error));
}

void TWSocket::TlsAskFlush() {
    if (tlsFlushAsked_ || !tls_) return;
    if (loop_.CallBeforeWait(window_, MsgTlsFlush, tlsSerial_))
        tlsFlushAsked_ = true;
    else
        tls_->Flush();  // no dispatch is running: nobody would come round
}

}  // namespace pw
