// Servers that misbehave: a close at every point of a whole dialogue (between
// lines and inside them), stalls at several points, garbage replies, floods
// of unsolicited lines, endless lines while idle. Every case must end the
// request with a code and a kept reply text, without a hang or a crash.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "smtp/SmtpClient.h"
#include "support/ScriptedSmtpServer.h"
#include "support/SmtpSessionDriver.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using test::RunLoopFor;
using test::RunLoopUntil;
using test::ScriptedSmtpServer;
using ::testing::IsEmpty;
using R = TSmtpRequest;

// One server action of the reference dialogue.
struct Action {
    enum Kind { Send, Expect, Data } kind;
    std::string text;
};

const std::vector<Action>& ReferenceDialogue()
{
    static const std::vector<Action> actions = {
        {Action::Send, "220 mail.test\r\n"},
        {Action::Expect, "EHLO client.test"},
        {Action::Send, "250-mail.test\r\n250-DSN\r\n250 HELP\r\n"},
        {Action::Expect, "AUTH LOGIN"},
        {Action::Send, "334 VXNlcm5hbWU6\r\n"},
        {Action::Expect, "dXNy"},
        {Action::Send, "334 UGFzc3dvcmQ6\r\n"},
        {Action::Expect, "cHdk"},
        {Action::Send, "235 ok\r\n"},
        {Action::Expect, "MAIL FROM:<a@x>"},
        {Action::Send, "250 ok\r\n"},
        {Action::Expect, "RCPT TO:<b@y> NOTIFY=SUCCESS,FAILURE"},
        {Action::Send, "550 no\r\n"},
        {Action::Expect, "RCPT TO:<c@y> NOTIFY=SUCCESS,FAILURE"},
        {Action::Send, "250 ok\r\n"},
        {Action::Expect, "DATA"},
        {Action::Send, "354 go\r\n"},
        {Action::Data, ""},
        {Action::Send, "250 queued\r\n"},
        {Action::Expect, "QUIT"},
        {Action::Send, "221 bye\r\n"},
    };
    return actions;
}

class BadServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto dir = std::filesystem::temp_directory_path() / ("pw_bad_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        attachment_ = (dir / "att.bin").string();
        std::ofstream out(attachment_, std::ios::binary);
        const std::string bytes(30000, 'q');
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(attachment_).parent_path(), ec);
    }

    // A client for the reference dialogue: LOGIN, DSN, two recipients, a file.
    std::unique_ptr<TSmtpClient> Client(ScriptedSmtpServer& s, int timeOut)
    {
        auto c = test::ClientFor(loop, s);
        c->RcptName = {"b@y", "c@y"};
        c->ReturnReceipt = true;
        c->AuthType = 2;
        c->Username = "usr";
        c->Password = "pwd";
        c->MessageLines = {"text"};
        c->AttachedFiles = {attachment_};
        c->TimeOut = timeOut;
        TEngineTestAccess::SetFinalReplyFloor(*c, timeOut);
        return c;
    }

    // Step by step: Connect, Helo, MailFrom, each awaited; returns the records.
    std::vector<test::RequestRecord> UpToMailFrom(TSmtpClient& c)
    {
        std::vector<test::RequestRecord> records;
        c.OnRequestDone = [&](TSmtpEngine& e, TSmtpRequest t, std::uint16_t err) {
            records.push_back({t, err, e.LastReply()});
        };
        c.Connect();
        if (!RunLoopUntil(loop, [&] { return !records.empty(); }, 5s))
            return records;
        for (auto op : {&TSmtpEngine::Helo, &TSmtpEngine::MailFrom}) {
            const std::size_t before = records.size();
            (c.*op)();
            if (!RunLoopUntil(loop, [&] { return records.size() > before; }, 10s))
                break;
        }
        c.OnRequestDone = nullptr;
        return records;
    }

    // Plays the reference dialogue up to `cut` actions, then (if `half`) the
    // first half of the next Send or a part of the message, then `ending`.
    void Script(ScriptedSmtpServer& s, std::size_t cut, bool half)
    {
        const auto& a = ReferenceDialogue();
        for (std::size_t i = 0; i < cut; ++i) {
            switch (a[i].kind) {
            case Action::Send: s.Send(a[i].text); break;
            case Action::Expect: s.Expect(a[i].text); break;
            case Action::Data: s.ReadData(); break;
            }
        }
        if (half && cut < a.size()) {
            if (a[cut].kind == Action::Send)
                s.Send(a[cut].text.substr(0, a[cut].text.size() / 2));
            else if (a[cut].kind == Action::Data)
                s.ReadBytes(2000);
        }
    }

    std::string attachment_;
    MessageLoop loop;
};

// The close reaches the client after `cut` actions: every request that is
// outstanding then fails with a code and a kept text, except Quit, which a
// close completes.
TEST_F(BadServer, CloseAtEveryPoint)
{
    const auto& actions = ReferenceDialogue();
    for (std::size_t cut = 0; cut <= actions.size(); ++cut) {
        for (bool half : {false, true}) {
            if (half && (cut == actions.size() || actions[cut].kind == Action::Expect))
                continue;
            SCOPED_TRACE("close after " + std::to_string(cut) + (half ? " and a half" : "") + " actions");
            ScriptedSmtpServer s;
            auto c = Client(s, 5);
            Script(s, cut, half);
            s.Close();
            const auto d = test::RunSession(loop, s, *c, {true, true}, false, 8s);
            ASSERT_TRUE(d.finished) << test::Describe(d.records);
            ASSERT_FALSE(d.records.empty());
            // Once "." is answered, only Quit is left, and a close completes it.
            const bool messageDone = cut >= actions.size() - 2;
            if (messageDone) {
                EXPECT_TRUE(d.succeeded) << test::Describe(d.records);
            } else {
                EXPECT_NE(d.records.back().error, 0) << test::Describe(d.records);
                EXPECT_FALSE(c->LastReply().empty());
                EXPECT_FALSE(c->ErrorText().empty());
            }
            EXPECT_FALSE(c->IsConnected());
            EXPECT_EQ(c->State(), TSmtpState::Ready);
            EXPECT_TRUE(s.WaitFinished(5s));
        }
    }
}

TEST_F(BadServer, StallAtSeveralPoints)
{
    const std::size_t cuts[] = {0, 2, 5, 12, 17, 19};
    for (std::size_t cut : cuts) {
        for (bool half : {false, true}) {
            if (half && ReferenceDialogue()[cut].kind == Action::Expect)
                continue;
            SCOPED_TRACE("stall after " + std::to_string(cut) + (half ? " and a half" : "") + " actions");
            ScriptedSmtpServer s;
            auto c = Client(s, 1);
            Script(s, cut, half);
            s.Silent(10s);
            const auto d = test::RunSession(loop, s, *c, {true, true}, false, 6s);
            ASSERT_TRUE(d.finished) << test::Describe(d.records);
            ASSERT_FALSE(d.records.empty());
            EXPECT_EQ(d.records.back().error, 10060) << test::Describe(d.records);
            EXPECT_EQ(c->LastReply(), "500 Connection timed out (Winsock error #10060)");
            EXPECT_TRUE(s.WaitFinished(5s));
            EXPECT_TRUE(s.PeerClosed());
        }
    }
}

struct GarbageCase {
    std::string reply;  // sent raw after MAIL FROM
    std::uint16_t error;
    std::string lastReply;
};

TEST_F(BadServer, GarbageReplies)
{
    const GarbageCase cases[] = {
        {"\r\n", 500, ""},
        {"hello there\r\n", 500, "hello there"},
        {"-\r\n", 500, "-"},
        {"2\r\n", 500, "2"},
        {"2500 ok\r\n", 500, "2500 ok"},
        {"99999999999 x\r\n", 500, "99999999999 x"},
        {"-250 x\r\n", 500, "-250 x"},
        {std::string("25\0 ok\r\n", 8), 500, std::string("25\0 ok", 6)},
        {"\x01\x02\xff\xfe\r\n", 500, "\x01\x02\xff\xfe"},
        {"550\r\n", 550, "550"},
        {"250\r\n", 0, "250"},
        {"250-a\r\n250-b\r\n\r\n", 500, ""},  // an empty line ends the reply
        {"  250 ok\r\n", 0, "  250 ok"},        // leading blanks are skipped
    };
    for (const auto& g : cases) {
        SCOPED_TRACE(testing::PrintToString(g.reply));
        ScriptedSmtpServer s;
        auto c = Client(s, 2);
        s.Reply("220 hi").Exchange("HELO client.test", "250 ok").Expect("MAIL FROM:<a@x>").Send(g.reply).Silent(3s);
        s.Start();
        const auto records = UpToMailFrom(*c);
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[2], (test::RequestRecord{R::MailFrom, g.error, ""}));
        EXPECT_EQ(c->LastReply(), g.lastReply);
        if (g.error != 0) {
            EXPECT_EQ(c->ErrorText(), g.lastReply);
        }
        c->Abort();
    }
}

TEST_F(BadServer, EndlessContinuationTimesOut)
{
    ScriptedSmtpServer s;
    auto c = Client(s, 1);
    s.Reply("220 hi").Exchange("HELO client.test", "250 ok").Expect("MAIL FROM:<a@x>").Send("250-more to come\r\n").Silent(5s);
    s.Start();
    const auto records = UpToMailFrom(*c);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2], (test::RequestRecord{R::MailFrom, 10060, ""}));
}

TEST_F(BadServer, ManyContinuationLinesAreHandledOneByOne)
{
    ScriptedSmtpServer s;
    auto owned = Client(s, 5);
    TSmtpClient& c = *owned;
    std::string flood;
    for (int i = 0; i < 20000; ++i)
        flood += "250-line " + std::to_string(i) + "\r\n";
    flood += "250 done\r\n";
    s.Reply("220 hi").Expect("HELO client.test").Send(flood).Silent(5s);
    int lines = 0;
    c.OnReplyLine = [&](TSmtpEngine&, const std::string&) { ++lines; };
    std::vector<test::RequestRecord> records;
    c.OnRequestDone = [&](TSmtpEngine& e, TSmtpRequest t, std::uint16_t err) {
        records.push_back({t, err, e.LastReply()});
    };
    s.Start();
    c.Connect();
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return records.size() == 1; }, 5s));
    c.Helo();
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return records.size() == 2; }, 10s));
    EXPECT_EQ(records[1], (test::RequestRecord{R::Helo, 0, ""}));
    EXPECT_EQ(lines, 20002);
    c.Abort();
}

TEST_F(BadServer, FloodOfUnsolicitedLinesWhileIdle)
{
    ScriptedSmtpServer s;
    auto owned = Client(s, 5);
    TSmtpClient& c = *owned;
    std::string flood = "220 hi\r\n";
    for (int i = 0; i < 50000; ++i)
        flood += "NOTICE nobody asked " + std::to_string(i) + "\r\n";
    s.Send(flood).Exchange("HELO client.test", "250 ok").Silent(5s);
    int lines = 0;
    c.OnReplyLine = [&](TSmtpEngine&, const std::string&) { ++lines; };
    std::vector<test::RequestRecord> records;
    c.OnRequestDone = [&](TSmtpEngine& e, TSmtpRequest t, std::uint16_t err) {
        records.push_back({t, err, e.LastReply()});
    };
    s.Start();
    c.Connect();
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return lines == 50001; }, 10s)) << lines;
    EXPECT_EQ(records.size(), 1u);
    c.Helo();
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return records.size() == 2; }, 5s));
    EXPECT_EQ(records[1], (test::RequestRecord{R::Helo, 0, ""}));
    c.Abort();
}

TEST_F(BadServer, EndlessLineWhileIdleDropsTheConnectionQuietly)
{
    ScriptedSmtpServer s;
    auto owned = Client(s, 5);
    TSmtpClient& c = *owned;
    s.Reply("220 hi").SendJunk(16u << 20);
    std::vector<test::RequestRecord> records;
    c.OnRequestDone = [&](TSmtpEngine& e, TSmtpRequest t, std::uint16_t err) {
        records.push_back({t, err, e.LastReply()});
    };
    s.Start();
    c.Connect();
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return !c.IsConnected() && !records.empty(); }, 10s));
    RunLoopFor(loop, 100ms);
    EXPECT_EQ(records.size(), 1u);  // only Connect; nothing was outstanding afterwards
    EXPECT_EQ(records[0], (test::RequestRecord{R::Connect, 0, ""}));
    EXPECT_EQ(c.LastReply(), "500 Reply line too long");
    EXPECT_TRUE(s.WaitFinished(10s));
    EXPECT_THAT(s.Failures(), IsEmpty());  // the server's writes ended because we closed
    // The next request fails at once instead of waiting for ever.
    c.Helo();
    ASSERT_TRUE(RunLoopUntil(loop, [&] { return records.size() == 2; }, 2s));
    EXPECT_EQ(records[1], (test::RequestRecord{R::Helo, 10057, ""}));
}

}  // namespace
}  // namespace pw
