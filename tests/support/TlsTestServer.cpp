#include "support/TlsTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

namespace pw::test {

namespace {

// Counts the client's records: OpenSSL shows every record header it reads.
void CountRecords(int writing, int, int contentType, const void* buf, std::size_t len, SSL* ssl, void*) {
    if (writing != 0 || contentType != SSL3_RT_HEADER || len < 1) return;
    if (static_cast<const unsigned char*>(buf)[0] != SSL3_RT_APPLICATION_DATA) return;
    auto* connection = static_cast<TlsConnection*>(SSL_get_app_data(ssl));
    if (connection != nullptr) connection->recordsIn_++;
}

}  // namespace

// ---------------------------------------------------------------- connection

TlsConnection::TlsConnection(SSL_CTX* ctx, int fd) : fd_(fd) {
    ssl_ = SSL_new(ctx);
    SSL_set_fd(ssl_, fd);
    SSL_set_app_data(ssl_, this);
}

TlsConnection::~TlsConnection() {
    SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
}

void TlsConnection::NoteError(const std::string& where, int result) {
    int e = SSL_get_error(ssl_, result);
    unsigned long code = ERR_get_error();
    char text[256] = "";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    if (error_.empty()) error_ = where + ": SSL error " + std::to_string(e) + " " + text;
    ERR_clear_error();
}

bool TlsConnection::Handshake() {
    int r = SSL_accept(ssl_);
    if (r != 1) {
        NoteError("handshake", r);
        return false;
    }
    const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
    sni_ = name != nullptr ? name : "";
    return true;
}

std::string TlsConnection::Version() const { return SSL_get_version(ssl_); }

std::string TlsConnection::Read(std::size_t n) {
    std::string got;
    char buffer[16384];
    while (got.size() < n) {
        std::size_t count = 0;
        int r = SSL_read_ex(ssl_, buffer, std::min(sizeof buffer, n - got.size()), &count);
        if (r != 1) {
            if (SSL_get_error(ssl_, r) == SSL_ERROR_ZERO_RETURN) closeNotify_ = true;
            else NoteError("read", r);
            break;
        }
        got.append(buffer, count);
    }
    return got;
}

std::string TlsConnection::ReadLine() {
    std::string line;
    while (line.empty() || line.back() != '\n') {
        std::string c = Read(1);
        if (c.empty()) break;
        line += c;
    }
    return line;
}

std::string TlsConnection::ReadToEnd() { return Read(SIZE_MAX); }

void TlsConnection::Write(const std::string& bytes) {
    std::size_t written = 0;
    if (!bytes.empty() && SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written) != 1) NoteError("write", 0);
}

void TlsConnection::RequestRenegotiation() {
    if (SSL_renegotiate(ssl_) != 1) NoteError("renegotiate", 0);
    int r = SSL_do_handshake(ssl_);
    if (r != 1) NoteError("hello request", r);
}

void TlsConnection::SendCloseNotify() { SSL_shutdown(ssl_); }

void TlsConnection::WriteRaw(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

std::string TlsConnection::ReadRaw(std::size_t n) {
    std::string got;
    char buffer[4096];
    while (got.size() < n) {
        long r = ::recv(fd_, buffer, std::min(sizeof buffer, n - got.size()), 0);
        if (r <= 0) break;
        got.append(buffer, static_cast<std::size_t>(r));
    }
    return got;
}

void TlsConnection::CloseTcp(bool reset) {
    if (fd_ < 0) return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd_);
    fd_ = -1;
    SSL_set_fd(ssl_, -1);
}

// ---------------------------------------------------------------- server

TlsTestServer::TlsTestServer(const TestKeyPair& identity, std::chrono::milliseconds timeout) : timeout_(timeout) {
    // OpenSSL writes to the socket with write(): a client that has gone must
    // not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ == nullptr || SSL_CTX_use_certificate_chain_file(ctx_, identity.Cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, identity.Key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("the test server cannot load " + identity.Cert);
    SSL_CTX_set_msg_callback(ctx_, &CountRecords);
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length) != 0 || ::listen(listen_, 4) != 0)
        throw std::runtime_error("the test server cannot listen on 127.0.0.1");
    port_ = ntohs(a.sin_port);
}

TlsTestServer::~TlsTestServer() {
    stop_ = true;
    int fd = activeFd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);  // ends blocked reads
    if (thread_.joinable()) thread_.join();
    connection_.reset();
    ::close(listen_);
    SSL_CTX_free(ctx_);
}

void TlsTestServer::SetMaxVersion(int version) {
    SSL_CTX_set_max_proto_version(ctx_, version);
    if (version < TLS1_2_VERSION) {
        SSL_CTX_set_security_level(ctx_, 0);
        SSL_CTX_set_min_proto_version(ctx_, TLS1_VERSION);
    }
}

void TlsTestServer::Start(Script script) {
    thread_ = std::thread([this, script = std::move(script)] {
        pollfd p{listen_, POLLIN, 0};
        auto end = std::chrono::steady_clock::now() + timeout_;
        while (!stop_ && std::chrono::steady_clock::now() < end && ::poll(&p, 1, 20) == 0) {
        }
        if (!stop_ && (p.revents & POLLIN) != 0) {
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                timeval tv{static_cast<time_t>(timeout_.count() / 1000),
                           static_cast<suseconds_t>(timeout_.count() % 1000 * 1000)};
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                connection_ = std::make_unique<TlsConnection>(ctx_, fd);
                activeFd_ = fd;
                script(*connection_);
                activeFd_ = -1;
            }
        }
        done_ = true;
    });
}

bool TlsTestServer::Join(std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done_ && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!done_) {
        stop_ = true;
        return false;
    }
    if (thread_.joinable()) thread_.join();
    return true;
}

}  // namespace pw::test
