// The real program in console mode against servers that misbehave. Every case
// is a job of two messages (one file each): the first meets a scripted server
// that misbehaves in one way, the second a well-behaved one. Each case expects
// the first message's failure in the log with its error code, the second
// message sent, the right exit code within a few seconds, and nothing of the
// program left running or behind.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/program_harness.h"
#include "support/ProgramChecks.h"
#include "support/ScriptedSmtpServer.h"
#include "support/SmtpScripts.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using test::HeloMessage;
using test::HeloUpToData;
using test::ScriptedSmtpServer;
using test::TChild;
using test::TProgramFolder;
using test::WithoutTimes;

using Clock = std::chrono::steady_clock;

const std::vector<std::string>& kGoodMessage = test::kHeloMessageLog;
const std::string kAbort = "Error, abort sending...";
const std::string kTimedOut = "Connection timed out - no complete reply came within TimeOut seconds";
const std::string kClosed = "Interrupted system call - the server closed the connection";

struct THostileCase {
    const char* name;
    std::function<void(ScriptedSmtpServer&)> script;  // the first connection
    std::vector<std::string> firstLog;                 // its log lines, times cut off
    std::string reason;                                // the reason line's text after its failure
    int exitCode;
    std::size_t firstFileBytes = 20;
    int timeOut = 1;  // TimeOut in seconds
};

// Times: TimeOut is 1 s unless a case says otherwise; no case may take more
// than kCaseLimit.
constexpr auto kCaseLimit = 20s;

std::vector<THostileCase> Cases() {
    std::vector<THostileCase> cases;
    cases.push_back({"GreetingNeverSent", [](ScriptedSmtpServer& s) { s.Silent(15s); },
                     {"Rq=0(Connect) Error=10060", kAbort}, kTimedOut, 2});
    cases.push_back({"Greeting554", [](ScriptedSmtpServer& s) { s.Reply("554 no service here"); },
                     {"Rq=0(Connect) Error=554", kAbort}, "554 no service here", 2});
    cases.push_back({"GreetingWithoutDigits", [](ScriptedSmtpServer& s) { s.Reply("hello there"); },
                     {"Rq=0(Connect) Error=500", kAbort}, "hello there", 2});
    // A reply without a status code is no success, whatever the command.
    cases.push_back({"HeloReplyWithoutDigits",
                     [](ScriptedSmtpServer& s) { s.Reply("220 ready").ExpectPrefix("HELO ").Reply("fine, go on"); },
                     {"Rq=0(Connect) Error=0", "Rq=1(Helo) Error=500", kAbort}, "fine, go on", 2});
    cases.push_back({"TenMegabytesWithoutLineEnd", [](ScriptedSmtpServer& s) { s.SendJunk(10u << 20); },
                     {"Rq=0(Connect) Error=500", kAbort}, "500 Reply line too long", 2});
    // Continuation lines for ever: the flood is far longer than any run may last.
    cases.push_back({"ContinuationThatNeverEnds",
                     [](ScriptedSmtpServer& s) { s.Reply("220-welcome").Flood("220-and more\r\n", 1ull << 34); },
                     {"Rq=0(Connect) Error=10060", kAbort}, kTimedOut, 2});
    // Every byte comes well within TimeOut (2 s), but the reply as a whole
    // would take 19 s.
    cases.push_back({"OneBytePerSecond", [](ScriptedSmtpServer& s) { s.Trickle("220 slow but sure\r\n", 1000ms); },
                     {"Rq=0(Connect) Error=10060", kAbort}, kTimedOut, 2, 20, 2});

    // The server closes right after each command in turn.
    cases.push_back({"CloseInsteadOfGreeting", [](ScriptedSmtpServer& s) { s.Close(); },
                     {"Rq=0(Connect) Error=10004", kAbort}, kClosed, 2});
    cases.push_back({"CloseAfterHelo",
                     [](ScriptedSmtpServer& s) { s.Reply("220 ready").ExpectPrefix("HELO ").Close(); },
                     {"Rq=0(Connect) Error=0", "Rq=1(Helo) Error=10004", kAbort}, kClosed, 2});
    cases.push_back({"CloseAfterMailFrom",
                     [](ScriptedSmtpServer& s) {
                         s.Reply("220 ready").ExpectPrefix("HELO ").Reply("250 hello").ExpectPrefix("MAIL FROM:").Close();
                     },
                     {"Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=10004", kAbort}, kClosed, 2});
    cases.push_back({"CloseAfterRcptTo",
                     [](ScriptedSmtpServer& s) {
                         s.Reply("220 ready")
                             .ExpectPrefix("HELO ")
                             .Reply("250 hello")
                             .ExpectPrefix("MAIL FROM:")
                             .Reply("250 ok")
                             .ExpectPrefix("RCPT TO:")
                             .Close();
                     },
                     {"Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=0", "Rq=4(RcptTo) Error=10004",
                      kAbort},
                     kClosed,
                     2});
    cases.push_back({"CloseAfterData",
                     [](ScriptedSmtpServer& s) {
                         s.Reply("220 ready")
                             .ExpectPrefix("HELO ")
                             .Reply("250 hello")
                             .ExpectPrefix("MAIL FROM:")
                             .Reply("250 ok")
                             .ExpectPrefix("RCPT TO:")
                             .Reply("250 ok")
                             .Expect("DATA")
                             .Close();
                     },
                     {"Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=0", "Rq=4(RcptTo) Error=0",
                      "Rq=5(Data) Error=10004", kAbort},
                     kClosed,
                     2});
    cases.push_back({"CloseAfterTheEndOfData", [](ScriptedSmtpServer& s) { HeloUpToData(s).ReadData().Close(); },
                     {"Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=0", "Rq=4(RcptTo) Error=0",
                      "Rq=5(Data) Error=10004", kAbort},
                     kClosed,
                     2});
    // The message was taken; a close instead of the answer to QUIT loses nothing.
    cases.push_back({"CloseAfterQuit",
                     [](ScriptedSmtpServer& s) {
                         HeloUpToData(s).ReadData().Reply("250 queued").Expect("QUIT").Close();
                     },
                     kGoodMessage, "", 1});

    cases.push_back({"ResetInMidData",
                     [](ScriptedSmtpServer& s) { HeloUpToData(s).ReadBytes(64 * 1024).Reset(); },
                     {"Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=0", "Rq=4(RcptTo) Error=0",
                      "Rq=5(Data) Error=10004", kAbort},
                     kClosed,
                     2, 4u << 20});
    // The answer to the final "." may come long after TimeOut (a server that
    // scans the message): it is awaited for at least ten minutes, so the
    // message counts as sent and a rerun would not send it twice.
    cases.push_back({"EndOfDataAnsweredLongAfterTimeOut",
                     [](ScriptedSmtpServer& s) {
                         HeloUpToData(s).ReadData().Pause(3000ms).Reply("250 queued");
                         s.Expect("QUIT").Reply("221 bye").Close();
                     },
                     kGoodMessage, "", 1});
    return cases;
}

// The options of every job here: one file per message, a log beside the program.
std::vector<std::string> JobOptions(const TProgramFolder& folder, int port, int timeOut) {
    return {"From=me@example.org", "Host=127.0.0.1",      "Port=" + std::to_string(port),
            "TimeOut=" + std::to_string(timeOut),           "NumOfAttempts=5",     "FilPerMes=1",
            "SaveLog=1",           "LogFileName=" + folder.LogPath(), "ShowMessagesOnError=1"};
}

// The two-file job of the doubled-answer cases against `port`; returns the
// exit code, and checks that it ended in time with nothing left running.
int RunTwoFileJob(const TProgramFolder& folder, int port, TChild& child) {
    folder.WriteIni(JobOptions(folder, port, 1));
    const std::string a = folder.File("a.txt", "first\r\n");
    const std::string b = folder.File("second.txt", "second\r\n");
    const int code = folder.Run(child, {"-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES", a, b}, kCaseLimit);
    EXPECT_FALSE(child.timedOut);
    EXPECT_THAT(test::ProcessesOf(folder.program), IsEmpty());
    return code;
}

class HostileServerTest : public test::TProgramTestBase<::testing::TestWithParam<THostileCase>> {
protected:
    // Runs the two-message job; returns the exit code and checks what every
    // case shares: in time, nothing left running, the second message sent.
    int RunJob(ScriptedSmtpServer& server, std::size_t firstBytes, int timeOut, TChild& child) {
        server.Start();
        folder_.WriteIni(JobOptions(folder_, server.Port(), timeOut));
        const std::string first = folder_.File("first.bin", std::string(firstBytes, 'f'));
        const std::string second = folder_.File("second.txt", "second file\r\n");
        const auto started = Clock::now();
        const int code = folder_.Run(child, {"-TO:you@example.org", "-SUBJ:Hostile", "-ASEND:YES", "-AEXIT:YES",
                                             first, second},
                                     kCaseLimit);
        const auto took = Clock::now() - started;
        EXPECT_FALSE(child.timedOut) << "killed after " << kCaseLimit.count() << " s\n" << child.out << child.err;
        EXPECT_LT(took, 10s) << child.out;
        EXPECT_THAT(test::ProcessesOf(folder_.program), IsEmpty());
        EXPECT_THAT(test::HandOffLeftovers(folder_), IsEmpty());
        EXPECT_TRUE(server.WaitFinished(10s));
        server.Stop();
        const auto blocks = server.DataBlocks();
        EXPECT_FALSE(blocks.empty());
        if (!blocks.empty()) {
            bool named = false;
            for (const auto& line : blocks.back()) named = named || line.find("filename=\"second.txt\"") != std::string::npos;
            EXPECT_TRUE(named) << "the last message does not carry the second file";
        }
        return code;
    }
};

TEST_P(HostileServerTest, FirstMessageFailsWithItsCodeAndTheSecondIsSent) {
    const THostileCase& c = GetParam();
    ScriptedSmtpServer server(8000ms);
    c.script(server);
    server.AcceptNext();
    HeloMessage(server);

    TChild child;
    const int code = RunJob(server, c.firstFileBytes, c.timeOut, child);
    EXPECT_EQ(code, c.exitCode) << child.out << child.err;

    // The reason follows the failed request's line; the first file is named
    // as not sent at the end.
    std::vector<std::string> expected;
    for (const auto& line : c.firstLog) {
        if (line == kAbort) expected.push_back("Reason: " + c.reason);
        expected.push_back(line);
    }
    expected.insert(expected.end(), kGoodMessage.begin(), kGoodMessage.end());
    if (c.exitCode == 2) expected.push_back("Not sent: " + folder_.root + "/files/first.bin");
    EXPECT_THAT(WithoutTimes(child.OutLines()), ElementsAreArray(expected)) << child.err;
    // The log file holds what standard output showed.
    EXPECT_EQ(WithoutTimes(test::SplitLines(test::ReadWholeFile(folder_.LogPath()))), WithoutTimes(child.OutLines()));
    // The box carries the reason; the summary ends the job.
    const auto errors = child.ErrLines();
    ASSERT_EQ(errors.size(), c.exitCode == 2 ? 2u : 1u) << child.err;
    if (c.exitCode == 2) {
        EXPECT_EQ(errors[0], "Parcelwing error!!!: Error!!! See the logfile for more info... " + c.reason + " [OK]");
    }
    EXPECT_EQ(errors.back().rfind(c.exitCode == 2 ? "Parcelwing: job done: messages sent 1, failed 1; files sent 1 of 2"
                                                  : "Parcelwing: job done: messages sent 2, failed 0; files sent 2 of 2",
                                  0),
              0u)
        << errors.back();
    EXPECT_EQ(server.Connections(), 2);
}

INSTANTIATE_TEST_SUITE_P(Servers, HostileServerTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<THostileCase>& param) { return param.param.name; });

// A server that answers every command twice: the extra answers arrive when no
// command is waiting for them (or are taken as the answer to the next one).
// Whatever the client makes of them, it must not hang, must log the outcome
// of the first message and go on with the second.
TEST(HostileServerDoubleTest, EveryCommandAnsweredTwice) {
    TProgramFolder folder;
    ASSERT_TRUE(folder.copied);
    ScriptedSmtpServer server(8000ms);
    auto twice = [](const std::string& line) { return line + "\r\n" + line + "\r\n"; };
    server.Send(twice("220 ready"))
        .ExpectPrefix("HELO ")
        .Send(twice("250 hello"))
        .Expect("MAIL FROM:<me@example.org>")
        .Send(twice("250 ok"))
        .Expect("RCPT TO:<you@example.org>")
        .Send(twice("250 ok"))
        .Expect("DATA")
        .Send(twice("354 go ahead"))
        .ReadData()
        .Send(twice("250 queued"))
        .Expect("QUIT")
        .Send(twice("221 bye"))
        .Close()
        .AcceptNext();
    HeloMessage(server);
    server.Start();
    TChild child;
    const int code = RunTwoFileJob(folder, server.Port(), child);
    // Each extra line arrives in the same read as the answer it doubles, after
    // that answer has completed its command: it is traced and ignored.
    EXPECT_EQ(code, 1) << child.out << child.err;
    std::vector<std::string> expected = kGoodMessage;
    expected.insert(expected.end(), kGoodMessage.begin(), kGoodMessage.end());
    EXPECT_THAT(WithoutTimes(child.OutLines()), ElementsAreArray(expected)) << child.err;
    EXPECT_TRUE(server.WaitFinished(10s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    EXPECT_EQ(server.DataBlocks().size(), 2u);
}

// The same with the extra answer sent apart, a moment later, so that it meets
// the next command: the dialogue goes out of step. The message fails with a
// logged code, and the second message still goes out.
TEST(HostileServerDoubleTest, LateSecondAnswersPutTheDialogueOutOfStep) {
    TProgramFolder folder;
    ASSERT_TRUE(folder.copied);
    ScriptedSmtpServer server(8000ms);
    server.Reply("220 ready")
        .Pause(100ms)
        .Reply("220 ready")
        .ExpectPrefix("HELO ")
        .Reply("250 hello")
        .Pause(100ms)
        .Reply("250 hello")
        .Silent(15s)
        .AcceptNext();
    HeloMessage(server);
    server.Start();
    TChild child;
    const int code = RunTwoFileJob(folder, server.Port(), child);
    EXPECT_EQ(code, 2) << child.out << child.err;
    // The late "220" meets HELO and is taken for its answer: refused, the
    // message ends with that code, and the next message goes out.
    std::vector<std::string> expected{"Rq=0(Connect) Error=0", "Rq=1(Helo) Error=220", "Reason: 220 ready", kAbort};
    expected.insert(expected.end(), kGoodMessage.begin(), kGoodMessage.end());
    expected.push_back("Not sent: " + folder.root + "/files/a.txt");
    EXPECT_THAT(WithoutTimes(child.OutLines()), ElementsAreArray(expected)) << child.err;
    EXPECT_TRUE(server.WaitFinished(10s));
    EXPECT_EQ(server.DataBlocks().size(), 1u);
}

}  // namespace
}  // namespace pw
