#include "platform/CommandRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>  // explicit_bzero, strerror
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

extern char** environ;

namespace pw {

namespace {

constexpr std::size_t ReadChunk = 65536;
constexpr int WouldBlock = 10035;  // the loop's Winsock number for EAGAIN

std::string Seconds(std::chrono::milliseconds time)
{
    const auto ms = time.count();
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
    return std::to_string(ms) + " ms";
}

// Spawn attributes and file actions, destroyed on every way out.
struct TSpawnSetup {
    posix_spawnattr_t attr{};
    posix_spawn_file_actions_t actions{};
    bool attrMade = false;
    bool actionsMade = false;
    ~TSpawnSetup()
    {
        if (attrMade)
            posix_spawnattr_destroy(&attr);
        if (actionsMade)
            posix_spawn_file_actions_destroy(&actions);
    }
};

}  // namespace

TCommandRunner::TCommandRunner(MessageLoop& loop) : loop_(loop)
{
    handle_ = loop_.CreateHandle(this);
}

TCommandRunner::~TCommandRunner()
{
    Cancel();
    loop_.DestroyHandle(handle_);
}

bool TCommandRunner::Start(const std::string& command, std::string& failure)
{
    Cancel();
    int fds[2] = {-1, -1};
    // A socket rather than a pipe: the loop watches and reads sockets.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        failure = std::string("cannot be started: ") + ::strerror(errno);
        return false;
    }
    // The command writes only; a read on its end sees an immediate end.
    ::shutdown(fds[1], SHUT_RD);

    TSpawnSetup setup;
    int rc = posix_spawnattr_init(&setup.attr);
    setup.attrMade = rc == 0;
    if (rc == 0) {
        rc = posix_spawn_file_actions_init(&setup.actions);
        setup.actionsMade = rc == 0;
    }
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    // Our blocked close signals and ignored SIGPIPE are ours, not the command's.
    if (rc == 0)
        rc = posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                       POSIX_SPAWN_SETSIGDEF);
    if (rc == 0)
        rc = posix_spawnattr_setpgroup(&setup.attr, 0);
    if (rc == 0)
        rc = posix_spawnattr_setsigmask(&setup.attr, &none);
    if (rc == 0)
        rc = posix_spawnattr_setsigdefault(&setup.attr, &all);
    if (rc == 0)
        rc = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0)
        rc = posix_spawn_file_actions_adddup2(&setup.actions, fds[1], 1);
    if (rc == 0)
        rc = posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
    if (rc == 0)
        rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);

    pid_t pid = 0;
    if (rc == 0) {
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        rc = posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attr, const_cast<char* const*>(argv), environ);
    }
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        failure = std::string("cannot be started: ") + ::strerror(rc);
        return false;
    }

    pid_ = pid;
    group_ = pid;
    out_ = fds[0];
    ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
    lineComplete_ = false;
    lineTooLong_ = false;
    anyOutput_ = false;
    status_ = 0;
    WipeOutput();
    phase_ = Phase::Running;
    deadline_ = std::chrono::steady_clock::now() + TimeLimit;
    if (loop_.AsyncSelect(out_, handle_, MsgOutput, FdRead | FdClose) != 0) {
        // Without a watch the output is still read at every tick.
        loop_.AsyncSelect(out_, handle_, 0, 0);
    }
    loop_.SetTimer(handle_, TickTimerId, TickMs);
    return true;
}

void TCommandRunner::Cancel()
{
    if (pid_ != 0) {
        KillGroup(SIGKILL);
        Reap(true);
    }
    CloseOutput();
    WipeOutput();
    loop_.KillTimer(handle_, TickTimerId);
    phase_ = Phase::Idle;
}

void TCommandRunner::HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t)
{
    if (msg == MsgOutput) {
        ReadOutput();  // more waiting is posted again by the loop
    } else if (msg == MsgTimer && wParam == TickTimerId) {
        Tick();
    }
}

bool TCommandRunner::ReadOutput()
{
    if (out_ < 0)
        return false;
    char buffer[ReadChunk];
    // A few reads per turn: a flood of output cannot starve the loop.
    for (int round = 0; round < 4 && out_ >= 0; ++round) {
        int error = 0;
        const long n = loop_.Recv(out_, buffer, sizeof buffer, &error);
        if (n > 0) {
            if (!lineComplete_ && !lineTooLong_) {
                const auto* end = static_cast<const char*>(::memchr(buffer, '\n', static_cast<std::size_t>(n)));
                const std::size_t take = end != nullptr ? static_cast<std::size_t>(end - buffer)
                                                        : static_cast<std::size_t>(n);
                if (line_.size() + take > MaxLineBytes) {
                    lineTooLong_ = true;
                    WipeOutput();
                } else {
                    line_.append(buffer, take);
                    lineComplete_ = end != nullptr;
                }
            }
            explicit_bzero(buffer, static_cast<std::size_t>(n));
            anyOutput_ = true;
            continue;
        }
        if (n == 0 || error != WouldBlock)
            CloseOutput();
        return false;
    }
    return out_ >= 0;
}

bool TCommandRunner::LeaderEnded()
{
    if (pid_ == 0)
        return true;
    siginfo_t info{};
    // WNOWAIT: the shell stays a zombie, so its group id cannot be taken by
    // another process while the rest of the group is killed.
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        // ECHILD: reaped behind our back (SIGCHLD ignored); nothing is left to wait for.
        pid_ = 0;
        status_ = -1;
        return true;
    }
    return info.si_pid == pid_;
}

void TCommandRunner::Tick()
{
    const auto now = std::chrono::steady_clock::now();
    if (phase_ == Phase::Running) {
        if (!LeaderEnded()) {
            if (now < deadline_)
                return;
            KillGroup(SIGTERM);
            phase_ = Phase::Terminating;
            killAt_ = now + KillGrace;
            CloseOutput();
            WipeOutput();
            Report(false, "did not finish within " + Seconds(TimeLimit) + " and was stopped");
            return;
        }
        // What the shell wrote before it ended is waiting in the socket (a
        // socket buffer's worth at most); a straggler of its group may hold
        // the socket open, so read only what is there.
        for (int round = 0; round < 64 && ReadOutput(); ++round) {
        }
        Finish();
        return;
    }
    if (phase_ == Phase::Terminating) {
        if (LeaderEnded() || now >= killAt_) {
            // What ignored SIGTERM goes now, with the shell still holding the group id.
            KillGroup(SIGKILL);
            Reap(true);
            loop_.KillTimer(handle_, TickTimerId);
            phase_ = Phase::Idle;
        }
        return;
    }
    loop_.KillTimer(handle_, TickTimerId);
}

void TCommandRunner::Finish()
{
    // Whatever the command left behind in its group goes with it.
    KillGroup(SIGKILL);
    Reap(true);
    CloseOutput();
    loop_.KillTimer(handle_, TickTimerId);

    std::string failure;
    if (status_ == -1) {
        failure = "ended, but its exit status could not be read";
    } else if (WIFSIGNALED(status_)) {
        failure = "was ended by signal " + std::to_string(WTERMSIG(status_));
    } else if (!WIFEXITED(status_) || WEXITSTATUS(status_) != 0) {
        failure = "exited with status " + std::to_string(WIFEXITED(status_) ? WEXITSTATUS(status_) : -1);
    } else if (lineTooLong_) {
        failure = "printed a first line longer than " + std::to_string(MaxLineBytes) + " bytes";
    } else {
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
        if (line_.empty())
            failure = anyOutput_ ? "printed an empty first line" : "printed nothing";
    }
    Report(failure.empty(), failure);
}

void TCommandRunner::Report(bool ok, const std::string& failure)
{
    if (phase_ == Phase::Running)
        phase_ = Phase::Idle;
    std::string line;
    if (ok)
        line.swap(line_);
    WipeOutput();
    if (OnDone)
        OnDone(*this, ok, line, failure);
    // The handler may have destroyed the runner: nothing of it is touched here.
    explicit_bzero(line.data(), line.size());
}

void TCommandRunner::KillGroup(int signal)
{
    // Only while the shell is unreaped: then the group id is still ours.
    if (pid_ != 0 && group_ > 0)
        ::kill(-group_, signal);
}

void TCommandRunner::Reap(bool wait)
{
    if (pid_ == 0)
        return;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, wait ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        status_ = status;
        pid_ = 0;
    } else if (r < 0) {
        status_ = -1;
        pid_ = 0;
    }
}

void TCommandRunner::CloseOutput()
{
    if (out_ < 0)
        return;
    loop_.AsyncSelect(out_, handle_, 0, 0);
    ::close(out_);
    out_ = -1;
}

void TCommandRunner::WipeOutput()
{
    line_.resize(line_.capacity());
    if (!line_.empty())
        explicit_bzero(line_.data(), line_.size());
    line_.clear();
}

}  // namespace pw
