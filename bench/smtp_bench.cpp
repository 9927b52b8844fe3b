// Sends one message with a large attachment through TSmtpClient to a minimal
// SMTP sink on 127.0.0.1 (a thread in this program that answers the dialogue
// and discards the message) and reports the attachment throughput and the
// process's peak resident memory (VmHWM) after each size. Sizes run in
// increasing order, so the growth of VmHWM from one size to the next is what
// the larger attachment cost.
//
//   bench_smtp_bench [--benchmark_filter=...]
//
// Counters: MB_per_s (attachment megabytes, 2^20 bytes, per second),
// VmHWM_MB (peak resident set so far), wire_MB (bytes the sink received),
// MB_per_cpu_s (attachment megabytes per second of the client thread's CPU
// time, which is what the rate would be if that thread had a core to itself),
// allocations (operator new calls in the process during the dialogue).

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "smtp/SmtpClient.h"
#include "tests/support/LoopbackSocket.h"

// Every allocation of the process is counted, so the run can show that the
// line pump allocates nothing per line.
std::atomic<std::uint64_t> g_allocations{0};

void* operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

long VmHwmKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A one-connection SMTP sink: answers every command, reads DATA up to the
// closing "." and throws it away.
class Sink {
public:
    Sink()
    {
        listen_ = pw::test::ListenOnLoopback(port_, 1);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Sink()
    {
        ::shutdown(listen_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        ::close(listen_);
    }
    unsigned short Port() const { return port_; }
    std::uint64_t DataBytes() const { return dataBytes_.load(); }
    bool Finished() const { return finished_.load(); }

private:
    void Reply(int fd, const char* text) { [[maybe_unused]] auto n = ::send(fd, text, std::strlen(text), MSG_NOSIGNAL); }

    void Serve()
    {
        const int fd = ::accept(listen_, nullptr, nullptr);
        if (fd < 0)
            return;
        timeval tv{30, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        Reply(fd, "220 sink\r\n");
        Commands(fd, std::string());
    }

    // Answers command lines until DATA (then the message) or QUIT.
    void Commands(int fd, std::string pending)
    {
        char buf[4096];
        for (;;) {
            std::size_t lf;
            while ((lf = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, lf);
                pending.erase(0, lf + 1);
                if (line.compare(0, 4, "QUIT") == 0) {
                    Reply(fd, "221 bye\r\n");
                    ::close(fd);
                    finished_ = true;
                    return;
                }
                if (line.compare(0, 4, "DATA") == 0) {
                    Reply(fd, "354 go\r\n");
                    return Message(fd, pending);
                }
                Reply(fd, "250 ok\r\n");
            }
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            pending.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
        finished_ = true;
    }

    // Reads the message up to the final "." without keeping it.
    void Message(int fd, const std::string& already)
    {
        static const char end[] = "\r\n.\r\n";
        std::vector<char> buf(1 << 18);
        std::string carry = "\r\n";  // the line end before the first message line
        std::string pending = already;
        for (;;) {
            // The terminator may straddle two reads: look at the carried
            // bytes together with the start of this piece first.
            const std::string joint = carry + pending.substr(0, 4);
            std::size_t found = std::string::npos;
            const std::size_t j = joint.find(end);
            if (j != std::string::npos) {
                found = j + 5 - carry.size();
            } else {
                const void* hit = ::memmem(pending.data(), pending.size(), end, 5);
                if (hit != nullptr)
                    found = static_cast<std::size_t>(static_cast<const char*>(hit) - pending.data()) + 5;
            }
            if (found != std::string::npos) {
                dataBytes_ += found;
                Reply(fd, "250 ok\r\n");
                return Commands(fd, pending.substr(found));
            }
            dataBytes_ += pending.size();
            if (pending.size() >= 4) {
                carry = pending.substr(pending.size() - 4);
            } else {
                carry += pending;
                carry.erase(0, carry.size() > 4 ? carry.size() - 4 : 0);
            }
            const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) {
                ::close(fd);
                finished_ = true;
                return;
            }
            pending.assign(buf.data(), static_cast<std::size_t>(n));
            // A real server reads in its own time; reading every small
            // segment at once would only take the CPU away from the client.
            if (static_cast<std::size_t>(n) < buf.size() / 4)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    int listen_ = -1;
    unsigned short port_ = 0;
    std::thread thread_;
    std::atomic<std::uint64_t> dataBytes_{0};
    std::atomic<bool> finished_{false};
};

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string MakeFile(std::size_t megabytes)
{
    const auto path = std::filesystem::temp_directory_path() /
                      ("pw_bench_" + std::to_string(::getpid()) + "_" + std::to_string(megabytes) + ".bin");
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    std::uint32_t x = 2463534242u;
    for (std::size_t m = 0; m < megabytes; ++m) {
        for (auto& c : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = static_cast<char>(x);
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    return path.string();
}

void BM_SendAttachment(benchmark::State& state)
{
    const auto megabytes = static_cast<std::size_t>(state.range(0));
    const std::string file = MakeFile(megabytes);
    double seconds = 0;
    double cpuSeconds = 0;
    std::uint64_t allocations = 0;
    std::uint64_t wire = 0;
    bool ok = true;
    for (auto _ : state) {
        pw::MessageLoop loop;
        Sink sink;
        pw::TSmtpClient client(loop);
        client.Host = "127.0.0.1";
        client.Port = std::to_string(sink.Port());
        client.SignOn = "bench";
        client.FromName = "a@x";
        client.RcptName = {"b@y"};
        client.HeaderFrom = "a@x";
        client.HeaderTo = "b@y";
        client.HeaderSubject = "bench";
        client.AttachedFiles = {file};
        client.TimeOut = 30;
        bool done = false;
        std::uint16_t failure = 0;
        client.OnRequestDone = [&](pw::TSmtpEngine& c, pw::TSmtpRequest type, std::uint16_t error) {
            using R = pw::TSmtpRequest;
            if (error != 0) {
                failure = error;
                done = true;
                c.Abort();
                return;
            }
            switch (type) {
            case R::Connect: c.Helo(); break;
            case R::Helo: c.MailFrom(); break;
            case R::MailFrom: c.RcptTo(); break;
            case R::RcptTo: c.Data(); break;
            case R::Data: c.Quit(); break;
            default: done = true; break;
            }
        };
        const auto start = Clock::now();
        const double cpuStart = ThreadCpuSeconds();
        const std::uint64_t allocStart = g_allocations.load();
        client.Connect();
        const auto deadline = start + std::chrono::minutes(10);
        while (!done && Clock::now() < deadline)
            loop.PumpMessages(1);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        cpuSeconds = ThreadCpuSeconds() - cpuStart;
        allocations = g_allocations.load() - allocStart;
        wire = sink.DataBytes();
        if (!done || failure != 0) {
            ok = false;
            state.SkipWithError(("send failed, error " + std::to_string(failure)).c_str());
        }
        state.SetIterationTime(seconds);
    }
    std::filesystem::remove(file);
    if (!ok)
        return;
    const double mb = static_cast<double>(megabytes);
    state.counters["MB_per_s"] = mb / seconds;
    state.counters["VmHWM_MB"] = static_cast<double>(VmHwmKb()) / 1024.0;
    // What the client's own thread spent: the rate it could reach on an idle machine.
    state.counters["MB_per_cpu_s"] = mb / cpuSeconds;
    // Allocations during the whole dialogue (both threads), against about
    // 23,000 lines per megabyte of attachment.
    state.counters["allocations"] = static_cast<double>(allocations);
    state.counters["wire_MB"] = static_cast<double>(wire) / (1024.0 * 1024.0);
    // Base64 of the file plus CR LF per 60 characters, at least.
    if (wire < megabytes * (1u << 20) / 3 * 4)
        state.SkipWithError("the sink received less than the encoded attachment");
}

BENCHMARK(BM_SendAttachment)->Arg(100)->Arg(500)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
