// Files and folders that fight back, against the real program in console
// mode: attachments that vanish, cannot be read or shrink while the job runs,
// FIFOs and link loops in listed folders, awkward file names, a log file where
// nothing can be written and an INI file that is a folder. Each case expects a
// clear log line or box, the rest of the job done, and no hang.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/program_harness.h"
#include "support/ProgramChecks.h"
#include "platform/MessageLoop.h"
#include "smtp/SmtpClient.h"
#include "support/ScriptedSmtpServer.h"
#include "support/SmtpScripts.h"
#include "support/SmtpSessionDriver.h"
#include "support/SmtpSink.h"

namespace pw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;
using test::AttachedNames;
using test::EndMessage;
using test::ScriptedSmtpServer;
using test::TChild;
using test::TProgramFolder;
using test::WithoutTimes;

const std::vector<std::string>& kGoodMessage = test::kHeloMessageLog;
const std::string kAbort = "Error, abort sending...";

ScriptedSmtpServer& UpToData(ScriptedSmtpServer& s) {
    return s.Reply("220 scripted ready")
        .ExpectPrefix("HELO ")
        .Reply("250 hello")
        .ExpectPrefix("MAIL FROM:")
        .Reply("250 ok")
        .ExpectPrefix("RCPT TO:")
        .Reply("250 ok")
        .Expect("DATA")
        .Reply("354 go ahead");
}

ScriptedSmtpServer& GoodMessage(ScriptedSmtpServer& s) { return EndMessage(UpToData(s)); }

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(n, '\0');
    for (auto& c : bytes) c = static_cast<char>(gen() & 0xFF);
    return bytes;
}

std::vector<std::string> Without(std::vector<std::string> lines, const std::string& prefix) {
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }),
                lines.end());
    return lines;
}

class HostileFilesTest : public test::TProgramTest {
protected:
    std::vector<std::string> Options(int port, int filesPerMessage = 1) const {
        return {"From=me@example.org",
                "Host=127.0.0.1",
                "Port=" + std::to_string(port),
                "TimeOut=2",
                "NumOfAttempts=10",
                "FilPerMes=" + std::to_string(filesPerMessage),
                "SaveLog=1",
                "LogFileName=" + folder_.LogPath(),
                "ShowMessagesOnError=1"};
    }

    // Runs a job that sends `args` and exits; bounded, nothing left running.
    int RunJob(TChild& child, std::vector<std::string> args) {
        args.insert(args.begin(), {"-TO:you@example.org", "-SUBJ:Files", "-ASEND:YES", "-AEXIT:YES"});
        const int code = folder_.Run(child, args, 30s);
        EXPECT_FALSE(child.timedOut) << "killed after 30 s\n" << child.out << child.err;
        EXPECT_THAT(test::ProcessesOf(folder_.program), IsEmpty());
        return code;
    }
};

// --- files that change between listing and sending --------------------------

TEST_F(HostileFilesTest, AttachmentDeletedOrReplacedByAFifoAfterListingIsLoggedAndLeftOut) {
    const std::string a = folder_.File("a.txt", "first\r\n");
    const std::string deleted = folder_.File("deleted.txt", "soon gone\r\n");
    const std::string piped = folder_.File("piped.txt", "soon a FIFO\r\n");
    const std::string z = folder_.File("z.txt", "last\r\n");
    ScriptedSmtpServer server(8000ms);
    // While the first message is in DATA, the next two files change.
    UpToData(server).Do([&] {
        fs::remove(deleted);
        fs::remove(piped);
        ::mkfifo(piped.c_str(), 0600);
    });
    EndMessage(server).AcceptNext();
    GoodMessage(server).AcceptNext();
    GoodMessage(server).AcceptNext();
    GoodMessage(server);
    server.Start();
    folder_.WriteIni(Options(server.Port()));

    TChild child;
    EXPECT_EQ(RunJob(child, {a, deleted, piped, z}), 2) << child.out << child.err;
    std::vector<std::string> expected = kGoodMessage;
    expected.push_back("Can't find file " + deleted);
    expected.insert(expected.end(), kGoodMessage.begin(), kGoodMessage.end());
    expected.push_back("Can't find file " + piped);
    expected.insert(expected.end(), kGoodMessage.begin(), kGoodMessage.end());
    expected.insert(expected.end(), kGoodMessage.begin(), kGoodMessage.end());
    expected.push_back("Not sent: " + deleted);
    expected.push_back("Not sent: " + piped);
    EXPECT_THAT(WithoutTimes(child.OutLines()), ElementsAreArray(expected));
    EXPECT_TRUE(server.WaitFinished(10s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    const auto blocks = server.DataBlocks();
    ASSERT_EQ(blocks.size(), 4u);
    // The messages whose file vanished still go, without attachments.
    EXPECT_THAT(AttachedNames(blocks[0]), ElementsAre("a.txt"));
    EXPECT_THAT(AttachedNames(blocks[1]), IsEmpty());
    EXPECT_THAT(AttachedNames(blocks[2]), IsEmpty());
    EXPECT_THAT(AttachedNames(blocks[3]), ElementsAre("z.txt"));
}

// Reading fails even for root: the name is a link to /proc/self/mem, a
// regular file whose first bytes (address 0 of the reader) can never be read.
// This proves the path of a read that fails after a successful open; a
// permission refusal is taken as well when the tests do not run as root.
// The message is whole or not sent: the connection goes before the final
// ".", so the server throws away what it got (its ReadData never ends).
TEST_F(HostileFilesTest, UnreadableAttachmentFailsItsMessageUnsentWithAClearLineAndTheJobGoesOn) {
    const std::string unreadable = folder_.root + "/files/unreadable.bin";
    fs::create_symlink("/proc/self/mem", unreadable);
    const std::string z = folder_.File("z.txt", "last\r\n");
    ScriptedSmtpServer server(8000ms);
    UpToData(server).Silent(8000ms).AcceptNext();
    GoodMessage(server);
    server.Start();
    folder_.WriteIni(Options(server.Port()));

    TChild child;
    EXPECT_EQ(RunJob(child, {unreadable, z}), 2) << child.out << child.err;
    const auto lines = WithoutTimes(child.OutLines());
    ASSERT_EQ(lines.size(), 5u + 2u + kGoodMessage.size() + 1u) << child.out;
    EXPECT_EQ(lines[4], "Rq=5(Data) Error=12020");
    EXPECT_EQ(lines[5], "Reason: 12020 Can't read attachment file " + unreadable + ": Input/output error");
    EXPECT_EQ(lines[6], kAbort);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 7, lines.end() - 1), kGoodMessage);
    EXPECT_EQ(lines.back(), "Not sent: " + unreadable);
    EXPECT_THAT(child.ErrLines(), Contains(HasSubstr("Error!!! See the logfile")));
    EXPECT_TRUE(server.WaitFinished(10s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    ASSERT_EQ(server.DataBlocks().size(), 1u);
    EXPECT_THAT(AttachedNames(server.DataBlocks()[0]), ElementsAre("z.txt"));
}

TEST_F(HostileFilesTest, PermissionRefusedAttachmentWhenNotRoot) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file; the /proc/self/mem case covers root";
    const std::string locked = folder_.File("locked.bin", "secret");
    ::chmod(locked.c_str(), 0);
    const std::string z = folder_.File("z.txt", "last\r\n");
    ScriptedSmtpServer server(8000ms);
    UpToData(server).Silent(8000ms).AcceptNext();
    GoodMessage(server);
    server.Start();
    folder_.WriteIni(Options(server.Port()));
    TChild child;
    EXPECT_EQ(RunJob(child, {locked, z}), 2);
    EXPECT_THAT(WithoutTimes(child.OutLines()),
                Contains("Reason: 12020 Can't open attachment file " + locked + ": Permission denied"));
    EXPECT_THAT(WithoutTimes(child.OutLines()), Contains("All Ok!"));
}

// The file loses most of its bytes while its Base64 lines are on their way:
// what went out is neither the old file nor the new one, so the connection
// goes before the final "." (the server discards the message) and the
// message fails with a clear line instead of passing for a good one.
TEST_F(HostileFilesTest, AttachmentThatShrinksWhileReadFailsItsMessage) {
    const std::string shrinking = folder_.File("shrinking.bin", RandomBytes(4u << 20, 11));
    const std::string z = folder_.File("z.txt", "last\r\n");
    ScriptedSmtpServer server(8000ms);
    UpToData(server)
        .ReadBytes(256 * 1024)
        .Do([&] { ::truncate(shrinking.c_str(), 1000); })
        .Silent(8000ms)
        .AcceptNext();
    GoodMessage(server);
    server.Start();
    folder_.WriteIni(Options(server.Port()));

    TChild child;
    EXPECT_EQ(RunJob(child, {shrinking, z}), 2) << child.out << child.err;
    const auto lines = WithoutTimes(child.OutLines());
    EXPECT_THAT(lines, Contains("Rq=5(Data) Error=12020"));
    EXPECT_THAT(lines, Contains("Reason: 12020 Can't read attachment file " + shrinking + ": it shrank while it was read"));
    EXPECT_THAT(lines, Contains(kAbort));
    ASSERT_GE(lines.size(), kGoodMessage.size() + 1);
    EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(kGoodMessage.size()) - 1,
                                       lines.end() - 1),
              kGoodMessage);
    EXPECT_EQ(lines.back(), "Not sent: " + shrinking);
    EXPECT_TRUE(server.WaitFinished(10s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    EXPECT_EQ(server.DataBlocks().size(), 1u);
}

// The program looks at each file just before its message, but a FIFO can
// take a file's place right after that look. The client itself must then
// refuse it without blocking: opening a FIFO that has no writer would wait
// for ever. A watchdog opens the writing end after 5 s, so a blocked open
// ends the test instead of hanging it, and is seen as a failure.
TEST(HostileAttachmentTest, ClientRefusesAFifoWithoutBlocking) {
    TProgramFolder folder;
    const std::string pipe = folder.root + "/files/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    MessageLoop loop;
    ScriptedSmtpServer server(8000ms);
    server.Reply("220 hi")
        .Exchange("HELO client.test", "250 ok")
        .Exchange("MAIL FROM:<a@x>", "250 ok")
        .Exchange("RCPT TO:<b@y>", "250 ok")
        .Exchange("DATA", "354 go")
        .Silent(8000ms);
    auto client = test::ClientFor(loop, server);
    client->AttachedFiles = {pipe};

    std::atomic<bool> done{false}, rescued{false};
    std::thread watchdog([&] {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (!done && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
        if (done) return;
        rescued = true;
        const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    });
    const auto r = test::RunSession(loop, server, *client, {}, false, 15s);
    done = true;
    watchdog.join();
    EXPECT_FALSE(rescued) << "opening the FIFO blocked";
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(client->AttachmentError(), "Can't open attachment file " + pipe + ": not a regular file");
    ASSERT_FALSE(r.records.empty());
    EXPECT_EQ(r.records.back().error, PWE_ATTACHMENT_UNREADABLE);
    EXPECT_TRUE(server.WaitFinished(10s));
    EXPECT_THAT(server.Failures(), IsEmpty());
}

// --- folders that fight back --------------------------------------------------

TEST_F(HostileFilesTest, FifoAndLinkLoopsInARecursedFolderNeitherBlockNorRepeat) {
    const std::string tree = folder_.root + "/files/tree";
    fs::create_directories(tree + "/sub/deeper");
    test::WriteWholeFile(tree + "/a.txt", "a\r\n");
    test::WriteWholeFile(tree + "/sub/b.txt", "b\r\n");
    test::WriteWholeFile(tree + "/sub/deeper/c.txt", "c\r\n");
    ASSERT_EQ(::mkfifo((tree + "/pipe").c_str(), 0600), 0);
    fs::create_directory_symlink("..", tree + "/sub/up");                 // back to tree
    fs::create_directory_symlink("../..", tree + "/sub/deeper/top");      // back to tree
    fs::create_symlink("self", tree + "/sub/self");                       // ELOOP
    fs::create_symlink(tree + "/sub/ping", tree + "/sub/pong");           // a pair of links
    fs::create_symlink(tree + "/sub/pong", tree + "/sub/ping");           // pointing at each other
    ScriptedSmtpServer server(8000ms);
    GoodMessage(server);
    server.Start();
    folder_.WriteIni(Options(server.Port(), 50));

    TChild child;
    EXPECT_EQ(RunJob(child, {"-RSD:YES", tree}), 1) << child.out << child.err;
    EXPECT_THAT(WithoutTimes(child.OutLines()), ElementsAreArray(kGoodMessage));
    EXPECT_TRUE(server.WaitFinished(10s));
    ASSERT_EQ(server.DataBlocks().size(), 1u);
    // Each real file once; the FIFO and the links lead nowhere new.
    EXPECT_THAT(AttachedNames(server.DataBlocks()[0]), UnorderedElementsAre("a.txt", "b.txt", "c.txt"));
}

// A send-and-exit run sends all it was given or nothing: a FIFO among its
// names stops it before anything is sent, without blocking.
TEST_F(HostileFilesTest, FifoNamedInAListFileStopsASendAndExitRunWithoutBlocking) {
    const std::string pipe = folder_.root + "/files/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string a = folder_.File("a.txt", "a\r\n");
    const std::string list = folder_.File("list.txt", pipe + "\r\n" + a + "\r\n");
    ScriptedSmtpServer server(3000ms);
    server.Start();
    folder_.WriteIni(Options(server.Port(), 5));

    TChild child;
    // The FIFO on the command line as well: not a file.
    EXPECT_EQ(RunJob(child, {pipe, "-LSTF:" + list}), 2) << child.out << child.err;
    const std::string notAFile = "Can't send " + pipe + ": not a regular file or folder";
    EXPECT_THAT(WithoutTimes(child.OutLines()), ElementsAre(notAFile));
    EXPECT_THAT(child.ErrLines(), ElementsAre("Parcelwing: " + notAFile, "Parcelwing: Nothing was sent"));
    EXPECT_EQ(server.Connections(), 0);
}

// Outside a send-and-exit run (ExitAfterSend from the INI file) the FIFO is
// reported, left out, and the rest is sent.
TEST_F(HostileFilesTest, FifoNamedInAListFileIsLoggedAndSkippedWithoutBlocking) {
    const std::string pipe = folder_.root + "/files/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string a = folder_.File("a.txt", "a\r\n");
    const std::string list = folder_.File("list.txt", pipe + "\r\n" + a + "\r\n");
    ScriptedSmtpServer server(8000ms);
    GoodMessage(server);
    server.Start();
    auto options = Options(server.Port(), 5);
    options.push_back("ExitAfterSend=1");
    folder_.WriteIni(options);

    TChild child;
    EXPECT_EQ(folder_.Run(child, {"-TO:you@example.org", "-SUBJ:Files", "-ASEND:YES", pipe, "-LSTF:" + list}, 30s), 2)
        << child.out << child.err;
    std::vector<std::string> expected{"Can't send " + pipe + ": not a regular file or folder",
                                      "Can't find file " + pipe};
    expected.insert(expected.end(), kGoodMessage.begin(), kGoodMessage.end());
    expected.push_back("Not sent: " + pipe);
    EXPECT_THAT(WithoutTimes(child.OutLines()), ElementsAreArray(expected));
    EXPECT_TRUE(server.WaitFinished(10s));
    ASSERT_EQ(server.DataBlocks().size(), 1u);
    EXPECT_THAT(AttachedNames(server.DataBlocks()[0]), ElementsAre("a.txt"));
}

// --- awkward file names, through the real sink and a real MIME parser ---------

// The one attachment of a received message decodes (by a real MIME parser,
// policy default, without defects) to exactly `path`'s bytes under the file
// name `name` (UTF-8), and its raw part header holds `parameter`. "OK" or
// what differs.
std::string CheckRawNamedAttachment(const std::string& message, const std::string& path, const std::string& name,
                                    const std::string& parameter) {
    const std::string script =
        "import sys\n"
        "from email import policy\n"
        "from email.parser import BytesParser\n"
        "raw = open(sys.argv[1], 'rb').read()\n"
        "want = open(sys.argv[2], 'rb').read()\n"
        "name = open(sys.argv[3], 'rb').read().decode('utf-8')\n"
        "parameter = open(sys.argv[4], 'rb').read()\n"
        "msg = BytesParser(policy=policy.default).parsebytes(raw)\n"
        "parts = msg.get_payload()\n"
        "problems = []\n"
        "if len(parts) != 2: problems.append('%d parts' % len(parts))\n"
        "elif parts[1].get_payload(decode=True) != want: problems.append('content differs')\n"
        "elif parts[1].get_filename() != name: problems.append('file name %r' % parts[1].get_filename())\n"
        "for p in [msg] + list(msg.walk()):\n"
        "    if p.defects: problems.append('defects %r' % p.defects)\n"
        "if parameter not in raw: problems.append('%r not in the header' % parameter)\n"
        "print('\\n'.join(problems) or 'OK')\n"
        "sys.exit(1 if problems else 0)\n";
    const std::string nameFile = path + ".name";
    test::WriteWholeFile(nameFile, name);
    const std::string parameterFile = path + ".parameter";
    test::WriteWholeFile(parameterFile, parameter);
    TChild child;
    if (!child.Start({test::kPython, "-c", script, message, path, nameFile, parameterFile}, {}, {}))
        return "cannot start python3";
    const int code = child.Wait(30s);
    return code == 0 ? "OK" : child.out + child.err;
}

TEST_F(HostileFilesTest, AwkwardFileNamesArriveNamedAndIntact) {
    test::TSmtpSink sink(folder_.root + "/mail");
    ASSERT_NE(sink.Port(), 0) << "the sink did not start (python3-aiosmtpd missing?)";
    folder_.WriteIni(Options(sink.Port(), 6));
    const std::vector<std::string> names = {"with  blanks .txt", "say \"cheese\".txt", "semi;colon;.txt",
                                            "-dash first.txt",   "-TO:not-a-key.txt",   "back\\slash.txt"};
    std::vector<std::string> args, checks{sink.Message(1), "--subject", "Files"};
    unsigned seed = 1;
    for (const auto& name : names) {
        const std::string path = folder_.File(name, RandomBytes(1000 + seed * 37, seed));
        ++seed;
        // Names starting with "-" are given as they stand (relative to the
        // program's working folder): an existing file wins over a key.
        args.push_back(name[0] == '-' ? name : path);
        checks.insert(checks.end(), {"--attach", path});
    }
    // Bytes of Windows-1252, not UTF-8: alone in the second message.
    const std::string latin = "caf\xe9 na\xefve.bin";
    const std::string latinPath = folder_.File(latin, RandomBytes(777, 99));
    args.push_back(latinPath);

    TChild child;
    EXPECT_EQ(RunJob(child, args), 1) << child.out << child.err;
    std::vector<std::string> expected = kGoodMessage;
    expected.insert(expected.end(), kGoodMessage.begin(), kGoodMessage.end());
    EXPECT_THAT(WithoutTimes(child.OutLines()), ElementsAreArray(expected));
    EXPECT_EQ(test::CheckMessage(checks), "OK");
    // Labelled as Windows-1252 (RFC 2231): the reader gets the name's characters back.
    EXPECT_EQ(CheckRawNamedAttachment(sink.Message(2), latinPath, "caf\xc3\xa9 na\xc3\xafve.bin",
                                      "filename*=windows-1252''caf%E9%20na%EFve.bin"),
              "OK");
    // "-TO:not-a-key.txt" was a file, not a key: the recipient is unchanged.
    EXPECT_THAT(test::ReadWholeFile(folder_.root + "/mail/msg-1.json"), HasSubstr("\"rcpt_tos\": [\"you@example.org\"]"));
}

// A line break in a file name (a listed folder can hold one) must not start a
// header line of its own.
TEST_F(HostileFilesTest, LineBreakInAFileNameAddsNoHeaderLine) {
    const std::string folder = folder_.root + "/files/odd";
    fs::create_directories(folder);
    // ("/" cannot be part of a name, so no MIME type can be smuggled in; a
    // Bcc line could.)
    test::WriteWholeFile(folder + "/evil\r\nBcc: victim@example.org\r\nX-Injected: yes.txt", "payload\r\n");
    ScriptedSmtpServer server(8000ms);
    GoodMessage(server);
    server.Start();
    folder_.WriteIni(Options(server.Port(), 5));

    TChild child;
    EXPECT_EQ(RunJob(child, {folder}), 1) << child.out << child.err;
    EXPECT_TRUE(server.WaitFinished(10s));
    ASSERT_EQ(server.DataBlocks().size(), 1u);
    const auto blocks = server.DataBlocks();
    const auto& data = blocks[0];
    for (const auto& line : data) {
        EXPECT_NE(line.rfind("X-Injected", 0), 0u) << line;
        EXPECT_NE(line.rfind("Bcc:", 0), 0u) << line;
    }
    EXPECT_THAT(AttachedNames(data), ElementsAre("evil  Bcc: victim@example.org  X-Injected: yes.txt"));
}

// --- a log file and an INI file that cannot be used ---------------------------

TEST_F(HostileFilesTest, LogFileOnAFullOrReadOnlyPlaceNeverStopsTheJob) {
    struct TPlace {
        const char* what;
        std::string logName;
    };
    // /dev/full fails every write with ENOSPC; nothing can be created in
    // /proc/self, not even by root.
    const std::vector<TPlace> places = {{"full device", "/dev/full"},
                                        {"read-only place", "/proc/self/parcelwing.log"}};
    for (const auto& place : places) {
        SCOPED_TRACE(place.what);
        ScriptedSmtpServer server(8000ms);
        GoodMessage(server).AcceptNext();
        GoodMessage(server);
        server.Start();
        auto options = Options(server.Port());
        std::replace(options.begin(), options.end(), std::string("LogFileName=") + folder_.LogPath(),
                     "LogFileName=" + place.logName);
        folder_.WriteIni(options);
        const std::string a = folder_.File("a.txt", "a\r\n");
        const std::string b = folder_.File("b.txt", "b\r\n");

        TChild child;
        EXPECT_EQ(RunJob(child, {a, b}), 1) << child.out << child.err;
        std::vector<std::string> expected = kGoodMessage;
        expected.insert(expected.end(), kGoodMessage.begin(), kGoodMessage.end());
        // Every line still reaches standard output, and after the first one
        // that could not be written, once, the line that says so.
        auto lines = WithoutTimes(Without(child.OutLines(), "Parcelwing:"));
        const std::string notice = "Log file \"" + place.logName + "\" can't be written: ";
        ASSERT_GE(lines.size(), 2u) << child.out;
        EXPECT_EQ(lines[1].rfind(notice, 0), 0u) << lines[1];
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.rfind("Log file \"", 0) == 0; }),
                  1);
        lines.erase(lines.begin() + 1);
        EXPECT_THAT(lines, ElementsAreArray(expected));
        EXPECT_TRUE(server.WaitFinished(10s));
        EXPECT_EQ(server.DataBlocks().size(), 2u);
    }
}

// A file-size limit hit in the middle of the log: the job goes on, and the
// log keeps whole lines only.
TEST_F(HostileFilesTest, LogFileThatHitsTheFileSizeLimitNeverStopsTheJob) {
    ScriptedSmtpServer server(8000ms);
    GoodMessage(server).AcceptNext();
    GoodMessage(server).AcceptNext();
    GoodMessage(server);
    server.Start();
    folder_.WriteIni(Options(server.Port()));
    std::vector<std::string> args{"/bin/sh", "-c",
                                  // 1 block of 512 bytes; SIGXFSZ ignored so the write fails with EFBIG.
                                  "trap '' XFSZ; ulimit -f 1 && exec \"$0\" \"$@\"", folder_.program,
                                  "-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES"};
    for (const char* n : {"a.txt", "b.txt", "c.txt"}) args.push_back(folder_.File(n, n));
    TChild child;
    ASSERT_TRUE(child.Start(args, folder_.Environment(), {"DISPLAY", "WAYLAND_DISPLAY"}, folder_.root + "/files"));
    EXPECT_EQ(child.Wait(30s), 1) << child.out << child.err;
    EXPECT_THAT(test::ProcessesOf(folder_.program), IsEmpty());
    const auto lines = WithoutTimes(Without(child.OutLines(), "Parcelwing:"));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "All Ok!"), 3);
    const std::string log = test::ReadWholeFile(folder_.LogPath());
    EXPECT_LE(log.size(), 512u);
    EXPECT_GT(log.size(), 0u);
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n") << "the log ends in a cut line";
    EXPECT_TRUE(server.WaitFinished(10s));
}

TEST_F(HostileFilesTest, IniFileThatIsAFolder) {
    fs::create_directories(folder_.ini);
    test::WriteWholeFile(folder_.ini + "/inside.txt", "kept");
    const std::string a = folder_.File("a.txt", "a\r\n");

    // A job that exits: no settings can be read, so it is refused with the
    // first-run box and a failed connection, and ends.
    TChild job;
    EXPECT_EQ(RunJob(job, {a}), 2) << job.out << job.err;
    EXPECT_THAT(job.ErrLines(), Contains("Parcelwing: Please, set up program's options... [OK]"));

    // An instance that stays and is closed: the window state cannot be
    // written there, which is said, and the folder is left as it was.
    TChild stays;
    ASSERT_TRUE(folder_.Start(stays, {"-TO:you@example.org", a}));
    ASSERT_TRUE(folder_.WaitListening(10s));
    stays.Signal(SIGTERM);
    EXPECT_EQ(stays.Wait(10s), 1) << stays.out << stays.err;
    EXPECT_THAT(stays.err, HasSubstr("the window state could not be written"));
    EXPECT_TRUE(fs::is_directory(folder_.ini));
    EXPECT_EQ(test::ReadWholeFile(folder_.ini + "/inside.txt"), "kept");
    EXPECT_THAT(test::ProcessesOf(folder_.program), IsEmpty());
}

}  // namespace
}  // namespace pw
