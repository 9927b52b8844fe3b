// The message pieces without a socket: Date text, boundary, header block,
// the multipart Content-Type hook, part headers, line cutting and dot-stuffing.

#include "smtp/MimeMessage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iomanip>
#include <regex>
#include <sstream>

#include "smtp/MailDate.h"

namespace pw {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::tm LocalFields(int year, int mon, int day, int h, int m, int s)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return t;
}

TEST(DateText, LocalTimeWithItsZone)
{
    struct Case {
        std::tm local;
        long offset;
        const char* text;
    } cases[] = {
        // 9:05:03 local on Monday 7 December 2026, one hour east of UTC.
        {LocalFields(2026, 12, 7, 9, 5, 3), 3600, "Mon, 7 Dec 2026 09:05:03 +0100"},
        {LocalFields(2026, 12, 8, 23, 40, 44), 0, "Tue, 8 Dec 2026 23:40:44 +0000"},
        {LocalFields(2025, 1, 1, 0, 30, 0), 7200, "Wed, 1 Jan 2025 00:30:00 +0200"},
        {LocalFields(2024, 2, 29, 4, 10, 59), -18000, "Thu, 29 Feb 2024 04:10:59 -0500"},
        // half-hour and quarter-hour zones
        {LocalFields(2023, 7, 4, 12, 0, 0), 19800, "Tue, 4 Jul 2023 12:00:00 +0530"},
        {LocalFields(2023, 7, 4, 12, 0, 0), 20700, "Tue, 4 Jul 2023 12:00:00 +0545"},
        {LocalFields(2023, 7, 4, 12, 0, 0), -9000, "Tue, 4 Jul 2023 12:00:00 -0230"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MailDateText(c.local, c.offset), c.text);
}

TEST(DateText, CurrentTextIsTheLocalTimeAndTheSameMoment)
{
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "XYZ-5", 1);  // five hours east of UTC, no daylight time
    tzset();
    const std::time_t now = std::time(nullptr);
    const std::string text = CurrentMailDateText();
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex(R"(\w{3}, (\d{1,2}) (\w{3}) (\d{4}) (\d\d):(\d\d):(\d\d) \+0500)")))
        << text;
    // The same moment: the text read back as UTC, less five hours, is now.
    std::tm t{};
    std::istringstream(m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str() + ":" + m[5].str() + ":" +
                       m[6].str()) >>
        std::get_time(&t, "%d %b %Y %H:%M:%S");
    const std::time_t back = timegm(&t) - 5 * 3600;
    EXPECT_LE(std::llabs(static_cast<long long>(back - now)), 1);
}

TEST(Boundary, TenDigitsOfMonthDayYearHourMinute)
{
    EXPECT_EQ(MultipartBoundary(LocalFields(2026, 3, 7, 9, 5, 59)), "= Multipart Boundary 0307260905");
    EXPECT_EQ(MultipartBoundary(LocalFields(1999, 12, 31, 23, 59, 0)), "= Multipart Boundary 1231992359");
    EXPECT_TRUE(std::regex_match(CurrentMultipartBoundary(), std::regex("= Multipart Boundary \\d{10}")));
}

TEST(HeaderBlock, AllFieldsInOrder)
{
    THeaderValues v;
    v.ReplyTo = "reply@x";
    v.ReturnPath = "ret@x";
    v.From = "from@x";
    v.To = "to@x";
    v.Cc = "cc@x";
    v.Subject = "Hello";
    v.Sender = "sender@x";
    TStringList lines{"stale line"};
    BuildHeaderLines(lines, v, "text/plain", "iso-8859-1", "", "Mon, 7 Dec 2026 09:05:03 +0100", "<id@x>");
    EXPECT_THAT(lines, ElementsAre("Reply-To: reply@x", "Return-Path: ret@x", "From: from@x", "To: to@x",
                                   "Cc: cc@x", "Subject: Hello", "Sender: sender@x", "Mime-Version: 1.0",
                                   "Content-Type: text/plain; charset=\"iso-8859-1\"",
                                   "Date: Mon, 7 Dec 2026 09:05:03 +0100", "Message-ID: <id@x>"));
    // A text that is not 7bit names its encoding after the Content-Type.
    BuildHeaderLines(lines, v, "text/plain", "UTF-8", "quoted-printable", "d", "");
    EXPECT_EQ(lines[8], "Content-Type: text/plain; charset=\"UTF-8\"");
    EXPECT_EQ(lines[9], "Content-Transfer-Encoding: quoted-printable");
    EXPECT_EQ(lines[10], "Date: d");
    EXPECT_EQ(lines.size(), 11u);
}

TEST(HeaderBlock, OptionalFieldsAndTheirTests)
{
    struct Case {
        THeaderValues v;
        std::vector<std::string> expected;
    } cases[] = {
        // Nothing set: Subject is still sent, no Sender.
        {{}, {"Subject: ", "Mime-Version: 1.0", "Content-Type: t; charset=\"c\"", "Date: d"}},
        // Sender empty: From is repeated.
        {{"", "", "a@x", "", "", "s", ""},
         {"From: a@x", "Subject: s", "Sender: a@x", "Mime-Version: 1.0", "Content-Type: t; charset=\"c\"", "Date: d"}},
        // Blank Reply-To, Return-Path and Sender count as empty; From of blanks
        // is sent (untrimmed test) but does not become the Sender.
        {{"  \t", " ", "  ", "", "", "", " \t "},
         {"From:   ", "Subject: ", "Mime-Version: 1.0", "Content-Type: t; charset=\"c\"", "Date: d"}},
        // Addresses are written anew, without the blanks around them; text
        // that is no address list goes in untrimmed.
        {{" r@x ", "", "", " t ", "", "", " <s@x> "},
         {"Reply-To: r@x", "To: t", "Subject: ", "Sender: <s@x>", "Mime-Version: 1.0", "Content-Type: t; charset=\"c\"",
          "Date: d"}},
        {{"", "", "", " a@x; b@y; ", "", "", "\"x"},
         {"To: a@x, b@y", "Subject: ", "Sender: \"x", "Mime-Version: 1.0", "Content-Type: t; charset=\"c\"", "Date: d"}},
    };
    for (const auto& c : cases) {
        TStringList lines;
        BuildHeaderLines(lines, c.v, "t", "c", "", "d", "");
        EXPECT_THAT(lines, ElementsAreArray(c.expected));
    }
}

TEST(HeaderBlock, LineBreaksInUserValuesBecomeBlanks)
{
    THeaderValues v;
    v.From = "a@x\r\nBcc: victim@y";
    v.To = "b@x\nX-Evil: 1";
    v.Subject = "Hi\r\rthere\n";
    v.Cc = "c\r";
    v.ReplyTo = "\r\n";  // only line breaks: blank after trimming, so left out
    TStringList lines;
    BuildHeaderLines(lines, v, "text/plain", "utf-8", "", "d", "");
    EXPECT_THAT(lines, ElementsAre("From: a@x  Bcc: victim@y", "To: b@x X-Evil: 1", "Cc: c", "Subject: Hi  there ",
                                   "Sender: a@x  Bcc: victim@y", "Mime-Version: 1.0",
                                   "Content-Type: text/plain; charset=\"utf-8\"", "Date: d"));
    for (const auto& l : lines)
        EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos) << l;

    // Other control characters neither, whatever the field.
    v = {};
    v.From = std::string("a@x\0b", 5);
    v.ReturnPath = "ret\x01@x";
    v.Subject = std::string("nul\0", 4);
    BuildHeaderLines(lines, v, "text/plain", "utf-8", "", "d", "");
    EXPECT_THAT(lines, ElementsAre("Return-Path: ret @x", "From: a@x b", "Subject: =?UTF-8?B?bnVsAA==?=",
                                   "Sender: a@x b", "Mime-Version: 1.0", "Content-Type: text/plain; charset=\"utf-8\"",
                                   "Date: d"));
}

TEST(HeaderHook, ContentTypeBecomesMultipartOnlyWithABoundary)
{
    struct Case {
        const char* line;
        const char* boundary;
        const char* result;
    } cases[] = {
        {"Content-Type: text/plain; charset=\"x\"", "= B 1",
         "Content-Type: multipart/mixed;\r\n\tboundary=\"= B 1\""},
        {"content-type:whatever", "b", "Content-Type: multipart/mixed;\r\n\tboundary=\"b\""},
        {"CONTENT-TYPE:", "b", "Content-Type: multipart/mixed;\r\n\tboundary=\"b\""},
        {"Content-Type: text/plain", "", "Content-Type: text/plain"},
        {"Content-Typ", "b", "Content-Typ"},
        {"X-Content-Type: a", "b", "X-Content-Type: a"},
        {"Content-Type a", "b", "Content-Type a"},
    };
    for (const auto& c : cases) {
        std::string line = c.line;
        ApplyMultipartContentType(line, c.boundary);
        EXPECT_EQ(line, c.result) << c.line;
    }
}

std::vector<std::string> Cut(const std::string& line)
{
    TLineCutter cutter;
    cutter.Reset(line);
    std::vector<std::string> pieces;
    std::string_view piece;
    while (cutter.Next(piece))
        pieces.emplace_back(piece);
    return pieces;
}

TEST(LineCutter, Table)
{
    struct Case {
        std::string line;
        std::vector<std::string> pieces;
    } cases[] = {
        {"", {""}},
        {"plain", {"plain"}},
        {"a\nb", {"a", "b"}},
        {"a\rb", {"a", "b"}},
        {"a\r\nb", {"a", "b"}},
        {"a\n\rb", {"a", "", "b"}},
        {"a\n", {"a"}},
        {"\n", {""}},
        {"\n\n", {"", ""}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {".\n.x", {".", ".x"}},
        {"x\r", {"x"}},
    };
    for (const auto& c : cases)
        EXPECT_THAT(Cut(c.line), ElementsAreArray(c.pieces)) << "line of " << c.line.size() << " bytes";
}

TEST(LineCutter, PiecesAreLimitedTo1023)
{
    const std::string longLine(2000, 'x');
    EXPECT_THAT(Cut(longLine), ElementsAre(std::string(1023, 'x')));
    EXPECT_THAT(Cut(std::string(1100, 'a') + "\n" + std::string(5, 'b')),
                ElementsAre(std::string(1023, 'a'), "bbbbb"));
}

}  // namespace
}  // namespace pw
