// The TLS client layer under TWSocket: one OpenSSL 3 connection that reads
// and writes its ciphertext through a non-blocking transport (the socket's
// message-loop Recv/Send) and never blocks. TWSocket drives it from its
// readiness events; nothing above the socket sees ciphertext.
//
// Bytes travel between the transport and OpenSSL through a BIO pair, so the
// layer reads from the transport only what OpenSSL can take and writes only
// what the transport accepts; the rest waits in the pair.
//
// Small writes are gathered into full records (up to 16 KiB of plaintext);
// the owner calls LoopTurn() when the message loop is about to poll or wait,
// and the gathered bytes leave then (see LoopTurn for the rule).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// OpenSSL's types, declared here so that users of the socket need not see
// its headers.
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace pw {

struct RTlsSettings {
    // Host as the user wrote it: sent as SNI when it is a name (never for an
    // IP address, RFC 6066 section 3), and the name (or address) the
    // server's certificate must be made out for.
    std::string HostName;
    // Check the chain against the system's trust store (plus CaFile) and the
    // name. Off: any certificate is accepted.
    bool Verify = true;
    // Optional PEM file of extra trusted certificates.
    std::string CaFile;
};

// The ciphertext side: the connected socket under the layer. Both return the
// byte count, or -1 with *error a Winsock number (10035: nothing now); Recv
// returns 0 at the end of the stream.
class TTlsTransport {
public:
    virtual long TransportRecv(void* buffer, std::size_t length, int* error) = 0;
    virtual long TransportSend(const void* data, std::size_t length, int* error) = 0;

protected:
    ~TTlsTransport() = default;
};

// An OpenSSL client context: protocol floor, options, the trust store and
// the checks for one pair of Verify and CaFile. Reading the system's trust
// store takes some 30 ms, so a socket keeps its context for the next
// connections made with the same settings.
class TTlsContext {
public:
    // Null, with the number and the reason, when it cannot be made (an
    // unreadable CaFile, say).
    static std::shared_ptr<TTlsContext> Create(const RTlsSettings& settings, int& code, std::string& failure);
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    bool Fits(const RTlsSettings& settings) const {
        return settings.Verify == verify_ && settings.CaFile == caFile_;
    }
    SSL_CTX* Get() const { return ctx_; }

private:
    TTlsContext() = default;
    SSL_CTX* ctx_ = nullptr;
    bool verify_ = true;
    std::string caFile_;
};

class TTlsSession {
public:
    // Plaintext gathered into one record at most.
    static constexpr std::size_t RecordSize = 16384;

    explicit TTlsSession(TTlsTransport& transport);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;
    friend class TTlsContext;  // installs VerifyCallback

    enum class Step { Pending, Done, Failed };

    // Sets up the client and sends its first handshake message. Failed when
    // that cannot be done (an unreadable CaFile, say), with FailureCode().
    // context is used when it fits the settings, else made anew and kept there.
    Step Start(const RTlsSettings& settings, std::shared_ptr<TTlsContext>& context);
    // Takes what arrived and moves the handshake on as far as it goes.
    Step ContinueHandshake();
    // After Failed: PWE_TLS_HANDSHAKE, _UNTRUSTED, _EXPIRED or _NAME, and
    // which check failed in plain words.
    int FailureCode() const { return failureCode_; }
    const std::string& Failure() const { return failure_; }
    // The handshake is done and its checks were on and passed.
    bool Verified() const { return verified_; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384"; empty before the handshake is done.
    std::string Summary() const;

    // --- after the handshake ------------------------------------------------
    enum class Input { Nothing, Data, Ended, Broken };
    // Takes what arrived and tells whether decrypted bytes can be read now.
    // Records that carry no data (TLS 1.3 session tickets) are consumed
    // here. Ended: the server closed the stream (a close notice, or the
    // connection's end without one, which counts as a normal close). Broken:
    // a protocol failure (Failure() says which).
    Input Poll();
    // Up to length decrypted bytes: the count, 0 at the end of the stream,
    // or -1 with *error (10035 when nothing can be read now, 10053 when the
    // stream broke).
    long Read(void* buffer, std::size_t length, int* error);

    // Takes up to length plaintext bytes into the record being gathered; a
    // full record is sealed and handed to the transport at once. Returns
    // the count taken, or -1 with *error: 10035 while sealed records wait
    // for the transport, or the transport's own failure.
    long Write(const void* data, std::size_t length, int* error);
    // Called when the loop is about to poll (waiting false) or to wait
    // (true). Gathered bytes leave when the loop waits, or at the second
    // poll they sit through; so a command that waits for its reply leaves
    // before the loop sleeps, while a stream of small writes fills whole
    // records between polls. Returns true while bytes are still gathered
    // (ask again).
    bool LoopTurn(bool waiting);
    // Seals what is gathered and pushes every sealed byte the transport takes.
    void Flush();
    // Hands the transport what still waits in the pair (after write readiness).
    void Push();
    // Sealed bytes that the transport has not taken yet, or a sealed record
    // that did not fit; plaintext gathered is not counted.
    bool Backlogged() const;
    bool Gathering() const { return gathered_ > 0; }
    // A failure of the transport seen while pushing or pulling (0 when none).
    int TransportError() const { return transportError_; }
    // The socket reported the connection lost (reset) by other means than
    // a read; the handshake then fails with that reason.
    void TransportFailed(int error);
    // The transport reported the end of the stream (or failed).
    bool TransportEnded() const { return endSeen_; }
    // Flush, then the close notice (RFC 8446 section 6.1), without waiting
    // for the server's.
    void Shutdown();

    // Records sealed so far (for measurements).
    std::uint64_t RecordsSealed() const { return recordsSealed_; }

private:
    Step Fail(int code, std::string text);
    Step HandshakeFailed();
    bool Pull();
    bool SealGathered();
    void NoteBroken();

    TTlsTransport& transport_;
    std::shared_ptr<TTlsContext> context_;
    SSL* ssl_ = nullptr;
    BIO* network_ = nullptr;  // our half of the pair; OpenSSL owns the other
    std::string hostName_;
    bool verify_ = true;
    bool handshakeDone_ = false;
    bool verified_ = false;
    bool endSeen_ = false;      // the transport reported the end of the stream
    int transportError_ = 0;
    bool firstByteSeen_ = false;
    unsigned char firstByte_ = 0;
    std::string plainStart_;    // the server's first bytes, in case they are not TLS
    int failureCode_ = 0;
    std::string failure_;
    char* gather_ = nullptr;    // RecordSize bytes
    std::size_t gathered_ = 0;
    bool sealPending_ = false;  // gather_ is being sealed and must stay as it is
    unsigned gatherAge_ = 0;    // loop polls the gathered bytes have sat through
    std::uint64_t recordsSealed_ = 0;

    // What the certificate check saw at its first failure.
    struct VerifyNote {
        bool failed = false;
        int error = 0;
        int depth = 0;
        std::string subject, issuer, notBefore, notAfter, names;
    };
    VerifyNote note_;
    static int VerifyCallback(int ok, X509_STORE_CTX* store);
    Step CertificateFailed();
};

}  // namespace pw
