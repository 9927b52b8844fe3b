// TCommandRunner against real shell commands: the first line and every way a
// command can fail, time limits, commands that ignore SIGTERM or leave
// children behind, and what the command inherits (signals, descriptors,
// process group). Every wait is bounded; every test checks that nothing of
// the command's group is left running.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/CommandRunner.h"
#include "support/ProcessGroup.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

using test::GroupRunning;

// A killed member needs a moment to be gone.
bool GroupGoneWithin(pid_t group, std::chrono::milliseconds limit)
{
    return test::GroupEndsWithin(group, limit);
}

class CommandRunnerTest : public ::testing::Test {
protected:
    struct Outcome {
        bool done = false;
        bool ok = false;
        std::string line;
        std::string failure;
    };

    void SetUp() override
    {
        runner = std::make_unique<TCommandRunner>(loop);
        runner->OnDone = [this](TCommandRunner&, bool ok, std::string& line, const std::string& failure) {
            outcome.done = true;
            outcome.ok = ok;
            outcome.line = std::move(line);
            outcome.failure = failure;
        };
    }
    void TearDown() override
    {
        const pid_t group = runner ? runner->ProcessGroup() : 0;
        runner.reset();
        EXPECT_TRUE(GroupGoneWithin(group, 2s)) << "the command's group outlived the runner";
    }

    template <class Pred>
    bool RunUntil(Pred pred, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            loop.PumpMessages(5);
        }
        return true;
    }

    // Runs `command` to its report (bounded) and returns what it reported.
    Outcome Run(const std::string& command, std::chrono::milliseconds limit = 10s)
    {
        outcome = {};
        std::string failure;
        EXPECT_TRUE(runner->Start(command, failure)) << failure;
        EXPECT_TRUE(RunUntil([this] { return outcome.done; }, limit)) << command;
        return outcome;
    }

    MessageLoop loop;
    std::unique_ptr<TCommandRunner> runner;
    Outcome outcome;
};

TEST_F(CommandRunnerTest, FirstLineOrTheReasonWhyNot)
{
    struct Row {
        const char* command;
        bool ok;
        const char* text;  // the line, or a piece of the failure
    };
    const Row rows[] = {
        {"printf 'secret\\n'", true, "secret"},
        {"printf 'no line end'", true, "no line end"},
        {"printf 'pw\\r\\nmore\\n'", true, "pw"},
        {"echo first; echo second", true, "first"},
        {"echo oops >&2; echo pw", true, "pw"},
        {"echo pw; head -c 1048576 /dev/zero", true, "pw"},
        {"exit 3", false, "exited with status 3"},
        {"echo pw; exit 1", false, "exited with status 1"},
        {"true", false, "printed nothing"},
        {"echo", false, "printed an empty first line"},
        {"printf '\\r\\nsecond\\n'", false, "printed an empty first line"},
        {"kill -9 $$", false, "was ended by signal 9"},
        {"head -c 100000 /dev/zero | tr '\\0' x; echo", false, "longer than 65536 bytes"},
        {"/nonexistent/tool --token", false, "exited with status 127"},
    };
    for (const auto& r : rows) {
        const Outcome o = Run(r.command);
        ASSERT_TRUE(o.done) << r.command;
        EXPECT_EQ(o.ok, r.ok) << r.command;
        if (r.ok) {
            EXPECT_EQ(o.line, r.text) << r.command;
            EXPECT_EQ(o.failure, "") << r.command;
        } else {
            EXPECT_THAT(o.failure, HasSubstr(r.text)) << r.command;
            EXPECT_EQ(o.line, "") << r.command;
        }
        EXPECT_FALSE(runner->Running());
        EXPECT_TRUE(GroupGoneWithin(runner->ProcessGroup(), 5s)) << r.command;
    }
}

TEST_F(CommandRunnerTest, AHangingCommandIsStoppedAtItsTimeLimit)
{
    runner->TimeLimit = 300ms;
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = Run("echo partial; sleep 30");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(o.ok);
    EXPECT_THAT(o.failure, HasSubstr("did not finish within 300 ms"));
    EXPECT_EQ(o.line, "");
    EXPECT_LT(took, 5s);
    // SIGTERM ends sh and sleep; the group is gone soon after.
    EXPECT_TRUE(RunUntil([this] { return !GroupRunning(runner->ProcessGroup()); }, 5s));
}

TEST_F(CommandRunnerTest, ACommandThatIgnoresSigtermIsKilled)
{
    runner->TimeLimit = 300ms;
    const Outcome o = Run("trap '' TERM; echo pw; while :; do sleep 0.05; done");
    EXPECT_FALSE(o.ok);
    EXPECT_THAT(o.failure, HasSubstr("did not finish"));
    const pid_t group = runner->ProcessGroup();
    // The shell ignores SIGTERM: it is still there after the report...
    EXPECT_TRUE(GroupRunning(group));
    // ...until the grace period ends and SIGKILL takes the whole group.
    EXPECT_TRUE(RunUntil([&] { return !GroupRunning(group); }, TCommandRunner::KillGrace + 3s));
}

TEST_F(CommandRunnerTest, ChildrenLeftBehindDoNotHoldTheAnswerAndAreKilled)
{
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = Run("sleep 60 & echo pw");
    EXPECT_TRUE(o.ok) << o.failure;
    EXPECT_EQ(o.line, "pw");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(GroupGoneWithin(runner->ProcessGroup(), 5s));
}

TEST_F(CommandRunnerTest, CancelAndDestructionKillTheGroupAtOnce)
{
    std::string failure;
    ASSERT_TRUE(runner->Start("sleep 30", failure));
    EXPECT_TRUE(runner->Running());
    const pid_t first = runner->ProcessGroup();
    EXPECT_TRUE(GroupRunning(first));
    runner->Cancel();
    EXPECT_FALSE(runner->Running());
    EXPECT_TRUE(GroupGoneWithin(first, 2s));
    RunUntil([] { return false; }, 100ms);
    EXPECT_FALSE(outcome.done) << "no report after Cancel";

    // A second start while one runs kills the first.
    ASSERT_TRUE(runner->Start("sleep 30", failure));
    const pid_t second = runner->ProcessGroup();
    ASSERT_TRUE(runner->Start("sleep 30", failure));
    EXPECT_TRUE(GroupGoneWithin(second, 2s));
    const pid_t third = runner->ProcessGroup();
    runner.reset();
    EXPECT_TRUE(GroupGoneWithin(third, 2s));
}

TEST_F(CommandRunnerTest, TheCommandGetsDefaultSignalsItsOwnGroupAndNoDescriptorOfOurs)
{
    // What the program does to itself must not reach the command.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old), 0);
    struct sigaction ignore {}, oldPipe {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &oldPipe);
    // A descriptor without close-on-exec.
    const int extra = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(extra, 3);

    const std::string fd = std::to_string(extra);
    const Outcome o = Run("set -- $(cut -d' ' -f5 /proc/$$/stat); pg=$1; "
                          "blk=$(awk '/^SigBlk/ {print $2}' /proc/$$/status); "
                          "ign=$(awk '/^SigIgn/ {print $2}' /proc/$$/status); "
                          "if [ -e /proc/$$/fd/" + fd + " ]; then f=leaked; else f=clean; fi; "
                          "echo \"$$ $pg $blk $ign $f\"");
    ::close(extra);
    ::sigaction(SIGPIPE, &oldPipe, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);

    ASSERT_TRUE(o.ok) << o.failure;
    const std::string group = std::to_string(runner->ProcessGroup());
    // Nothing blocked; of the ignored set only glibc's two internal signals
    // (32 and 33, which glibc's posix_spawn always leaves ignored and which no
    // program sends) may remain.
    EXPECT_THAT(o.line,
                ::testing::MatchesRegex(group + " " + group + " 0000000000000000 0000000[01][08]0000000 clean"));
    const std::string ignored = o.line.substr(o.line.rfind(' ', o.line.size() - 7) + 1, 16);
    EXPECT_EQ(std::stoull(ignored, nullptr, 16) & 0x7FFFFFFFull, 0u) << "a standard signal is ignored";
    EXPECT_NE(runner->ProcessGroup(), ::getpgrp());
}

TEST_F(CommandRunnerTest, TheLoopKeepsRunningWhileTheCommandWorks)
{
    // A timer of the loop's own keeps firing while the command takes its time.
    struct Ticker : MessageHandler {
        int ticks = 0;
        void HandleMessage(std::uint32_t msg, std::uintptr_t, std::intptr_t) override
        {
            if (msg == MsgTimer)
                ++ticks;
        }
    } ticker;
    const Handle h = loop.CreateHandle(&ticker);
    loop.SetTimer(h, 1, 20);
    const Outcome o = Run("sleep 0.5; echo late");
    loop.DestroyHandle(h);
    EXPECT_TRUE(o.ok) << o.failure;
    EXPECT_EQ(o.line, "late");
    EXPECT_GE(ticker.ticks, 10);
}

TEST_F(CommandRunnerTest, AReportMayDestroyTheRunner)
{
    runner->OnDone = [this](TCommandRunner&, bool ok, std::string& line, const std::string&) {
        outcome.done = true;
        outcome.ok = ok;
        outcome.line = line;
        runner.reset();
    };
    std::string failure;
    ASSERT_TRUE(runner->Start("echo bye", failure));
    ASSERT_TRUE(RunUntil([this] { return outcome.done; }, 10s));
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.line, "bye");
    EXPECT_EQ(runner, nullptr);
}

}  // namespace
}  // namespace pw
