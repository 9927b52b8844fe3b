#pragma once
// A TLS server for tests: OpenSSL's server side on 127.0.0.1 (port chosen by
// the system). It accepts one connection on its own thread and runs the
// test's script on it with blocking calls, each bounded by a time-out; the
// destructor stops the thread. What the script saw is read after Join().
//
//   TlsTestServer server(certs.Server);
//   server.Start([](TlsConnection& c) {
//       if (!c.Handshake()) return;
//       c.Write("220 ready\r\n");
//       c.ReadLine();
//   });
//   ... connect a client to server.Port() ...
//   server.Join();

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/TestCertificates.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace pw::test {

class TlsConnection {
public:
    TlsConnection(SSL_CTX* ctx, int fd);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // The server's side of the handshake. False when it failed; Error() says why.
    bool Handshake();
    // The name the client sent as SNI; empty when it sent none.
    std::string Sni() const { return sni_; }
    std::string Version() const;  // "TLSv1.3"
    // Decrypted bytes: up to n, to a line end, or to the client's close.
    std::string Read(std::size_t n);
    std::string ReadLine();
    std::string ReadToEnd();
    void Write(const std::string& bytes);
    // TLS 1.2 only: asks the client for a new handshake (a HelloRequest).
    void RequestRenegotiation();
    // The close notice (RFC 8446 section 6.1), without waiting for the client's.
    void SendCloseNotify();
    // The client's close notice arrived (ReadToEnd ended on it).
    bool CloseNotifyReceived() const { return closeNotify_; }
    // Records that carried protected data from the client (TLS 1.3: every
    // record after the client's hello), counted as they arrive.
    int RecordsReceived() const { return recordsIn_.load(); }
    const std::string& Error() const { return error_; }

    // The socket under TLS, for plain-text writes and abrupt ends.
    int Fd() const { return fd_; }
    void WriteRaw(const std::string& bytes);
    std::string ReadRaw(std::size_t n);  // up to n bytes or the first time-out
    // Ends the TCP connection without a close notice (SO_LINGER 0 when reset).
    void CloseTcp(bool reset = false);

    std::atomic<int> recordsIn_{0};

private:
    void NoteError(const std::string& where, int result);

    SSL* ssl_ = nullptr;
    int fd_ = -1;
    std::string sni_;
    std::string error_;
    bool closeNotify_ = false;
};

class TlsTestServer {
public:
    using Script = std::function<void(TlsConnection&)>;

    // Binds and listens at once, so Port() is valid before Start().
    explicit TlsTestServer(const TestKeyPair& identity,
                           std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    // The newest protocol version the server accepts (TLS1_1_VERSION and
    // older also lower its security level so that it can speak them).
    void SetMaxVersion(int version);
    // Accepts one connection and runs the script on it.
    void Start(Script script);
    // Waits for the script to end; false after `limit` (the thread is then
    // told to stop and joined by the destructor).
    bool Join(std::chrono::milliseconds limit = std::chrono::milliseconds(15000));
    // The connection the script runs on, once accepted (null before).
    TlsConnection* Connection() { return connection_.get(); }

private:
    SSL_CTX* ctx_ = nullptr;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::chrono::milliseconds timeout_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<int> activeFd_{-1};  // the accepted socket, for the destructor
    std::unique_ptr<TlsConnection> connection_;
};

}  // namespace pw::test
