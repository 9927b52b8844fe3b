#pragma once
// Runs a user's shell command for the first line of its output (a password,
// an access token) without ever blocking the message loop.
//
// The command runs as `/bin/sh -c command`, started with posix_spawn with the
// default signal mask and handlers, in a process group of its own, standard
// input from /dev/null, standard error to /dev/null (a secret tool's messages
// must not reach the log), and no descriptor of ours but its output. Its
// output is read through the loop; everything after the first line is read
// and dropped, so a chatty command never blocks on a full pipe.
//
// The command has TimeLimit to finish. Then the whole group gets SIGTERM,
// OnDone reports the time-out at once, and what is still alive a grace
// period later gets SIGKILL. Destroying the runner, or Cancel(), kills the
// group at once and reaps the shell; nothing it started in its group is
// left running.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <sys/types.h>

#include "platform/MessageLoop.h"

namespace pw {

class TCommandRunner : public MessageHandler {
public:
    // The longest first line taken (an access token is a few kilobytes).
    static constexpr std::size_t MaxLineBytes = 65536;
    static constexpr std::chrono::milliseconds DefaultTimeLimit{30000};
    static constexpr std::chrono::milliseconds KillGrace{2000};

    explicit TCommandRunner(MessageLoop& loop);
    ~TCommandRunner() override;
    TCommandRunner(const TCommandRunner&) = delete;
    TCommandRunner& operator=(const TCommandRunner&) = delete;

    std::chrono::milliseconds TimeLimit = DefaultTimeLimit;

    // Starts `command`; a command still running is killed first. False (with
    // the reason in `failure`, and no OnDone) when it cannot be started.
    bool Start(const std::string& command, std::string& failure);
    // Kills the group at once; no OnDone follows.
    void Cancel();
    // A command was started and OnDone has not fired yet.
    bool Running() const { return phase_ == Phase::Running; }
    // The process group of the last command started (its shell's pid), 0
    // before the first. For tests that check nothing was left behind.
    pid_t ProcessGroup() const { return group_; }

    // Fires once per started command, from the loop. ok: the command ended
    // with status 0 and printed a first line that is not empty, which is in
    // `line` (without its line end; the handler may take it with std::move,
    // and the runner wipes its own copies). Otherwise `failure` says why in
    // plain words ("exited with status 1", "printed nothing", ...), never
    // quoting the output.
    std::function<void(TCommandRunner&, bool ok, std::string& line, const std::string& failure)> OnDone;

    void HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    enum class Phase : std::uint8_t { Idle, Running, Terminating };
    static constexpr std::uint32_t MsgOutput = MsgUser + 1;
    static constexpr std::uintptr_t TickTimerId = 1;
    static constexpr unsigned TickMs = 20;

    // Reads what the command wrote; true when more may be waiting.
    bool ReadOutput();
    void Tick();
    bool LeaderEnded();
    void Finish();
    void Report(bool ok, const std::string& failure);
    void KillGroup(int signal);
    void Reap(bool wait);
    void CloseOutput();
    void WipeOutput();

    MessageLoop& loop_;
    Handle handle_ = 0;
    Phase phase_ = Phase::Idle;
    pid_t pid_ = 0;     // the shell, leader of its group; 0 once reaped
    pid_t group_ = 0;
    int out_ = -1;      // our end of the command's standard output
    bool lineComplete_ = false;
    bool lineTooLong_ = false;
    std::string line_;  // the first line as far as read
    bool anyOutput_ = false;
    int status_ = 0;    // the shell's wait status once it ended
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::steady_clock::time_point killAt_;
};

}  // namespace pw
