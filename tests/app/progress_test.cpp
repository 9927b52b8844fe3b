// Progress reports of a running send job: TMainUnit on a recording view and the
// real message loop, against a scripted SMTP server on 127.0.0.1 that stops
// reading in the middle of a large attachment. A watchdog aborts any job that
// does not end by itself.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/MainUnit.h"
#include "app/MemoryView.h"
#include "app/program_harness.h"
#include "support/ScriptedSmtpServer.h"

namespace pw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ScriptedSmtpServer;
using Clock = std::chrono::steady_clock;

// Keeps every progress report with the moment it came.
class TProgressView : public MemoryView {
public:
    struct Seen {
        RJobProgress progress;
        Clock::time_point at;
    };
    void JobProgress(const RJobProgress& progress) override { seen.push_back({progress, Clock::now()}); }
    std::vector<Seen> seen;
};

// Ends a job that runs too long, from the loop.
class TWatchdog : public MessageHandler {
public:
    TWatchdog(MessageLoop& loop, TMainUnit& unit) : loop_(loop), unit_(unit) { handle_ = loop_.CreateHandle(this); }
    ~TWatchdog() override { loop_.DestroyHandle(handle_); }
    void Arm(unsigned ms) { loop_.SetTimer(handle_, 1, ms); }
    void Disarm() { loop_.KillTimer(handle_, 1); }
    void HandleMessage(std::uint32_t msg, std::uintptr_t, std::intptr_t) override {
        if (msg != MsgTimer) return;
        loop_.KillTimer(handle_, 1);
        fired = true;
        unit_.DoAbort();
    }
    bool fired = false;

private:
    MessageLoop& loop_;
    TMainUnit& unit_;
    Handle handle_ = 0;
};

class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pw-progress-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        unit_ = std::make_unique<TMainUnit>(loop_, view_, dir_ + "/parcelwing");
        unit_->CreateClient();
        ROptions& o = unit_->Options();
        o.From = "me@example.org";
        o.Host = "127.0.0.1";
        o.TimeOut = 10;
        o.SaveLog = true;
        o.LogDetail = 1;
        o.FilPerMes = 1;
        o.LogFileName = dir_ + "/parcelwing.log";
        unit_->FixLogPath();
        view_.SetBoxText(TComboBox::To, "you@example.org");
        view_.SetBoxText(TComboBox::Subject, "Progress");
        view_.OnStatus = [this](const std::string& line) { lines_.push_back(line); };
    }
    void TearDown() override {
        unit_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string File(const std::string& name, std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919u) >> 3);
        const std::string path = dir_ + "/" + name;
        test::WriteWholeFile(path, bytes);
        return path;
    }

    // One message of the script; `stall` pauses the server after it has read
    // the first part of the message, so the client is caught in mid-file.
    static void Message(ScriptedSmtpServer& s, bool stall) {
        s.Reply("220 scripted ready")
            .ExpectPrefix("HELO ")
            .Reply("250 hello")
            .Expect("MAIL FROM:<me@example.org>")
            .Reply("250 sender ok")
            .Expect("RCPT TO:<you@example.org>")
            .Reply("250 rcpt ok")
            .Expect("DATA")
            .Reply("354 go ahead");
        if (stall) s.ReadBytes(200000).Pause(900ms);
        s.ReadData().Reply("250 queued").Expect("QUIT").Reply("221 bye").Close();
    }

    bool Send() {
        TWatchdog watchdog(loop_, *unit_);
        watchdog.Arm(30000);
        const bool ok = unit_->DoSend();
        watchdog.Disarm();
        EXPECT_FALSE(watchdog.fired) << "the job did not end by itself";
        return ok;
    }

    MessageLoop loop_;
    TProgressView view_;
    std::string dir_;
    std::unique_ptr<TMainUnit> unit_;
    std::vector<std::string> lines_;
};

TEST_F(ProgressTest, LongJobReportsMessageAndBytesAtMostFourTimesASecondAndEnds) {
    // Far more than the socket buffers on both sides hold, so the client is
    // still reading the file while the server stalls.
    const std::size_t big = 24u * 1024 * 1024;
    const std::string first = File("big.bin", big);
    const std::string second = File("small.bin", 1000);
    ScriptedSmtpServer server(10000ms);
    Message(server, true);
    server.AcceptNext();
    Message(server, false);
    server.Start();
    unit_->Options().Port = server.Port();
    view_.AppendFile(first);
    view_.AppendFile(second);

    ASSERT_TRUE(Send());
    EXPECT_TRUE(server.WaitFinished(10s));
    EXPECT_THAT(server.Failures(), ::testing::IsEmpty());

    const auto& seen = view_.seen;
    ASSERT_GE(seen.size(), 3u);
    // The first report comes as the job starts, before any message.
    EXPECT_TRUE(seen.front().progress.Running);
    EXPECT_EQ(seen.front().progress.Message, 0);
    EXPECT_EQ(seen.front().progress.Messages, 2);
    // The last one, and only it, says the job has ended.
    EXPECT_FALSE(seen.back().progress.Running);
    EXPECT_EQ(seen.back().progress.Messages, 2);
    for (std::size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_TRUE(seen[i].progress.Running) << i;

    bool midFile = false;
    for (std::size_t i = 1; i + 1 < seen.size(); ++i) {
        const RJobProgress& p = seen[i].progress;
        // Never more often than the interval (a little slack for the clock).
        if (i > 1) {
            EXPECT_GE(seen[i].at - seen[i - 1].at, std::chrono::milliseconds(ProgressIntervalMs - 10)) << i;
        }
        EXPECT_GE(p.Message, seen[i - 1].progress.Message) << i;
        EXPECT_EQ(p.Messages, 2) << i;
        if (p.Message == 1 && p.File == first) {
            EXPECT_EQ(p.FileSize, big);
            EXPECT_LE(p.FileDone, p.FileSize);
            if (p.FileDone > 0 && p.FileDone < p.FileSize) midFile = true;
        }
        EXPECT_TRUE(p.File.empty() || p.File == first || p.File == second) << p.File;
    }
    EXPECT_TRUE(midFile) << "no report caught the first attachment in the middle";

    // Progress is not logged: the log holds the requests and "All Ok!" only.
    const auto logged = test::ReadWholeFile(unit_->Options().LogFileName);
    EXPECT_EQ(std::count(lines_.begin(), lines_.end(), std::string("All Ok!")), 2);
    EXPECT_EQ(lines_.size(), 14u);
    EXPECT_EQ(logged.find("big.bin"), std::string::npos);
}

TEST_F(ProgressTest, JobWithNothingToSendReportsNothing) {
    ASSERT_FALSE(Send());
    EXPECT_TRUE(view_.seen.empty());
}

TEST_F(ProgressTest, FailedJobStillEndsTheProgress) {
    // A server that refuses at once: the job fails, and the display is told so.
    ScriptedSmtpServer server;
    server.Reply("554 go away").Close();
    server.Start();
    unit_->Options().Port = server.Port();
    unit_->Options().NumOfAttempts = 1;
    view_.AppendFile(File("a.bin", 100));

    EXPECT_FALSE(Send());
    ASSERT_GE(view_.seen.size(), 2u);
    EXPECT_TRUE(view_.seen.front().progress.Running);
    EXPECT_FALSE(view_.seen.back().progress.Running);
    EXPECT_EQ(std::count_if(view_.seen.begin(), view_.seen.end(),
                            [](const TProgressView::Seen& s) { return !s.progress.Running; }),
              1);
}

}  // namespace
}  // namespace pw
