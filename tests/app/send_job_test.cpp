// The send job in process: TMainUnit on a MemoryView and the real message loop,
// against scripted SMTP servers on 127.0.0.1 and a fast automatic one. Every
// job runs under a watchdog that aborts it, so no test can hang.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/ClientSetup.h"
#include "app/CommandLine.h"
#include "app/JobReport.h"
#include "app/MainUnit.h"
#include "app/MemoryView.h"
#include "app/program_harness.h"
#include "config/WindowState.h"
#include "platform/PrivateProfile.h"
#include "support/LoopbackSocket.h"
#include "support/ProcessGroup.h"
#include "support/ScriptedSmtpServer.h"

namespace pw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using test::ScriptedSmtpServer;
using test::WithoutTimes;

// ---------------------------------------------------------------------------
// Texts and small rules, table-driven.

TEST(SendJobTexts, RequestDoneLineHasNoLeadingZeros) {
    struct Row {
        int day, month, year, hour, minute, second, request, error;
        const char* want;
    };
    const Row rows[] = {
        {7, 3, 2025, 9, 5, 3, 0, 0, "7 3 2025 9:5:3 RequestDone Rq=0(Connect) Error=0"},
        {31, 12, 1999, 23, 59, 58, 10, 0, "31 12 1999 23:59:58 RequestDone Rq=10(Ehlo) Error=0"},
        {1, 1, 2030, 0, 0, 0, 4, 550, "1 1 2030 0:0:0 RequestDone Rq=4(RcptTo) Error=550"},
        {15, 6, 2024, 12, 30, 0, 0, 10061, "15 6 2024 12:30:0 RequestDone Rq=0(Connect) Error=10061"},
        {2, 2, 2022, 2, 2, 2, 12, 0, "2 2 2022 2:2:2 RequestDone Rq=12(Custom) Error=0"},
    };
    for (const auto& r : rows) {
        std::tm t{};
        t.tm_mday = r.day;
        t.tm_mon = r.month - 1;
        t.tm_year = r.year - 1900;
        t.tm_hour = r.hour;
        t.tm_min = r.minute;
        t.tm_sec = r.second;
        EXPECT_EQ(RequestDoneLine(t, r.request, r.error), r.want);
    }
}

TEST(SendJobTexts, RecipientsDropEmptyPieces) {
    struct Row {
        const char* to;
        std::vector<std::string> want;
    };
    const Row rows[] = {
        {"a@x", {"a@x"}},
        {"  a@x ; b@y;", {"a@x", "b@y"}},
        {";a@x", {"a@x"}},
        {"a@x;;b@y", {"a@x", "b@y"}},
        {"", {}},
        {"   ", {}},
        {";;;", {}},
        {" a b@x ;\tc@y\t", {"a b@x", "c@y"}},
        // "," separates as well, but not inside quotes or angle brackets.
        {"a@x, b@y", {"a@x", "b@y"}},
        {"a@x,,b@y", {"a@x", "b@y"}},
        {"\"Smith, John\" <js@example.org>; Ann <a@x>", {"\"Smith, John\" <js@example.org>", "Ann <a@x>"}},
        // A list that cannot be read gives nobody: the job refuses it first.
        {"a@x; \"b@y", {}},
        {"a@x; <b@y", {}},
    };
    for (const auto& r : rows) EXPECT_EQ(SplitRecipients(r.to), r.want) << "To: \"" << r.to << "\"";
}

TEST(SendJobTexts, AddressesThatCannotBeSentAreNamed) {
    struct Row {
        std::string from, to;
        std::string problem;
    };
    const Row rows[] = {
        {"me@example.org", "you@example.org", ""},
        {"Me Myself <me@example.org>", "\"Smith, John\" <js@example.org>, Ann <a@x>;", ""},
        {"me@example.org", "", ""},
        {"John Smith", "you@example.org", "The \"From address:\" field cannot be used: \"John Smith\" is no address"},
        {"", "you@example.org", "The \"From address:\" field cannot be used: no address"},
        {"me@example.org", "a@x; \"Smith, John <js@example.org>",
         "The \"To:\" field cannot be used: a \"\"\" without its closing \"\"\""},
        {"me@example.org", "John <js@example.org", "The \"To:\" field cannot be used: a \"<\" without \">\""},
        {"me@example.org", "a@x, John Smith", "The \"To:\" field cannot be used: \"John Smith\" is no address"},
        {"me@example.org", "jürgen@example.org",
         "The \"To:\" field cannot be used: \"jürgen@example.org\" holds characters that are not plain ASCII"},
    };
    for (const auto& r : rows) EXPECT_EQ(AddressProblem(r.from, r.to), r.problem) << r.from << " / " << r.to;
}

TEST(SendJobTexts, OwnHeaderLinesFollowTheDateLineOnly) {
    const std::string mailer = "\r\nX-Mailer: Parcelwing v.2.1b ";
    struct Row {
        std::string line, from;
        bool receipt;
        std::string want;
    };
    const Row rows[] = {
        {"Date: Tue 8 Dec 2026", "me@x", false, "Date: Tue 8 Dec 2026" + mailer},
        {"DATE: Tue", " me@x ", true, "DATE: Tue\r\nReturn-Receipt-To: me@x" + mailer},
        {"date:x", "me@x", true, "date:x\r\nReturn-Receipt-To: me@x" + mailer},
        {"Subject: Date: no", "me@x", true, "Subject: Date: no"},
        {"Dat", "me@x", true, "Dat"},
        // A line break in the address cannot start a header line of its own.
        {"Date: d", "me@x\r\nBcc: evil@y", true, "Date: d\r\nReturn-Receipt-To: me@x  Bcc: evil@y" + mailer},
        // A display name as the From line has it: ASCII as it is, others encoded.
        {"Date: d", "Me Myself <me@x>", true, "Date: d\r\nReturn-Receipt-To: Me Myself <me@x>" + mailer},
        {"Date: d", "Jürgen <me@x>", true, "Date: d\r\nReturn-Receipt-To: =?UTF-8?B?SsO8cmdlbg==?= <me@x>" + mailer},
    };
    for (const auto& r : rows) {
        std::string line = r.line;
        AppendOwnHeaderLines(line, 1024, r.from, r.receipt);
        EXPECT_EQ(line, r.want);
    }
}

TEST(SendJobTexts, OwnHeaderLinesStayWithinTheBuffer) {
    // A From so long that the receipt line does not fit: only the mailer line goes.
    std::string line = "Date: Tue 8 Dec 2026 17:57:38";
    AppendOwnHeaderLines(line, 1024, std::string(1000, 'f'), true);
    EXPECT_EQ(line, "Date: Tue 8 Dec 2026 17:57:38\r\nX-Mailer: Parcelwing v.2.1b ");
    EXPECT_LT(line.size(), 1024u);

    // Exactly at the limit: both fit when the total is 1,023 bytes.
    const std::string date = "Date: d";
    const std::size_t fixed = date.size() + std::string("\r\nReturn-Receipt-To: ").size() +
                              std::string("\r\nX-Mailer: Parcelwing v.2.1b ").size();
    line = date;
    AppendOwnHeaderLines(line, 1024, std::string(1023 - fixed, 'f'), true);
    EXPECT_EQ(line.size(), 1023u);
    EXPECT_THAT(line, HasSubstr("Return-Receipt-To: "));
    line = date;
    AppendOwnHeaderLines(line, 1024, std::string(1024 - fixed, 'f'), true);
    EXPECT_THAT(line, ::testing::Not(HasSubstr("Return-Receipt-To: ")));

    // No room at all: the line is left alone.
    line = "Date: " + std::string(1020, 'd');
    const std::string before = line;
    AppendOwnHeaderLines(line, 1024, "me@x", true);
    EXPECT_EQ(line, before);
}

TEST(SendJobTexts, BodyLinesWrapLongLinesWithoutLosingText) {
    EXPECT_EQ(ComposeBodyLines("", {}, 998), std::vector<std::string>{""});
    EXPECT_EQ(ComposeBodyLines("a\r\nb\r\n", {"f1", "f2"}, 998),
              (std::vector<std::string>{"a", "b", "", "f1", "f2"}));
    const std::string longLine(2500, 'x');
    const auto lines = ComposeBodyLines("head", {longLine}, 998);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].size(), 998u);
    EXPECT_EQ(lines[2].size(), 998u);
    EXPECT_EQ(lines[1] + lines[2] + lines[3], longLine);

    // UTF-8 is cut between characters only.
    std::string german;
    for (int i = 0; i < 700; ++i) german += "ä";
    const auto cut = ComposeBodyLines("", {german}, 998);
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[1].size(), 998u);
    EXPECT_EQ(cut[2].size(), 402u);
    EXPECT_EQ(cut[1] + cut[2], german);
    std::string japanese;
    for (int i = 0; i < 400; ++i) japanese += "語";
    const auto cutJapanese = ComposeBodyLines("", {japanese}, 998);
    ASSERT_EQ(cutJapanese.size(), 3u);
    EXPECT_EQ(cutJapanese[1].size(), 996u);
    EXPECT_EQ(cutJapanese[1] + cutJapanese[2], japanese);
}

TEST(SendJobTexts, OnlyBodyFileBoxUsesLfCr) {
    EXPECT_EQ(OnlyBodyFileText("  /tmp/body.txt "),
              "File /tmp/body.txt\n\rdefine as message body text file!\n\rNo files in attachment's list!");
}

// ---------------------------------------------------------------------------
// Fixtures

// Runs functions from the message loop: posted, or after a delay.
class TCallbacks : public MessageHandler {
public:
    explicit TCallbacks(MessageLoop& loop) : loop_(loop) { handle_ = loop_.CreateHandle(this); }
    ~TCallbacks() override { loop_.DestroyHandle(handle_); }
    void Later(std::function<void()> f) {
        queue_.push_back(std::move(f));
        loop_.PostMessage(handle_, MsgUser + 1);
    }
    void After(std::chrono::milliseconds delay, std::function<void()> f) {
        timed_ = std::move(f);
        loop_.SetTimer(handle_, 7, static_cast<unsigned>(delay.count()));
    }
    void Cancel() { loop_.KillTimer(handle_, 7); }
    void HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) override {
        if (msg == MsgUser + 1 && !queue_.empty()) {
            auto f = std::move(queue_.front());
            queue_.pop_front();
            f();
        } else if (msg == MsgTimer && wParam == 7) {
            loop_.KillTimer(handle_, 7);
            if (timed_) timed_();
        }
    }

private:
    MessageLoop& loop_;
    Handle handle_ = 0;
    std::deque<std::function<void()>> queue_;
    std::function<void()> timed_;
};

// A fast SMTP server for volume: accepts connections one after another and
// takes every message, counting its attachments (by their Content-Disposition
// lines) and remembering their file names.
class TAutoServer {
public:
    TAutoServer() {
        listen_ = test::ListenOnLoopback(port_, 16);
        if (listen_ < 0) throw std::runtime_error("TAutoServer: cannot listen");
        thread_ = std::thread([this] { Run(); });
    }
    ~TAutoServer() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    int Port() const { return port_; }
    std::vector<std::vector<std::string>> Messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

private:
    void Run() {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Serve(fd);
            ::close(fd);
        }
    }
    bool ReadLine(int fd, std::string& inbox, std::string& line) {
        for (;;) {
            const std::size_t lf = inbox.find('\n');
            if (lf != std::string::npos) {
                line = inbox.substr(0, lf);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                inbox.erase(0, lf + 1);
                return true;
            }
            pollfd p{fd, POLLIN, 0};
            if (stop_ || ::poll(&p, 1, 5000) <= 0) return false;
            char buffer[65536];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) return false;
            inbox.append(buffer, static_cast<std::size_t>(n));
        }
    }
    static void Say(int fd, const std::string& text) {
        const std::string line = text + "\r\n";
        [[maybe_unused]] const ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    }
    void Serve(int fd) {
        std::string inbox, line;
        Say(fd, "220 auto ready");
        while (ReadLine(fd, inbox, line)) {
            const std::string verb = line.substr(0, 4);
            if (verb == "DATA") {
                Say(fd, "354 go ahead");
                std::vector<std::string> names;
                while (ReadLine(fd, inbox, line) && line != ".") {
                    const std::size_t at = line.find("filename=\"");
                    if (at != std::string::npos) names.push_back(line.substr(at + 10, line.size() - at - 11));
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    messages_.push_back(names);
                }
                Say(fd, "250 queued");
            } else if (verb == "QUIT") {
                Say(fd, "221 bye");
                return;
            } else {
                Say(fd, "250 ok");
            }
        }
    }

    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::vector<std::string>> messages_;
};

class SendJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pw-job-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        unit_ = std::make_unique<TMainUnit>(loop_, view_, dir_ + "/parcelwing");
        unit_->CreateClient();
        ROptions& o = unit_->Options();
        o.From = "me@example.org";
        o.Host = "127.0.0.1";
        o.TimeOut = 10;
        o.SaveLog = true;
        o.LogFileName = dir_ + "/parcelwing.log";
        o.ShowMessagesOnError = true;
        unit_->FixLogPath();
        view_.SetBoxText(TComboBox::To, "you@example.org");
        view_.SetBoxText(TComboBox::Subject, "Report");
        view_.OnStatus = [this](const std::string& line) {
            lines_.push_back(line);
            if (onLine_) onLine_(line);
        };
        view_.OnCloseRequest = [this] { unit_->PostClose(); };
    }
    void TearDown() override {
        unit_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // One job, aborted by the watchdog when it runs longer than `limit`.
    bool Send(std::chrono::milliseconds limit = 20s) {
        watchdog_.After(limit, [this] {
            watchdogFired_ = true;
            unit_->DoAbort();
        });
        const bool result = unit_->DoSend();
        watchdog_.Cancel();
        EXPECT_FALSE(watchdogFired_) << "the job did not end by itself";
        return result;
    }

    // Lets the loop run until `pred` holds (bounded).
    template <class Pred>
    bool RunUntil(Pred pred, std::chrono::milliseconds limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            loop_.DispatchPending();
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    std::string File(const std::string& name, const std::string& bytes = "data\r\n") {
        const std::string path = dir_ + "/" + name;
        test::WriteWholeFile(path, bytes);
        return path;
    }

    std::vector<std::string> Lines() const { return WithoutTimes(lines_); }

    bool HasBox(const std::string& text) const {
        for (const auto& b : view_.Boxes()) {
            if (b.Text == text) return true;
        }
        return false;
    }

    static ScriptedSmtpServer& HeloUpToData(ScriptedSmtpServer& s) {
        return s.Reply("220 scripted ready")
            .ExpectPrefix("HELO ")
            .Reply("250 hello")
            .Expect("MAIL FROM:<me@example.org>")
            .Reply("250 sender ok")
            .Expect("RCPT TO:<you@example.org>")
            .Reply("250 rcpt ok");
    }
    static ScriptedSmtpServer& WholeMessage(ScriptedSmtpServer& s) {
        return HeloUpToData(s)
            .Expect("DATA")
            .Reply("354 go ahead")
            .ReadData()
            .Reply("250 queued")
            .Expect("QUIT")
            .Reply("221 bye")
            .Close();
    }

    MessageLoop loop_;
    MemoryView view_;
    std::string dir_;
    std::unique_ptr<TMainUnit> unit_;
    std::vector<std::string> lines_;
    std::function<void(const std::string&)> onLine_;
    TCallbacks callbacks_{loop_};
    TCallbacks watchdog_{loop_};
    bool watchdogFired_ = false;
};

const std::vector<std::string>& kOneMessage = test::kHeloMessageLog;

// ---------------------------------------------------------------------------

TEST_F(SendJobTest, CheckSettingsShowsTheLastFailingCheck) {
    struct Row {
        std::string from, to, host;
        int port;
        int failure;  // 0: none
    };
    const Row rows[] = {
        {"me@x", "you@y", "h", 25, 0},
        {"  ", "you@y", "h", 25, vmFromEmpty},
        {"me@x", " \t", "h", 25, vmToEmpty},
        {"me@x", "you@y", " ", 25, vmHostEmpty},
        {"me@x", "you@y", "h", 0, vmPortEmpty},
        {"", "you@y", "", 25, vmHostEmpty},
        {"", "", "", 0, vmPortEmpty},
    };
    for (const auto& r : rows) {
        view_.ClearBoxes();
        unit_->Options().From = r.from;
        unit_->Options().Host = r.host;
        unit_->Options().Port = r.port;
        view_.SetBoxText(TComboBox::To, r.to);
        EXPECT_EQ(unit_->CheckSettings(), r.failure == 0);
        if (r.failure == 0) {
            EXPECT_TRUE(view_.Boxes().empty());
        } else {
            ASSERT_EQ(view_.Boxes().size(), 1u);
            EXPECT_EQ(view_.Boxes()[0].Text, ValidationMessage(r.failure));
            EXPECT_EQ(view_.Boxes()[0].Icon, TBoxIcon::Error);
        }
    }
}

TEST_F(SendJobTest, NothingToAttachGivesOneBoxAndCountsAsFailedUnderExitAfterSend) {
    struct Row {
        bool textFromFirstFile;
        std::vector<std::string> files;
        std::string box;
    };
    const std::string body = File("body.txt");
    const Row rows[] = {
        {false, {}, EmptyListText},
        {true, {}, EmptyListBodyText},
        {true, {" " + body + " "}, OnlyBodyFileText(body)},
    };
    for (const auto& r : rows) {
        view_.ClearBoxes();
        view_.ClearFiles();
        for (const auto& f : r.files) view_.AppendFile(f);
        unit_->Options().TextFromFirstFile = r.textFromFirstFile;
        EXPECT_FALSE(Send());
        ASSERT_EQ(view_.Boxes().size(), 1u);
        EXPECT_EQ(view_.Boxes()[0].Text, r.box);
        EXPECT_TRUE(view_.SendControlsIdle());
        EXPECT_EQ(view_.CloseRequests(), 0);
    }
    EXPECT_TRUE(lines_.empty());

    // With ExitAfterSend the program closes, with the code of a failed job.
    unit_->Options().ExitAfterSend = true;
    view_.ClearFiles();
    EXPECT_FALSE(Send());
    EXPECT_EQ(view_.CloseRequests(), 1);
    ASSERT_TRUE(RunUntil([this] { return unit_->Closing(); }));
    EXPECT_EQ(loop_.ExitCode(), ExitCodeJobFailed);
}

TEST_F(SendJobTest, OneMessageLogsSixRequestsAndAllOk) {
    ScriptedSmtpServer server;
    WholeMessage(server);
    server.Start();
    unit_->Options().Port = server.Port();
    unit_->Options().LogDetail = 1;
    const std::string a = File("a.txt", "alpha\r\n");
    view_.AppendFile(a);

    EXPECT_TRUE(Send());
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), ::testing::IsEmpty());
    EXPECT_EQ(Lines(), kOneMessage);
    // The log file holds the same lines, each ended by CR LF.
    const auto logged = test::ReadWholeFile(unit_->Options().LogFileName);
    EXPECT_THAT(logged, HasSubstr(" RequestDone Rq=6(Quit) Error=0\r\nAll Ok!\r\n"));

    ASSERT_EQ(server.DataBlocks().size(), 1u);
    const auto blocks = server.DataBlocks();
    const auto& data = blocks[0];
    const auto date = std::find_if(data.begin(), data.end(), [](const std::string& l) { return l.rfind("Date:", 0) == 0; });
    ASSERT_NE(date, data.end());
    ASSERT_NE(date + 1, data.end());
    EXPECT_EQ(*(date + 1), "X-Mailer: Parcelwing v.2.1b ");
    EXPECT_THAT(data, ::testing::Contains(HasSubstr("filename=\"a.txt\"")));

    EXPECT_FALSE(unit_->InConnectedState());
    EXPECT_FALSE(unit_->MessageInFlight());
    EXPECT_TRUE(view_.SendControlsIdle());
    EXPECT_FALSE(view_.WaitCursor());
    EXPECT_EQ(view_.RecentItems(TComboBox::To), std::vector<std::string>{"you@example.org"});
    EXPECT_EQ(view_.RecentItems(TComboBox::Subject), std::vector<std::string>{"Report"});
    EXPECT_EQ(view_.FileCount(), 1);  // ClearFList is off
}

TEST_F(SendJobTest, RefusedRecipientIsLoggedWithItsReplyAndTheJobCountsAsFailed) {
    ScriptedSmtpServer server;
    server.Reply("220 scripted ready")
        .ExpectPrefix("HELO ")
        .Reply("250 hello")
        .Expect("MAIL FROM:<me@example.org>")
        .Reply("250 ok")
        .Expect("RCPT TO:<you@example.org>")
        .Reply("250 ok")
        .Expect("RCPT TO:<bad@example.org>")
        .Reply("550 5.1.1 no such user")
        .Expect("DATA")
        .Reply("354 go")
        .ReadData()
        .Reply("250 queued")
        .Expect("QUIT")
        .Reply("221 bye")
        .Close();
    server.Start();
    unit_->Options().Port = server.Port();
    unit_->Options().ExitAfterSend = true;
    // The trailing ";" gives no empty recipient.
    view_.SetBoxText(TComboBox::To, "you@example.org; bad@example.org;");
    view_.AppendFile(File("a.txt"));

    EXPECT_FALSE(Send());
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), ::testing::IsEmpty());
    EXPECT_THAT(Lines(), ElementsAre("Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=0",
                                     "Rq=4(RcptTo) Error=0", "Recipient refused: bad@example.org - 550 5.1.1 no such user",
                                     "Rq=5(Data) Error=0", "Rq=6(Quit) Error=0", "All Ok!"));
    ASSERT_TRUE(RunUntil([this] { return unit_->Closing(); }));
    EXPECT_EQ(loop_.ExitCode(), ExitCodeJobFailed);
}

// Addresses that cannot be sent stop the job before any connection: one log
// line and one box that say why (for an empty From, the box is CheckSettings'),
// and the job counts as failed.
TEST_F(SendJobTest, UnusableAddressesAreRefusedBeforeAnythingIsSent) {
    struct Row {
        std::string from, to;
        std::string line;
    };
    const Row rows[] = {
        {"John Smith", "you@example.org", "The \"From address:\" field cannot be used: \"John Smith\" is no address"},
        {"", "you@example.org", "The \"From address:\" field is empty!"},
        {"me@example.org", "a@x; \"Smith, John <js@example.org>",
         "The \"To:\" field cannot be used: a \"\"\" without its closing \"\"\""},
        {"me@example.org", "a@x, <b@y", "The \"To:\" field cannot be used: a \"<\" without \">\""},
    };
    unit_->Options().Port = test::ClosedPort();  // a connection attempt would show as 10061
    const std::string a = File("a.txt");
    view_.AppendFile(a);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        lines_.clear();
        view_.ClearBoxes();
        unit_->Options().From = r.from;
        view_.SetBoxText(TComboBox::To, r.to);
        EXPECT_FALSE(Send());
        EXPECT_THAT(Lines(), ElementsAre(r.line, NotSentPrefix + a));
        ASSERT_EQ(view_.Boxes().size(), 1u);
        EXPECT_EQ(view_.Boxes()[0].Text, r.line);
        EXPECT_EQ(unit_->MessagesStarted(), 0);
        EXPECT_TRUE(view_.SendControlsIdle());
    }
}

TEST_F(SendJobTest, NoRecipientAtAllIsNeverSentAsAnEmptyAddress) {
    ScriptedSmtpServer server;
    server.Reply("220 scripted ready")
        .ExpectPrefix("HELO ")
        .Reply("250 hello")
        .Expect("MAIL FROM:<me@example.org>")
        .Reply("250 ok");
    server.Start();
    unit_->Options().Port = server.Port();
    view_.SetBoxText(TComboBox::To, " ; ;");
    view_.AppendFile(File("a.txt"));

    EXPECT_FALSE(Send());
    EXPECT_TRUE(server.WaitFinished(5s));
    for (const auto& line : server.ReceivedLines()) EXPECT_EQ(line.rfind("RCPT", 0), std::string::npos) << line;
    // "; ;" is not empty for the check of the "To:" box: only the client's box comes.
    EXPECT_FALSE(HasBox(std::string(ValidationMessage(vmToEmpty))));
    bool smtpBox = false;
    for (const auto& b : view_.Boxes()) smtpBox = smtpBox || (b.Text == "RcptName list is empty!" && b.Caption == "SMTP error!!!");
    EXPECT_TRUE(smtpBox);
    const std::string a = view_.FileAt(0);
    EXPECT_THAT(Lines(), ElementsAre("Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=0",
                                     "Rq=4(RcptTo) Error=500", "Reason: 500 RcptName list is empty!", ErrorAbortLine,
                                     "Not sent: " + a));
}

TEST_F(SendJobTest, FailedRequestClearsConnectedStateSoTheNextJobRuns) {
    ScriptedSmtpServer server;
    server.Reply("220 scripted ready")
        .ExpectPrefix("HELO ")
        .Reply("250 hello")
        .Expect("MAIL FROM:<me@example.org>")
        .Reply("550 sender refused")
        .AcceptNext();
    WholeMessage(server);
    server.Start();
    unit_->Options().Port = server.Port();
    view_.AppendFile(File("a.txt"));

    EXPECT_FALSE(Send());
    // The reason follows the RequestDone line; the file not sent ends the job.
    EXPECT_THAT(Lines(), ElementsAre("Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=550",
                                     "Reason: 550 sender refused", ErrorAbortLine, "Not sent: " + view_.FileAt(0)));
    EXPECT_EQ(unit_->FailedMessages(), 1);
    EXPECT_FALSE(unit_->InConnectedState());
    EXPECT_TRUE(HasBox(std::string(NotifyText) + "\r\n550 sender refused"));

    lines_.clear();
    view_.ClearBoxes();
    EXPECT_TRUE(Send());
    EXPECT_FALSE(HasBox(ConnectedStateText));
    EXPECT_EQ(Lines(), kOneMessage);
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), ::testing::IsEmpty());
}

TEST_F(SendJobTest, AbortDuringAMessageThenTheNextJobSettlesTheOwedQuit) {
    ScriptedSmtpServer server(10s);
    HeloUpToData(server).Expect("DATA").Reply("354 go ahead").Silent(10s).AcceptNext();
    WholeMessage(server);
    server.Start();
    unit_->Options().Port = server.Port();
    const std::string a = File("a.txt");
    view_.AppendFile(a);

    bool refusedWhileConnected = true;
    onLine_ = [&](const std::string& line) {
        if (line.find("Rq=4(RcptTo) Error=0") == std::string::npos) return;
        // Send pressed while a message is on its way: refused, nothing touched.
        callbacks_.Later([&] {
            refusedWhileConnected = !unit_->DoSend();
            callbacks_.After(300ms, [this] { unit_->DoAbort(); });
        });
    };
    EXPECT_FALSE(Send());
    onLine_ = nullptr;

    EXPECT_TRUE(refusedWhileConnected);
    EXPECT_TRUE(HasBox(ConnectedStateText));
    EXPECT_EQ(view_.Beeps(), 1);
    EXPECT_EQ(view_.FileCount(), 1);
    EXPECT_EQ(view_.BoxText(TComboBox::To), "you@example.org");
    EXPECT_THAT(Lines(), ::testing::Not(::testing::Contains("All Ok!")));
    EXPECT_EQ(unit_->SmtpClient(), nullptr);
    EXPECT_TRUE(unit_->QuitOwed());
    EXPECT_FALSE(unit_->InConnectedState());
    EXPECT_FALSE(unit_->MessageInFlight());
    EXPECT_TRUE(view_.SendControlsIdle());
    EXPECT_FALSE(view_.WaitCursor());

    // The next job makes a new client, settles the owed Quit first (it
    // completes at once and is not taken for the message), then sends.
    lines_.clear();
    EXPECT_TRUE(Send());
    ASSERT_NE(unit_->SmtpClient(), nullptr);
    EXPECT_FALSE(unit_->QuitOwed());
    auto want = kOneMessage;
    want.insert(want.begin(), "Rq=6(Quit) Error=0");
    EXPECT_EQ(Lines(), want);
    EXPECT_EQ(unit_->MessagesOk(), 1);
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), ::testing::IsEmpty());
    EXPECT_EQ(server.DataBlocks().size(), 1u);
}

TEST_F(SendJobTest, AbortFromInsideTheClientsOwnHandlerIsSafe) {
    auto server = std::make_unique<ScriptedSmtpServer>();
    HeloUpToData(*server);
    server->Start();
    unit_->Options().Port = server->Port();
    view_.AppendFile(File("a.txt"));
    // Runs while the client's OnRequestDone is still on the stack.
    onLine_ = [&](const std::string& line) {
        if (line.find("Rq=2(MailFrom) Error=0") != std::string::npos) callbacks_.Later([this] { unit_->DoAbort(); });
    };
    EXPECT_FALSE(Send());
    onLine_ = nullptr;
    EXPECT_EQ(unit_->SmtpClient(), nullptr);
    // The aborted message's file is named as not sent.
    EXPECT_THAT(Lines(), ElementsAre("Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=0",
                                     "Not sent: " + view_.FileAt(0)));

    // The given-up client is freed from the loop afterwards; the next job gets
    // a new one and runs (into a refused connection: the server is gone).
    for (int i = 0; i < 5; ++i) loop_.DispatchPending();
    server.reset();
    lines_.clear();
    EXPECT_FALSE(Send());
    EXPECT_NE(unit_->SmtpClient(), nullptr);
    EXPECT_THAT(Lines(), Contains("Rq=0(Connect) Error=10061"));
}

TEST_F(SendJobTest, ClosingDuringAJobEndsItWithExitCodeOneAndSavesTheState) {
    ScriptedSmtpServer server(10s);
    HeloUpToData(server).Expect("DATA").Reply("354 go ahead").Silent(10s);
    server.Start();
    unit_->Options().Port = server.Port();
    unit_->Options().ExitAfterSend = true;  // a close by the user still gives 1
    const std::string a = File("a.txt");
    view_.AppendFile(a);
    onLine_ = [&](const std::string& line) {
        if (line.find("Rq=4(RcptTo) Error=0") != std::string::npos) {
            callbacks_.After(200ms, [this] { view_.RequestClose(); });
        }
    };
    EXPECT_FALSE(Send());
    EXPECT_TRUE(unit_->Closing());
    EXPECT_TRUE(loop_.QuitRequested());
    EXPECT_EQ(loop_.ExitCode(), ExitCodeClosed);
    EXPECT_EQ(unit_->SmtpClient(), nullptr);
    EXPECT_EQ(view_.CloseRequests(), 1);  // the job asked for no second close
    RWindowState state;
    LoadWindowState(unit_->IniPath(), state);
    EXPECT_EQ(state.Files, std::vector<std::string>{a});
}

TEST_F(SendJobTest, SilentServerFailsAfterTimeOut) {
    ScriptedSmtpServer server(10s);
    server.Reply("220 scripted ready").ExpectPrefix("HELO ").Silent(10s);
    server.Start();
    unit_->Options().Port = server.Port();
    unit_->Options().TimeOut = 1;
    unit_->Options().NumOfAttempts = 1;
    view_.AppendFile(File("a.txt"));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Send(8s));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(unit_->SmtpClient()->TimeOut, 1);
    EXPECT_THAT(Lines(), ElementsAre("Rq=0(Connect) Error=0", "Rq=1(Helo) Error=10060",
                                     "Reason: Connection timed out - no complete reply came within TimeOut seconds",
                                     ErrorAbortLine, "Not sent: " + view_.FileAt(0)));
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 5s);
}

TEST_F(SendJobTest, FilPerMesBelowOneIsTreatedAsOne) {
    TAutoServer server;
    unit_->Options().Port = server.Port();
    unit_->Options().FilPerMes = -3;
    for (const char* n : {"a.txt", "b.txt", "c.txt"}) view_.AppendFile(File(n));
    EXPECT_TRUE(Send());
    EXPECT_EQ(unit_->Options().FilPerMes, 1);
    ASSERT_TRUE(RunUntil([&] { return server.Messages().size() == 3; }));
    EXPECT_EQ(server.Messages(), (std::vector<std::vector<std::string>>{{"a.txt"}, {"b.txt"}, {"c.txt"}}));
}

TEST_F(SendJobTest, ClearFListOnlyAfterAJobWithoutTrouble) {
    TAutoServer server;
    unit_->Options().Port = server.Port();
    unit_->Options().ClearFList = true;
    unit_->Options().FilPerMes = 5;
    view_.AppendFile(File("a.txt"));
    view_.AppendFile(File("b.txt"));
    EXPECT_TRUE(Send());
    EXPECT_EQ(view_.FileCount(), 0);
    EXPECT_TRUE(view_.UpdatesBalanced());

    // A vanished file is logged and left out; the message still goes, the
    // list stays.
    const std::string gone = dir_ + "/gone.txt";
    view_.AppendFile(gone);
    view_.AppendFile(File("c.txt"));
    lines_.clear();
    EXPECT_FALSE(Send());
    EXPECT_EQ(view_.FileCount(), 2);
    EXPECT_THAT(Lines(), ::testing::Contains(std::string(MissingFilePrefix) + gone));
    EXPECT_THAT(Lines(), ::testing::Contains("All Ok!"));
    ASSERT_TRUE(RunUntil([&] { return server.Messages().size() == 2; }));
    EXPECT_EQ(server.Messages()[1], std::vector<std::string>{"c.txt"});
}

// Resident memory of this process, in kB.
long ResidentKb() {
    const auto text = test::ReadWholeFile("/proc/self/status");
    const std::size_t at = text.find("VmRSS:");
    return at == std::string::npos ? -1 : std::stol(text.substr(at + 6));
}

TEST_F(SendJobTest, TenThousandSmallFilesKeepMemoryFlat) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine: resident size says nothing here";
#endif
    TAutoServer server;
    unit_->Options().Port = server.Port();
    unit_->Options().FilPerMes = 50;
    unit_->Options().SaveLog = false;
    const std::string folder = dir_ + "/many";
    fs::create_directories(folder);
    for (int i = 0; i < 10000; ++i) test::WriteWholeFile(folder + "/f" + std::to_string(i), "x");

    // A first, smaller job warms every cache and pool up.
    for (int i = 0; i < 1000; ++i) view_.AppendFile(folder + "/f" + std::to_string(i));
    EXPECT_TRUE(Send(60s));
    view_.ClearFiles();
    for (int i = 0; i < 10000; ++i) view_.AppendFile(folder + "/f" + std::to_string(i));
    const long before = ResidentKb();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Send(120s));
    const auto took = std::chrono::steady_clock::now() - start;
    const long after = ResidentKb();

    ASSERT_TRUE(RunUntil([&] { return server.Messages().size() == 220; }, 10s));
    EXPECT_EQ(unit_->MessagesOk(), 200);
    std::size_t attached = 0;
    for (const auto& m : server.Messages()) attached += m.size();
    EXPECT_EQ(attached, 11000u);
    // The status box was cut back instead of growing with the job.
    EXPECT_LE(view_.StatusCount(), StatusEntryLimit + 1);
    // Ten times the files of the first job, and no more memory than a few pages.
    EXPECT_LT(after - before, 4096) << "kB grown: " << (after - before);
    RecordProperty("ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    RecordProperty("kB_grown", static_cast<int>(after - before));
}

// ---------------------------------------------------------------------------
// Logins

TEST_F(SendJobTest, RefusedLoginEndsTheJobAtOnceAndCountsAsFailed) {
    for (const char* refusal : {"535 5.7.8 Authentication credentials invalid",
                                "534 5.7.9 Please log in with your web browser",
                                "454 4.7.0 Temporary authentication failure"}) {
        SCOPED_TRACE(refusal);
        lines_.clear();
        ScriptedSmtpServer server;
        server.Reply("220 scripted ready")
            .ExpectPrefix("EHLO ")
            .ReplyLines({"250-hello", "250 AUTH CRAM-MD5"})
            .Expect("AUTH CRAM-MD5")
            .Reply("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+")
            .ExpectPrefix("dGlt")
            .Reply(refusal);
        server.Start();
        ROptions& o = unit_->Options();
        o.Port = server.Port();
        o.SMTP_Auth_Enabled = true;
        o.SMTP_Auth_Name = "tim";
        o.SMTP_Auth_Pass = "a made-up wrong password";
        o.NumOfAttempts = 5;
        view_.ClearFiles();
        std::vector<std::string> files;
        for (const char* name : {"a.txt", "b.txt", "c.txt"}) files.push_back(File(name));
        for (const auto& f : files) view_.AppendFile(f);

        EXPECT_FALSE(Send());
        EXPECT_TRUE(server.WaitFinished(5s));
        EXPECT_THAT(server.Failures(), ::testing::IsEmpty());
        EXPECT_EQ(server.Connections(), 1) << "a second message would try the same password again";
        const std::string code = std::string(refusal).substr(0, 3);
        // The server's reply is logged, and no other message is tried.
        EXPECT_THAT(Lines(), ElementsAre("Rq=0(Connect) Error=0", "Rq=10(Ehlo) Error=0", "Rq=11(Auth) Error=" + code,
                                         std::string("Reason: ") + refusal, LoginStopsJobLine, ErrorAbortLine,
                                         "Not sent: " + files[0], "Not sent: " + files[1], "Not sent: " + files[2]));
        EXPECT_EQ(unit_->SmtpClient()->LastReply(), refusal);
        EXPECT_EQ(unit_->FailedMessages(), 1);
        EXPECT_EQ(unit_->MessagesStarted(), 1);
    }
}

TEST_F(SendJobTest, LoginEnabledWithoutASecretFailsWithThatReason) {
    ScriptedSmtpServer server;
    server.Reply("220 scripted ready").ExpectPrefix("EHLO ").ReplyLines({"250-hello", "250 AUTH PLAIN LOGIN"});
    server.Start();
    ROptions& o = unit_->Options();
    o.Port = server.Port();
    o.SMTP_Auth_Enabled = true;
    o.SMTP_Auth_Name = "tim";
    const std::string file = File("a.txt");
    view_.AppendFile(file);

    EXPECT_FALSE(Send());
    EXPECT_THAT(Lines(), ElementsAre("Rq=0(Connect) Error=0", "Rq=10(Ehlo) Error=0", "Rq=11(Auth) Error=12011",
                                     "Reason: 12011 Login enabled but no password or command set", LoginStopsJobLine,
                                     ErrorAbortLine, "Not sent: " + file));
    EXPECT_EQ(unit_->SmtpClient()->LastReply(), "12011 Login enabled but no password or command set");
    server.Stop();
    EXPECT_EQ(server.ReceivedLines().size(), 1u);  // the EHLO line only
}

TEST_F(SendJobTest, LoginChosenByNumberInClearTextWarnsOncePerConnectionAndTheLogHoldsNoSecret) {
    const std::string password = "a-made-up-Passw0rd";
    const std::string answer = "AHRpbQBhLW1hZGUtdXAtUGFzc3cwcmQ=";  // NUL tim NUL password
    ScriptedSmtpServer server;
    for (int message = 0; message < 2; ++message) {
        if (message > 0) server.AcceptNext();
        server.Reply("220 scripted ready")
            .ExpectPrefix("EHLO ")
            .ReplyLines({"250-hello", "250 AUTH LOGIN PLAIN"})
            .Expect("AUTH PLAIN " + answer)
            .Reply("235 2.7.0 ok")
            .Expect("MAIL FROM:<me@example.org>")
            .Reply("250 ok")
            .Expect("RCPT TO:<you@example.org>")
            .Reply("250 ok")
            .Expect("DATA")
            .Reply("354 go")
            .ReadData()
            .Reply("250 queued")
            .Expect("QUIT")
            .Reply("221 bye");
    }
    server.Close();
    server.Start();
    ROptions& o = unit_->Options();
    o.Port = server.Port();
    o.LogDetail = 2;  // the trace too
    o.SMTP_Auth_Enabled = true;
    o.SMTP_Auth_Type = 2;  // PLAIN
    o.SMTP_Auth_Name = "tim";
    o.SMTP_Auth_Pass = password;
    view_.AppendFile(File("a.txt"));
    view_.AppendFile(File("b.txt"));

    EXPECT_TRUE(Send());
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), ::testing::IsEmpty());
    int warnings = 0;
    for (const auto& line : lines_) warnings += line.rfind(WarningPrefix, 0) == 0;
    EXPECT_EQ(warnings, 2);
    EXPECT_THAT(lines_, Contains("Warning: AUTH PLAIN was chosen by number and goes in clear text: whoever can read "
                                 "the connection can read the password"));
    EXPECT_THAT(lines_, Contains("> AUTH PLAIN ****"));
    const std::string log = test::ReadWholeFile(o.LogFileName);
    EXPECT_THAT(log, HasSubstr("> AUTH PLAIN ****"));
    EXPECT_THAT(log, Not(HasSubstr(password)));
    EXPECT_THAT(log, Not(HasSubstr(answer)));
    for (const auto& box : view_.Boxes()) EXPECT_THAT(box.Text, Not(HasSubstr(password)));
}

TEST_F(SendJobTest, CommandsRunOnlyFromASettingsFileThatIsTheUsersOwn) {
    const std::string ini = unit_->Places().IniFile;
    test::WriteWholeFile(ini, "[ROptions]\r\n");
    const std::string marker = dir_ + "/ran";
    for (mode_t mode : {0600, 0666}) {
        SCOPED_TRACE(mode);
        lines_.clear();
        ::chmod(ini.c_str(), mode);
        ScriptedSmtpServer server;
        server.Reply("220 scripted ready").ExpectPrefix("EHLO ").ReplyLines({"250-hello", "250 AUTH CRAM-MD5"});
        if (mode == 0600) {
            server.Expect("AUTH CRAM-MD5")
                .Reply("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+")
                .Expect("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw")
                .Reply("535 no");  // the command's password went out; the rest is not this test's
        }
        server.Start();
        ROptions& o = unit_->Options();
        o.Port = server.Port();
        o.SMTP_Auth_Enabled = true;
        o.SMTP_Auth_Name = "tim";
        o.SMTP_Auth_PassCommand = "touch '" + marker + "'; echo tanstaaftanstaaf";
        view_.ClearFiles();
        view_.AppendFile(File("a.txt"));

        EXPECT_FALSE(Send());
        EXPECT_TRUE(server.WaitFinished(5s));
        EXPECT_THAT(server.Failures(), ::testing::IsEmpty());
        struct stat st {};
        if (mode == 0600) {
            EXPECT_EQ(::stat(marker.c_str(), &st), 0) << "the command did not run";
            EXPECT_THAT(Lines(), Contains("Rq=11(Auth) Error=535"));
        } else {
            EXPECT_NE(::stat(marker.c_str(), &st), 0) << "the command ran";
            EXPECT_THAT(Lines(), Contains("Rq=11(Auth) Error=12013"));
            EXPECT_EQ(unit_->SmtpClient()->LastReply(),
                      "12013 Password command not run: " + fs::canonical(ini).string() +
                          " may be written by others (mode 0666); commands are run only from a settings file that "
                          "is the user's own and that no one else may write");
        }
        ::unlink(marker.c_str());
    }
}

TEST_F(SendJobTest, EhloWheneverSecurityALoginOrAReceiptIsAskedFor) {
    struct Row {
        int security;
        bool auth, receipt, ehlo;
    };
    const Row rows[] = {{0, false, false, false}, {0, true, false, true}, {0, false, true, true},
                        {1, false, false, true},  {2, false, false, true}};
    for (const auto& r : rows) {
        ROptions o;
        o.Security = r.security;
        o.SMTP_Auth_Enabled = r.auth;
        o.Return_Receipt_Enabled = r.receipt;
        EXPECT_EQ(WantsEhlo(o), r.ehlo) << r.security << r.auth << r.receipt;
        EXPECT_EQ(WantsLogin(o), r.auth);
    }
}

TEST_F(SendJobTest, SettingsThatCannotWorkSendNothing) {
    ScriptedSmtpServer server;
    server.Start();
    ROptions& o = unit_->Options();
    o.Port = server.Port();
    o.Security = 7;
    o.ExitAfterSend = true;
    const std::string file = File("a.txt");
    view_.AppendFile(file);

    EXPECT_FALSE(Send());
    EXPECT_THAT(Lines(), ElementsAre(std::string(SettingsProblemPrefix) +
                                         "Security=7 in the settings is none of 0 (none), 1 (STARTTLS) and 2 (TLS on "
                                         "connect)",
                                     "Not sent: " + file));
    server.Stop();
    EXPECT_EQ(server.Connections(), 0);
    ASSERT_TRUE(RunUntil([this] { return unit_->Closing(); }));
    EXPECT_EQ(loop_.ExitCode(), ExitCodeJobFailed);
}

TEST_F(SendJobTest, AHangingPasswordCommandFailsTheMessageAndLeavesNothingRunning) {
    const std::string ini = unit_->Places().IniFile;
    test::WriteWholeFile(ini, "[ROptions]\r\n");
    ::chmod(ini.c_str(), 0600);
    const std::string pidFile = dir_ + "/pid";
    ScriptedSmtpServer server;
    server.Reply("220 scripted ready").ExpectPrefix("EHLO ").ReplyLines({"250-hello", "250 AUTH CRAM-MD5"});
    server.Start();
    ROptions& o = unit_->Options();
    o.Port = server.Port();
    o.ExitAfterSend = true;
    o.SMTP_Auth_Enabled = true;
    o.SMTP_Auth_Name = "tim";
    // Ignores SIGTERM, as a stuck tool may.
    o.SMTP_Auth_PassCommand = "trap '' TERM; echo $$ > '" + pidFile + "'; sleep 60; echo pw";
    unit_->SmtpClient()->CommandTimeLimit = std::chrono::milliseconds(800);
    const std::string file = File("a.txt");
    view_.AppendFile(file);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Send());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_THAT(Lines(), ElementsAre("Rq=0(Connect) Error=0", "Rq=10(Ehlo) Error=0", "Rq=11(Auth) Error=12012",
                                     "Reason: 12012 Password command failed: it did not finish within 800 ms and "
                                     "was stopped",
                                     LoginStopsJobLine, ErrorAbortLine, "Not sent: " + file));
    EXPECT_EQ(unit_->SmtpClient() ? unit_->SmtpClient()->LastReply() : "",
              "12012 Password command failed: it did not finish within 800 ms and was stopped");
    const pid_t group = std::stoi(test::ReadWholeFile(pidFile));
    // The close that ExitAfterSend asks for takes the command's group with it.
    ASSERT_TRUE(RunUntil([this] { return unit_->Closing(); }));
    EXPECT_EQ(loop_.ExitCode(), ExitCodeJobFailed);
    unit_.reset();
    EXPECT_TRUE(test::GroupEndsWithin(group, 2s)) << "the command's group is still running";
}

}  // namespace
}  // namespace pw
