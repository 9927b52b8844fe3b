#include "support/ScriptedSmtpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace pw::test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer(Millis stepTimeout) : stepTimeout_(stepTimeout)
{
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw std::runtime_error("ScriptedSmtpServer: socket failed");
    const int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("ScriptedSmtpServer: bind/listen failed");
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ScriptedSmtpServer::~ScriptedSmtpServer()
{
    Stop();
    if (listenFd_ >= 0)
        ::close(listenFd_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

ScriptedSmtpServer& ScriptedSmtpServer::Add(Step step)
{
    steps_.push_back(std::move(step));
    return *this;
}

ScriptedSmtpServer& ScriptedSmtpServer::Send(std::string bytes)
{
    return Add({Kind::Send, {std::move(bytes)}});
}

ScriptedSmtpServer& ScriptedSmtpServer::Reply(const std::string& line)
{
    return Add({Kind::Send, {line + "\r\n"}});
}

ScriptedSmtpServer& ScriptedSmtpServer::ReplyLines(const std::vector<std::string>& lines)
{
    std::string all;
    for (const auto& l : lines)
        all += l + "\r\n";
    return Add({Kind::Send, {all}});
}

ScriptedSmtpServer& ScriptedSmtpServer::SendInPieces(const std::vector<std::string>& pieces, Millis gap)
{
    Step s{Kind::Pieces, pieces};
    s.time = gap;
    return Add(std::move(s));
}

ScriptedSmtpServer& ScriptedSmtpServer::SendJunk(std::size_t count, char fill)
{
    Step s{Kind::Junk, {}};
    s.count = count;
    s.fill = fill;
    return Add(std::move(s));
}

ScriptedSmtpServer& ScriptedSmtpServer::Expect(const std::string& line)
{
    return Add({Kind::Expect, {line}});
}

ScriptedSmtpServer& ScriptedSmtpServer::ExpectPrefix(const std::string& prefix)
{
    return Add({Kind::ExpectPrefix, {prefix}});
}

ScriptedSmtpServer& ScriptedSmtpServer::Exchange(const std::string& line, const std::string& reply)
{
    return Expect(line).Reply(reply);
}

ScriptedSmtpServer& ScriptedSmtpServer::ReadData()
{
    return Add({Kind::ReadData, {}});
}

ScriptedSmtpServer& ScriptedSmtpServer::ReadBytes(std::size_t count)
{
    Step s{Kind::ReadBytes, {}};
    s.count = count;
    return Add(std::move(s));
}

ScriptedSmtpServer& ScriptedSmtpServer::Pause(Millis time)
{
    Step s{Kind::Pause, {}};
    s.time = time;
    return Add(std::move(s));
}

ScriptedSmtpServer& ScriptedSmtpServer::Close()
{
    return Add({Kind::Close, {}});
}

ScriptedSmtpServer& ScriptedSmtpServer::Silent(Millis limit)
{
    Step s{Kind::Silent, {}};
    s.time = limit;
    return Add(std::move(s));
}

ScriptedSmtpServer& ScriptedSmtpServer::AcceptNext()
{
    return Add({Kind::AcceptNext, {}});
}

ScriptedSmtpServer& ScriptedSmtpServer::Reset()
{
    return Add({Kind::Reset, {}});
}

ScriptedSmtpServer& ScriptedSmtpServer::Trickle(std::string bytes, Millis gap)
{
    Step s{Kind::Trickle, {std::move(bytes)}};
    s.time = gap;
    return Add(std::move(s));
}

ScriptedSmtpServer& ScriptedSmtpServer::Flood(std::string text, std::size_t count)
{
    Step s{Kind::Flood, {std::move(text)}};
    s.count = count;
    return Add(std::move(s));
}

ScriptedSmtpServer& ScriptedSmtpServer::Do(std::function<void()> action)
{
    Step s{Kind::Do, {}};
    s.action = std::move(action);
    return Add(std::move(s));
}

void ScriptedSmtpServer::Start()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_)
            return;
        started_ = true;
    }
    thread_ = std::thread([this] { Run(); });
}

bool ScriptedSmtpServer::WaitFinished(Millis limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return finishedCv_.wait_for(lock, limit, [this] { return finished_ || !started_; });
}

void ScriptedSmtpServer::Stop()
{
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    }
    if (thread_.joinable())
        thread_.join();
}

void ScriptedSmtpServer::Fail(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.push_back(text);
}

void ScriptedSmtpServer::Record(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(line);
}

bool ScriptedSmtpServer::WaitWake(Millis time)
{
    pollfd p{wakeFd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(time.count())) > 0;
}

bool ScriptedSmtpServer::Accept()
{
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(stepTimeout_.count())) <= 0 || (p[1].revents & POLLIN)) {
        if (!(p[1].revents & POLLIN))
            Fail("no client connected");
        return false;
    }
    connFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connFd_ < 0) {
        Fail("accept failed");
        return false;
    }
    inbox_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    return true;
}

void ScriptedSmtpServer::CloseConnection()
{
    if (connFd_ >= 0) {
        ::close(connFd_);
        connFd_ = -1;
    }
}

// Reads what is available into inbox_, waiting at most `limit`. False on
// time-out, stop, error or the peer's close.
bool ScriptedSmtpServer::FillMore(Millis limit)
{
    if (connFd_ < 0)
        return false;
    pollfd p[2] = {{connFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int r = ::poll(p, 2, static_cast<int>(limit.count()));
    if (r <= 0 || (p[1].revents & POLLIN))
        return false;
    char buf[65536];
    const ssize_t n = ::recv(connFd_, buf, sizeof buf, 0);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            std::lock_guard<std::mutex> lock(mutex_);
            peerClosed_ = true;
            return false;
        }
        return true;
    }
    inbox_.append(buf, static_cast<std::size_t>(n));
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_ += static_cast<std::size_t>(n);
    return true;
}

bool ScriptedSmtpServer::ReadLine(std::string& line, Millis limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const std::size_t lf = inbox_.find('\n');
        if (lf != std::string::npos) {
            std::size_t end = lf;
            if (end > 0 && inbox_[end - 1] == '\r')
                --end;
            line.assign(inbox_, 0, end);
            inbox_.erase(0, lf + 1);
            Record(line);
            return true;
        }
        const int left = RemainingMs(deadline);
        if (left == 0 || !FillMore(Millis(left)))
            return false;
    }
}

// False once the client has closed its side or reset the connection; what
// it sent meanwhile is kept.
bool ScriptedSmtpServer::ClientStillThere()
{
    if (connFd_ < 0)
        return false;
    pollfd p{connFd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return true;
    return FillMore(Millis(0)) || !PeerClosed();
}

bool ScriptedSmtpServer::WriteAll(const char* data, std::size_t size)
{
    const auto deadline = Clock::now() + stepTimeout_;
    while (size > 0) {
        if (connFd_ < 0)
            return false;
        const ssize_t n = ::send(connFd_, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p[2] = {{connFd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(p, 2, RemainingMs(deadline)) <= 0 || (p[1].revents & POLLIN)) {
            if (RemainingMs(deadline) == 0)
                Fail("write timed out (the client stopped reading)");
            return false;
        }
        if (p[0].revents & (POLLERR | POLLHUP))
            return false;
    }
    return true;
}

void ScriptedSmtpServer::Run()
{
    bool open = Accept();
    for (std::size_t i = 0; open && i < steps_.size(); ++i) {
        const Step& s = steps_[i];
        switch (s.kind) {
        case Kind::Send:
            if (!WriteAll(s.texts[0].data(), s.texts[0].size()))
                Fail("step " + std::to_string(i) + ": could not send");
            break;
        case Kind::Pieces:
            for (std::size_t k = 0; open && k < s.texts.size(); ++k) {
                if (k > 0 && WaitWake(s.time))
                    open = false;
                else if (!WriteAll(s.texts[k].data(), s.texts[k].size()))
                    Fail("step " + std::to_string(i) + ": could not send piece");
            }
            break;
        case Kind::Junk: {
            const std::string block(65536, s.fill);
            std::size_t left = s.count;
            while (left > 0) {
                const std::size_t n = left < block.size() ? left : block.size();
                if (!WriteAll(block.data(), n))
                    break;  // the client gave up on us, as it should
                left -= n;
            }
            break;
        }
        case Kind::Expect:
        case Kind::ExpectPrefix: {
            std::string line;
            if (!ReadLine(line, stepTimeout_)) {
                Fail("step " + std::to_string(i) + ": expected \"" + s.texts[0] + "\", got nothing");
                open = false;
                break;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(line);
            }
            const bool ok = s.kind == Kind::Expect ? line == s.texts[0]
                                                   : line.compare(0, s.texts[0].size(), s.texts[0]) == 0;
            if (!ok) {
                Fail("step " + std::to_string(i) + ": expected \"" + s.texts[0] + "\", got \"" + line + "\"");
                open = false;
            }
            break;
        }
        case Kind::ReadData: {
            std::vector<std::string> lines;
            std::string line;
            bool ended = false;
            while (ReadLine(line, stepTimeout_)) {
                if (line == ".") {
                    ended = true;
                    break;
                }
                lines.push_back(line);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                data_.push_back(std::move(lines));
            }
            if (!ended) {
                Fail("step " + std::to_string(i) + ": message data did not end with \".\"");
                open = false;
            }
            break;
        }
        case Kind::ReadBytes: {
            const auto deadline = Clock::now() + stepTimeout_;
            std::size_t got = inbox_.size();
            inbox_.clear();
            while (got < s.count) {
                const std::size_t before = inbox_.size();
                if (!FillMore(Millis(RemainingMs(deadline))) && RemainingMs(deadline) == 0)
                    break;
                if (connFd_ < 0 || PeerClosed())
                    break;
                got += inbox_.size() - before;
                inbox_.clear();
            }
            if (got < s.count) {
                Fail("step " + std::to_string(i) + ": fewer bytes than expected");
                open = false;
            }
            break;
        }
        case Kind::Pause:
            if (WaitWake(s.time))
                open = false;
            break;
        case Kind::Close:
            CloseConnection();
            break;
        case Kind::Silent: {
            const auto deadline = Clock::now() + s.time;
            while (RemainingMs(deadline) > 0 && !PeerClosed() && connFd_ >= 0) {
                if (!FillMore(Millis(RemainingMs(deadline))))
                    if (PeerClosed() || WaitWake(Millis(0)))
                        break;
                inbox_.clear();
            }
            break;
        }
        case Kind::Reset:
            if (connFd_ >= 0) {
                // A zero linger time makes close() send RST instead of FIN.
                const linger hard{1, 0};
                ::setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            CloseConnection();
            break;
        case Kind::Trickle:
            for (std::size_t k = 0; k < s.texts[0].size(); ++k) {
                if (k > 0 && WaitWake(s.time)) {
                    open = false;
                    break;
                }
                if (!ClientStillThere() || !WriteAll(s.texts[0].data() + k, 1))
                    break;  // the client gave up on us
            }
            break;
        case Kind::Flood: {
            // Many copies per write, so the flood is fast.
            std::string block;
            const std::size_t perBlock = s.texts[0].empty() ? 0 : 65536 / s.texts[0].size() + 1;
            for (std::size_t k = 0; k < perBlock; ++k)
                block += s.texts[0];
            std::size_t left = s.count;
            while (left > 0 && perBlock > 0) {
                const std::size_t n = left < perBlock ? left : perBlock;
                if (!WriteAll(block.data(), n * s.texts[0].size()))
                    break;  // the client gave up on us
                left -= n;
            }
            break;
        }
        case Kind::Do:
            if (s.action)
                s.action();
            break;
        case Kind::AcceptNext:
            CloseConnection();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                peerClosed_ = false;
            }
            open = Accept();
            break;
        }
    }
    // Let the client finish its side, then end.
    if (connFd_ >= 0) {
        const auto deadline = Clock::now() + stepTimeout_;
        while (RemainingMs(deadline) > 0 && FillMore(Millis(RemainingMs(deadline)))) {
            std::string line;
            while (inbox_.find('\n') != std::string::npos && ReadLine(line, Millis(0))) {
            }
        }
        CloseConnection();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    finishedCv_.notify_all();
}

std::vector<std::string> ScriptedSmtpServer::ReceivedLines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedSmtpServer::Commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<std::vector<std::string>> ScriptedSmtpServer::DataBlocks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

std::vector<std::string> ScriptedSmtpServer::Failures() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

std::size_t ScriptedSmtpServer::BytesReceived() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

int ScriptedSmtpServer::Connections() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

bool ScriptedSmtpServer::PeerClosed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return peerClosed_;
}

}  // namespace pw::test
