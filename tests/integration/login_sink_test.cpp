// The real program against aiosmtpd with its own AUTH PLAIN and LOGIN and its
// data_size_limit (announced as SIZE): logins from the INI file and from a
// password command, a wrong password, and messages below and above the limit.
// Over TLS the same server is in tls_sink_test.cpp.

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <thread>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/Secret.h"
#include "integration/LoginSinkFixture.h"
#include "support/ProcessGroup.h"
#include "support/SmtpSink.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using test::TChild;

const std::string& kUser = test::kSinkUser;
const std::string& kPassword = test::kSinkPassword;

class LoginSinkTest : public test::TLoginSinkTest {
protected:
    std::vector<std::string> LoginOptions(int port, int type) const {
        auto o = folder_.LoginOptions(port, kUser);
        o.push_back("SMTP_Auth_Type=" + std::to_string(type));
        return o;
    }
};

TEST_F(LoginSinkTest, PlainAndLoginChosenByNumberInClearText) {
    struct Row {
        int type;
        const char* mechanism;
        bool fromCommand;
    } rows[] = {{2, "PLAIN", false}, {1, "LOGIN", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mechanism);
        test::TSmtpSink sink(folder_.root + "/mail-" + row.mechanism,
                             SinkLoginInClear());
        ASSERT_NE(sink.Port(), 0) << "the sink did not start (python3-aiosmtpd missing?)";
        auto options = LoginOptions(sink.Port(), row.type);
        if (row.fromCommand)
            options.push_back("SMTP_Auth_PassCommand=printf '%s\\n' " + kPassword);
        else
            options.push_back("SMTP_Auth_Pass=" + EncodeSecret(kPassword));
        folder_.WriteIni(options);
        ::chmod(folder_.ini.c_str(), 0600);

        TChild child;
        EXPECT_EQ(Send(child, {folder_.File("a.txt", "alpha\r\n")}), 1) << child.out << child.err;
        ASSERT_EQ(sink.Count(), 1);
        EXPECT_THAT(sink.Envelope(1), HasSubstr("\"login\": \"tim\""));
        const auto log = folder_.LogLines();
        EXPECT_THAT(log, Contains("Rq=11(Auth) Error=0"));
        EXPECT_THAT(log, Contains(std::string("Warning: AUTH ") + row.mechanism +
                                  " was chosen by number and goes in clear text: whoever can read the connection "
                                  "can read the password"));
        // The trace (LogDetail 2) shows the login, never the password.
        EXPECT_THAT(log, Contains(row.type == 2 ? "> AUTH PLAIN ****" : "> ****"));
        ExpectNoSecretAnywhere(child);
    }
}

TEST_F(LoginSinkTest, AWrongPasswordEndsTheJobAfterOneTry) {
    test::TSmtpSink sink(folder_.root + "/mail", SinkLoginInClear());
    ASSERT_NE(sink.Port(), 0);
    auto options = LoginOptions(sink.Port(), 2);
    options.push_back("SMTP_Auth_Pass=" + EncodeSecret("not-the-password"));
    options.push_back("NumOfAttempts=5");
    folder_.WriteIni(options);

    TChild child;
    EXPECT_EQ(Send(child, {folder_.File("a.txt", "a"), folder_.File("b.txt", "b"), folder_.File("c.txt", "c")}), 2)
        << child.out << child.err;
    EXPECT_EQ(sink.Count(), 0);
    const auto log = folder_.LogLines();
    EXPECT_THAT(log, Contains("Rq=11(Auth) Error=535"));
    EXPECT_THAT(log, Contains("Login failed: no further message is sent, since the same login would fail again "
                              "(and repeated tries may lock the account)"));
    int connects = 0;
    for (const auto& line : log) connects += line == "Rq=0(Connect) Error=0";
    EXPECT_EQ(connects, 1);
    EXPECT_THAT(test::ReadWholeFile(folder_.LogPath()), Not(HasSubstr("not-the-password")));
}

TEST_F(LoginSinkTest, SizeIsAnnouncedAndAMessageAboveTheLimitIsNotUploaded) {
    test::TSmtpSink sink(folder_.root + "/mail", {"--size-limit", "4000"});
    ASSERT_NE(sink.Port(), 0);
    auto options = folder_.ServerOptions(sink.Port());
    options.push_back("Return_Receipt_Enabled=1");  // EHLO, so SIZE is learnt
    folder_.WriteIni(options);
    const std::string small = folder_.File("small.bin", std::string(1000, 's'));
    const std::string big = folder_.File("big.bin", std::string(6000, 'b'));

    TChild child;
    EXPECT_EQ(Send(child, {small, big}), 2) << child.out << child.err;
    ASSERT_EQ(sink.Count(), 1);
    // The size announced is the size of the message as the server stored it.
    const std::string received = test::ReadWholeFile(sink.Message(1));
    EXPECT_THAT(sink.Envelope(1), HasSubstr("\"SIZE=" + std::to_string(received.size()) + "\""));
    const auto log = folder_.LogLines();
    EXPECT_THAT(log, Contains("Rq=2(MailFrom) Error=552"));
    EXPECT_THAT(log, Contains("All Ok!"));
}

// A password command that hangs and ignores SIGTERM: with the real time limit
// of 30 seconds the message fails with the reason, the program ends with 2,
// and nothing of the command is left; closing the program while the command
// runs takes the command with it.
TEST_F(LoginSinkTest, AHangingPasswordCommandNeverOutlivesTheProgram) {
    test::TSmtpSink sink(folder_.root + "/mail", SinkLoginInClear());
    ASSERT_NE(sink.Port(), 0);
    const std::string pidFile = folder_.root + "/command.pid";
    auto options = LoginOptions(sink.Port(), 1);
    options.push_back("SMTP_Auth_PassCommand=trap '' TERM; echo $$ > " + pidFile + "; sleep 600; echo late");
    folder_.WriteIni(options);
    ::chmod(folder_.ini.c_str(), 0600);
    const auto groupGone = [](pid_t group) { return test::GroupEndsWithin(group, 5s); };

    {
        SCOPED_TRACE("the time limit");
        TChild child;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Send(child, {folder_.File("a.txt", "a")}), 2) << child.out << child.err;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 29s);
        EXPECT_LT(took, 50s);
        EXPECT_THAT(folder_.LogLines(), Contains("Rq=11(Auth) Error=12012"));
        EXPECT_TRUE(groupGone(std::stoi(test::ReadWholeFile(pidFile)))) << "the command is still running";
        EXPECT_EQ(sink.Count(), 0);
    }
    {
        SCOPED_TRACE("closed while the command runs");
        ::unlink(pidFile.c_str());
        TChild child;
        ASSERT_TRUE(folder_.Start(child, {"-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES",
                                          folder_.File("b.txt", "b")}));
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        std::string pid;
        while ((pid = test::ReadWholeFile(pidFile)).empty() && std::chrono::steady_clock::now() < deadline)
            child.Pump(20ms);
        ASSERT_FALSE(pid.empty()) << child.out << child.err;
        child.Signal(SIGTERM);
        EXPECT_GE(child.Wait(10s), 0) << "the program did not end";
        EXPECT_TRUE(groupGone(std::stoi(pid))) << "the command is still running";
    }
}

}  // namespace
}  // namespace pw
