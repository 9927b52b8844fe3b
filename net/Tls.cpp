#include "net/Tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

#include "net/SocketErrors.h"
#include "net/TlsCertificate.h"

namespace pw {

namespace {

// Each half of the BIO pair holds two full records: enough for a record
// sealed while the previous one still waits for the transport.
constexpr std::size_t PairSize = 2 * (16384 + 512);

// The last error OpenSSL queued for this thread, in its own words.
std::string OpenSslReason(unsigned long* code = nullptr) {
    unsigned long e = ERR_peek_last_error();
    if (code != nullptr) *code = e;
    ERR_clear_error();
    if (e == 0) return "no reason given";
    const char* reason = ERR_reason_error_string(e);
    if (reason != nullptr) return reason;
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// Record types a TLS server may open with (RFC 8446 section 5.1): change
// cipher spec, alert, handshake, application data.
bool StartsLikeTls(unsigned char b) { return b >= 20 && b <= 23; }

}  // namespace

// ---------------------------------------------------------------- context

std::shared_ptr<TTlsContext> TTlsContext::Create(const RTlsSettings& settings, int& code, std::string& failure) {
    ERR_clear_error();
    std::shared_ptr<TTlsContext> c(new TTlsContext);
    c->verify_ = settings.Verify;
    c->caFile_ = settings.CaFile;
    c->ctx_ = SSL_CTX_new(TLS_client_method());
    if (c->ctx_ == nullptr) {
        code = PWE_TLS_HANDSHAKE;
        failure = "TLS cannot be set up: " + OpenSslReason();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(c->ctx_, TLS1_2_VERSION);
    // A server's end of the connection without a close notice is a normal
    // end here: SMTP says itself where its dialogue ends.
    SSL_CTX_set_options(c->ctx_, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (!settings.Verify) {
        SSL_CTX_set_verify(c->ctx_, SSL_VERIFY_NONE, nullptr);
        return c;
    }
    SSL_CTX_set_default_verify_paths(c->ctx_);
    if (!settings.CaFile.empty() && SSL_CTX_load_verify_locations(c->ctx_, settings.CaFile.c_str(), nullptr) != 1) {
        code = PWE_TLS_UNTRUSTED;
        failure = "the file of trusted certificates " + PrintableText(settings.CaFile) + " cannot be read (" +
                  OpenSslReason() + ")";
        return nullptr;
    }
    SSL_CTX_set_verify(c->ctx_, SSL_VERIFY_PEER, &TTlsSession::VerifyCallback);
    return c;
}

TTlsContext::~TTlsContext() {
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

// ---------------------------------------------------------------- session

TTlsSession::TTlsSession(TTlsTransport& transport) : transport_(transport) {}

TTlsSession::~TTlsSession() {
    if (ssl_ != nullptr) SSL_free(ssl_);  // frees the inner half of the pair
    if (network_ != nullptr) BIO_free(network_);
    delete[] gather_;
}

TTlsSession::Step TTlsSession::Fail(int code, std::string text) {
    failureCode_ = code;
    failure_ = std::move(text);
    return Step::Failed;
}

// ---------------------------------------------------------------- handshake

TTlsSession::Step TTlsSession::Start(const RTlsSettings& settings, std::shared_ptr<TTlsContext>& context) {
    ERR_clear_error();
    hostName_ = settings.HostName;
    verify_ = settings.Verify;
    if (verify_ && hostName_.empty())
        return Fail(PWE_TLS_NAME, "there is no host name to check the certificate against");
    if (!context || !context->Fits(settings)) {
        int code = 0;
        std::string failure;
        context = TTlsContext::Create(settings, code, failure);
        if (!context) return Fail(code, failure);
    }
    context_ = context;

    ssl_ = SSL_new(context_->Get());
    if (ssl_ == nullptr) return Fail(PWE_TLS_HANDSHAKE, "TLS cannot be set up: " + OpenSslReason());
    SSL_set_app_data(ssl_, this);
    const bool address = IsAddressLiteral(hostName_);
    // RFC 6066 section 3: no SNI for an address.
    if (!address && !hostName_.empty() && SSL_set_tlsext_host_name(ssl_, hostName_.c_str()) != 1)
        return Fail(PWE_TLS_HANDSHAKE, "the host name " + PrintableText(hostName_) + " cannot be sent (" +
                                           OpenSslReason() + ")");
    if (verify_) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
        int ok;
        if (address) {
            ok = X509_VERIFY_PARAM_set1_ip_asc(param, hostName_.c_str());
        } else {
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            ok = X509_VERIFY_PARAM_set1_host(param, hostName_.c_str(), hostName_.size());
        }
        if (ok != 1) return Fail(PWE_TLS_NAME, "the host name " + PrintableText(hostName_) + " cannot be checked");
    }

    BIO* inner = nullptr;
    if (BIO_new_bio_pair(&inner, PairSize, &network_, PairSize) != 1)
        return Fail(PWE_TLS_HANDSHAKE, "TLS cannot be set up: " + OpenSslReason());
    SSL_set_bio(ssl_, inner, inner);
    SSL_set_connect_state(ssl_);
    gather_ = new char[RecordSize];
    // The client's hello goes out now; what comes back is read from the loop.
    ERR_clear_error();
    int r = SSL_do_handshake(ssl_);
    Push();
    if (r != 1 && SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) return HandshakeFailed();
    return Step::Pending;
}

TTlsSession::Step TTlsSession::ContinueHandshake() {
    if (handshakeDone_) return Step::Done;
    if (failureCode_ != 0) return Step::Failed;
    for (;;) {
        ERR_clear_error();
        int r = SSL_do_handshake(ssl_);
        Push();
        if (r == 1) {
            handshakeDone_ = true;
            verified_ = verify_ && SSL_get_verify_result(ssl_) == X509_V_OK;
            return Step::Done;
        }
        int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_WANT_READ) {
            if (Pull()) continue;
            return Step::Pending;
        }
        if (e == SSL_ERROR_WANT_WRITE && transportError_ == 0) return Step::Pending;  // write readiness resumes
        return HandshakeFailed();
    }
}

int TTlsSession::VerifyCallback(int ok, X509_STORE_CTX* store) {
    if (ok == 1) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl != nullptr ? static_cast<TTlsSession*>(SSL_get_app_data(ssl)) : nullptr;
    if (self == nullptr || self->note_.failed) return 0;
    VerifyNote& note = self->note_;
    note.failed = true;
    note.error = X509_STORE_CTX_get_error(store);
    note.depth = X509_STORE_CTX_get_error_depth(store);
    if (X509* cert = X509_STORE_CTX_get_current_cert(store)) {
        note.subject = CertificateNameText(X509_get_subject_name(cert));
        note.issuer = CertificateNameText(X509_get_issuer_name(cert));
        note.notBefore = CertificateTimeText(X509_get0_notBefore(cert));
        note.notAfter = CertificateTimeText(X509_get0_notAfter(cert));
        note.names = CertificateHostNames(cert);
    }
    return 0;  // the handshake stops with the first failed check
}

TTlsSession::Step TTlsSession::CertificateFailed() {
    const VerifyNote& n = note_;
    // A failure above the server's own certificate says whose it is.
    const std::string whose = n.depth > 0 ? " in the chain, for " + n.subject : "";
    switch (n.error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return Fail(PWE_TLS_EXPIRED, "certificate has expired (notAfter " + n.notAfter + ")" + whose);
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return Fail(PWE_TLS_EXPIRED, "certificate is not yet valid (notBefore " + n.notBefore + ")" + whose);
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return Fail(PWE_TLS_NAME, "it is made out for " + n.names + ", not " + PrintableText(hostName_));
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
            return Fail(PWE_TLS_UNTRUSTED, "self-signed certificate (" + n.subject + ") that is not trusted here");
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return Fail(PWE_TLS_UNTRUSTED, "self-signed certificate in the chain (" + n.subject + ") that is not trusted here");
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return Fail(PWE_TLS_UNTRUSTED, "unknown issuer (" + n.issuer + ")" + whose);
        default:
            return Fail(PWE_TLS_UNTRUSTED, std::string(X509_verify_cert_error_string(n.error)) + " (" + n.subject + ")");
    }
}

TTlsSession::Step TTlsSession::HandshakeFailed() {
    unsigned long code = 0;
    std::string reason = OpenSslReason(&code);
    if (note_.failed) return CertificateFailed();
    if (firstByteSeen_ && !StartsLikeTls(firstByte_)) {
        std::string line = plainStart_.substr(0, plainStart_.find_first_of("\r\n"));
        return Fail(PWE_TLS_HANDSHAKE, "the server answered in plain text (\"" + PrintableText(line, 60) + "\")");
    }
    if (transportError_ != 0)
        return Fail(PWE_TLS_HANDSHAKE,
                    "the connection was lost during the handshake (" + SocketErrorText(transportError_) + ")");
    if (endSeen_) return Fail(PWE_TLS_HANDSHAKE, "the server closed the connection during the handshake");
    int why = ERR_GET_REASON(code);
    if (why == SSL_R_UNSUPPORTED_PROTOCOL || why == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION)
        return Fail(PWE_TLS_HANDSHAKE, "the server does not speak TLS 1.2 or newer (" + reason + ")");
    // Reasons from SSL_AD_REASON_OFFSET on are alerts the server sent.
    if (why >= SSL_AD_REASON_OFFSET)
        return Fail(PWE_TLS_HANDSHAKE, "the server refused the handshake (" + reason + ")");
    return Fail(PWE_TLS_HANDSHAKE, "the handshake failed (" + reason + ")");
}

std::string TTlsSession::Summary() const {
    if (!handshakeDone_ || ssl_ == nullptr) return "";
    return std::string(SSL_get_version(ssl_)) + " " + SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_));
}

// ---------------------------------------------------------------- transport

// Takes from the transport what the pair has room for. True when something
// came (bytes, or the end of the stream, or a failure to report).
bool TTlsSession::Pull() {
    bool got = false;
    while (!endSeen_ && transportError_ == 0) {
        char* space = nullptr;
        int room = BIO_nwrite0(network_, &space);
        if (room <= 0) break;
        int error = 0;
        long n = transport_.TransportRecv(space, static_cast<std::size_t>(room), &error);
        if (n > 0) {
            if (!handshakeDone_ && plainStart_.size() < 64) {
                if (!firstByteSeen_) {
                    firstByteSeen_ = true;
                    firstByte_ = static_cast<unsigned char>(space[0]);
                }
                plainStart_.append(space, std::min<std::size_t>(static_cast<std::size_t>(n), 64));
            }
            BIO_nwrite(network_, &space, static_cast<int>(n));
            got = true;
            if (n < room) break;  // the transport has nothing more now
            continue;
        }
        if (n < 0 && error == WSAEWOULDBLOCK) break;
        if (n < 0) transportError_ = error;
        endSeen_ = true;
        BIO_shutdown_wr(network_);  // OpenSSL reads the end after what is left
        got = true;
    }
    return got;
}

void TTlsSession::Push() {
    while (network_ != nullptr && transportError_ == 0) {
        char* data = nullptr;
        int available = BIO_nread0(network_, &data);
        if (available <= 0) return;
        int error = 0;
        long n = transport_.TransportSend(data, static_cast<std::size_t>(available), &error);
        if (n > 0) BIO_nread(network_, &data, static_cast<int>(n));
        if (n < 0 && error != WSAEWOULDBLOCK) transportError_ = error;
        if (n < available) return;  // the transport is full: its write readiness resumes
    }
}

void TTlsSession::TransportFailed(int error) {
    if (transportError_ == 0) transportError_ = error;
    if (!endSeen_ && network_ != nullptr) {
        endSeen_ = true;
        BIO_shutdown_wr(network_);
    }
}

bool TTlsSession::Backlogged() const {
    return sealPending_ || (network_ != nullptr && BIO_ctrl_pending(network_) > 0);
}

// ---------------------------------------------------------------- reading

void TTlsSession::NoteBroken() {
    if (failureCode_ != 0) return;
    failureCode_ = PWE_TLS_HANDSHAKE;
    failure_ = "the TLS connection broke (" + OpenSslReason() + ")";
}

TTlsSession::Input TTlsSession::Poll() {
    if (!handshakeDone_) return Input::Nothing;
    if (failureCode_ != 0) return Input::Broken;
    for (;;) {
        ERR_clear_error();
        unsigned char byte = 0;
        std::size_t n = 0;
        int r = SSL_peek_ex(ssl_, &byte, 1, &n);
        Push();
        if (r == 1) return Input::Data;
        int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_WANT_READ) {
            if (Pull()) continue;
            return Input::Nothing;
        }
        if (e == SSL_ERROR_ZERO_RETURN) return Input::Ended;
        if (e == SSL_ERROR_WANT_WRITE) return Input::Nothing;
        NoteBroken();
        return Input::Broken;
    }
}

long TTlsSession::Read(void* buffer, std::size_t length, int* error) {
    if (!handshakeDone_) {
        *error = WSAEWOULDBLOCK;
        return -1;
    }
    if (failureCode_ != 0) {
        *error = WSAECONNABORTED;
        return -1;
    }
    if (length == 0) return 0;
    for (;;) {
        ERR_clear_error();
        std::size_t n = 0;
        int r = SSL_read_ex(ssl_, buffer, length, &n);
        Push();
        if (r == 1) return static_cast<long>(n);
        int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_WANT_READ) {
            if (Pull()) continue;
            *error = WSAEWOULDBLOCK;
            return -1;
        }
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        if (e == SSL_ERROR_WANT_WRITE) {
            *error = WSAEWOULDBLOCK;
            return -1;
        }
        NoteBroken();
        *error = WSAECONNABORTED;
        return -1;
    }
}

// ---------------------------------------------------------------- writing

// Seals the gathered bytes into one record. False while it does not fit into
// the pair: then the same bytes are offered again later, as SSL_write asks.
bool TTlsSession::SealGathered() {
    if (gathered_ == 0) return true;
    for (int attempt = 0; attempt < 2; ++attempt) {
        ERR_clear_error();
        std::size_t written = 0;
        int r = SSL_write_ex(ssl_, gather_, gathered_, &written);
        if (r == 1) {
            gathered_ = 0;
            gatherAge_ = 0;
            sealPending_ = false;
            ++recordsSealed_;
            Push();
            return true;
        }
        int e = SSL_get_error(ssl_, r);
        if (e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) {
            NoteBroken();
            sealPending_ = false;
            return false;
        }
        sealPending_ = true;
        Push();  // make room, then try once more
        if (transportError_ != 0) return false;
    }
    return false;
}

long TTlsSession::Write(const void* data, std::size_t length, int* error) {
    if (!handshakeDone_) {
        *error = WSAEWOULDBLOCK;
        return -1;
    }
    if (failureCode_ != 0 || transportError_ != 0) {
        *error = transportError_ != 0 ? transportError_ : WSAECONNABORTED;
        return -1;
    }
    const char* bytes = static_cast<const char*>(data);
    std::size_t taken = 0;
    while (taken < length) {
        if (sealPending_ && !SealGathered()) break;
        std::size_t take = std::min(length - taken, RecordSize - gathered_);
        std::memcpy(gather_ + gathered_, bytes + taken, take);
        gathered_ += take;
        taken += take;
        // A record that does not fit yet still counts as taken.
        if (gathered_ == RecordSize && !SealGathered()) break;
    }
    if (taken > 0) return static_cast<long>(taken);
    *error = transportError_ != 0 ? transportError_ : failureCode_ != 0 ? WSAECONNABORTED : WSAEWOULDBLOCK;
    return -1;
}

bool TTlsSession::LoopTurn(bool waiting) {
    if (!handshakeDone_ || failureCode_ != 0) return false;
    if (gathered_ == 0) {
        Push();
        return false;
    }
    if (!waiting && gatherAge_ == 0) {
        gatherAge_ = 1;
        return true;
    }
    Flush();
    return gathered_ > 0;
}

void TTlsSession::Flush() {
    if (!handshakeDone_ || failureCode_ != 0) return;
    SealGathered();
    Push();
}

void TTlsSession::Shutdown() {
    if (!handshakeDone_ || failureCode_ != 0 || transportError_ != 0) return;
    Flush();
    ERR_clear_error();
    SSL_shutdown(ssl_);
    Push();
    ERR_clear_error();
}

}  // namespace pw
