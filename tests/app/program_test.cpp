// The real program, driven as a script drives it: a copy of the built binary in
// a temporary program folder with its own INI file, command keys, scripted SMTP
// servers on 127.0.0.1, exit codes, hand-offs between two starts, and the
// window state between runs. Every run is killed after a time limit.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/program_harness.h"
#include "config/WindowState.h"
#include "platform/PrivateProfile.h"
#include "support/ScriptedSmtpServer.h"
#include "support/SmtpScripts.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using test::AttachedNames;
using test::HeloMessage;
using test::ScriptedSmtpServer;
using test::TChild;
using test::TProgramFolder;
using test::WithoutTimes;

const std::vector<std::string>& kHeloMessage = test::kHeloMessageLog;

class ProgramTest : public test::TProgramTest {
protected:
    // Standard keys of a script that sends and exits.
    static std::vector<std::string> SendAndExit(std::vector<std::string> more) {
        std::vector<std::string> args{"-TO:you@example.org", "-SUBJ:Report", "-ASEND:YES", "-AEXIT:YES"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
};

TEST_F(ProgramTest, OneMessageWithReturnReceiptLogsSixRequestsAndAllOk) {
    ScriptedSmtpServer server;
    server.Reply("220 scripted ready")
        .ExpectPrefix("EHLO ")
        .ReplyLines({"250-scripted", "250-DSN", "250 HELP"})
        .Expect("MAIL FROM:<me@example.org>")
        .Reply("250 ok")
        .Expect("RCPT TO:<you@example.org> NOTIFY=SUCCESS,FAILURE")
        .Reply("250 ok")
        .Expect("DATA")
        .Reply("354 go ahead")
        .ReadData()
        .Reply("250 queued")
        .Expect("QUIT")
        .Reply("221 bye")
        .Close();
    server.Start();
    auto options = folder_.ServerOptions(server.Port());
    options.push_back("Return_Receipt_Enabled=1");
    folder_.WriteIni(options);
    const std::string a = folder_.File("a.txt", "alpha\r\n");

    TChild child;
    EXPECT_EQ(folder_.Run(child, SendAndExit({a})), 1) << child.err;
    EXPECT_THAT(WithoutTimes(child.OutLines()),
                ElementsAre("Rq=0(Connect) Error=0", "Rq=10(Ehlo) Error=0", "Rq=2(MailFrom) Error=0",
                            "Rq=4(RcptTo) Error=0", "Rq=5(Data) Error=0", "Rq=6(Quit) Error=0", "All Ok!"));
    // Standard error holds the job's summary only.
    ASSERT_EQ(child.ErrLines().size(), 1u);
    EXPECT_THAT(child.ErrLines()[0],
                ::testing::StartsWith("Parcelwing: job done: messages sent 1, failed 0; files sent 1 of 1, 7 bytes; "));
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    ASSERT_EQ(server.DataBlocks().size(), 1u);
    EXPECT_THAT(server.DataBlocks()[0], Contains("Return-Receipt-To: me@example.org"));
    // The log file holds the same seven lines.
    EXPECT_EQ(WithoutTimes(test::SplitLines(test::ReadWholeFile(folder_.LogPath()))), WithoutTimes(child.OutLines()));
}

TEST_F(ProgramTest, FiveFilesTwoPerMessageGoInThreeMessagesInOrder) {
    ScriptedSmtpServer server;
    HeloMessage(server).AcceptNext();
    HeloMessage(server).AcceptNext();
    HeloMessage(server);
    server.Start();
    folder_.WriteIni(folder_.ServerOptions(server.Port()));
    std::vector<std::string> files;
    for (const char* name : {"f1.txt", "f2.txt", "f3.txt", "f4.txt", "f5.txt"}) {
        files.push_back(folder_.File(name, std::string("content of ") + name));
    }
    auto args = SendAndExit({"-FPM:2"});
    args.insert(args.end(), files.begin(), files.end());

    TChild child;
    EXPECT_EQ(folder_.Run(child, args), 1) << child.err;
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    EXPECT_EQ(server.Connections(), 3);
    const auto blocks = server.DataBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_THAT(AttachedNames(blocks[0]), ElementsAre("f1.txt", "f2.txt"));
    EXPECT_THAT(AttachedNames(blocks[1]), ElementsAre("f3.txt", "f4.txt"));
    EXPECT_THAT(AttachedNames(blocks[2]), ElementsAre("f5.txt"));
    const auto lines = WithoutTimes(child.OutLines());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "All Ok!"), 3);
    EXPECT_EQ(lines.size(), 21u);
}

TEST_F(ProgramTest, TextFromFirstFileMakesTheFirstEntryTheBody) {
    ScriptedSmtpServer server;
    HeloMessage(server);
    server.Start();
    auto options = folder_.ServerOptions(server.Port());
    options.push_back("TextFromFirstFile=1");
    options.push_back("FilPerMes=5");
    folder_.WriteIni(options);
    const std::string body = folder_.File("body.txt", "First body line\r\nSecond body line\r\n");
    const std::string b = folder_.File("b.bin", std::string("\x01\x02\x03", 3));
    const std::string c = folder_.File("c.txt", "see\r\n");

    TChild child;
    EXPECT_EQ(folder_.Run(child, SendAndExit({"-MSGTXT:From the box", body, b, c})), 1) << child.err;
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    const auto blocks = server.DataBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_THAT(AttachedNames(blocks[0]), ElementsAre("b.bin", "c.txt"));
    const auto& data = blocks[0];
    const auto text = std::find(data.begin(), data.end(), "From the box");
    ASSERT_NE(text, data.end());
    ASSERT_LT(text + 2, data.end());
    EXPECT_EQ(*(text + 1), "First body line");
    EXPECT_EQ(*(text + 2), "Second body line");
}

TEST_F(ProgramTest, VanishedFileIsLoggedLeftOutAndMakesTheJobFail) {
    ScriptedSmtpServer server;
    HeloMessage(server);
    server.Start();
    auto options = folder_.ServerOptions(server.Port());
    options.push_back("FilPerMes=5");
    // ExitAfterSend from the INI file: not a send-and-exit run by its
    // arguments, which would refuse to send anything with a file missing.
    options.push_back("ExitAfterSend=1");
    folder_.WriteIni(options);
    const std::string a = folder_.File("a.txt", "here\r\n");
    const std::string gone = folder_.root + "/files/gone.txt";
    // A list file takes its entries without looking whether they exist.
    const std::string list = folder_.File("list.txt", a + "\r\n" + gone + "\r\n");

    TChild child;
    EXPECT_EQ(folder_.Run(child, {"-TO:you@example.org", "-SUBJ:Report", "-ASEND:YES", "-LSTF:" + list}), 2)
        << child.err;
    const auto lines = WithoutTimes(child.OutLines());
    EXPECT_THAT(lines, Contains("Can't find file " + gone));
    EXPECT_THAT(lines, Contains("All Ok!"));
    EXPECT_EQ(lines.back(), "Not sent: " + gone);
    EXPECT_TRUE(server.WaitFinished(5s));
    ASSERT_EQ(server.DataBlocks().size(), 1u);
    EXPECT_THAT(AttachedNames(server.DataBlocks()[0]), ElementsAre("a.txt"));
}

TEST_F(ProgramTest, NumOfAttemptsStopsAfterTheMessageStartedBeforeTheFailureWasKnown) {
    ScriptedSmtpServer server;
    for (int i = 0; i < 2; ++i) {
        if (i > 0) server.AcceptNext();
        server.Reply("220 scripted ready")
            .ExpectPrefix("HELO ")
            .Reply("250 hello")
            .ExpectPrefix("MAIL FROM:")
            .Reply("550 sender refused");
    }
    server.Start();
    auto options = folder_.ServerOptions(server.Port());
    options.push_back("NumOfAttempts=1");
    std::replace(options.begin(), options.end(), std::string("ShowMessagesOnError=1"),
                 std::string("ShowMessagesOnError=0"));
    folder_.WriteIni(options);
    std::vector<std::string> args = SendAndExit({});
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) args.push_back(folder_.File(name, name));

    TChild child;
    EXPECT_EQ(folder_.Run(child, args), 2) << child.err;
    const auto lines = WithoutTimes(child.OutLines());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Rq=2(MailFrom) Error=550"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Error, abort sending..."), 2);
    EXPECT_THAT(lines, Not(Contains("All Ok!")));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Reason: 550 sender refused"), 2);
    // Every file is named: two in the failed messages, two never started.
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
        EXPECT_THAT(lines, Contains("Not sent: " + folder_.root + "/files/" + name));
    }
    // ShowMessagesOnError is off: only the summary.
    ASSERT_EQ(child.ErrLines().size(), 1u);
    EXPECT_THAT(child.ErrLines()[0],
                ::testing::StartsWith("Parcelwing: job done: messages sent 0, failed 2; files sent 0 of 4, 0 bytes; "));
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(ProgramTest, RefusedConnectionIsLoggedAnnouncedAndExitsWithTwo) {
    auto options = folder_.ServerOptions(test::ClosedPort());
    options.push_back("NumOfAttempts=5");
    folder_.WriteIni(options);
    const std::string a = folder_.File("a.txt", "x");

    TChild child;
    EXPECT_EQ(folder_.Run(child, SendAndExit({a})), 2) << child.err;
    EXPECT_THAT(WithoutTimes(child.OutLines()), ElementsAre("Rq=0(Connect) Error=10061", "Reason: Connection refused",
                                                            "Error, abort sending...", "Not sent: " + a));
    ASSERT_EQ(child.ErrLines().size(), 2u);
    EXPECT_EQ(child.ErrLines()[0], "Parcelwing error!!!: Error!!! See the logfile for more info... Connection refused [OK]");
    EXPECT_THAT(child.ErrLines()[1], ::testing::StartsWith("Parcelwing: job done: messages sent 0, failed 1; "));
}

TEST_F(ProgramTest, EmptyListUnderExitAfterSendExitsWithTwo) {
    folder_.WriteIni(folder_.ServerOptions(test::ClosedPort()));
    TChild child;
    EXPECT_EQ(folder_.Run(child, SendAndExit({})), 2);
    EXPECT_THAT(child.ErrLines(),
                ElementsAre("Parcelwing: File List is empty! [OK]",
                            "Parcelwing: job done: messages sent 0, failed 0; files sent 0 of 0, 0 bytes; 0.0 s"));
    EXPECT_THAT(child.OutLines(), IsEmpty());
}

// Outside a send-and-exit run (ExitAfterSend comes from the INI file here), an
// argument that cannot be used is reported, left out, and the job it starts
// does not count as a success.
TEST_F(ProgramTest, ArgumentsThatAreNothingAreReportedAndLeftOut) {
    ScriptedSmtpServer server;
    HeloMessage(server);
    server.Start();
    auto options = folder_.ServerOptions(server.Port());
    options.push_back("FilPerMes=10");
    options.push_back("ExitAfterSend=1");
    folder_.WriteIni(options);
    const std::string a = folder_.File("a.txt", "x");

    TChild child;
    const int code = folder_.Run(child, {"-TO:you@example.org", "-ASEND:YES", "no-such-file",
                                         folder_.root + "/nowhere/b.txt", "-NOKEY:value", "-TO", "plain words", a,
                                         "/RCPT:x", ""});
    EXPECT_EQ(code, 2) << child.err;
    const auto lines = WithoutTimes(child.OutLines());
    EXPECT_THAT(lines, Contains("Can't find file no-such-file"));
    EXPECT_THAT(lines, Contains("Can't find file " + folder_.root + "/nowhere/b.txt"));
    EXPECT_THAT(lines, Contains("Unknown key -NOKEY:value"));
    EXPECT_THAT(lines, Contains("Can't find file -TO"));
    EXPECT_THAT(lines, Contains("Can't find file plain words"));
    EXPECT_THAT(lines, Contains("All Ok!"));
    EXPECT_TRUE(server.WaitFinished(5s));
    ASSERT_EQ(server.DataBlocks().size(), 1u);
    EXPECT_THAT(AttachedNames(server.DataBlocks()[0]), ElementsAre("a.txt"));
}

TEST_F(ProgramTest, FirstRunWithoutSettingsWarnsAndSkipsTheOptionsDialog) {
    // No INI file at all: the first-start values leave From and Host empty.
    TChild child;
    EXPECT_EQ(folder_.Run(child, {"-AEXIT:YES", "-ASEND:YES"}), 2);
    ASSERT_GE(child.ErrLines().size(), 2u);
    EXPECT_EQ(child.ErrLines()[0], "Parcelwing: Please, set up program's options... [OK]");
    EXPECT_EQ(child.ErrLines()[1], "Parcelwing: no display, options dialog skipped");
}

TEST_F(ProgramTest, UnwritableLogAndIniNeverStopAJob) {
    // A program name so long that no temporary file can be made beside its
    // INI file: the INI file can be read but never replaced, even by root.
    TProgramFolder longFolder("parcelwing" + std::string(236, 'x'));
    ASSERT_TRUE(longFolder.copied);
    ScriptedSmtpServer server;
    HeloMessage(server);
    server.Start();
    auto options = longFolder.ServerOptions(server.Port());
    const std::string logPath = longFolder.root + "/no/such/folder/parcelwing.log";
    std::replace(options.begin(), options.end(), "LogFileName=" + longFolder.LogPath(), "LogFileName=" + logPath);
    longFolder.WriteIni(options);
    const std::string iniBefore = test::ReadWholeFile(longFolder.ini);
    const std::string a = longFolder.File("a.txt", "x");

    TChild child;
    ASSERT_TRUE(longFolder.Start(child, {"-TO:you@example.org", "-ASEND:YES", a}));
    ASSERT_TRUE(child.WaitForLine([](const std::string& l) { return l == "All Ok!"; }, 20s)) << child.out << child.err;
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(10s), 1);
    EXPECT_THAT(child.err, HasSubstr("the window state could not be written"));
    EXPECT_THAT(child.out, HasSubstr("Log file \"" + logPath + "\" can't be written: No such file or directory"));
    EXPECT_EQ(test::ReadWholeFile(longFolder.ini), iniBefore);
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_EQ(server.DataBlocks().size(), 1u);
}

TEST_F(ProgramTest, WindowStateSurvivesARunAndFeedsTheNext) {
    ScriptedSmtpServer server;
    HeloMessage(server, "first@example.org").AcceptNext();
    HeloMessage(server, "first@example.org");
    server.Start();
    folder_.WriteIni(folder_.ServerOptions(server.Port()),
                     "[MainForm]\r\nTop=33\r\nLeft=44\r\nWidth=555\r\nHeight=444\r\nMemoHeight=99\r\n");
    const std::string a = folder_.File("a.txt", "x");

    // Run 1 sends and stays; SIGINT closes it like the window's close box.
    TChild first;
    ASSERT_TRUE(folder_.Start(first, {"-TO:first@example.org", "-SUBJ:Kept", "-ASEND:YES", a}));
    ASSERT_TRUE(first.WaitForLine([](const std::string& l) { return l == "All Ok!"; }, 20s)) << first.err;
    first.Signal(SIGINT);
    EXPECT_EQ(first.Wait(10s), 1);

    RWindowState state;
    LoadWindowState(folder_.ini, state);
    EXPECT_EQ(state.Geometry.Top, 33);
    EXPECT_EQ(state.Geometry.Width, 555);
    EXPECT_EQ(state.Geometry.MemoHeight, 99);
    EXPECT_EQ(state.ToText, "first@example.org");
    EXPECT_EQ(state.SubjText, "Kept");
    EXPECT_EQ(state.ToItems, std::vector<std::string>{"first@example.org"});
    EXPECT_EQ(state.Files, std::vector<std::string>{a});

    // Run 2 sends and exits: it neither reads nor writes the remembered
    // state, so with no names of its own it has nothing to send.
    const std::string iniBefore = test::ReadWholeFile(folder_.ini);
    TChild second;
    EXPECT_EQ(folder_.Run(second, {"-ASEND:YES", "-AEXIT:YES"}), 2) << second.err;
    EXPECT_THAT(second.ErrLines(), Contains("Parcelwing: File List is empty! [OK]"));
    EXPECT_EQ(test::ReadWholeFile(folder_.ini), iniBefore);

    // Run 3 has no names of its own either, but takes the remembered ones.
    TChild third;
    ASSERT_TRUE(folder_.Start(third, {"-ASEND:YES"}));
    ASSERT_TRUE(third.WaitForLine([](const std::string& l) { return l == "All Ok!"; }, 20s)) << third.err;
    third.Signal(SIGTERM);
    EXPECT_EQ(third.Wait(10s), 1);
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    const auto blocks = server.DataBlocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_THAT(blocks[1], Contains("Subject: Kept"));
    EXPECT_THAT(AttachedNames(blocks[1]), ElementsAre("a.txt"));
}

TEST_F(ProgramTest, LaterStartsHandTheirOneArgumentToTheRunningInstance) {
    // AutoSend in the INI file: a hand-off still starts no job.
    auto options = folder_.ServerOptions(test::ClosedPort());
    options.push_back("AutoSend=1");
    folder_.WriteIni(options);
    const std::string a = folder_.File("a.txt", "x");
    const std::string b = folder_.File("b.txt", "y");

    TChild running;
    ASSERT_TRUE(folder_.Start(running, {}));
    ASSERT_TRUE(folder_.WaitListening(10s));

    TChild one;
    EXPECT_EQ(folder_.Run(one, {"a.txt"}, 10s), 0);  // relative to the later start's folder
    EXPECT_THAT(one.out + one.err, IsEmpty());
    ASSERT_TRUE(running.WaitForLine([&](const std::string& l) { return l == "Handed over: " + a; }, 10s))
        << running.out;

    // Names only (what a file manager passes): each one is handed over.
    TChild two;
    EXPECT_EQ(folder_.Run(two, {a, b}, 10s), 0);
    EXPECT_THAT(two.out + two.err, IsEmpty());
    TChild marker;
    EXPECT_EQ(folder_.Run(marker, {"-SUBJ:Marker"}, 10s), 0);
    ASSERT_TRUE(running.WaitForLine([](const std::string& l) { return l == "Handed over: -SUBJ:Marker"; }, 10s));

    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(10s), 1);
    // One entry from the one-argument start, two from the two-name one, in order; no job.
    EXPECT_THAT(running.OutLines(), ElementsAre("Handed over: " + a, "Handed over: " + a, "Handed over: " + b,
                                                "Handed over: -SUBJ:Marker"));
    RWindowState state;
    LoadWindowState(folder_.ini, state);
    EXPECT_EQ(state.Files, (std::vector<std::string>{a, a, b}));
    EXPECT_EQ(state.SubjText, "Marker");
}

// A close signal sent the moment a later start could find the instance goes
// through the close handling (exit code 1, window state written); it must not
// end the process before the signals are taken over.
TEST_F(ProgramTest, ACloseSignalAsSoonAsTheInstanceCanBeFoundIsACloseRequest) {
    folder_.WriteIni(folder_.ServerOptions(test::ClosedPort()));
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        TChild running;
        ASSERT_TRUE(folder_.Start(running, {}));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!std::filesystem::exists(folder_.SocketPath()) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        running.Signal(SIGTERM);
        ASSERT_EQ(running.Wait(10s), 1) << running.err;
        EXPECT_THAT(running.err, Not(HasSubstr("could not be written")));
    }
}

TEST_F(ProgramTest, AStaleBlockAfterAKilledInstanceDoesNotSwallowTheNextStart) {
    folder_.WriteIni(folder_.ServerOptions(test::ClosedPort()));
    TChild killed;
    ASSERT_TRUE(folder_.Start(killed, {}));
    ASSERT_TRUE(folder_.WaitListening(10s));
    killed.Signal(SIGKILL);
    EXPECT_EQ(killed.Wait(10s), 128 + SIGKILL);
    ASSERT_TRUE(std::filesystem::exists("/dev/shm/pcwmap_file." + folder_.tag + "." + std::to_string(::getuid())));

    ScriptedSmtpServer server;
    HeloMessage(server);
    server.Start();
    // ExitAfterSend from the INI file: a start that looks for the instance
    // (a send-and-exit run by its arguments would not look at all).
    auto options = folder_.ServerOptions(server.Port());
    options.push_back("ExitAfterSend=1");
    folder_.WriteIni(options);
    const std::string a = folder_.File("a.txt", "x");
    TChild next;
    EXPECT_EQ(folder_.Run(next, {"-TO:you@example.org", "-SUBJ:Report", "-ASEND:YES", a}), 1) << next.err;
    EXPECT_EQ(WithoutTimes(next.OutLines()), kHeloMessage);
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_EQ(server.DataBlocks().size(), 1u);
}

}  // namespace
}  // namespace pw
