// The real program run as scripts and file managers run it, for the failures
// that used to pass in silence: names and keys that are nothing, reasons of
// failed requests, hand-overs of several names, a send-and-exit run beside a
// running instance, --help, --version and --set-password, INI files that must
// keep what they hold, and an instance lock that cannot be used. Every run is
// bounded in time; scripted servers listen on 127.0.0.1 only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/program_harness.h"
#include "codecs/Base64.h"
#include "config/Secret.h"
#include "config/WindowState.h"
#include "platform/PrivateProfile.h"
#include "support/ScriptedSmtpServer.h"
#include "support/SmtpScripts.h"

namespace pw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using test::ReadWholeFile;
using test::AttachedNames;
using test::HeloMessage;
using test::ScriptedSmtpServer;
using test::TChild;
using test::TProgramFolder;
using test::WithoutTimes;

constexpr uid_t kNobody = 65534;

bool HasSummary(const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(),
                       [](const std::string& l) { return l.rfind("Parcelwing: job done: ", 0) == 0; });
}

class ScriptRunsTest : public test::TProgramTest {
protected:
    // A running instance without a job, listening for hand-overs.
    void StartInstance(TChild& running) {
        ASSERT_TRUE(folder_.Start(running, {}));
        ASSERT_TRUE(folder_.WaitListening(10s)) << running.err;
    }
};

// --- arguments that are nothing ------------------------------------------------

// The commands of a new user from a shell: each argument that cannot be used
// is named on standard error and in the log, and a send-and-exit run then
// sends nothing at all (a rerun duplicates nothing) and exits with 2.
TEST_F(ScriptRunsTest, ArgumentsThatCannotBeUsedStopASendAndExitRunBeforeAnythingIsSent) {
    ScriptedSmtpServer server(2000ms);
    server.Start();
    folder_.WriteIni(folder_.ServerOptions(server.Port()));
    folder_.File("plain.txt", "plain\r\n");
    fs::create_directory(folder_.root + "/files/folder");
    struct Row {
        std::vector<std::string> args;
        std::vector<std::string> problems;
    };
    const Row rows[] = {
        {{"plain.txt", "typo-report.pdf"}, {"Can't find file typo-report.pdf"}},
        {{"-SUBJECT:Quarterly report", "plain.txt"}, {"Unknown key -SUBJECT:Quarterly report"}},
        {{"-MSGFILE:missing-body.txt", "plain.txt"},
         {"Can't read message file missing-body.txt: No such file or directory"}},
        {{"-LSTF:folder"}, {"Can't read list file folder: Is a directory"}},
        {{"/srv/nowhere/a:b.pdf", "plain.txt", "-TO"},
         {"Can't find file /srv/nowhere/a:b.pdf", "Can't find file -TO"}},
        {{"bad\x1b[2Jname", "plain.txt"}, {"Can't find file bad\\x1b[2Jname"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        std::vector<std::string> args{"-TO:carol@example.test", "-ASEND:YES", "-AEXIT:YES"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        TChild child;
        EXPECT_EQ(folder_.Run(child, args, 20s), 2) << child.out << child.err;
        std::vector<std::string> errors;
        for (const auto& p : row.problems) errors.push_back("Parcelwing: " + p);
        errors.push_back("Parcelwing: Nothing was sent");
        EXPECT_EQ(child.ErrLines(), errors);
        EXPECT_EQ(child.OutLines(), row.problems);
        EXPECT_EQ(child.err.find('\x1b'), std::string::npos);
        EXPECT_EQ(child.out.find('\x1b'), std::string::npos);
    }
    EXPECT_EQ(server.Connections(), 0);
    // The log holds the same lines.
    EXPECT_THAT(test::SplitLines(ReadWholeFile(folder_.LogPath())), Contains("Can't find file typo-report.pdf"));
}

// --- reasons -------------------------------------------------------------------

TEST_F(ScriptRunsTest, TheReasonFollowsEveryFailedRequestAndTheBoxCarriesIt) {
    const std::string a = folder_.File("a.txt", "a\r\n");
    // A reply with terminal escapes in it: shown escaped, never raw.
    ScriptedSmtpServer server;
    server.Reply("220 scripted ready")
        .ExpectPrefix("HELO ")
        .Reply("250 hello")
        .ExpectPrefix("MAIL FROM:")
        .Reply("550 5.7.1 \x1b[31mrelaying denied\x1b[0m");
    server.Start();
    folder_.WriteIni(folder_.ServerOptions(server.Port()));
    TChild child;
    EXPECT_EQ(folder_.Run(child, {"-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES", a}), 2) << child.err;
    const std::string reason = "550 5.7.1 \\x1b[31mrelaying denied\\x1b[0m";
    EXPECT_THAT(WithoutTimes(child.OutLines()),
                ElementsAre("Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=550",
                            "Reason: " + reason, "Error, abort sending...", "Not sent: " + a));
    EXPECT_THAT(child.ErrLines(),
                Contains("Parcelwing error!!!: Error!!! See the logfile for more info... " + reason + " [OK]"));
    for (const std::string& text : {child.out, child.err, ReadWholeFile(folder_.LogPath())}) {
        EXPECT_EQ(text.find('\x1b'), std::string::npos);
    }

    // No log kept: the box gives the reason instead of pointing at one.
    auto options = folder_.ServerOptions(test::ClosedPort());
    std::replace(options.begin(), options.end(), std::string("SaveLog=1"), std::string("SaveLog=0"));
    folder_.WriteIni(options);
    TChild refused;
    EXPECT_EQ(folder_.Run(refused, {"-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES", a}), 2) << refused.err;
    EXPECT_THAT(WithoutTimes(refused.OutLines()), Contains("Reason: Connection refused"));
    EXPECT_THAT(refused.ErrLines(), Contains("Parcelwing error!!!: Error!!! Connection refused [OK]"));
}

// A server on port 465 that waits for TLS from the first byte says nothing:
// the time-out's reason says what to do.
TEST_F(ScriptRunsTest, NoGreetingOnPort465GivesTheHintForTlsOnConnect) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(465);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 4) != 0) {
        ::close(listener);
        GTEST_SKIP() << "127.0.0.1:465 cannot be had here (not root, or in use)";
    }
    auto options = folder_.ServerOptions(465);
    std::replace(options.begin(), options.end(), std::string("TimeOut=10"), std::string("TimeOut=1"));
    options.push_back("NumOfAttempts=1");
    folder_.WriteIni(options);
    const std::string a = folder_.File("a.txt", "a\r\n");
    TChild child;
    EXPECT_EQ(folder_.Run(child, {"-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES", a}), 2) << child.err;
    ::close(listener);
    EXPECT_THAT(WithoutTimes(child.OutLines()),
                Contains("Reason: Connection timed out - this port may expect TLS from the first byte: Security=2"));
}

// --- later starts --------------------------------------------------------------

// "Open with" on five files, one of them gone meanwhile: each existing one
// reaches the running instance, in order; the missing one is named by the
// later start, which exits with 2.
TEST_F(ScriptRunsTest, ALaterStartHandsOverEachOfItsNamesAndNamesTheMissingOnes) {
    folder_.WriteIni(folder_.ServerOptions(test::ClosedPort()));
    std::vector<std::string> names;
    for (const char* n : {"one.pdf", "two.pdf", "three.pdf", "four.pdf"}) names.push_back(folder_.File(n, n));
    names.insert(names.begin() + 2, folder_.root + "/files/gone.pdf");
    TChild running;
    StartInstance(running);

    TChild later;
    EXPECT_EQ(folder_.Run(later, names, 20s), 2) << later.err;
    EXPECT_THAT(later.ErrLines(), ElementsAre("Parcelwing: Can't find file " + folder_.root + "/files/gone.pdf"));
    EXPECT_THAT(later.OutLines(), IsEmpty());
    ASSERT_TRUE(running.WaitForLine([&](const std::string& l) { return l == "Handed over: " + names.back(); }, 10s))
        << running.out;

    // Keys among several arguments: nothing goes over, and the start says so.
    TChild keys;
    EXPECT_EQ(folder_.Run(keys, {"-SUBJ:Quarterly", names[0]}, 20s), 2);
    ASSERT_EQ(keys.ErrLines().size(), 1u);
    EXPECT_THAT(keys.ErrLines()[0],
                ::testing::StartsWith("Parcelwing: another instance is running; nothing was sent (to send anyway, "
                                      "add -ASEND:YES -AEXIT:YES"));

    // --help as the sole argument looks for no instance at all.
    TChild help;
    EXPECT_EQ(folder_.Run(help, {"--help"}, 20s), 0);
    EXPECT_THAT(help.out, HasSubstr("Usage: parcelwing"));

    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(10s), 1);
    EXPECT_THAT(running.OutLines(), ElementsAre("Handed over: " + names[0], "Handed over: " + names[1],
                                                "Handed over: " + names[3], "Handed over: " + names[4]));
    RWindowState state;
    LoadWindowState(folder_.ini, state);
    EXPECT_EQ(state.Files, (std::vector<std::string>{names[0], names[1], names[3], names[4]}));
    EXPECT_EQ(state.SubjText, "");
}

// --- a send-and-exit run beside a running instance -------------------------------

TEST_F(ScriptRunsTest, ASendAndExitRunIsIndependentOfARunningInstanceAndItsRememberedState) {
    ScriptedSmtpServer server;
    HeloMessage(server, "script@example.org");
    server.Start();
    const std::string remembered = folder_.File("remembered.txt", "remembered\r\n");
    folder_.WriteIni(folder_.ServerOptions(server.Port()),
                     "[MainForm]\r\nToEdit_Text=window@example.org\r\nSubjEdit_Text=Remembered\r\n"
                     "[MText]\r\nthe window's text\r\n[Attached_Files]\r\n" + remembered + "\r\n");
    TChild running;
    StartInstance(running);

    const std::string b = folder_.File("b.txt", "b\r\n");
    TChild script;
    EXPECT_EQ(folder_.Run(script, {"-TO:script@example.org", "-SUBJ:Script", "-ASEND:YES", "-AEXIT:YES", b}), 1)
        << script.err;
    EXPECT_EQ(WithoutTimes(script.OutLines()), test::kHeloMessageLog);
    EXPECT_TRUE(HasSummary(script.ErrLines())) << script.err;
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    ASSERT_EQ(server.DataBlocks().size(), 1u);
    // Only its own file, subject and text: nothing remembered by the window.
    EXPECT_THAT(AttachedNames(server.DataBlocks()[0]), ElementsAre("b.txt"));
    EXPECT_THAT(server.DataBlocks()[0], Contains("Subject: Script"));
    EXPECT_THAT(server.DataBlocks()[0], Not(Contains("the window's text")));

    // It took no hand-off and left the instance lock alone: a later start
    // still reaches the running instance.
    const std::string c = folder_.File("c.txt", "c\r\n");
    TChild later;
    EXPECT_EQ(folder_.Run(later, {c}, 20s), 0) << later.err;
    ASSERT_TRUE(running.WaitForLine([&](const std::string& l) { return l == "Handed over: " + c; }, 10s));
    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(10s), 1);
    EXPECT_THAT(running.OutLines(), ElementsAre("Handed over: " + c));

    RWindowState state;
    LoadWindowState(folder_.ini, state);
    EXPECT_EQ(state.Files, (std::vector<std::string>{remembered, c}));
    EXPECT_EQ(state.SubjText, "Remembered");
    EXPECT_EQ(state.ToText, "window@example.org");
    // Both wrote the one log: the run's seven lines are all there.
    EXPECT_EQ(WithoutTimes(test::SplitLines(ReadWholeFile(folder_.LogPath()))), test::kHeloMessageLog);
}

// --- --help, --version ---------------------------------------------------------

TEST_F(ScriptRunsTest, HelpAndVersionTellWhatTheyShouldAndStartNothing) {
    folder_.WriteIni(folder_.ServerOptions(test::ClosedPort()));
    TChild help;
    EXPECT_EQ(folder_.Run(help, {"--help"}, 20s), 0);
    EXPECT_THAT(help.out, HasSubstr("Usage: parcelwing [NAME | -KEY:VALUE]..."));
    EXPECT_THAT(help.out, HasSubstr("Settings: " + folder_.ini + "\n"));
    EXPECT_THAT(help.out, HasSubstr("Log:      " + folder_.LogPath() + "\n"));
    EXPECT_THAT(help.err, IsEmpty());

    TChild version;
    EXPECT_EQ(folder_.Run(version, {"--version"}, 20s), 0);
    EXPECT_THAT(version.OutLines(), ElementsAre(::testing::MatchesRegex("Parcelwing [0-9]+\\.[0-9]+.*")));
    EXPECT_THAT(version.err, IsEmpty());

    // Nothing was started: no lock, no socket, no log line.
    EXPECT_TRUE(fs::is_empty(folder_.root + "/rt"));
    EXPECT_FALSE(fs::exists(folder_.LogPath()));

    // Among other arguments they are names like any other.
    TChild mixed;
    EXPECT_EQ(folder_.Run(mixed, {"-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES", "--help"}, 20s), 2);
    EXPECT_THAT(mixed.ErrLines(), Contains("Parcelwing: Can't find file --help"));
}

// --- --set-password, --set-user ---------------------------------------------------

TEST_F(ScriptRunsTest, SetPasswordStoresTheProtectedFormFromStandardInput) {
    const std::string password = "correct horse battery";
    // No INI file yet: it is made with the first-run values and the password.
    TChild child;
    EXPECT_EQ(folder_.RunWithInput(child, {"--set-password"}, password + "\n", 20s), 0) << child.err;
    EXPECT_THAT(child.OutLines(), Contains("Parcelwing: password stored in " + folder_.ini));
    EXPECT_EQ(GetPrivateProfileString("ROptions", "SMTP_Auth_Pass", "", folder_.ini), EncodeSecret(password));
    EXPECT_EQ(GetPrivateProfileString("ROptions", "TimeOut", "", folder_.ini), "15");
    EXPECT_EQ(fs::status(folder_.ini).permissions(), fs::perms(0600));
    EXPECT_EQ((child.out + child.err).find("horse"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(folder_.root + "/rt"));  // no instance looked for

    // Nothing on standard input: nothing stored, exit code 2 with the reason.
    const std::string before = ReadWholeFile(folder_.ini);
    TChild empty;
    EXPECT_EQ(folder_.Run(empty, {"--set-password"}, 20s), 2);
    EXPECT_THAT(empty.ErrLines(), ElementsAre("Parcelwing: nothing stored: no password on standard input"));
    EXPECT_EQ(ReadWholeFile(folder_.ini), before);
}

// A user without a window sets up a login from a terminal alone: the user
// name and the password stored by the two commands (each saying what the
// login still lacks), then a job that logs in with exactly those two.
TEST_F(ScriptRunsTest, SetUserAndSetPasswordAloneSetUpALogin) {
    const std::string user = "jane.doe@example.org";
    const std::string password = "tanstaaf tanstaaf";
    ScriptedSmtpServer server(5000ms);
    std::vector<std::string> options = folder_.ServerOptions(server.Port());
    options.push_back("SMTP_Auth_Type=2");  // PLAIN by number: no TLS needed on loopback
    folder_.WriteIni(options, "[MainForm]\r\nTop=7\r\n");

    TChild name;
    EXPECT_EQ(folder_.RunWithInput(name, {"--set-user"}, user + "\r\nleft over\n", 20s), 0) << name.err;
    EXPECT_THAT(name.OutLines(),
                ElementsAre("Parcelwing: user name stored in " + folder_.ini,
                            "Parcelwing: a login also needs SMTP_Auth_Enabled=1 in that file and a password "
                            "(parcelwing --set-password) or a password or token command"));
    EXPECT_THAT(name.err, IsEmpty());
    EXPECT_EQ(GetPrivateProfileString("ROptions", "SMTP_Auth_Name", "", folder_.ini), EncodeSecret(user));
    EXPECT_EQ(GetPrivateProfileString("MainForm", "Top", "", folder_.ini), "7");  // nothing else changed
    EXPECT_TRUE(fs::is_empty(folder_.root + "/rt"));                               // no instance looked for

    TChild secret;
    EXPECT_EQ(folder_.RunWithInput(secret, {"--set-password"}, password + "\n", 20s), 0) << secret.err;
    EXPECT_THAT(secret.OutLines(), ElementsAre("Parcelwing: password stored in " + folder_.ini,
                                               "Parcelwing: a login also needs SMTP_Auth_Enabled=1 in that file"));
    EXPECT_EQ(GetPrivateProfileString("ROptions", "SMTP_Auth_Name", "", folder_.ini), EncodeSecret(user));

    // Empty input and an empty line store nothing and say why.
    const std::string before = ReadWholeFile(folder_.ini);
    for (const auto& [input, reason] : {std::pair<std::string, std::string>{"", "no user name on standard input"},
                                        {"\n", "the user name is empty"}}) {
        TChild refused;
        EXPECT_EQ(folder_.RunWithInput(refused, {"--set-user"}, input, 20s), 2);
        EXPECT_THAT(refused.ErrLines(), ElementsAre("Parcelwing: nothing stored: " + reason));
    }
    EXPECT_EQ(ReadWholeFile(folder_.ini), before);

    // With the login switched on, the job logs in with what was typed.
    WritePrivateProfileString("ROptions", "SMTP_Auth_Enabled", "1", folder_.ini);
    const std::string plain = Base64Encode(std::string(1, '\0') + user + '\0' + password);
    server.Reply("220 scripted ready")
        .ExpectPrefix("EHLO ")
        .ReplyLines({"250-hello", "250 AUTH PLAIN"})
        .Exchange("AUTH PLAIN " + plain, "235 2.7.0 accepted")
        .Exchange("MAIL FROM:<me@example.org>", "250 ok")
        .Exchange("RCPT TO:<you@example.org>", "250 ok")
        .Exchange("DATA", "354 go ahead")
        .ReadData()
        .Reply("250 queued")
        .Exchange("QUIT", "221 bye")
        .Close();
    server.Start();
    const std::string file = folder_.File("report.txt", "report\r\n");
    TChild job;
    EXPECT_EQ(folder_.Run(job, {"-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES", file}, 30s), 1) << job.err;
    EXPECT_TRUE(server.WaitFinished(10s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    EXPECT_THAT(job.out + job.err + ReadWholeFile(folder_.LogPath()), Not(HasSubstr(plain)));
}

// --- files that keep what they hold ---------------------------------------------------

// The user "nobody", its settings in the XDG places below a folder of its own
// (mode 0755), has made its INI file read-only to lock its setup: neither the
// close nor --set-password replaces it.
TEST_F(ScriptRunsTest, AReadOnlyIniFileIsNeverReplacedForAUserWhoIsNotRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "runs the program as nobody, which needs root";
    ASSERT_TRUE(fs::exists("/usr/bin/setpriv")) << "setpriv (util-linux) is needed";
    const std::string home = folder_.root + "/home";
    for (const std::string& dir : {home, home + "/config/parcelwing", home + "/state", home + "/run"}) {
        fs::create_directories(dir);
    }
    for (const auto& e : fs::recursive_directory_iterator(home)) ASSERT_EQ(::chown(e.path().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
    fs::permissions(home, fs::perms(0755));
    fs::permissions(home + "/run", fs::perms(0700));
    // The program folder stays root's: the settings are not kept beside it.
    fs::permissions(folder_.root, fs::perms(0755));
    fs::permissions(folder_.root + "/prog", fs::perms(0755));

    const std::string ini = home + "/config/parcelwing/parcelwing.ini";
    test::WriteWholeFile(ini, "[ROptions]\r\nFrom=me@example.org\r\nHost=127.0.0.1\r\nPort=" +
                                  std::to_string(test::ClosedPort()) + "\r\nSaveLog=0\r\n[MainForm]\r\nTop=33\r\n");
    ASSERT_EQ(::chown(ini.c_str(), kNobody, kNobody), 0);
    fs::permissions(ini, fs::perms(0444));
    const std::string before = ReadWholeFile(ini);

    const std::vector<std::string> env{"HOME=" + home,
                                       "XDG_CONFIG_HOME=" + home + "/config",
                                       "XDG_STATE_HOME=" + home + "/state",
                                       "XDG_CACHE_HOME=" + home + "/cache",
                                       "XDG_RUNTIME_DIR=" + home + "/run",
                                       "PARCELWING_INSTANCE=" + folder_.tag};
    const auto asNobody = [&](std::vector<std::string> args) {
        std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                      folder_.program};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    };

    TChild running;
    ASSERT_TRUE(running.Start(asNobody({"-SUBJ:changed"}), env, {"DISPLAY", "WAYLAND_DISPLAY"}, home));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const auto listening = [&] {
        for (const auto& e : fs::directory_iterator(home + "/run")) {
            if (e.path().extension() == ".sock") return true;
        }
        return false;
    };
    while (!listening() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(listening()) << running.err;
    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(10s), 1);
    EXPECT_THAT(running.ErrLines(),
                Contains("Parcelwing: the window state could not be written to " + ini + ": Permission denied"));

    TChild password;
    ASSERT_TRUE(password.Start(asNobody({"--set-password"}), env, {"DISPLAY", "WAYLAND_DISPLAY"}, home, true));
    ASSERT_TRUE(password.WriteStdin("secret\n"));
    password.CloseStdin();
    EXPECT_EQ(password.Wait(10s), 2);
    EXPECT_THAT(password.ErrLines(),
                ElementsAre("Parcelwing: the password could not be stored in " + ini + ": Permission denied"));

    EXPECT_EQ(ReadWholeFile(ini), before);
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_THAT(test::SplitLines(ReadWholeFile(ini)), Not(Contains(HasSubstr("changed"))));
}

// Root closing an instance whose INI file belongs to another user: the file
// is replaced, with the user's owner and mode kept.
TEST_F(ScriptRunsTest, RootReplacingAUsersIniFileKeepsItsOwnerAndMode) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root writes another user's file";
    folder_.WriteIni(folder_.ServerOptions(test::ClosedPort()));
    ASSERT_EQ(::chown(folder_.ini.c_str(), kNobody, kNobody), 0);
    fs::permissions(folder_.ini, fs::perms(0640));
    TChild running;
    ASSERT_TRUE(folder_.Start(running, {"-SUBJ:written by root"}));
    ASSERT_TRUE(folder_.WaitListening(10s));
    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(10s), 1) << running.err;
    EXPECT_THAT(ReadWholeFile(folder_.ini), HasSubstr("SubjEdit_Text=written by root"));
    struct stat st {};
    ASSERT_EQ(::stat(folder_.ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A message text whose lines look like a section header or like the blank
// marker comes back as it was typed.
TEST_F(ScriptRunsTest, TextLinesThatLookLikeSectionHeadersAreKept) {
    folder_.WriteIni(folder_.ServerOptions(test::ClosedPort()));
    const std::string text = "[URGENT]\r\nplease read\r\n#@$%#\r\n   [x]   \r\nend\r\n";
    const std::string body = folder_.File("body.txt", text);
    TChild running;
    ASSERT_TRUE(folder_.Start(running, {"-MSGFILE:" + body}));
    ASSERT_TRUE(folder_.WaitListening(10s));
    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(10s), 1) << running.err;
    EXPECT_THAT(running.err, IsEmpty());
    RWindowState state;
    LoadWindowState(folder_.ini, state);
    EXPECT_EQ(state.MessageText, text);
}

// --- the instance lock ------------------------------------------------------------------

// A lock file that another user put in place cannot be used: the program says
// so once (standard error and log) and runs alone.
TEST_F(ScriptRunsTest, AnInstanceLockThatCannotBeUsedIsSaidOnceAndTheProgramRunsAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
    folder_.WriteIni(folder_.ServerOptions(test::ClosedPort()));
    const std::string lock =
        folder_.root + "/rt/Parcelwing by Tamberly Group." + folder_.tag + "." + std::to_string(::getuid()) + ".lock";
    test::WriteWholeFile(lock, "");
    ASSERT_EQ(::chown(lock.c_str(), kNobody, kNobody), 0);
    TChild running;
    ASSERT_TRUE(folder_.Start(running, {}));
    const std::string note = "the instance lock cannot be used (" + lock +
                             ": belongs to another user); this instance runs alone and takes no names from later "
                             "starts";
    ASSERT_TRUE(running.WaitForLine([&](const std::string& l) { return l == note; }, 10s)) << running.err;
    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(10s), 1);
    EXPECT_THAT(running.ErrLines(), ElementsAre("Parcelwing: " + note));
    EXPECT_THAT(running.OutLines(), ElementsAre(note));
    const auto logged = test::SplitLines(ReadWholeFile(folder_.LogPath()));
    EXPECT_EQ(std::count(logged.begin(), logged.end(), note), 1);
    EXPECT_FALSE(fs::exists(folder_.SocketPath()));
}

}  // namespace
}  // namespace pw
