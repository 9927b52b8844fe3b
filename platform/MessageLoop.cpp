#include "platform/MessageLoop.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/Error.h"

namespace pw {

MessageHandler::~MessageHandler() = default;

namespace {

// epoll cookies of the loop's own descriptors; sockets use (generation << 32 | fd)
// and generations start at 1, so these never collide.
constexpr std::uint64_t EventCookie = 1;
constexpr std::uint64_t TimerCookie = 2;

// The loop sits below net/, so it carries its own copy of the few Winsock
// numbers it reports.
constexpr int WsaWouldBlock = 10035;
constexpr int WsaInvalid = 10022;
constexpr int WsaNotSock = 10038;
constexpr int WsaNoBufs = 10055;

// Size of a socket's write-behind buffer. Small writes made while a dispatch
// runs (the SMTP line pump: one 62-byte line per message) are gathered here
// and reach the kernel in one call instead of one each.
constexpr std::size_t WriteBehind = 64 * 1024;

}  // namespace

int WinsockFromErrno(int e) {
    switch (e) {
        case 0: return 0;
        case EINTR: return 10004;
        case EBADF: return WsaNotSock;
        case EACCES: case EPERM: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return WsaInvalid;
        case EMFILE: case ENFILE: return 10024;
        case EAGAIN: case EINPROGRESS: return WsaWouldBlock;
        case EALREADY: return 10037;
        case ENOTSOCK: return WsaNotSock;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: case EPIPE: return 10053;
        case ECONNRESET: return 10054;
        case ENOBUFS: case ENOMEM: return WsaNoBufs;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: return 10058;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        default: return WsaInvalid;
    }
}

int WinsockFromGai(int r, int sysErrno) {
    switch (r) {
        case 0: return 0;
        case EAI_NONAME: return 11001;
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return 11004;
#endif
#ifdef EAI_NODATA
        case EAI_NODATA: return 11004;
#endif
        case EAI_AGAIN: return 11002;
        case EAI_FAIL: return 11003;
        case EAI_MEMORY: return WsaNoBufs;
        case EAI_SYSTEM: return sysErrno != 0 ? WinsockFromErrno(sysErrno) : 11003;
        default: return 11003;
    }
}

namespace {

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int SocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

int BytesWaiting(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
}

bool IsConnected(int fd) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

}  // namespace

struct MessageLoop::Slot {
    MessageHandler* owner = nullptr;
    std::uint32_t generation = 0;
};

// What the loop knows of one selected socket. The descriptor is watched
// edge-triggered; these flags turn edges into the Winsock re-enabling rules.
struct MessageLoop::Socket {
    int fd = -1;
    std::uint32_t generation = 0;
    Handle handle = 0;
    std::uint32_t msg = 0;
    std::uint32_t events = 0;
    bool connectPending = false;  // Connect issued, result not reported yet
    int immediateError = 0;       // errno of a connect that ended at once
    bool connected = false;
    bool failed = false;          // connect failed: nothing more to report
    bool readable = false;        // data is waiting (as far as we know)
    bool readEnabled = true;      // FdRead may be posted (a Recv happened since the last one)
    bool readQueued = false;      // an FdRead message is in the queue
    bool recvSinceRead = true;    // Recv was called since the last FdRead was delivered
    bool readStalled = false;     // the handler of the last FdRead read nothing
    bool writeEnabled = false;    // FdWrite may be posted
    bool peerClosed = false;
    int closeError = 0;           // Winsock number for FdClose
    bool closeQueued = false;
    // Write-behind: bytes Send took while a dispatch was running, handed to
    // the kernel before the loop waits (or when this fills up).
    std::vector<char> out;
    std::size_t outStart = 0;
    bool dirty = false;  // listed in dirty_
    int sendError = 0;   // Winsock number of a failed flush; every later Send fails with it

    std::size_t Pending() const { return out.size() - outStart; }
    std::uint64_t Cookie() const { return (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(fd); }
};

struct MessageLoop::Timer {
    Handle handle;
    std::uintptr_t id;
    std::int64_t periodNs;
    std::int64_t deadline;
    bool queued;
};

struct MessageLoop::Lookup {
    Handle request = 0;
    Handle handle = 0;
    std::uint32_t msg = 0;
    int error = 0;
    std::vector<std::uint32_t> addresses;
};

// State shared with other threads (lookup workers, PostMessageFromThread).
// Outlives the loop while a worker still holds it.
struct MessageLoop::Shared {
    struct Done {
        Handle request;
        int error;
        std::vector<std::uint32_t> addresses;
    };
    struct Post {
        Handle handle;
        std::uint32_t msg;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };
    std::mutex mutex;
    bool alive = true;
    int eventFd = -1;
    std::vector<Done> done;
    std::vector<Post> posts;

    // Caller holds the mutex.
    void Wake() const {
        std::uint64_t one = 1;
        if (alive) {
            ssize_t r = ::write(eventFd, &one, sizeof one);
            (void)r;  // a full counter still leaves the descriptor readable
        }
    }
};

MessageLoop::MessageLoop() : shared_(std::make_shared<Shared>()) {
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    eventFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (epollFd_ < 0 || eventFd_ < 0 || timerFd_ < 0) {
        int e = errno;
        if (epollFd_ >= 0) ::close(epollFd_);
        if (eventFd_ >= 0) ::close(eventFd_);
        if (timerFd_ >= 0) ::close(timerFd_);
        throw Exception(std::string("Cannot create the message loop: ") + std::strerror(e));
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = EventCookie;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, eventFd_, &ev);
    ev.data.u64 = TimerCookie;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, timerFd_, &ev);
    shared_->eventFd = eventFd_;
}

MessageLoop::~MessageLoop() {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->alive = false;  // workers still running drop their results
    }
    ::close(epollFd_);
    ::close(eventFd_);
    ::close(timerFd_);
}

// ---------------------------------------------------------------- handles

MessageLoop::Handler* MessageLoop::OwnerOf(Handle h) const {
    std::uint32_t index = static_cast<std::uint32_t>(h & 0xffffffffu);
    std::uint32_t generation = static_cast<std::uint32_t>(static_cast<std::uint64_t>(h) >> 32);
    if (index == 0 || index > slots_.size()) return nullptr;
    const Slot& slot = slots_[index - 1];
    if (slot.generation != generation) return nullptr;
    return slot.owner;
}

Handle MessageLoop::CreateHandle(MessageHandler* owner) {
    if (owner == nullptr) return 0;
    std::uint32_t index;
    if (!freeSlots_.empty()) {
        index = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        slots_.push_back(Slot{});
        index = static_cast<std::uint32_t>(slots_.size());
    }
    Slot& slot = slots_[index - 1];
    if (++slot.generation == 0) slot.generation = 1;
    slot.owner = owner;
    return static_cast<Handle>((std::uint64_t{slot.generation} << 32) | index);
}

bool MessageLoop::DestroyHandle(Handle h) {
    if (OwnerOf(h) == nullptr) return false;
    std::uint32_t index = static_cast<std::uint32_t>(h & 0xffffffffu);
    slots_[index - 1].owner = nullptr;
    // The generation moves on when the slot is reused, so queued messages for
    // this handle are dropped when they come up.
    slots_[index - 1].generation++;
    freeSlots_.push_back(index);
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [h](const Timer& t) { return t.handle == h; }),
                  timers_.end());
    lookups_.erase(std::remove_if(lookups_.begin(), lookups_.end(),
                                  [h](const std::unique_ptr<Lookup>& l) { return l->handle == h; }),
                   lookups_.end());
    for (auto& s : sockets_) {
        if (s && s->handle == h) s->events = 0;
    }
    return true;
}

bool MessageLoop::IsHandle(Handle h) const { return OwnerOf(h) != nullptr; }

// ---------------------------------------------------------------- posting

void MessageLoop::Enqueue(Handle h, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam, Kind kind,
                          std::uint64_t cookie) {
    queue_.push_back(Entry{nextSeq_++, h, msg, wParam, lParam, kind, cookie});
    // Inside Run/Pump/DispatchPending the queue is looked at before any wait;
    // outside them an external driver watches the descriptor.
    if (depth_ == 0) SignalSelf();
}

void MessageLoop::SignalSelf() {
    if (selfSignalled_) return;
    std::uint64_t one = 1;
    if (::write(eventFd_, &one, sizeof one) == sizeof one) selfSignalled_ = true;
}

bool MessageLoop::PostMessage(Handle h, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
    if (OwnerOf(h) == nullptr) return false;
    Enqueue(h, msg, wParam, lParam, Kind::Posted, 0);
    return true;
}

void MessageLoop::PostMessageFromThread(Handle h, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->posts.push_back(Shared::Post{h, msg, wParam, lParam});
    shared_->Wake();
}

void MessageLoop::DrainInbox() {
    std::vector<Shared::Done> done;
    std::vector<Shared::Post> posts;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        done.swap(shared_->done);
        posts.swap(shared_->posts);
    }
    for (const auto& p : posts) Enqueue(p.handle, p.msg, p.wParam, p.lParam, Kind::Posted, 0);
    for (auto& d : done) {
        auto it = std::find_if(lookups_.begin(), lookups_.end(),
                               [&](const std::unique_ptr<Lookup>& l) { return l->request == d.request; });
        if (it == lookups_.end()) continue;  // cancelled meanwhile
        Lookup& l = **it;
        l.error = d.error;
        l.addresses = std::move(d.addresses);
        Enqueue(l.handle, l.msg, l.request, static_cast<std::intptr_t>(static_cast<std::uint32_t>(l.error) << 16),
                Kind::Lookup, l.request);
    }
}

// ---------------------------------------------------------------- sockets

MessageLoop::Socket* MessageLoop::Find(int fd) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= sockets_.size()) return nullptr;
    return sockets_[static_cast<std::size_t>(fd)].get();
}

MessageLoop::Socket* MessageLoop::FindCookie(std::uint64_t cookie) {
    Socket* s = Find(static_cast<int>(cookie & 0xffffffffu));
    if (s == nullptr || s->Cookie() != cookie) return nullptr;
    return s;
}

// Watches fd, or keeps the existing record when fd is already watched. A
// record whose descriptor was closed under the loop (and whose number came
// back for a new socket) is replaced: epoll forgot the old file, so ADD
// succeeds again.
MessageLoop::Socket* MessageLoop::Register(int fd, int* error) {
    if (fd < 0) {
        *error = WsaNotSock;
        return nullptr;
    }
    std::uint32_t generation = nextGeneration_++;
    if (nextGeneration_ == 0) nextGeneration_ = 1;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(fd);
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) == 0) {
        if (sockets_.size() <= static_cast<std::size_t>(fd)) sockets_.resize(static_cast<std::size_t>(fd) + 1);
        auto s = std::make_unique<Socket>();
        s->fd = fd;
        s->generation = generation;
        s->connected = IsConnected(fd);
        s->writeEnabled = s->connected;
        sockets_[static_cast<std::size_t>(fd)] = std::move(s);
        return sockets_[static_cast<std::size_t>(fd)].get();
    }
    int e = errno;
    if (e == EEXIST) {
        Socket* s = Find(fd);
        if (s != nullptr) {
            // Re-arm: epoll reports what is ready now once more.
            ev.data.u64 = s->Cookie();
            ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev);
            return s;
        }
        // Watched without a record (cannot happen through this class); start over.
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
        return Register(fd, error);
    }
    *error = (e == EPERM) ? WsaNotSock : WinsockFromErrno(e);
    return nullptr;
}

void MessageLoop::Unregister(int fd) {
    Socket* s = Find(fd);
    if (s == nullptr) return;
    // One last try; what the kernel cannot take now is dropped, as an
    // abortive close drops what the kernel holds.
    Flush(*s);
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);  // EBADF when closed under us: fine
    sockets_[static_cast<std::size_t>(fd)].reset();
}

int MessageLoop::AsyncSelect(int fd, Handle h, std::uint32_t msg, std::uint32_t events) {
    if (events == 0) {
        if (fd < 0) return WsaNotSock;
        Unregister(fd);
        return 0;
    }
    if (OwnerOf(h) == nullptr) return WsaInvalid;
    int error = 0;
    Socket* s = Register(fd, &error);
    if (s == nullptr) return error;
    s->handle = h;
    s->msg = msg;
    s->events = events;
    return 0;
}

int MessageLoop::Connect(int fd, const sockaddr* addr, socklen_t length, int* error) {
    int dummy = 0;
    int& err = error != nullptr ? *error : dummy;
    Socket* s = Find(fd);
    if (s == nullptr) {
        s = Register(fd, &err);
        if (s == nullptr) return -1;
    }
    if (::connect(fd, addr, length) == 0) {
        // Completed at once (Unix sockets, some stacks): still reported as FdConnect.
        s->connectPending = true;
        s->immediateError = 0;
        connectChecks_.push_back(s->Cookie());
        SignalSelf();  // an outer event loop must come round to report it
        err = WsaWouldBlock;
        return -1;
    }
    int e = errno;
    switch (e) {
        case EINPROGRESS:
        case EINTR:
            s->connectPending = true;
            s->immediateError = 0;
            err = WsaWouldBlock;
            return -1;
        case ECONNREFUSED:
        case ETIMEDOUT:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ECONNRESET:
            // A non-blocking Winsock connect reports these through FdConnect.
            s->connectPending = true;
            s->immediateError = e;
            connectChecks_.push_back(s->Cookie());
            SignalSelf();
            err = WsaWouldBlock;
            return -1;
        default:
            err = WinsockFromErrno(e);
            return -1;
    }
}

void MessageLoop::PostSocket(Socket& s, std::uint32_t bit, int error) {
    if ((s.events & bit) == 0 || OwnerOf(s.handle) == nullptr) return;
    Enqueue(s.handle, s.msg, static_cast<std::uintptr_t>(s.fd),
            static_cast<std::intptr_t>(bit | (static_cast<std::uint32_t>(error & 0xffff) << 16)), Kind::Socket,
            s.Cookie());
}

void MessageLoop::PostRead(Socket& s) {
    if (!s.connected || !s.readable || !s.readEnabled || s.readQueued) return;
    if ((s.events & FdRead) == 0) return;
    s.readEnabled = false;
    s.readQueued = true;
    PostSocket(s, FdRead, 0);
}

// The close is reported once no data is left in front of it, or once a read
// handler has stopped reading (it must not hide the close for ever).
void MessageLoop::MaybeReportClose(Socket& s) {
    if (!s.peerClosed || s.closeQueued || !s.connected) return;
    if (s.readable && !s.readStalled && (s.events & FdRead) != 0) return;
    s.closeQueued = true;
    PostSocket(s, FdClose, s.closeError);
}

void MessageLoop::PeerClosed(Socket& s, int winsockError) {
    if (s.peerClosed) return;
    s.peerClosed = true;
    s.closeError = winsockError;
}

void MessageLoop::ConnectResult(Socket& s, int err) {
    s.connectPending = false;
    if (err != 0) {
        s.failed = true;
        PostSocket(s, FdConnect, WinsockFromErrno(err));
        return;
    }
    s.connected = true;
    PostSocket(s, FdConnect, 0);
    // Write readiness follows the connection at once.
    s.writeEnabled = false;
    PostSocket(s, FdWrite, 0);
}

void MessageLoop::SocketEvents(Socket& s, std::uint32_t ev) {
    if (s.failed) return;
    if (s.connectPending) {
        if ((ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
        int err = SocketError(s.fd);
        if (err == 0 && (ev & EPOLLOUT) == 0) err = IsConnected(s.fd) ? 0 : ECONNREFUSED;
        ConnectResult(s, err);
        if (s.failed) return;
    } else if (!s.connected) {
        // Selected before a connect the loop did not make; wait until the
        // socket is connected.
        if (!IsConnected(s.fd)) return;
        s.connected = true;
        s.writeEnabled = true;
    }
    if ((ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        if (!s.peerClosed) PeerClosed(s, WinsockFromErrno(SocketError(s.fd)));
        s.readable = BytesWaiting(s.fd) > 0;
    } else if ((ev & EPOLLIN) != 0) {
        s.readable = true;
    }
    PostRead(s);
    if ((ev & EPOLLOUT) != 0 && s.Pending() > 0) Flush(s);  // posts FdWrite when drained
    if ((ev & EPOLLOUT) != 0 && s.writeEnabled && s.Pending() == 0 && !s.peerClosed) {
        s.writeEnabled = false;
        PostSocket(s, FdWrite, 0);
    }
    MaybeReportClose(s);
}

long MessageLoop::Recv(int fd, void* buffer, std::size_t length, int* error) {
    ssize_t n = ::recv(fd, buffer, length, MSG_DONTWAIT);
    int e = n < 0 ? errno : 0;
    if (n < 0 && error != nullptr) *error = WinsockFromErrno(e);
    Socket* s = Find(fd);
    if (s == nullptr || length == 0) return static_cast<long>(n);
    s->recvSinceRead = true;
    s->readStalled = false;
    s->readEnabled = true;
    if (n > 0) {
        // A short read drained the socket; a full one may have left more.
        s->readable = static_cast<std::size_t>(n) < length ? false : BytesWaiting(fd) > 0;
    } else if (n == 0) {
        s->readable = false;
        PeerClosed(*s, 0);
    } else if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) {
        s->readable = false;
    } else {
        s->readable = false;
        PeerClosed(*s, WinsockFromErrno(e));
    }
    PostRead(*s);
    MaybeReportClose(*s);
    return static_cast<long>(n);
}

long MessageLoop::Send(int fd, const void* data, std::size_t length, int* error) {
    Socket* s = Find(fd);
    if (s != nullptr && s->sendError != 0) {
        if (error != nullptr) *error = s->sendError;
        return -1;
    }
    // Straight to the kernel when nobody would flush later (outside any
    // dispatch) or when nothing is waiting in front and the write is big.
    bool direct = s == nullptr || !s->connected ||
                  (s->Pending() == 0 && (depth_ == 0 || length >= WriteBehind / 4));
    if (direct) {
        ++sendCalls_;
        ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0 && static_cast<std::size_t>(n) >= length) return static_cast<long>(n);
        int e = n < 0 ? errno : 0;
        if (n < 0 && error != nullptr) *error = WinsockFromErrno(e);
        if (s != nullptr && (n >= 0 || e == EAGAIN || e == EWOULDBLOCK)) {
            // The transport is full: the next edge of writability is reported.
            s->writeEnabled = true;
        }
        return static_cast<long>(n);
    }
    if (s->Pending() + length > WriteBehind) Flush(*s);
    if (s->sendError != 0) {
        if (error != nullptr) *error = s->sendError;
        return -1;
    }
    std::size_t room = WriteBehind - s->Pending();
    if (room == 0) {
        s->writeEnabled = true;
        if (error != nullptr) *error = WsaWouldBlock;
        return -1;
    }
    std::size_t take = std::min(length, room);
    if (s->outStart > 0 && s->out.size() + take > s->out.capacity()) {
        s->out.erase(s->out.begin(), s->out.begin() + static_cast<std::ptrdiff_t>(s->outStart));
        s->outStart = 0;
    }
    if (s->out.capacity() < WriteBehind) s->out.reserve(WriteBehind);
    const char* p = static_cast<const char*>(data);
    s->out.insert(s->out.end(), p, p + take);
    if (take < length) s->writeEnabled = true;
    if (depth_ == 0) {
        Flush(*s);
    } else if (!s->dirty) {
        s->dirty = true;
        dirty_.push_back(s->Cookie());
    }
    return static_cast<long>(take);
}

// Hands the write-behind bytes to the kernel as far as it takes them. When
// they are all gone and a writer waits for room, that is write readiness.
void MessageLoop::Flush(Socket& s) {
    while (s.Pending() > 0) {
        ++sendCalls_;
        ssize_t n = ::send(s.fd, s.out.data() + s.outStart, s.Pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s.outStart += static_cast<std::size_t>(n);
            continue;
        }
        int e = n < 0 ? errno : EAGAIN;
        if (e == EINTR) continue;
        if (e == EAGAIN || e == EWOULDBLOCK) return;  // the next writability edge resumes
        s.sendError = WinsockFromErrno(e);
        break;
    }
    s.out.clear();
    s.outStart = 0;
    if (s.writeEnabled && s.sendError == 0 && s.connected && !s.peerClosed) {
        s.writeEnabled = false;
        PostSocket(s, FdWrite, 0);
    }
}

void MessageLoop::FlushAll() {
    if (dirty_.empty()) return;
    std::vector<std::uint64_t> list;
    list.swap(dirty_);
    for (std::uint64_t cookie : list) {
        if (Socket* s = FindCookie(cookie)) {
            s->dirty = false;
            Flush(*s);
        }
    }
}

bool MessageLoop::CallBeforeWait(Handle h, std::uint32_t msg, std::uintptr_t wParam) {
    if (depth_ == 0 || OwnerOf(h) == nullptr) return false;
    for (const BeforeWait& b : beforeWait_) {
        if (b.handle == h && b.msg == msg && b.wParam == wParam) return true;
    }
    beforeWait_.push_back(BeforeWait{h, msg, wParam});
    return true;
}

// What the calls write goes into the write-behind buffers, which FlushAll
// hands to the kernel right after. A call may ask again for the next round.
void MessageLoop::RunBeforeWait(bool waiting) {
    if (beforeWait_.empty()) return;
    std::vector<BeforeWait> list;
    list.swap(beforeWait_);
    for (const BeforeWait& b : list) Deliver(b.handle, b.msg, b.wParam, waiting ? 1 : 0);
}

int MessageLoop::Shutdown(int fd, int how) {
    if (Socket* s = Find(fd)) Flush(*s);
    if (::shutdown(fd, how) != 0) return WinsockFromErrno(errno);
    return 0;
}

bool MessageLoop::PostSocketEvent(int fd, std::uint32_t bits, int error) {
    Socket* s = Find(fd);
    if (s == nullptr || OwnerOf(s->handle) == nullptr || (s->events & bits) == 0) return false;
    PostSocket(*s, bits, error);
    return true;
}

int MessageLoop::CloseSocket(int fd) {
    if (fd < 0) return WsaNotSock;
    Unregister(fd);
    if (::close(fd) != 0 && errno != EINTR) return WinsockFromErrno(errno);
    return 0;
}

// ---------------------------------------------------------------- lookups

Handle MessageLoop::AsyncGetHostByName(Handle h, std::uint32_t msg, const std::string& name, int* error) {
    if (OwnerOf(h) == nullptr) {
        if (error != nullptr) *error = WsaInvalid;
        return 0;
    }
    Handle request = nextRequest_++;
    if (nextRequest_ == 0) nextRequest_ = 1;
    auto record = std::make_unique<Lookup>();
    record->request = request;
    record->handle = h;
    record->msg = msg;
    lookups_.push_back(std::move(record));
    try {
        std::thread([shared = shared_, request, name] {
            Shared::Done done{request, 0, {}};
            try {
                addrinfo hints{};
                hints.ai_family = AF_INET;
                hints.ai_socktype = SOCK_STREAM;
                addrinfo* list = nullptr;
                errno = 0;
                int r = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
                done.error = WinsockFromGai(r, errno);
                if (r == 0) {
                    for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
                        if (p->ai_family != AF_INET || p->ai_addr == nullptr) continue;
                        std::uint32_t a = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
                        if (std::find(done.addresses.begin(), done.addresses.end(), a) == done.addresses.end())
                            done.addresses.push_back(a);
                    }
                    ::freeaddrinfo(list);
                    if (done.addresses.empty()) done.error = 11004;
                }
            } catch (...) {
                done.error = 11003;
                done.addresses.clear();
            }
            try {
                std::lock_guard<std::mutex> lock(shared->mutex);
                if (shared->alive) {
                    shared->done.push_back(std::move(done));
                    shared->Wake();
                }
            } catch (...) {
                // Nowhere to report from this thread; the request never completes
                // and its owner's time-out applies.
            }
        }).detach();
    } catch (const std::exception&) {
        lookups_.pop_back();
        if (error != nullptr) *error = WsaNoBufs;
        return 0;
    }
    return request;
}

bool MessageLoop::LookupAddresses(Handle request, std::vector<std::uint32_t>& out) const {
    if (deliveringLookup_ == nullptr || deliveringLookup_->request != request) return false;
    out = deliveringLookup_->addresses;
    return true;
}

int MessageLoop::CancelAsyncRequest(Handle request) {
    auto it = std::find_if(lookups_.begin(), lookups_.end(),
                           [&](const std::unique_ptr<Lookup>& l) { return l->request == request; });
    if (it == lookups_.end()) return WsaInvalid;
    lookups_.erase(it);  // a completion already queued is dropped when it comes up
    return 0;
}

// ---------------------------------------------------------------- timers

bool MessageLoop::SetTimer(Handle h, std::uintptr_t id, unsigned ms) {
    if (OwnerOf(h) == nullptr) return false;
    std::int64_t period = std::int64_t{std::max(ms, 1u)} * 1000000;
    std::int64_t deadline = NowNs() + period;
    for (Timer& t : timers_) {
        if (t.handle == h && t.id == id) {
            t.periodNs = period;
            t.deadline = deadline;
            FireTimers();
            return true;
        }
    }
    timers_.push_back(Timer{h, id, period, deadline, false});
    FireTimers();
    return true;
}

bool MessageLoop::KillTimer(Handle h, std::uintptr_t id) {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.handle == h && t.id == id; });
    if (it == timers_.end()) return false;
    timers_.erase(it);  // a tick already queued is dropped when it comes up
    return true;
}

// Queues the ticks that are due and arms the timer descriptor for the next.
// The descriptor is only ever moved earlier: a time-out armed and killed for
// every SMTP request would otherwise cost two system calls each. When it goes
// off early (for a timer since killed or moved on), Collect comes back here
// and arms it for what is really next.
void MessageLoop::FireTimers() {
    if (timers_.empty()) return;
    std::int64_t now = NowNs();
    std::int64_t next = INT64_MAX;
    for (std::size_t i = 0; i < timers_.size(); ++i) {
        Timer& t = timers_[i];
        if (t.deadline <= now) {
            if (!t.queued) {
                t.queued = true;
                Enqueue(t.handle, MsgTimer, t.id, 0, Kind::Timer, t.id);
            }
            t.deadline = now + t.periodNs;
        }
        next = std::min(next, t.deadline);
    }
    if (armedDeadline_ <= 0 || next < armedDeadline_) {
        // The clock of the timer descriptor is CLOCK_MONOTONIC, which
        // steady_clock reads on Linux.
        itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(next / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(next % 1000000000);
        ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr);
        armedDeadline_ = next;
    }
}

// ---------------------------------------------------------------- running

void MessageLoop::Collect(int timeoutMs) {
    if (!connectChecks_.empty()) {
        std::vector<std::uint64_t> checks;
        checks.swap(connectChecks_);
        for (std::uint64_t cookie : checks) {
            Socket* s = FindCookie(cookie);
            if (s != nullptr && s->connectPending) ConnectResult(*s, s->immediateError);
        }
        timeoutMs = 0;
    }
    RunBeforeWait(timeoutMs != 0 && queue_.empty());
    FlushAll();  // before any wait, what handlers wrote goes out
    if (!queue_.empty()) timeoutMs = 0;
    epoll_event events[64];
    int n = ::epoll_wait(epollFd_, events, 64, timeoutMs);
    ++waits_;
    sincePoll_ = 0;
    lastPollNs_ = NowNs();
    for (int i = 0; i < n; ++i) {
        std::uint64_t cookie = events[i].data.u64;
        if (cookie == EventCookie) {
            std::uint64_t value;
            while (::read(eventFd_, &value, sizeof value) > 0) {
            }
            selfSignalled_ = false;
            DrainInbox();
        } else if (cookie == TimerCookie) {
            std::uint64_t ticks;
            while (::read(timerFd_, &ticks, sizeof ticks) > 0) {
            }
            armedDeadline_ = -1;  // fired: arm again below
        } else if (Socket* s = FindCookie(cookie)) {
            SocketEvents(*s, events[i].events);
        }
    }
    if (!timers_.empty() || armedDeadline_ > 0) FireTimers();
}

void MessageLoop::ReportException(const std::exception_ptr& e) {
    if (onException_) {
        try {
            onException_(e);
        } catch (...) {
            // The reporter itself failed; the loop carries on regardless.
        }
        return;
    }
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        std::fprintf(stderr, "Unhandled exception in a message handler: %s\n", x.what());
    } catch (...) {
        std::fprintf(stderr, "Unhandled exception in a message handler\n");
    }
}

void MessageLoop::SetExceptionHandler(std::function<void(std::exception_ptr)> handler) {
    onException_ = std::move(handler);
}

void MessageLoop::Deliver(Handle h, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) {
    MessageHandler* owner = OwnerOf(h);
    if (owner == nullptr) return;  // destroyed meanwhile
    try {
        owner->HandleMessage(msg, wParam, lParam);
    } catch (...) {
        ReportException(std::current_exception());
    }
}

void MessageLoop::DeliverSocket(const Entry& e) {
    Socket* s = FindCookie(e.cookie);
    if (s == nullptr) return;  // the socket was closed or replaced
    std::uint32_t bit = static_cast<std::uint32_t>(e.lParam) & 0xffff;
    if ((s->events & bit) == 0) return;
    if (bit == FdRead) {
        s->readQueued = false;
        if (!s->readable) {
            // Read by an earlier handler meanwhile: nothing to report.
            s->readEnabled = true;
            return;
        }
        s->recvSinceRead = false;
        Deliver(s->handle, s->msg, e.wParam, e.lParam);
        s = FindCookie(e.cookie);
        if (s != nullptr && !s->recvSinceRead) {
            s->readStalled = true;
            MaybeReportClose(*s);
        }
        return;
    }
    Deliver(s->handle, s->msg, e.wParam, e.lParam);
}

void MessageLoop::DeliverLookup(const Entry& e) {
    auto it = std::find_if(lookups_.begin(), lookups_.end(),
                           [&](const std::unique_ptr<Lookup>& l) { return l->request == e.cookie; });
    if (it == lookups_.end()) return;  // cancelled
    std::unique_ptr<Lookup> record = std::move(*it);
    lookups_.erase(it);
    const Lookup* outer = deliveringLookup_;
    deliveringLookup_ = record.get();
    Deliver(e.handle, e.msg, e.wParam, e.lParam);
    deliveringLookup_ = outer;
}

void MessageLoop::DeliverTimer(const Entry& e) {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.handle == e.handle && t.id == e.cookie; });
    if (it == timers_.end()) return;  // killed
    it->queued = false;
    Deliver(e.handle, e.msg, e.wParam, e.lParam);
}

void MessageLoop::DispatchOne() {
    Entry e = queue_.front();
    queue_.pop_front();
    ++sincePoll_;
    switch (e.kind) {
        case Kind::Posted: Deliver(e.handle, e.msg, e.wParam, e.lParam); break;
        case Kind::Socket: DeliverSocket(e); break;
        case Kind::Lookup: DeliverLookup(e); break;
        case Kind::Timer: DeliverTimer(e); break;
    }
}

// Dispatches the messages queued before the call; later ones wait their turn,
// so a handler that keeps posting cannot starve the sockets.
void MessageLoop::DispatchBatch() {
    std::uint64_t limit = nextSeq_;
    while (!quit_ && !queue_.empty() && queue_.front().seq < limit) DispatchOne();
}

// While messages keep coming, readiness is polled only now and then: a
// poll costs a system call, and a handler chain (the SMTP line pump: one
// posted message per line) would otherwise pay one per message. Sockets and
// timers wait at most a millisecond or 256 messages for their turn.
// Nothing flushes or looks at the queue until the loop is entered again;
// an outer event loop watching the descriptor must come round for the rest.
void MessageLoop::LeaveOutermost() {
    RunBeforeWait(true);
    FlushAll();
    if (!queue_.empty()) SignalSelf();
}

bool MessageLoop::PollDue() const {
    return queue_.empty() || sincePoll_ >= 256 || NowNs() - lastPollNs_ >= 1000000;
}

int MessageLoop::DispatchPending(unsigned budgetMs) {
    ++depth_;
    std::int64_t end = NowNs() + std::int64_t{budgetMs} * 1000000;
    Collect(0);
    std::uint64_t limit = nextSeq_;
    int count = 0;
    while (!queue_.empty() && queue_.front().seq < limit) {
        DispatchOne();
        ++count;
    }
    while (budgetMs > 0 && !quit_ && NowNs() < end) {
        if (PollDue()) Collect(0);
        if (queue_.empty()) break;
        limit = nextSeq_;
        while (!quit_ && !queue_.empty() && queue_.front().seq < limit) {
            DispatchOne();
            ++count;
        }
    }
    if (--depth_ == 0) LeaveOutermost();
    return count;
}

void MessageLoop::PumpMessages(unsigned ms) {
    ++depth_;
    std::int64_t start = NowNs();
    std::int64_t span = std::int64_t{ms} * 1000000;
    while (!quit_) {
        if (PollDue()) Collect(0);
        DispatchBatch();
        if (quit_ || !queue_.empty()) continue;
        std::int64_t left = span - (NowNs() - start);
        if (left <= 0) break;
        Collect(static_cast<int>((left + 999999) / 1000000));
    }
    if (--depth_ == 0) LeaveOutermost();
}

int MessageLoop::Run() {
    ++depth_;
    while (!quit_) {
        if (queue_.empty())
            Collect(-1);
        else if (PollDue())
            Collect(0);
        DispatchBatch();
    }
    if (--depth_ == 0) LeaveOutermost();
    return exitCode_;
}

void MessageLoop::Quit(int code) {
    if (quit_) return;
    quit_ = true;
    exitCode_ = code;
}

}  // namespace pw
