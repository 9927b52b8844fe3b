// Throughput of TWSocket with TLS on the message loop, over loopback to an
// OpenSSL reader thread: the SMTP line pump (one 62-byte Base64 line per
// OnAllSent) and bulk streaming, with the records the reader counted. The
// reader's certificate is made in memory for the run; the client does not
// check it (checks cost once per connection, not per byte).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "net/WSocket.h"
#include "tests/support/LoopbackSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

// A TLS server that accepts one connection, reads `expected` bytes and closes.
class TlsReader {
public:
    explicit TlsReader(std::uint64_t expected) : expected_(expected) {
        ctx_ = SSL_CTX_new(TLS_server_method());
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, name);
        X509_sign(cert, key, EVP_sha256());
        SSL_CTX_use_certificate(ctx_, cert);
        SSL_CTX_use_PrivateKey(ctx_, key);
        X509_free(cert);
        EVP_PKEY_free(key);
        SSL_CTX_set_msg_callback(ctx_, &CountRecord);
        SSL_CTX_set_msg_callback_arg(ctx_, this);

        listen_ = pw::test::ListenOnLoopback(port_, 1);
        thread_ = std::thread([this] { Run(); });
    }
    ~TlsReader() {
        thread_.join();
        ::close(listen_);
        SSL_CTX_free(ctx_);
    }
    std::string Port() const { return std::to_string(port_); }
    std::uint64_t Received() const { return received_.load(); }
    std::uint64_t Records() const { return records_.load(); }

private:
    static void CountRecord(int writing, int, int type, const void* buf, std::size_t len, SSL*, void* arg) {
        if (writing == 0 && type == SSL3_RT_HEADER && len >= 1 &&
            static_cast<const unsigned char*>(buf)[0] == SSL3_RT_APPLICATION_DATA)
            static_cast<TlsReader*>(arg)->records_++;
    }
    void Run() {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return;
        int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        timeval tv{30, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        SSL* ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, fd);
        std::uint64_t total = 0;
        if (SSL_accept(ssl) == 1) {
            static char buffer[1 << 16];
            while (total < expected_) {
                std::size_t n = 0;
                if (SSL_read_ex(ssl, buffer, sizeof buffer, &n) != 1) break;
                total += n;
            }
        }
        received_ = total;
        SSL_free(ssl);
        ::close(fd);
    }

    std::uint64_t expected_;
    SSL_CTX* ctx_ = nullptr;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> records_{0};
    std::thread thread_;
};

struct Outcome {
    double seconds = 0;
    std::uint64_t received = 0;
    std::uint64_t records = 0;
    std::uint64_t kernelSends = 0;
    bool ok = false;
};

// Connects with TLS, then calls feed from every OnAllSent until it returns
// false; ends when the reader closes. The time runs from the handshake's end.
template <typename Feed>
Outcome Stream(std::uint64_t total, Feed feed) {
    Outcome out;
    pw::MessageLoop loop;
    TlsReader reader(total);
    pw::TWSocket socket(loop);
    bool done = false;
    Clock::time_point start;
    auto next = [&](pw::TWSocket& s) {
        if (!done && !feed(s)) done = true;
    };
    socket.OnConnectDone = [&](pw::TWSocket& s, std::uint16_t error) {
        if (error != 0) return loop.Quit(1);
        pw::RTlsSettings settings;
        settings.HostName = "localhost";
        settings.Verify = false;
        s.StartTls(settings);
    };
    socket.OnTlsDone = [&](pw::TWSocket& s, std::uint16_t error) {
        if (error != 0) return loop.Quit(1);
        start = Clock::now();
        next(s);
    };
    socket.OnAllSent = [&](pw::TWSocket& s, std::uint16_t) { next(s); };
    socket.OnClosed = [&](pw::TWSocket&, std::uint16_t error) {
        out.ok = error == 0;
        loop.Quit(0);
    };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(reader.Port());
    socket.Connect();
    loop.Run();
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    out.kernelSends = loop.SendCallCount();
    socket.Abort();
    out.received = reader.Received();
    out.records = reader.Records();
    out.ok = out.ok && out.received == total;
    return out;
}

void Report(benchmark::State& state, const Outcome& o, double payloadBytes) {
    if (!o.ok) state.SkipWithError("the reader did not receive everything");
    double mb = static_cast<double>(o.received) / 1e6;
    state.SetIterationTime(o.seconds);
    state.SetBytesProcessed(static_cast<std::int64_t>(o.received));
    state.counters["wire_MB/s"] = mb / o.seconds;
    state.counters["payload_MB/s"] = payloadBytes / 1e6 / o.seconds;
    state.counters["records/MB"] = static_cast<double>(o.records) / mb;
    state.counters["syscall_sends/MB"] = static_cast<double>(o.kernelSends) / mb;
}

// The SMTP line pump over TLS: one 60-character line and CR LF per OnAllSent.
void BM_TlsLinePump62(benchmark::State& state) {
    const std::uint64_t lines = static_cast<std::uint64_t>(state.range(0));
    const std::uint64_t total = lines * 62;
    static const std::string line(60, 'Q');
    for (auto _ : state) {
        std::uint64_t count = 0;
        Outcome o = Stream(total, [&](pw::TWSocket& s) {
            if (count >= lines) return false;
            s.QueueData(line.data(), 60);
            s.SendText("\r\n");
            ++count;
            return true;
        });
        Report(state, o, static_cast<double>(o.received) * 45.0 / 62.0);
    }
}
BENCHMARK(BM_TlsLinePump62)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// Bulk over TLS: 64 KiB handed to Send per OnAllSent.
void BM_TlsStreamBulk(benchmark::State& state) {
    const std::uint64_t total = static_cast<std::uint64_t>(state.range(0)) << 20;
    static const std::string block(64 * 1024, 'x');
    for (auto _ : state) {
        std::uint64_t sent = 0;
        Outcome o = Stream(total, [&](pw::TWSocket& s) {
            if (sent >= total) return false;
            int n = static_cast<int>(std::min<std::uint64_t>(block.size(), total - sent));
            s.Send(block.data(), n);
            sent += static_cast<std::uint64_t>(n);
            return true;
        });
        Report(state, o, static_cast<double>(o.received));
    }
}
BENCHMARK(BM_TlsStreamBulk)->Arg(256)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
