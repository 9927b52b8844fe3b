#pragma once
// A socket bound to 127.0.0.1 on a port the system chooses: the start of every
// scripted peer, sink and reader in the tests and benchmarks.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace pw::test {

// A new socket of `type` (SOCK_STREAM or SOCK_DGRAM; SOCK_CLOEXEC is added)
// bound to 127.0.0.1, its port in `port`. With `backlog` >= 0 it also listens.
// -1 when any step fails (the socket is closed then).
inline int BindLoopback(int type, std::uint16_t& port, int backlog = -1) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || (backlog >= 0 && ::listen(fd, backlog) != 0)) {
        ::close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

// A listening TCP socket on 127.0.0.1 (see BindLoopback).
inline int ListenOnLoopback(std::uint16_t& port, int backlog) { return BindLoopback(SOCK_STREAM, port, backlog); }

// A loopback port on which nothing listens: bound by the system, then let go.
// 0 when no port could be had.
inline int UnusedLoopbackPort() {
    std::uint16_t port = 0;
    const int fd = BindLoopback(SOCK_STREAM, port);
    if (fd < 0) return 0;
    ::close(fd);
    return port;
}

}  // namespace pw::test
