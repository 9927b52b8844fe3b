// Throughput of TWSocket on the message loop, over loopback to a reader
// thread: bulk streaming, and the SMTP line pump (one 62-byte Base64 line,
// 45 bytes of attachment data, queued per OnAllSent).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
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

// Accepts one connection and reads until `expected` bytes have arrived, then
// closes, which the socket sees as the peer's close.
class Reader {
public:
    explicit Reader(std::uint64_t expected) : expected_(expected) {
        listen_ = pw::test::ListenOnLoopback(port_, 1);
        thread_ = std::thread([this] { Run(); });
    }
    ~Reader() {
        thread_.join();
        ::close(listen_);
    }
    std::string Port() const { return std::to_string(port_); }
    std::uint64_t Received() const { return received_.load(); }

private:
    void Run() {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return;
        int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        timeval tv{30, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        static char buffer[1 << 18];
        std::uint64_t total = 0;
        while (total < expected_) {
            long n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            total += static_cast<std::uint64_t>(n);
        }
        received_ = total;
        ::close(fd);
    }

    std::uint64_t expected_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> received_{0};
    std::thread thread_;
};

struct Outcome {
    double seconds = 0;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::uint64_t waits = 0;
    std::uint64_t sends = 0;       // TWSocket's platform send calls (OnBytesSent)
    std::uint64_t kernelSends = 0;  // send() system calls the loop made
    bool ok = false;
};

// Connects a TWSocket to a Reader and runs the loop until the peer closes.
// feed is called from every OnAllSent and returns false when all is queued.
template <typename Feed>
Outcome Stream(std::uint64_t total, Feed feed) {
    Outcome out;
    pw::MessageLoop loop;
    Reader reader(total);
    pw::TWSocket socket(loop);
    bool done = false;
    socket.OnAllSent = [&](pw::TWSocket& s, std::uint16_t) {
        if (!done && !feed(s, out.sent)) done = true;
    };
    socket.OnBytesSent = [&](pw::TWSocket&, int) { ++out.sends; };
    socket.OnClosed = [&](pw::TWSocket&, std::uint16_t error) {
        out.ok = error == 0;
        loop.Quit(0);
    };
    socket.OnConnectDone = [&](pw::TWSocket&, std::uint16_t error) {
        if (error != 0) loop.Quit(1);
    };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(reader.Port());
    auto waits0 = loop.WaitCount();
    auto t0 = Clock::now();
    socket.Connect();
    loop.Run();
    out.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    out.waits = loop.WaitCount() - waits0;
    out.kernelSends = loop.SendCallCount();
    socket.Abort();
    out.received = reader.Received();
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
    state.counters["loop_waits/MB"] = static_cast<double>(o.waits) / mb;
    state.counters["send_calls/MB"] = static_cast<double>(o.sends) / mb;
    state.counters["syscall_sends/MB"] = static_cast<double>(o.kernelSends) / mb;
}

// Bulk: 64 KiB handed to Send per OnAllSent, 1 GiB in all.
void BM_StreamBulk(benchmark::State& state) {
    const std::uint64_t total = static_cast<std::uint64_t>(state.range(0)) << 20;
    static const std::string block(64 * 1024, 'x');
    for (auto _ : state) {
        Outcome o = Stream(total, [&](pw::TWSocket& s, std::uint64_t& sent) {
            if (sent >= total) return false;
            int n = static_cast<int>(std::min<std::uint64_t>(block.size(), total - sent));
            s.Send(block.data(), n);
            sent += static_cast<std::uint64_t>(n);
            return true;
        });
        Report(state, o, static_cast<double>(o.received));
    }
}
BENCHMARK(BM_StreamBulk)->Arg(1024)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// The SMTP line pump: each OnAllSent queues one 60-character Base64 line and
// sends CR LF, as the MIME layer does. 45 bytes of attachment data per line.
void BM_LinePump62(benchmark::State& state) {
    const std::uint64_t lines = static_cast<std::uint64_t>(state.range(0));
    const std::uint64_t total = lines * 62;
    static const std::string line(60, 'Q');
    for (auto _ : state) {
        std::uint64_t count = 0;
        Outcome o = Stream(total, [&](pw::TWSocket& s, std::uint64_t& sent) {
            if (count >= lines) return false;
            s.QueueData(line.data(), 60);
            s.SendText("\r\n");
            sent += 62;
            ++count;
            return true;
        });
        Report(state, o, static_cast<double>(o.received) * 45.0 / 62.0);
    }
}
BENCHMARK(BM_LinePump62)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// The floor under the line pump: the same 62-byte sends from a plain loop,
// one send() per line and nothing else.
void BM_RawSend62(benchmark::State& state) {
    const std::uint64_t lines = static_cast<std::uint64_t>(state.range(0));
    const std::uint64_t total = lines * 62;
    static const std::string line(62, 'Q');
    for (auto _ : state) {
        Reader reader(total);
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(reader.Port())));
        Outcome o;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            auto t0 = Clock::now();
            for (std::uint64_t i = 0; i < lines; ++i) {
                if (::send(fd, line.data(), 62, MSG_NOSIGNAL) != 62) break;
                o.sends++;
                o.kernelSends++;
            }
            char c;
            ::recv(fd, &c, 1, 0);  // the reader's close: everything arrived
            o.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        }
        ::close(fd);
        o.received = reader.Received();
        o.ok = o.received == total;
        Report(state, o, static_cast<double>(o.received) * 45.0 / 62.0);
    }
}
BENCHMARK(BM_RawSend62)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// The loop alone: a handler that posts the next message to itself.
struct Chain : pw::MessageHandler {
    pw::MessageLoop& loop;
    pw::Handle handle = 0;
    std::uint64_t left;
    Chain(pw::MessageLoop& l, std::uint64_t n) : loop(l), left(n) { handle = loop.CreateHandle(this); }
    void HandleMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {
        if (--left == 0)
            loop.Quit(0);
        else
            loop.PostMessage(handle, pw::MsgUser);
    }
};

void BM_PostedMessageChain(benchmark::State& state) {
    const std::uint64_t n = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        pw::MessageLoop loop;
        Chain chain(loop, n);
        loop.PostMessage(chain.handle, pw::MsgUser);
        auto waits0 = loop.WaitCount();
        auto t0 = Clock::now();
        loop.Run();
        double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(seconds);
        state.counters["ns/message"] = seconds * 1e9 / static_cast<double>(n);
        state.counters["loop_waits/1k_messages"] = static_cast<double>(loop.WaitCount() - waits0) * 1000.0 / n;
    }
}
BENCHMARK(BM_PostedMessageChain)->Arg(10000000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
