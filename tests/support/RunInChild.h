#pragma once
// Runs a piece of a test in a forked child, so it can drop its rights or
// hold locks apart from the test process; bounded in time.

#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace pw::test {

// Runs `body` in a child process, as the unprivileged "nobody" when `asNobody`
// and the tests run as root (root ignores permission bits). Returns its exit
// code; 99 when it could not drop its rights, -1 when it had to be killed after
// `timeoutSeconds`, -2 when it did not exit by itself.
inline int RunInChild(const std::function<int()>& body, bool asNobody = false, int timeoutSeconds = 30) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (asNobody && ::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(99);
        ::_exit(body());
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

}  // namespace pw::test
