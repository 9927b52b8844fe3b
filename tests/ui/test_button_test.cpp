// The options dialog's Test button against scripted SMTP servers on
// 127.0.0.1: it connects with the dialog's values as they stand, reports each
// step in plain words, ends with QUIT, and never blocks the dialog.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <gmock/gmock.h>

#include "UiTestSupport.h"
#include "codecs/Base64.h"
#include "support/LoopbackSocket.h"
#include "support/ScriptedSmtpServer.h"
#include "support/TestCertificates.h"
#include "support/TlsTestServer.h"
#include "ui/ConnectionTest.h"
#include "ui/OptionsDialog.h"

namespace pw {
namespace {

using ::testing::IsEmpty;
using test::FakePrompter;
using test::ScriptedSmtpServer;
using namespace std::chrono_literals;

// A loopback port that nothing listens on: bound by the system, then let go.
int FreePort() { return test::UnusedLoopbackPort(); }

class TestButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        ROptions options;
        options.Host = "mail.example.org";
        options.From = "me@example.org";
        options.SignOn = "client.example.org";
        dialog.fill(options);
        dialog.setMessageLoop(&loop);
        test::ShowActive(dialog);
    }
    const ROptionsControls& c() const { return dialog.controls(); }
    // Types the server into the dialog, as a person would.
    void TypeServer(int port) {
        c().Server->setText(QStringLiteral("127.0.0.1"));
        c().Port->setText(QString::number(port));
    }
    void TypeLogin(const char* name, const char* password) {
        if (!c().Auth->isChecked()) c().Auth->click();
        c().AuthName->setText(QString::fromLatin1(name));
        c().Password->setText(QString::fromLatin1(password));
        c().AuthMethod->setCurrentIndex(1);  // LOGIN
    }
    // Clicks Test and waits for its end; the steps reported.
    QStringList RunTest() {
        c().Test->click();
        EXPECT_TRUE(test::WaitUntil([this] { return dialog.connectionTest() && !dialog.connectionTest()->Running(); }));
        return dialog.connectionTest() ? dialog.connectionTest()->Steps() : QStringList();
    }

    MessageLoop loop;
    test::LoopOnQt driver{loop};
    FakePrompter prompter;
    OptionsDialog dialog{prompter, "/nonexistent/", QString()};
};

TEST_F(TestButtonTest, SaysWhenNothingAnswersOnThePort) {
    const int port = FreePort();
    ASSERT_GT(port, 0);
    TypeServer(port);
    const QStringList steps = RunTest();
    ASSERT_EQ(steps.size(), 3) << steps.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(steps[0], QStringLiteral("Connecting to 127.0.0.1, port %1 ...").arg(port));
    EXPECT_EQ(steps[1],
              QStringLiteral("The connection was refused: nothing answers on port %1 of 127.0.0.1.").arg(port));
    EXPECT_EQ(steps[2], QStringLiteral("Test failed."));
    EXPECT_FALSE(dialog.connectionTest()->Passed());
    // Shown under the button, one line a step; the button can be pressed again.
    EXPECT_TRUE(c().TestResult->isVisible());
    EXPECT_EQ(c().TestResult->text(), steps.join(QLatin1Char('\n')));
    EXPECT_TRUE(c().Test->isEnabled());
    EXPECT_TRUE(prompter.boxes.empty()) << "no box: the words are in the dialog";
}

TEST_F(TestButtonTest, AGoodLoginThenQuit) {
    ScriptedSmtpServer server;
    server.Reply("220 relay.test ESMTP ready")
        .ExpectPrefix("EHLO ")
        .ReplyLines({"250-relay.test", "250 AUTH LOGIN CRAM-MD5"})
        .Exchange("AUTH LOGIN", "334 VXNlcm5hbWU6")
        .Exchange(Base64Encode("mailer"), "334 UGFzc3dvcmQ6")
        .Exchange(Base64Encode("s3cret-pw"), "235 2.7.0 Authentication successful")
        .Exchange("QUIT", "221 2.0.0 Bye")
        .Close();
    server.Start();
    TypeServer(server.Port());
    TypeLogin("mailer", "s3cret-pw");
    const QStringList steps = RunTest();
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    // LOGIN named by number in clear text: the test says so, as the log would.
    EXPECT_EQ(steps, (QStringList{QStringLiteral("Connecting to 127.0.0.1, port %1 ...").arg(server.Port()),
                                  QStringLiteral("Connected. The server says: 220 relay.test ESMTP ready"),
                                  QStringLiteral("Not encrypted."),
                                  QStringLiteral("AUTH LOGIN was chosen by number and goes in clear text: whoever "
                                                 "can read the connection can read the password"),
                                  QStringLiteral("Login accepted."), QStringLiteral("Test passed.")}));
    EXPECT_TRUE(dialog.connectionTest()->Passed());
    EXPECT_EQ(server.Commands().front(), "EHLO client.example.org");
    // The password is never shown.
    EXPECT_FALSE(c().TestResult->text().contains(QStringLiteral("s3cret-pw")));
    EXPECT_FALSE(c().TestResult->toolTip().contains(QStringLiteral("s3cret-pw")));
}

TEST_F(TestButtonTest, ARefusedLoginStillSaysGoodbye) {
    ScriptedSmtpServer server;
    server.Reply("220 relay.test ESMTP")
        .ExpectPrefix("EHLO ")
        .ReplyLines({"250-relay.test", "250 AUTH LOGIN"})
        .Exchange("AUTH LOGIN", "334 VXNlcm5hbWU6")
        .Exchange(Base64Encode("mailer"), "334 UGFzc3dvcmQ6")
        .Exchange(Base64Encode("wrong"), "535 5.7.8 Authentication credentials invalid")
        .Exchange("QUIT", "221 Bye")
        .Close();
    server.Start();
    TypeServer(server.Port());
    TypeLogin("mailer", "wrong");
    const QStringList steps = RunTest();
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    ASSERT_GE(steps.size(), 2);
    EXPECT_TRUE(steps.contains(QStringLiteral("Login refused: 535 5.7.8 Authentication credentials invalid")))
        << steps.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(steps.back(), QStringLiteral("Test failed."));
}

TEST_F(TestButtonTest, WithoutALoginItSaysHelloAsTheJobWould) {
    ScriptedSmtpServer server;
    server.Reply("220 plain.test").Exchange("HELO client.example.org", "250 plain.test").Exchange("QUIT", "221 Bye").Close();
    server.Start();
    TypeServer(server.Port());
    const QStringList steps = RunTest();
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    EXPECT_TRUE(steps.contains(QStringLiteral("No login asked for.")));
    EXPECT_EQ(steps.back(), QStringLiteral("Test passed."));
}

TEST_F(TestButtonTest, StartTlsAndTheAutomaticLoginAsTheJobWouldDoThem) {
    test::TestCertificates certs;
    ROptions options;
    options.From = "me@example.org";
    options.SignOn = "client.example.org";
    options.TlsCaFile = certs.CaFile;  // no control of its own: kept from the settings
    dialog.fill(options);
    test::TlsTestServer server(certs.Server);
    std::vector<std::string> seen;
    server.Start([&](test::TlsConnection& tls) {
        const auto rawLine = [&] {
            std::string line;
            while (line.empty() || line.back() != '\n') {
                const std::string b = tls.ReadRaw(1);
                if (b.empty()) break;
                line += b;
            }
            return line;
        };
        tls.WriteRaw("220 tls.test ESMTP\r\n");
        seen.push_back(rawLine());
        tls.WriteRaw("250-tls.test\r\n250 STARTTLS\r\n");
        seen.push_back(rawLine());
        tls.WriteRaw("220 go ahead\r\n");
        if (!tls.Handshake()) return;
        seen.push_back(tls.ReadLine());
        tls.Write("250-tls.test\r\n250 AUTH PLAIN LOGIN\r\n");
        seen.push_back(tls.ReadLine());
        tls.Write("235 2.7.0 ok\r\n");
        seen.push_back(tls.ReadLine());
        tls.Write("221 bye\r\n");
        tls.CloseTcp();
    });
    c().Server->setText(QStringLiteral("127.0.0.1"));
    c().Port->setText(QString::number(server.Port()));
    c().SecurityStartTls->click();
    c().Port->setText(QString::number(server.Port()));  // the port the choice of STARTTLS may have changed
    if (!c().Auth->isChecked()) c().Auth->click();
    c().AuthName->setText(QStringLiteral("mailer"));
    c().Password->setText(QStringLiteral("s3cret-pw"));
    c().AuthMethod->setCurrentIndex(0);  // Automatic
    const QStringList steps = RunTest();
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(steps.back(), QStringLiteral("Test passed.")) << steps.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(steps.contains(QStringLiteral("Encrypted with STARTTLS.")));
    EXPECT_TRUE(steps.contains(QStringLiteral("Login accepted.")));
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[1], "STARTTLS\r\n");
    // PLAIN, chosen over checked TLS.
    EXPECT_EQ(seen[3], "AUTH PLAIN " + Base64Encode(std::string("\0mailer\0s3cret-pw", 17)) + "\r\n");
    EXPECT_EQ(seen[4], "QUIT\r\n");
}

TEST_F(TestButtonTest, TheDialogStaysUsableWhileTheServerIsSlow) {
    ScriptedSmtpServer server;
    server.Pause(1500ms).Reply("220 slow.test").Exchange("HELO client.example.org", "250 ok").Exchange("QUIT", "221 Bye").Close();
    server.Start();
    TypeServer(server.Port());
    QElapsedTimer clock;
    clock.start();
    c().Test->click();
    EXPECT_LT(clock.elapsed(), 500) << "the click returns at once";
    ASSERT_NE(dialog.connectionTest(), nullptr);
    EXPECT_TRUE(dialog.connectionTest()->Running());
    EXPECT_FALSE(c().Test->isEnabled()) << "one test at a time";
    // Meanwhile the dialog takes input and answers its keys.
    test::PressKey(c().From, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(dialog.currentPage(), OptionsDialog::pgMix);
    dialog.showPage(OptionsDialog::pgEMail);
    c().Organization->setText(QStringLiteral("typed while testing"));
    EXPECT_TRUE(dialog.connectionTest()->Running());
    EXPECT_TRUE(test::WaitUntil([this] { return !dialog.connectionTest()->Running(); }));
    EXPECT_TRUE(dialog.connectionTest()->Passed());
    EXPECT_TRUE(c().Test->isEnabled());
    EXPECT_TRUE(server.WaitFinished(5s));
}

TEST_F(TestButtonTest, ClosingTheDialogDropsTheConnection) {
    ScriptedSmtpServer server;
    server.Reply("220 relay.test").Silent(10000ms);
    server.Start();
    TypeServer(server.Port());
    c().Test->click();
    ASSERT_TRUE(test::WaitUntil([&] { return dialog.connectionTest()->Steps().size() >= 2; }));
    dialog.reject();
    delete dialog.connectionTest();  // as the dialog's end would
    EXPECT_TRUE(server.WaitFinished(5s)) << "the client went away";
    EXPECT_TRUE(server.PeerClosed());
}

}  // namespace
}  // namespace pw
