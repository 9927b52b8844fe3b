// The bytes of the message after DATA, as the scripted server receives them:
// the layout with a text body and two attachments line by line, Base64 line
// lengths, dot-stuffing, cutting at line breaks, the header hooks, attachment
// renaming, international text and names, unreadable attachments (the
// connection dropped before the final "."), the trace, and the pump that
// sends lines in blocks.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include "codecs/Base64.h"
#include "net/SocketErrors.h"
#include "smtp/SmtpClient.h"
#include "smtp/Utf8.h"
#include "support/ScriptedSmtpServer.h"
#include "support/SmtpSessionDriver.h"
#include "support/TempDir.h"
#include "support/WholeFile.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using test::RequestRecord;
using test::RunLoopUntil;
using test::ScriptedSmtpServer;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using R = TSmtpRequest;

// The shared temporary folder, writing the attachments into itself.
class TempDir : public test::TempDir {
public:
    TempDir() : test::TempDir("pw_layout") {}
    std::string Write(const std::string& name, const std::string& bytes) const
    {
        const std::string p = *this / name;
        test::WriteWholeFile(p, bytes);
        return p;
    }
};

std::string Bytes(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 17 + (i >> 3)) & 0xFF);
    return s;
}

// Expected Base64 lines of a file: 45 bytes per line.
std::vector<std::string> Base64Lines(const std::string& content)
{
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < content.size(); i += 45)
        lines.push_back(Base64Encode(content.substr(i, 45)));
    if (content.empty())
        lines.emplace_back();
    return lines;
}

bool FileIsOpen(const std::string& path)
{
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path(), ec).string() == path)
            return true;
    }
    return false;
}

class MessageLayout : public ::testing::Test {
protected:
    void SetUp() override { client = test::ClientFor(loop, server); }

    // Runs the whole dialogue and returns the message lines the server got.
    std::vector<std::string> Send()
    {
        server.Reply("220 hi").Exchange("HELO client.test", "250 ok").Exchange("MAIL FROM:<a@x>", "250 ok")
            .Exchange("RCPT TO:<b@y>", "250 ok").Exchange("DATA", "354 go ahead").ReadData().Reply("250 queued")
            .Exchange("QUIT", "221 bye").Close();
        if (onTrace)
            client->OnTrace = [this](TSmtpEngine&, const std::string& t) { onTrace(t); };
        records = test::RunSession(loop, server, *client, {}, false).records;
        EXPECT_EQ(records.size(), 6u) << test::Describe(records);
        EXPECT_EQ(records.back(), (RequestRecord{R::Quit, 0, ""})) << test::Describe(records);
        EXPECT_TRUE(server.WaitFinished(5s));
        EXPECT_THAT(server.Failures(), IsEmpty());
        const auto blocks = server.DataBlocks();
        return blocks.empty() ? std::vector<std::string>{} : blocks[0];
    }

    // Runs a dialogue in which the client drops the connection during the
    // message; returns the lines the server got after DATA.
    std::vector<std::string> SendExpectingDrop()
    {
        server.Reply("220 hi").Exchange("HELO client.test", "250 ok").Exchange("MAIL FROM:<a@x>", "250 ok")
            .Exchange("RCPT TO:<b@y>", "250 ok").Exchange("DATA", "354 go ahead").ReadData();
        if (onTrace)
            client->OnTrace = [this](TSmtpEngine&, const std::string& t) { onTrace(t); };
        records = test::RunSession(loop, server, *client, {}, false).records;
        EXPECT_EQ(records.size(), 5u) << test::Describe(records);
        EXPECT_TRUE(server.WaitFinished(10s));
        // The server saw the message end without its ".".
        EXPECT_THAT(server.Failures(), ElementsAre(HasSubstr("message data did not end with")));
        const auto blocks = server.DataBlocks();
        return blocks.empty() ? std::vector<std::string>{} : blocks[0];
    }

    MessageLoop loop;
    ScriptedSmtpServer server;
    std::unique_ptr<TSmtpClient> client;
    std::vector<RequestRecord> records;
    std::function<void(const std::string&)> onTrace;
    TempDir dir;
};

const std::regex DatePattern(
    R"(Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4})");
const std::regex MessageIdPattern(R"(Message-ID: <[0-9a-z.]+@x>)");
const std::regex BoundaryHeaderPattern("\tboundary=\"(= Multipart Boundary \\d{10})\"");

TEST_F(MessageLayout, TextBodyAndTwoAttachmentsLineByLine)
{
    const std::string first = Bytes(100, 1);
    const std::string second = Bytes(46, 2);
    const std::string firstPath = dir.Write("report.txt", first);
    const std::string secondPath = dir.Write("data.bin", second);
    client->HeaderFrom = "Sender Name <a@x>";
    client->HeaderTo = "b@y";
    client->HeaderSubject = "Report";
    client->MessageLines = {"first line"};
    client->AttachedFiles = {firstPath, secondPath};
    const std::vector<std::string> body = {"body 1", ".starts with a dot", ""};
    client->OnBodyLine = [&](TSmtpEngine&, std::int32_t n, std::string& line, std::int32_t maxLength, bool& more) {
        EXPECT_EQ(maxLength, 1023);
        more = n <= static_cast<std::int32_t>(body.size());
        if (more)
            line = body[static_cast<std::size_t>(n - 1)];
    };
    const auto got = Send();
    ASSERT_GE(got.size(), 9u);

    // Lines 1-8: the header block; the Date and boundary by pattern.
    EXPECT_EQ(got[0], "From: Sender Name <a@x>");
    EXPECT_EQ(got[1], "To: b@y");
    EXPECT_EQ(got[2], "Subject: Report");
    EXPECT_EQ(got[3], "Sender: Sender Name <a@x>");
    EXPECT_EQ(got[4], "Mime-Version: 1.0");
    EXPECT_EQ(got[5], "Content-Type: multipart/mixed;");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[6], m, BoundaryHeaderPattern)) << got[6];
    const std::string boundary = m[1];
    EXPECT_EQ(boundary, client->Boundary());
    EXPECT_TRUE(std::regex_match(got[7], DatePattern)) << got[7];
    EXPECT_TRUE(std::regex_match(got[8], MessageIdPattern)) << got[8];

    std::vector<std::string> expected(got.begin(), got.begin() + 9);
    const auto add = [&](std::initializer_list<std::string> lines) { expected.insert(expected.end(), lines); };
    const auto part = [&](const std::string& name, const std::string& type, const std::string& content) {
        add({"--" + boundary, "Content-Type: " + type + ";", "\tname=\"" + name + "\"",
             "Content-Transfer-Encoding: base64", "Content-Disposition: attachment;", "\tfilename=\"" + name + "\"",
             ""});
        for (const auto& l : Base64Lines(content))
            expected.push_back(l);
        add({""});
    };
    add({"", "This is a multipart MIME message.", "", "--" + boundary,
         "Content-Type: text/plain; charset=\"iso-8859-1\"", "Content-Transfer-Encoding: 7bit", ""});
    add({"first line", "body 1", "..starts with a dot", ""});
    add({""});
    // Each type from the shared MIME database, by the file's name.
    part("report.txt", "text/plain", first);
    part("data.bin", "application/octet-stream", second);
    add({"--" + boundary + "--"});
    EXPECT_THAT(got, ElementsAreArray(expected));

    // The Base64 lines: 60 characters each, the last of a file shorter, and
    // they decode to the files.
    EXPECT_EQ(Base64Lines(first).size(), 3u);
    EXPECT_EQ(Base64Lines(first)[0].size(), 60u);
    EXPECT_EQ(Base64Lines(first)[2].size(), 16u);
    EXPECT_EQ(Base64Lines(second).back().size(), 4u);
    EXPECT_EQ(Base64Lines(second).back().substr(2), "==");
    std::string decoded;
    for (const auto& l : Base64Lines(first))
        decoded += Base64DecodeStrict(l);
    EXPECT_EQ(decoded, first);
    EXPECT_THAT(client->AttachmentError(), IsEmpty());
}

TEST_F(MessageLayout, WithoutAttachmentsAndEdgeLines)
{
    client->HeaderFrom = "a@x";
    client->HeaderSubject = "Line\r\nBcc: evil@z";
    client->SetContentType(0);
    const std::string longLine(2000, 'L');
    client->MessageLines = {longLine, "."};
    const std::string dotted = "." + std::string(1022, 'd');
    const std::vector<std::string> body = {dotted, "unix\nline\nends", "old\rmac", "dos\r\nend\r\n", ".\n.."};
    client->OnBodyLine = [&](TSmtpEngine&, std::int32_t n, std::string& line, std::int32_t, bool& more) {
        more = n <= static_cast<std::int32_t>(body.size());
        if (more)
            line = body[static_cast<std::size_t>(n - 1)];
    };
    const auto got = Send();
    ASSERT_GE(got.size(), 7u);
    EXPECT_EQ(got[0], "From: a@x");
    EXPECT_EQ(got[1], "Subject: Line  Bcc: evil@z");
    EXPECT_EQ(got[2], "Sender: a@x");
    EXPECT_EQ(got[3], "Mime-Version: 1.0");
    EXPECT_EQ(got[4], "Content-Type: text/html; charset=\"iso-8859-1\"");
    EXPECT_TRUE(std::regex_match(got[5], DatePattern)) << got[5];
    EXPECT_TRUE(std::regex_match(got[6], MessageIdPattern)) << got[6];
    const std::vector<std::string> rest(got.begin() + 7, got.end());
    EXPECT_THAT(rest, ElementsAreArray(std::vector<std::string>{
                          "", std::string(1023, 'L'), "..", "." + dotted, "unix", "line", "ends", "old", "mac", "dos",
                          "end", "..", "..."}));
    EXPECT_EQ(("." + dotted).size(), 1024u);
    EXPECT_THAT(client->Boundary(), IsEmpty());
}

TEST_F(MessageLayout, HeaderHooksAndHeadersAreNeverStuffed)
{
    client->HeaderFrom = "a@x";
    client->HeaderReplyTo = "r@x";
    client->HeaderCc = "c@y";
    client->HeaderSender = "s@x";
    client->OnHeaderBuilt = [](TSmtpEngine&, TStringList& headers) { headers.push_back(".X-Dot: 1"); };
    std::vector<int> sizes;
    client->OnHeaderField = [&](TSmtpEngine&, std::string& line, int size) {
        sizes.push_back(size);
        if (line.compare(0, 5, "Date:") == 0)
            line += "\r\nReturn-Receipt-To: a@x\r\nX-Mailer: Parcelwing v.2.1b ";
    };
    const auto got = Send();
    ASSERT_GE(got.size(), 11u);
    EXPECT_EQ(got[0], "Reply-To: r@x");
    EXPECT_EQ(got[1], "From: a@x");
    EXPECT_EQ(got[2], "Cc: c@y");
    EXPECT_EQ(got[3], "Subject: ");
    EXPECT_EQ(got[4], "Sender: s@x");
    EXPECT_TRUE(std::regex_match(got[7], DatePattern)) << got[7];
    EXPECT_EQ(got[8], "Return-Receipt-To: a@x");
    EXPECT_EQ(got[9], "X-Mailer: Parcelwing v.2.1b ");
    EXPECT_TRUE(std::regex_match(got[10], MessageIdPattern)) << got[10];
    EXPECT_EQ(got[11], ".X-Dot: 1");  // as built, no dot added
    EXPECT_EQ(got[12], "");
    EXPECT_EQ(sizes.size(), 11u);  // every header line, the closing empty one included
    for (int s : sizes)
        EXPECT_EQ(s, 1024);
}

TEST_F(MessageLayout, AttachmentEdgeSizesRenamingAndExtraHeaders)
{
    const std::string empty = dir.Write("empty.dat", "");
    const std::string exact = dir.Write("exact45.bin", Bytes(45, 3));
    const std::string over = dir.Write("over46.bin", Bytes(46, 4));
    client->AttachedFiles = {empty, exact, over};
    client->OnAttachmentType = [](TSmtpEngine&, std::int32_t index, std::string& name, std::string& type) {
        if (index == 1) {
            name = "renamed.bin";
            type = "application/x-test";
        }
    };
    client->OnAttachmentHeader = [](TSmtpEngine&, std::int32_t index, const std::string&, TPendingLines& pending) {
        pending.push_back("X-Part: " + std::to_string(index));
    };
    const auto got = Send();
    const std::string b = client->Boundary();
    ASSERT_FALSE(b.empty());
    const auto at = std::find(got.begin(), got.end(), "--" + b);
    ASSERT_NE(at, got.end());
    // Skip the text part: from the second delimiter on.
    const auto parts = std::find(at + 1, got.end(), "--" + b);
    ASSERT_NE(parts, got.end());
    const std::vector<std::string> tail(parts, got.end());
    const std::vector<std::string> expected = {
        "--" + b, "Content-Type: application/octet-stream;", "\tname=\"empty.dat\"", "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;", "\tfilename=\"empty.dat\"", "X-Part: 0", "", "", "",
        "--" + b, "Content-Type: application/x-test;", "\tname=\"renamed.bin\"", "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;", "\tfilename=\"exact45.bin\"", "X-Part: 1", "",
        Base64Encode(Bytes(45, 3)), "",
        "--" + b, "Content-Type: application/octet-stream;", "\tname=\"over46.bin\"", "Content-Transfer-Encoding: base64",
        "Content-Disposition: attachment;", "\tfilename=\"over46.bin\"", "X-Part: 2", "",
        Base64Encode(Bytes(45, 4)), Base64Encode(Bytes(46, 4).substr(45)), "",
        "--" + b + "--"};
    EXPECT_THAT(tail, ElementsAreArray(expected));
    EXPECT_EQ(Base64Encode(Bytes(45, 3)).size(), 60u);
    EXPECT_EQ(Base64Encode(Bytes(45, 3)).find('='), std::string::npos);
}

// The whole dialogue byte for byte, against the layout written out here: a
// text with lines to stuff and several files, among them an empty one and
// sizes at the edges of a Base64 line, of the encoder's read block and of
// the pump's 64 KiB blocks (1057 lines of 62 bytes), so that lines of every
// kind meet each edge.
TEST_F(MessageLayout, WholeDialogueByteForByte)
{
    constexpr std::size_t kPumpLines = 64 * 1024 / 62;  // whole lines in one block
    const std::size_t sizes[] = {0,
                                 1,
                                 45,
                                 46,
                                 kPumpLines * 45 - 1,
                                 kPumpLines * 45,
                                 kPumpLines * 45 + 1,
                                 TBase64FileEncoder::kBlockBytes,
                                 TBase64FileEncoder::kBlockBytes + 1,
                                 2 * kPumpLines * 45 + 44,
                                 0};
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        contents.push_back(Bytes(sizes[i], static_cast<unsigned>(i)));
        client->AttachedFiles.push_back(dir.Write("f" + std::to_string(i) + ".bin", contents.back()));
    }
    client->HeaderFrom = "a@x";
    client->HeaderSubject = "Files";
    client->MessageLines = {"text", ".dot", "", "..", "last"};
    Send();
    const auto got = server.ReceivedLines();
    ASSERT_GE(got.size(), 16u);

    // The lines that differ from run to run, taken from the wire once checked.
    const std::string date = got[10], messageId = got[11];
    EXPECT_TRUE(std::regex_match(date, DatePattern)) << date;
    EXPECT_TRUE(std::regex_match(messageId, MessageIdPattern)) << messageId;
    const std::string boundary = client->Boundary();
    ASSERT_FALSE(boundary.empty());

    std::string expected;
    const auto add = [&](std::initializer_list<std::string> lines) {
        for (const auto& l : lines)
            expected.append(l).append("\r\n");
    };
    add({"HELO client.test", "MAIL FROM:<a@x>", "RCPT TO:<b@y>", "DATA"});
    add({"From: a@x", "Subject: Files", "Sender: a@x", "Mime-Version: 1.0", "Content-Type: multipart/mixed;",
         "\tboundary=\"" + boundary + "\"", date, messageId, "", "This is a multipart MIME message.", "",
         "--" + boundary, "Content-Type: text/plain; charset=\"iso-8859-1\"", "Content-Transfer-Encoding: 7bit", "",
         "text", "..dot", "", "...", "last", ""});
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        add({"--" + boundary, "Content-Type: application/octet-stream;", "\tname=\"" + name + "\"",
             "Content-Transfer-Encoding: base64", "Content-Disposition: attachment;",
             "\tfilename=\"" + name + "\"", ""});
        for (const auto& l : Base64Lines(contents[i]))
            add({l});
        add({""});
    }
    add({"--" + boundary + "--", ".", "QUIT"});

    std::string wire;
    for (const auto& l : got)
        wire.append(l).append("\r\n");
    // Every line ended in CR LF: the server counted exactly these bytes.
    EXPECT_EQ(server.BytesReceived(), expected.size());
    ASSERT_EQ(wire.size(), expected.size());
    const auto [mismatch, _] = std::mismatch(expected.begin(), expected.end(), wire.begin());
    EXPECT_TRUE(mismatch == expected.end())
        << "first difference at byte " << (mismatch - expected.begin()) << ": expected \""
        << expected.substr(static_cast<std::size_t>(mismatch - expected.begin()), 80) << "\"";
}

// An attachment that cannot be read to its end: what was sent of the message
// is cut off without its final ".", so the server must throw it away.
TEST_F(MessageLayout, MissingAttachmentDropsTheConnectionBeforeTheFinalDot)
{
    const std::string ok = dir.Write("ok.txt", "fine");
    const std::string missing = (std::filesystem::temp_directory_path() / "pw_no_such_file_here.bin").string();
    client->AttachedFiles = {ok, missing};
    client->MessageLines = {"text"};
    const auto got = SendExpectingDrop();
    EXPECT_THAT(got, Contains("text"));
    EXPECT_THAT(got, Contains("ZmluZQ=="));  // the first file went out
    EXPECT_THAT(got, Not(Contains(".")));
    EXPECT_EQ(records.back().error, PWE_ATTACHMENT_UNREADABLE);
    EXPECT_EQ(client->LastReply(),
              std::to_string(PWE_ATTACHMENT_UNREADABLE) + " Can't open attachment file " + missing +
                  ": No such file or directory");
    EXPECT_NE(client->AttachmentError().find(missing), std::string::npos) << client->AttachmentError();
    EXPECT_FALSE(FileIsOpen(ok));
    EXPECT_FALSE(client->IsConnected());
}

TEST_F(MessageLayout, DirectoryAsAttachmentIsRefused)
{
    const std::string folder = std::filesystem::temp_directory_path().string();
    client->AttachedFiles = {folder};
    SendExpectingDrop();
    EXPECT_NE(client->AttachmentError().find("not a regular file"), std::string::npos) << client->AttachmentError();
    EXPECT_EQ(records.back().error, PWE_ATTACHMENT_UNREADABLE);
}

// A client whose attachment reading fails after a number of lines.
class FailingReadClient : public TSmtpClient {
public:
    using TSmtpClient::TSmtpClient;
    int linesBeforeFailure = 3;
    int closes = 0;

protected:
    bool ReadEncodedLine(std::string& line) override
    {
        if (linesBeforeFailure-- <= 0)
            throw TAttachmentFailure("Can't read attachment file: I/O error");
        return TSmtpClient::ReadEncodedLine(line);
    }
    void CloseAttachmentFile() override
    {
        ++closes;
        TSmtpClient::CloseAttachmentFile();
    }
};

TEST_F(MessageLayout, ReadErrorMidwayDropsTheConnectionAndClosesTheFile)
{
    const std::string content = Bytes(1000, 5);
    const std::string path = dir.Write("midway.bin", content);
    auto failing = std::make_unique<FailingReadClient>(loop);
    failing->Host = client->Host;
    failing->Port = client->Port;
    failing->SignOn = client->SignOn;
    failing->FromName = client->FromName;
    failing->RcptName = client->RcptName;
    failing->AttachedFiles = {path};
    failing->TraceAttachmentLines = true;
    bool openDuringMessage = false;
    onTrace = [&](const std::string& t) {
        if (t.size() == 62)
            openDuringMessage = openDuringMessage || FileIsOpen(path);
    };
    auto* raw = failing.get();
    client = std::move(failing);
    const auto got = SendExpectingDrop();
    const auto lines = Base64Lines(content);
    ASSERT_GE(got.size(), 3u);
    // The three lines read before the failure went out, then the connection went.
    EXPECT_EQ(got[got.size() - 1], lines[2]);
    EXPECT_EQ(got[got.size() - 3], lines[0]);
    EXPECT_TRUE(openDuringMessage);
    EXPECT_FALSE(FileIsOpen(path));
    EXPECT_GE(raw->closes, 1);
    EXPECT_EQ(client->AttachmentError(), "Can't read attachment file: I/O error");
    EXPECT_EQ(client->LastReply(), "12020 Can't read attachment file: I/O error");
}

// The file loses most of its bytes while its lines are on their way.
TEST_F(MessageLayout, FileThatShrinksMidReadDropsTheConnection)
{
    const std::string path = dir.Write("shrinking.bin", Bytes(4u << 20, 9));
    client->AttachedFiles = {path};
    client->TimeOut = 20;
    server.Reply("220 hi").Exchange("HELO client.test", "250 ok").Exchange("MAIL FROM:<a@x>", "250 ok")
        .Exchange("RCPT TO:<b@y>", "250 ok").Exchange("DATA", "354 go ahead").ReadBytes(256 * 1024)
        .Do([&] { EXPECT_EQ(::truncate(path.c_str(), 1000), 0); }).Silent(20s);
    const auto r = test::RunSession(loop, server, *client, {}, false, 40s);
    ASSERT_TRUE(r.finished);
    ASSERT_FALSE(r.records.empty());
    EXPECT_EQ(r.records.back(), (RequestRecord{R::Data, PWE_ATTACHMENT_UNREADABLE, ""})) << test::Describe(r.records);
    EXPECT_EQ(client->LastReply(),
              "12020 Can't read attachment file " + path + ": it shrank while it was read");
    EXPECT_TRUE(server.WaitFinished(20s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    EXPECT_TRUE(server.PeerClosed());
    const auto received = server.ReceivedLines();
    EXPECT_THAT(received, Not(Contains(".")));
    EXPECT_THAT(received, Not(Contains("QUIT")));
}

// International text and names: encoded Subject and display names, the text
// quoted-printable under the charset chosen, file names as RFC 2231 values.
TEST_F(MessageLayout, InternationalHeadersTextAndNames)
{
    const std::string apfel = dir.Write("Äpfel Grüße.txt", "Obst\r\n");
    const std::string latin = dir.Write("caf\xe9.txt", "x");
    const std::string quoted = dir.Write("say \"cheese\".txt", "y");
    client->HeaderFrom = "Jürgen Müller <a@x>";
    client->HeaderTo = "\"Smith, John\" <b@y>; Анна <c@y>";
    client->RcptName = {"\"Smith, John\" <b@y>", "Анна <c@y>"};
    client->HeaderSubject = "Grüße";
    client->CharSet = "ISO-8859-1";
    client->AttachedFiles = {apfel, latin, quoted};
    client->MessageLines = {"Grüße aus Köln", "plain"};
    server.Reply("220 hi").Exchange("HELO client.test", "250 ok").Exchange("MAIL FROM:<a@x>", "250 ok")
        .Exchange("RCPT TO:<b@y>", "250 ok").Exchange("RCPT TO:<c@y>", "250 ok").Exchange("DATA", "354 go ahead")
        .ReadData().Reply("250 queued").Exchange("QUIT", "221 bye").Close();
    const auto r = test::RunSession(loop, server, *client, {}, false);
    ASSERT_TRUE(r.succeeded) << test::Describe(r.records);
    EXPECT_TRUE(server.WaitFinished(5s));
    EXPECT_THAT(server.Failures(), IsEmpty());
    const auto got = server.DataBlocks().at(0);
    const std::string b = client->Boundary();
    EXPECT_EQ(got[0], "From: =?UTF-8?B?SsO8cmdlbiBNw7xsbGVy?= <a@x>");
    EXPECT_EQ(got[1], "To: \"Smith, John\" <b@y>, =?UTF-8?B?0JDQvdC90LA=?= <c@y>");
    EXPECT_EQ(got[2], "Subject: =?UTF-8?B?R3LDvMOfZQ==?=");
    const std::vector<std::string> textPart = {"--" + b, "Content-Type: text/plain; charset=\"ISO-8859-1\"",
                                               "Content-Transfer-Encoding: quoted-printable", "",
                                               "Gr=FC=DFe aus K=F6ln", "plain", ""};
    const auto at = std::find(got.begin(), got.end(), "--" + b);
    ASSERT_NE(at, got.end());
    EXPECT_THAT(std::vector<std::string>(at, at + 7), ElementsAreArray(textPart));
    EXPECT_THAT(got, Contains("\tname*=UTF-8''%C3%84pfel%20Gr%C3%BC%C3%9Fe.txt"));
    EXPECT_THAT(got, Contains("\tfilename*=UTF-8''%C3%84pfel%20Gr%C3%BC%C3%9Fe.txt"));
    EXPECT_THAT(got, Contains("\tfilename*=windows-1252''caf%E9.txt"));
    EXPECT_THAT(got, Contains("\tfilename=\"say \\\"cheese\\\".txt\""));
    EXPECT_THAT(got, Contains("Content-Type: text/plain;"));
    for (const auto& line : got) {
        EXPECT_TRUE(IsAscii(line)) << line;
        EXPECT_LE(line.size(), 76u) << line;
    }
}

// Only the Base64 lines of attachments are left out of the trace, each
// attachment summed up in one line; every command, reply and text line stays.
TEST_F(MessageLayout, TraceSumsUpEachAttachmentInOneLine)
{
    const std::string big = dir.Write("big.bin", Bytes(45 * 100 + 1, 7));
    const std::string small = dir.Write("small.txt", "hello");
    client->AttachedFiles = {big, small};
    client->MessageLines = {"the text"};
    client->HeaderSubject = "A subject long enough to be folded into two lines when it goes out, and then some";
    std::vector<std::string> trace;
    onTrace = [&](const std::string& t) { trace.push_back(t); };
    const auto got = Send();
    // A folded field is traced line by line: no line break inside a trace line.
    for (const auto& t : trace)
        EXPECT_EQ(t.find_first_of("\r\n"), std::string::npos) << t;
    EXPECT_THAT(trace, Contains("> Subject: A subject long enough to be folded into two lines when it goes out,"));
    EXPECT_THAT(trace, Contains(">  and then some"));
    EXPECT_THAT(trace, Contains(">  boundary=\"" + client->Boundary() + "\"").Times(0));
    EXPECT_THAT(trace, Contains("> \tboundary=\"" + client->Boundary() + "\""));
    EXPECT_THAT(trace, Contains("> [big.bin: 101 lines of Base64]"));
    EXPECT_THAT(trace, Contains("> [small.txt: 1 lines of Base64]"));
    for (const char* line : {"> HELO client.test", "< 250 ok", "> MAIL FROM:<a@x>", "> RCPT TO:<b@y>", "> DATA",
                             "< 354 go ahead", "> the text", "> .", "< 250 queued", "> QUIT", "< 221 bye"})
        EXPECT_THAT(trace, Contains(line));
    for (const auto& l : Base64Lines(Bytes(45 * 100 + 1, 7)))
        EXPECT_THAT(trace, Not(Contains("> " + l)));
    // The server still got every line.
    EXPECT_THAT(got, Contains(Base64Lines(Bytes(45 * 100 + 1, 7))[50]));
}

// Lines leave in blocks, one Send per block, and each is traced before its
// block is sent: the trace follows the wire line for line.
TEST_F(MessageLayout, TraceFollowsTheWireWhileLinesLeaveInBlocks)
{
    const std::string path = dir.Write("pump.bin", Bytes(45 * 4000 + 7, 6));
    client->AttachedFiles = {path};
    client->MessageLines = {"a", ".b", "c\r\nd"};
    client->TraceAttachmentLines = true;
    bool inData = false;
    std::vector<std::string> traced;
    int allSentEvents = 0;
    onTrace = [&](const std::string& t) {
        if (t.compare(0, 5, "< 354") == 0) {
            inData = true;
            return;
        }
        if (!inData || t.compare(0, 2, "> ") != 0)
            return;
        if (t == "> .") {
            inData = false;
            return;
        }
        if (traced.empty()) {
            auto inner = client->Socket().OnAllSent;
            ASSERT_TRUE(inner);
            client->Socket().OnAllSent = [&, inner](TWSocket& sock, std::uint16_t e) {
                ++allSentEvents;
                inner(sock, e);
            };
        }
        traced.push_back(t.substr(2));
    };
    const auto got = Send();
    EXPECT_EQ(traced, got);
    ASSERT_GT(got.size(), 4000u);
    // A block holds some thousand Base64 lines: a few sends, not one per line.
    EXPECT_GE(allSentEvents, 2);
    EXPECT_LT(allSentEvents, 20);
}

// The attachment's Base64 goes out in blocks unless every line is traced;
// both ways send the same bytes, for files that end at and around the line
// and block edges and text that needs dots and cuts.
TEST_F(MessageLayout, BlocksSendTheBytesOfLineByLine)
{
    const std::size_t block = TBase64FileEncoder::kBlockBytes;
    const std::vector<std::string> contents = {Bytes(0, 1), Bytes(1, 2), Bytes(46, 3), Bytes(2 * block + 13, 4),
                                               Bytes(3 * 1024 * 1024 + 7, 5)};
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < contents.size(); ++i)
        paths.push_back(dir.Write("file" + std::to_string(i) + ".bin", contents[i]));
    const std::vector<std::string> text = {".dot first", "cr\rinside", "lf\ninside", "crlf\r\ninside", "..two", "."};

    struct Sent {
        std::vector<std::string> lines;  // the message, Date, Message-ID and boundary made alike
        std::size_t bytes = 0;           // bytes the server received
        std::size_t lineBytes = 0;       // the lines it read, each with CR LF
    };
    auto send = [&](bool lineByLine) {
        ScriptedSmtpServer s;
        auto c = test::ClientFor(loop, s);
        c->AttachedFiles = paths;
        c->MessageLines = text;
        c->TraceAttachmentLines = lineByLine;
        s.Reply("220 hi").Exchange("HELO client.test", "250 ok").Exchange("MAIL FROM:<a@x>", "250 ok")
            .Exchange("RCPT TO:<b@y>", "250 ok").Exchange("DATA", "354 go ahead").ReadData().Reply("250 queued")
            .Exchange("QUIT", "221 bye").Close();
        const auto r = test::RunSession(loop, s, *c, {}, false, 60s);
        EXPECT_TRUE(r.succeeded) << test::Describe(r.records);
        EXPECT_TRUE(s.WaitFinished(10s));
        EXPECT_THAT(s.Failures(), IsEmpty());
        Sent out;
        const auto blocks = s.DataBlocks();
        if (!blocks.empty())
            out.lines = blocks[0];
        for (auto& l : out.lines) {
            if (std::regex_match(l, DatePattern))
                l = "Date: *";
            else if (std::regex_match(l, MessageIdPattern))
                l = "Message-ID: *";
            for (std::size_t at; !c->Boundary().empty() && (at = l.find(c->Boundary())) != std::string::npos;)
                l.replace(at, c->Boundary().size(), "BOUNDARY");
        }
        out.bytes = s.BytesReceived();
        for (const auto& l : s.ReceivedLines())
            out.lineBytes += l.size() + 2;
        return out;
    };
    const Sent blocks = send(false);
    const Sent lines = send(true);
    EXPECT_TRUE(blocks.lines == lines.lines);  // not printed: millions of characters
    // Every line ended in CR LF: no bare line end anywhere. (The totals of
    // the two sends may differ: the Message-ID's length varies.)
    EXPECT_EQ(blocks.bytes, blocks.lineBytes);
    EXPECT_EQ(lines.bytes, lines.lineBytes);

    // And what both sent is what the files and the text hold.
    const auto& got = blocks.lines;
    for (const std::string expected : {"..dot first", "cr", "inside", "lf", "crlf", "...two", ".."})
        EXPECT_THAT(got, Contains(expected));
    std::size_t at = 0;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        const std::string fileName = "\tfilename=\"file" + std::to_string(i) + ".bin\"";
        while (at < got.size() && got[at] != fileName)
            ++at;
        while (at < got.size() && !got[at].empty())
            ++at;  // the rest of the part's header
        ASSERT_LT(at, got.size());
        const auto expected = Base64Lines(contents[i]);
        ASSERT_LE(at + 1 + expected.size(), got.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin() + static_cast<std::ptrdiff_t>(at + 1)));
        at += 1 + expected.size();
    }
}

}  // namespace
}  // namespace pw
