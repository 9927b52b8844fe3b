// SIZE (RFC 1870): the size MAIL FROM announces is the size of what DATA then
// sends (dot-stuffing aside), for attachments of every length around the
// Base64 line edges and for body lines that are cut and dot-stuffed; a message
// above the server's limit fails before anything is uploaded.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "codecs/Base64.h"
#include "support/SmtpSessionDriver.h"
#include "support/TempDir.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using test::RequestRecord;
using test::ScriptedSmtpServer;
using ::testing::IsEmpty;
using R = TSmtpRequest;
using Records = std::vector<RequestRecord>;

// Bytes of a message as received: every line with its CR LF, the dots added
// for the transfer taken away again.
std::uint64_t ReceivedSize(const std::vector<std::string>& lines)
{
    std::uint64_t n = 0;
    for (const auto& l : lines)
        n += l.size() + 2 - (l.compare(0, 2, "..") == 0 ? 1 : 0);
    return n;
}

class MessageSize : public ::testing::Test {
protected:
    std::string File(const std::string& name, std::size_t size)
    {
        const std::string path = dir / name;
        std::ofstream out(path, std::ios::binary);
        for (std::size_t i = 0; i < size; ++i)
            out.put(static_cast<char>(i * 7 + 3));
        return path;
    }

    // One session whose server offers `sizeLine`; returns the MAIL FROM line
    // and the message as received.
    struct Sent {
        Records records;
        std::string mailFrom;
        std::vector<std::string> data;
        std::uint64_t announced = 0;
    };
    Sent Send(TSmtpClient& client, ScriptedSmtpServer& server, const std::string& sizeLine)
    {
        server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", sizeLine})
            .ExpectPrefix("MAIL FROM:<a@x>").Reply("250 ok").Exchange("RCPT TO:<b@y>", "250 ok")
            .Exchange("DATA", "354 go").ReadData().Reply("250 queued").Exchange("QUIT", "221 bye").Close();
        auto r = test::RunSession(loop, server, client, {true, false}, false);
        EXPECT_TRUE(r.finished);
        EXPECT_TRUE(server.WaitFinished(10s));
        EXPECT_THAT(server.Failures(), IsEmpty());
        Sent s;
        s.records = r.records;
        const auto commands = server.Commands();
        s.mailFrom = commands.size() > 1 ? commands[1] : "";
        const auto blocks = server.DataBlocks();
        if (!blocks.empty())
            s.data = blocks[0];
        s.announced = client.MessageSize();
        return s;
    }

    MessageLoop loop;
    test::TempDir dir{"pw-size"};
};

TEST_F(MessageSize, AnnouncedSizeIsTheSizeSentForEveryAttachmentLength)
{
    for (std::size_t size : {0u, 1u, 2u, 3u, 44u, 45u, 46u, 89u, 90u, 91u, 65520u, 100003u}) {
        SCOPED_TRACE(size);
        ScriptedSmtpServer server;
        auto client = test::ClientFor(loop, server);
        client->AttachedFiles = {File("f" + std::to_string(size) + ".bin", size)};
        const Sent s = Send(*client, server, "250 SIZE 10000000");
        ASSERT_EQ(s.records.size(), 6u) << test::Describe(s.records);
        EXPECT_GT(s.announced, 0u);
        EXPECT_EQ(s.mailFrom, "MAIL FROM:<a@x> SIZE=" + std::to_string(s.announced));
        EXPECT_EQ(s.announced, ReceivedSize(s.data));
    }
}

// Files of several blocks of Base64 lines each, sent one after the other.
TEST_F(MessageSize, AnnouncedSizeIsTheSizeSentForSeveralLargeAttachments)
{
    ScriptedSmtpServer server;
    auto client = test::ClientFor(loop, server);
    client->MessageLines = {".text"};
    client->AttachedFiles = {File("a.bin", 300001), File("b.bin", 0), File("c.bin", 131041), File("d.bin", 46)};
    const Sent s = Send(*client, server, "250 SIZE 10000000");
    ASSERT_EQ(s.records.size(), 6u) << test::Describe(s.records);
    EXPECT_EQ(s.mailFrom, "MAIL FROM:<a@x> SIZE=" + std::to_string(s.announced));
    EXPECT_EQ(s.announced, ReceivedSize(s.data));
    EXPECT_GT(s.announced, (300001u + 131041u + 46u) * 4u / 3u);
}

TEST_F(MessageSize, BodyLinesThatAreCutAndStuffedCountAsSent)
{
    ScriptedSmtpServer server;
    auto client = test::ClientFor(loop, server);
    client->MessageLines = {".first", "second"};
    const std::vector<std::string> body = {"plain", ".dot", "bare\nLF and\rCR", std::string(3000, 'x'), "", "."};
    client->OnBodyLine = [&](TSmtpEngine&, std::int32_t n, std::string& line, std::int32_t, bool& more) {
        more = n >= 1 && static_cast<std::size_t>(n) <= body.size();
        if (more)
            line = body[static_cast<std::size_t>(n - 1)];
    };
    client->HeaderSubject = "Report";
    client->AttachedFiles = {File("a.bin", 1000), File("b.bin", 0), File("c.bin", 46)};
    const Sent s = Send(*client, server, "250 SIZE");  // SIZE without a limit
    ASSERT_EQ(s.records.size(), 6u) << test::Describe(s.records);
    EXPECT_EQ(s.mailFrom, "MAIL FROM:<a@x> SIZE=" + std::to_string(s.announced));
    EXPECT_EQ(s.announced, ReceivedSize(s.data));
    // The message had something of everything.
    EXPECT_THAT(s.data, ::testing::Contains("..dot"));
    EXPECT_THAT(s.data, ::testing::Contains("LF and"));
}

TEST_F(MessageSize, EightBitTextCountsAsItIsSentWithOrWithout8BitMime)
{
    // The text is encoded one way when the server takes 8-bit data and
    // another way when it does not; the size follows the way it goes.
    for (bool eightBitMime : {true, false}) {
        SCOPED_TRACE(eightBitMime ? "8BITMIME" : "7-bit only");
        ScriptedSmtpServer server;
        auto client = test::ClientFor(loop, server);
        client->CharSet = "UTF-8";
        client->MessageLines = {"Gr\xC3\xBC\xC3\x9F""e aus K\xC3\xB6ln", "caf\xC3\xA9 \xE2\x82\xAC 5"};
        client->AttachedFiles = {File("e.bin", 100)};
        const Sent s = Send(*client, server, eightBitMime ? "250-8BITMIME\r\n250 SIZE 1000000" : "250 SIZE 1000000");
        ASSERT_EQ(s.records.size(), 6u) << test::Describe(s.records);
        EXPECT_EQ(s.mailFrom, std::string("MAIL FROM:<a@x>") + (eightBitMime ? " BODY=8BITMIME" : "") +
                                  " SIZE=" + std::to_string(s.announced));
        EXPECT_EQ(s.announced, ReceivedSize(s.data));
    }
}

TEST_F(MessageSize, AboveTheLimitFailsBeforeAnythingIsUploaded)
{
    ScriptedSmtpServer server;
    auto client = test::ClientFor(loop, server);
    client->AttachedFiles = {File("big.bin", 5000)};
    server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250-SIZE 1000", "250 HELP"});
    auto r = test::RunSession(loop, server, *client, {true, false});
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.records.size(), 3u) << test::Describe(r.records);
    EXPECT_EQ(r.records[2], (RequestRecord{R::MailFrom, 552, ""}));
    const std::uint64_t n = client->MessageSize();
    EXPECT_GT(n, 5000u * 4 / 3);
    EXPECT_EQ(client->LastReply(),
              "552 Message of " + std::to_string(n) + " bytes exceeds the server's limit of 1000 bytes");
    server.Stop();
    EXPECT_EQ(server.ReceivedLines(), std::vector<std::string>{"EHLO client.test"});
}

TEST_F(MessageSize, OddSizeKeywords)
{
    struct Row {
        const char* line;
        bool sizeParameter;
    } rows[] = {
        {"250 SIZE", true},                        // no number: no limit
        {"250 SIZE 99999999999999999999999", true},  // beyond 64 bits: no limit
        {"250 SIZE 12x", true},                    // not a number: no limit
        {"250 size 50000000", true},
        {"250 HELP", false},                       // not offered: no SIZE=
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        ScriptedSmtpServer server;
        auto client = test::ClientFor(loop, server);
        client->AttachedFiles = {File("s.bin", 2000)};
        const Sent s = Send(*client, server, row.line);
        ASSERT_EQ(s.records.size(), 6u) << test::Describe(s.records);
        if (row.sizeParameter) {
            EXPECT_EQ(s.mailFrom, "MAIL FROM:<a@x> SIZE=" + std::to_string(ReceivedSize(s.data)));
        } else {
            EXPECT_EQ(s.mailFrom, "MAIL FROM:<a@x>");
            EXPECT_EQ(s.announced, 0u);
        }
    }
}

TEST_F(MessageSize, AbortWhileTheBodyIsCountedSendsNothing)
{
    ScriptedSmtpServer server;
    auto client = test::ClientFor(loop, server);
    Records records;
    client->OnRequestDone = [&](TSmtpEngine& c, TSmtpRequest type, std::uint16_t error) {
        records.push_back({type, error, c.LastReply()});
        if (type == R::Connect)
            c.Ehlo();
        else if (type == R::Ehlo)
            c.MailFrom();
    };
    client->OnBodyLine = [&](TSmtpEngine& c, std::int32_t n, std::string& line, std::int32_t, bool& more) {
        if (n == 2)
            c.Abort();  // the user's Abort, dispatched from inside the body supply
        more = n < 5;
        line = "line";
    };
    server.Reply("220 hi").Expect("EHLO client.test").ReplyLines({"250-hi", "250 SIZE 100000"}).Silent(3s);
    server.Start();
    client->Connect();
    ASSERT_TRUE(test::RunLoopUntil(loop, [&] { return records.size() == 2; }, 5s));
    test::RunLoopFor(loop, 200ms);
    EXPECT_EQ(records.size(), 2u) << "nothing is reported after the Abort";
    server.Stop();
    EXPECT_EQ(server.ReceivedLines(), std::vector<std::string>{"EHLO client.test"});
}

TEST(Base64Size, EncodedSizeMatchesTheEncoder)
{
    // The arithmetic SIZE relies on, against the encoder itself.
    for (std::uint64_t n : {0u, 1u, 2u, 3u, 4u, 44u, 45u, 46u, 90u, 91u, 1000u, 65519u, 65520u, 65521u, 200000u}) {
        test::TempDir dir;
        const std::string path = dir / "f";
        {
            std::ofstream out(path, std::ios::binary);
            out << std::string(n, 'z');
        }
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        TBase64FileEncoder encoder(fd);
        std::uint64_t total = 0;
        std::string line;
        TBase64FileEncoder::Status status;
        do {
            status = encoder.NextLine(line);
            total += line.size() + 2;
        } while (status == TBase64FileEncoder::Status::More);
        ::close(fd);
        EXPECT_EQ(TBase64FileEncoder::EncodedSize(n), total) << n;
        EXPECT_EQ(TBase64FileEncoder::LastLineChars(n), line.size()) << n;
    }
}

}  // namespace
}  // namespace pw
