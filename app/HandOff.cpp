#include "app/HandOff.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/CommandLine.h"

namespace pw {

namespace {

constexpr std::size_t kTextSize = HandOffBlockSize - 1;
// A later start retries a datagram this often, 10 ms apart, while the running
// instance is still setting up its socket or its queue is full.
constexpr int kSendAttempts = 300;
// Guard datagrams larger than this carry only the first argument.
constexpr std::size_t kGuardLimit = 60000;
constexpr std::size_t kReceiveBuffer = 65536 + 256;

static_assert(std::atomic_ref<unsigned char>::is_always_lock_free,
              "the state byte is shared between processes and must be lock-free");

std::atomic_ref<unsigned char> StateOf(unsigned char* block) { return std::atomic_ref<unsigned char>(block[0]); }

void SleepPump(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Sanitize(const std::string& tag) {
    std::string out;
    for (char c : tag) out += (c == '/' || c == '\0') ? '_' : c;
    return out;
}

bool MakeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

bool OwnedByUs(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
}

enum class TLock { Locked, Held, Unavailable };

// The running instance's datagram socket at `path`, private to this user and
// passing the sender's credentials; -1 when it cannot be had.
int BindSocket(const std::string& path) {
    sockaddr_un addr{};
    if (!MakeAddress(path, addr)) return -1;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return -1;  // not ours to remove
        ::unlink(path.c_str());
    }
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    const int on = 1;
    if (::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::setsockopt(sock, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        ::close(sock);
        return -1;
    }
    return sock;
}

}  // namespace

RHandOffNames HandOffNamesIn(const std::string& folder, const std::string& tag, unsigned uid) {
    const std::string suffix = (tag.empty() ? std::string() : "." + Sanitize(tag)) + "." + std::to_string(uid);
    std::string dir = folder.empty() ? std::string("/tmp") : folder;
    if (dir.back() != '/') dir += '/';
    RHandOffNames names;
    names.BlockName = std::string("/") + HandOffBlockName + suffix;
    names.LockPath = dir + GuardMutexName + suffix + ".lock";
    names.SocketPath = dir + HandOffMessageName + suffix + ".sock";
    return names;
}

bool IsPrivateFolder(const std::string& folder, std::string* why) {
    const auto fail = [&](const std::string& reason) {
        if (why != nullptr) *why = folder + ": " + reason;
        return false;
    };
    struct stat st {};
    if (folder.empty() || folder[0] != '/') return fail("not an absolute path");
    if (::lstat(folder.c_str(), &st) != 0) return fail(std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) return fail("not a folder");
    if (st.st_uid != ::geteuid()) return fail("belongs to another user");
    if ((st.st_mode & 022) != 0) return fail("others may write in it");
    return true;
}

namespace {

// `folder` made (mode 0700) when missing, with its parent when that is
// missing too; then it must be private, and is made mode 0700 when it is ours.
bool MakePrivateFolder(const std::string& folder, std::string* why) {
    const std::size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0) ::mkdir(folder.substr(0, slash).c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    if (!IsPrivateFolder(folder, why)) return false;
    ::chmod(folder.c_str(), 0700);
    return true;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::string PrivateRuntimeFolder(std::string* why) {
    std::string reasons;
    const auto note = [&reasons](const std::string& reason) {
        if (!reasons.empty()) reasons += "; ";
        reasons += reason;
    };
    std::string reason;
    const std::string runtime = Env("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        if (IsPrivateFolder(runtime, &reason)) return runtime;
        note(reason);
    }
    std::string cache = Env("XDG_CACHE_HOME");
    if (cache.empty() || cache[0] != '/') {
        const std::string home = Env("HOME");
        cache = home.empty() || home[0] != '/' ? std::string() : home + "/.cache";
    }
    if (!cache.empty()) {
        if (MakePrivateFolder(cache + "/parcelwing", &reason)) return cache + "/parcelwing";
        note(reason);
    }
    const std::string temp = "/tmp/parcelwing-" + std::to_string(::geteuid());
    if (MakePrivateFolder(temp, &reason)) return temp;
    note(reason);
    if (why != nullptr) *why = reasons;
    return {};
}

RHandOffNames DefaultHandOffNames() {
    std::string why;
    const std::string folder = PrivateRuntimeFolder(&why);
    RHandOffNames names = HandOffNamesIn(folder, "", static_cast<unsigned>(::getuid()));
    if (folder.empty()) names.Problem = "no private folder for it (" + why + ")";
    return names;
}

std::string AbsoluteIfExisting(const std::string& arg) {
    if (arg.empty() || arg[0] == '/') return arg;
    struct stat st {};
    const bool exists = (::stat(arg.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) ||
                        FileExistsOrMatches(arg);
    if (!exists) return arg;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return arg;
    std::string base = cwd;
    if (base.back() != '/') base += '/';
    return base + arg;
}

THandOff::THandOff(RHandOffNames names) : names_(std::move(names)) {}

THandOff::~THandOff() {
    if (lockFd_ >= 0) {
        // Gone before the lock is let go, so nobody takes a dead instance's block.
        if (blockFd_ >= 0) ::shm_unlink(names_.BlockName.c_str());
        if (socketFd_ >= 0) ::unlink(names_.SocketPath.c_str());
    }
    CloseBlock();
    if (socketFd_ >= 0) ::close(socketFd_);
    if (lockFd_ >= 0) ::close(lockFd_);
    if (lockProbe_ >= 0) ::close(lockProbe_);
}

void THandOff::CloseBlock() {
    if (block_ != nullptr) ::munmap(block_, HandOffBlockSize);
    block_ = nullptr;
    if (blockFd_ >= 0) ::close(blockFd_);
    blockFd_ = -1;
}

unsigned char THandOff::State() const {
    if (block_ == nullptr) return HandOffFree;
    return StateOf(block_).load(std::memory_order_acquire);
}

// Locked: this process now holds the instance lock. Held: a live instance holds
// it. Unavailable: the lock file cannot be used, so nobody can be told apart;
// `why` (when given) then says why.
static TLock TryLockFile(const std::string& path, int& probe, int& locked, std::string* why = nullptr) {
    if (locked >= 0) return TLock::Locked;
    if (probe < 0) {
        probe = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (probe < 0) {
            if (why != nullptr) *why = path + ": " + std::strerror(errno);
            return TLock::Unavailable;
        }
        if (!OwnedByUs(probe)) {
            ::close(probe);
            probe = -1;
            if (why != nullptr) *why = path + ": belongs to another user";
            return TLock::Unavailable;
        }
    }
    if (::flock(probe, LOCK_EX | LOCK_NB) == 0) {
        locked = probe;
        probe = -1;
        return TLock::Locked;
    }
    if (errno == EWOULDBLOCK) return TLock::Held;
    if (why != nullptr) *why = path + ": " + std::strerror(errno);
    return TLock::Unavailable;
}

bool THandOff::TryLock() { return TryLockFile(names_.LockPath, lockProbe_, lockFd_) == TLock::Locked; }

TStartResult THandOff::Start(const std::vector<std::string>& args, const std::string& programPath,
                             const TPump& pump) {
    const TPump wait = pump ? pump : TPump(SleepPump);
    if (!names_.Problem.empty()) {
        // Without a private place nobody can be told apart: run alone.
        lockProblem_ = names_.Problem;
        isFirst_ = true;
        if (OnBecomingFirst) OnBecomingFirst();
        return TStartResult::Running;
    }
    for (int round = 0; round < 100; ++round) {
        CloseBlock();
        std::string why;
        const TLock lock = TryLockFile(names_.LockPath, lockProbe_, lockFd_, &why);
        if (lock != TLock::Held) {
            // No live holder: this is the first instance. Without a usable lock
            // file it still runs, alone and without hand-off.
            isFirst_ = true;
            if (lock == TLock::Unavailable) lockProblem_ = why;
            if (OnBecomingFirst) OnBecomingFirst();
            if (lock == TLock::Locked) BecomeFirst();
            return TStartResult::Running;
        }
        TStartResult result = TStartResult::Unreachable;
        const int fd = ::shm_open(names_.BlockName.c_str(), O_RDWR | O_CLOEXEC, 0);
        const TStep step = fd >= 0 ? HandOver(fd, args, programPath, wait, result)
                                   : SendGuard(args, programPath, wait, result);
        if (step == TStep::Done) {
            const bool reached = result == TStartResult::HandedOver || result == TStartResult::GuardSent;
            if (reached || (result == TStartResult::NothingToHand && args.empty())) SendActivation(wait);
            return result;
        }
    }
    return TStartResult::Unreachable;
}

bool THandOff::BecomeFirst() {
    CloseBlock();
    // The block: made anew, or a stale one taken over and cleared.
    int fd = ::shm_open(names_.BlockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && !OwnedByUs(fd)) {
        ::close(fd);
        ::shm_unlink(names_.BlockName.c_str());
        fd = ::shm_open(names_.BlockName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    void* map = MAP_FAILED;
    if (fd >= 0 && ::ftruncate(fd, static_cast<off_t>(HandOffBlockSize)) == 0) {
        map = ::mmap(nullptr, HandOffBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (map == MAP_FAILED) {
        // Runs without hand-off; later starts then use the second guard.
        if (fd >= 0) {
            ::close(fd);
            ::shm_unlink(names_.BlockName.c_str());
        }
        fd = -1;
    } else {
        blockFd_ = fd;
        block_ = static_cast<unsigned char*>(map);
        std::memset(block_ + 1, 0, kTextSize);
        StateOf(block_).store(HandOffFree, std::memory_order_release);
    }

    // The socket. The lock is ours, so whatever lies at its path is stale.
    const int sock = BindSocket(names_.SocketPath);
    if (sock < 0) {
        // Nobody would read the block: later starts go to the second guard instead.
        if (block_ != nullptr) ::shm_unlink(names_.BlockName.c_str());
        CloseBlock();
        return false;
    }
    socketFd_ = sock;
    return true;
}

THandOff::TStep THandOff::HandOver(int fd, const std::vector<std::string>& args, const std::string& programPath,
                                   const TPump& pump, TStartResult& result) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() ||
        static_cast<std::size_t>(st.st_size) < HandOffBlockSize) {
        // Not a block we can trust or map whole: try the second guard.
        ::close(fd);
        return SendGuard(args, programPath, pump, result);
    }
    void* map = ::mmap(nullptr, HandOffBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        ::close(fd);
        result = TStartResult::Unreachable;
        return TStep::Done;
    }
    blockFd_ = fd;
    block_ = static_cast<unsigned char*>(map);

    std::string text;
    if (args.size() == 1) {
        text = AbsoluteIfExisting(args[0]);
        if (text.size() >= kTextSize) {
            result = TStartResult::TooLong;
            return TStep::Done;
        }
    }
    auto state = StateOf(block_);
    for (;;) {
        if (TryLock()) return TStep::Again;  // the running instance has ended
        if (::fstat(blockFd_, &st) != 0 || st.st_nlink == 0) return TStep::Again;  // block removed
        if (args.size() == 1) {
            unsigned char expected = HandOffFree;
            if (state.compare_exchange_strong(expected, HandOffWriting, std::memory_order_acq_rel)) break;
        } else if (state.load(std::memory_order_acquire) == HandOffFree) {
            result = TStartResult::NothingToHand;
            return TStep::Done;
        }
        pump(10);
    }

    std::memcpy(block_ + 1, text.data(), text.size());
    block_[1 + text.size()] = 0;
    state.store(HandOffReady, std::memory_order_release);
    if (SendDatagram(HandOffMessageName, pump)) {
        result = TStartResult::HandedOver;
        return TStep::Done;
    }
    // Nobody was woken: take the text back unless it has been taken meanwhile.
    unsigned char expected = HandOffReady;
    const bool withdrawn = state.compare_exchange_strong(expected, HandOffFree, std::memory_order_acq_rel);
    if (!withdrawn) {
        result = TStartResult::HandedOver;
        return TStep::Done;
    }
    if (TryLock()) return TStep::Again;
    result = TStartResult::Unreachable;
    return TStep::Done;
}

THandOff::TStep THandOff::SendGuard(const std::vector<std::string>& args, const std::string& programPath,
                                    const TPump& pump, TStartResult& result) {
    // The first token is never read by the receiver, but a double quote in it
    // would open a quoted run that swallows the argument after it.
    const bool pathSurvives = !programPath.empty() && programPath.find('"') == std::string::npos;
    std::vector<std::string> line{pathSurvives ? programPath : std::string("parcelwing")};
    // The receiver takes only the first argument. Those after it are left out:
    // an odd double quote in the first would take them into it.
    if (!args.empty()) line.push_back(AbsoluteIfExisting(args.front()));
    const std::string commandLine = JoinCommandLine(line);
    if (commandLine.size() > kGuardLimit) {
        result = TStartResult::TooLong;
        return TStep::Done;
    }
    std::string payload = GuardMessageName;
    payload += '\0';
    payload += commandLine;
    if (SendDatagram(payload, pump)) {
        result = TStartResult::GuardSent;
        return TStep::Done;
    }
    if (TryLock()) return TStep::Again;
    result = TStartResult::Unreachable;
    return TStep::Done;
}

bool THandOff::SendDatagram(const std::string& payload, const TPump& pump) {
    sockaddr_un addr{};
    if (!MakeAddress(names_.SocketPath, addr)) return false;
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    bool sent = false;
    for (int attempt = 0; attempt < kSendAttempts && !sent; ++attempt) {
        if (::sendto(sock, payload.data(), payload.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&addr), sizeof addr) >= 0) {
            sent = true;
            break;
        }
        const int error = errno;
        if (error == EINTR) continue;
        // The socket is not bound yet (an instance just starting) or its queue is full.
        if (error != ENOENT && error != ECONNREFUSED && error != EAGAIN) break;
        if (TryLockFile(names_.LockPath, lockProbe_, lockFd_) != TLock::Held) break;
        pump(10);
    }
    ::close(sock);
    return sent;
}

void THandOff::SendActivation(const TPump& pump) {
    std::string payload = ActivateMessageName;
    payload += '\0';
    payload += activationToken_;
    // Only a wish: a running instance that cannot be reached changes nothing.
    SendDatagram(payload, pump);
}

void THandOff::OnReadable() {
    if (socketFd_ < 0) return;
    std::vector<char> buffer(kReceiveBuffer);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (;;) {
        iovec io{buffer.data(), buffer.size()};
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socketFd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;  // nothing more waiting
        }
        bool ours = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                ucred cred{};
                std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
                ours = cred.uid == ::geteuid();
            }
        }
        if (!ours || (msg.msg_flags & MSG_TRUNC) != 0) continue;

        const std::string payload(buffer.data(), static_cast<std::size_t>(n));
        const std::string guard = std::string(GuardMessageName) + '\0';
        const std::string activate = std::string(ActivateMessageName) + '\0';
        if (payload == HandOffMessageName) {
            ReceiveHandOff();
        } else if (payload.compare(0, activate.size(), activate) == 0) {
            if (onActivate_) onActivate_(payload.substr(activate.size()));
        } else if (payload.compare(0, guard.size(), guard) == 0) {
            const std::string text = payload.substr(guard.size());
            if (ArgCount(text) > 0 && onEntry_) onEntry_(ArgAt(text, 1));
        }
    }
}

void THandOff::ReceiveHandOff() {
    if (block_ == nullptr) return;
    auto state = StateOf(block_);
    unsigned char expected = HandOffReady;
    if (!state.compare_exchange_strong(expected, HandOffTaking, std::memory_order_acq_rel)) return;
    const char* text = reinterpret_cast<const char*>(block_ + 1);
    const std::string arg(text, ::strnlen(text, kTextSize));
    // The text is cleared before the state, so the next writer never meets a
    // half-cleared block; the entry is added after, so it never holds the block.
    std::memset(block_ + 1, 0, kTextSize);
    state.store(HandOffFree, std::memory_order_release);
    if (onEntry_) onEntry_(arg);
}

}  // namespace pw
