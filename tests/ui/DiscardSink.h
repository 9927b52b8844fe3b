#pragma once
// A sink for the widget tests' long sends: answers like an SMTP server on
// 127.0.0.1 (one connection, port chosen by the system) and throws the
// message away, counting its bytes; it notes when the client drops the
// connection, and closes it itself after QUIT. Its thread stops with the object.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackSocket.h"

namespace pw::test {

// A sink that answers like an SMTP server and throws the message away,
// counting its bytes; it notes when the client drops the connection.
class DiscardSink {
public:
    // With `readPause` > 0 it is slow at first: until `slowBytes` of message
    // data have come, it waits that long after each read (at most 64 KiB),
    // so a send lasts long enough to watch however fast the client is; then
    // it reads at full speed, so a dropped connection is seen at once.
    explicit DiscardSink(std::chrono::microseconds readPause = {}, std::uint64_t slowBytes = 0)
        : readPause_(readPause), slowBytes_(slowBytes) {
        listen_ = ListenOnLoopback(port_, 1);
        thread_ = std::thread([this] { Run(); });
    }
    ~DiscardSink() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    int Port() const { return port_; }
    std::uint64_t DataBytes() const { return data_; }
    // Messages taken whole (their final "." seen and answered).
    int Messages() const { return messages_; }
    bool Closed() const { return closed_; }
    std::chrono::steady_clock::time_point ClosedAt() const { return closedAt_; }

private:
    // Waits up to 100 ms for `fd`; false when stopping.
    bool Readable(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) return true;
        }
        return false;
    }
    void Say(int fd, const char* line) { [[maybe_unused]] auto n = ::send(fd, line, std::strlen(line), MSG_NOSIGNAL); }

    void Run() {
        if (!Readable(listen_)) return;
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        Say(fd, "220 sink\r\n");
        std::string pending;
        bool inData = false;
        std::string tail;  // last bytes of the message, to spot CR LF "." CR LF across reads
        std::vector<char> buf(1 << 16);
        while (Readable(fd)) {
            const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) {
                closedAt_ = std::chrono::steady_clock::now();
                closed_ = true;
                break;
            }
            if (inData) {
                data_ += static_cast<std::uint64_t>(n);
                if (data_ < slowBytes_) std::this_thread::sleep_for(readPause_);
                tail.append(buf.data(), static_cast<std::size_t>(n));
                if (tail.find("\r\n.\r\n") != std::string::npos) {
                    inData = false;
                    tail.clear();
                    ++messages_;
                    Say(fd, "250 taken\r\n");
                } else if (tail.size() > 8) {
                    tail.erase(0, tail.size() - 8);
                }
                continue;
            }
            pending.append(buf.data(), static_cast<std::size_t>(n));
            std::size_t end;
            while (!inData && (end = pending.find("\r\n")) != std::string::npos) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 2);
                if (line == "DATA") {
                    Say(fd, "354 go on\r\n");
                    inData = true;
                    tail = "\r\n" + pending;
                    data_ += pending.size();
                    pending.clear();
                } else if (line == "QUIT") {
                    // As servers do: the reply, then the connection ends.
                    Say(fd, "221 bye\r\n");
                    ::close(fd);
                    return;
                } else {
                    Say(fd, "250 ok\r\n");
                }
            }
        }
        ::close(fd);
    }

    std::chrono::microseconds readPause_;
    std::uint64_t slowBytes_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> data_{0};
    std::atomic<bool> closed_{false};
    std::atomic<int> messages_{0};
    std::chrono::steady_clock::time_point closedAt_{};
};

}  // namespace pw::test
