// What the job says about failures and about what it did not deliver: the
// reason line with its hints, the escaping of control characters, the error
// box's text with and without a log, and the console's summary line.

#include <gtest/gtest.h>

#include "app/JobReport.h"
#include "app/Notify.h"

namespace pw {
namespace {

TEST(JobReport, ControlCharactersAreEscaped) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain text, UTF-8 \xC3\xA9 too", "plain text, UTF-8 \xC3\xA9 too"},
        {"\x1b[2J\x1b]0;owned\x07", "\\x1b[2J\\x1b]0;owned\\x07"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"tab\there\r\n", "tab\\x09here\\x0d\\x0a"},
        {"\x7f", "\\x7f"},
        {"", ""},
    };
    for (const auto& [text, shown] : rows) EXPECT_EQ(EscapeControls(text), shown);
}

struct RReasonRow {
    const char* what;
    RFailure failure;
    std::string line;
};

TEST(JobReport, ReasonLineTellsTheReasonAndAHintWhereOneIsKnown) {
    const std::string tls465 = "this port may expect TLS from the first byte: Security=2";
    const std::string login =
        "the server wants a login: SMTP_Auth_Enabled=1 in the INI file, the user name and the password stored with "
        "parcelwing --set-user and --set-password";
    const RReasonRow rows[] = {
        {"socket error: the table's text",
         {0, 10061, "500 Connection refused (Winsock error #10061)", 25, 0, false},
         "Reason: Connection refused"},
        {"server reply as received", {2, 550, "550 5.7.1 sender refused", 25, 0, false}, "Reason: 550 5.7.1 sender refused"},
        {"control characters in a reply", {2, 550, "550 \x1b[31mred", 25, 0, false}, "Reason: 550 \\x1b[31mred"},
        {"no greeting on 465 without TLS",
         {0, 10060, "500 Connection timed out (Winsock error #10060)", 465, 0, false},
         "Reason: Connection timed out - " + tls465},
        {"closed on 465 with STARTTLS set", {0, 10004, "", 465, 1, false}, "Reason: Interrupted system call - " + tls465},
        {"465 with TLS on connect: no such hint",
         {0, 10060, "", 465, 2, false},
         "Reason: Connection timed out - no complete reply came within TimeOut seconds"},
        {"drop in mid-dialogue", {2, 10004, "", 25, 0, false},
         "Reason: Interrupted system call - the server closed the connection"},
        {"STARTTLS wanted", {2, 530, "530 5.7.0 Must issue a STARTTLS command first", 587, 0, false},
         "Reason: 530 5.7.0 Must issue a STARTTLS command first - the server wants TLS first: Security=1"},
        {"login wanted", {2, 530, "530 5.7.0 Authentication required", 587, 1, false},
         "Reason: 530 5.7.0 Authentication required - " + login},
        {"login wanted but already on: no hint", {2, 530, "530 5.7.0 Authentication required", 587, 1, true},
         "Reason: 530 5.7.0 Authentication required"},
        {"the program's own failure", {10, 12004, "12004 Server certificate does not match the host name", 587, 1, false},
         "Reason: 12004 Server certificate does not match the host name"},
        {"own number without a reply", {10, 12005, "", 587, 1, false}, "Reason: Server does not offer STARTTLS"},
        {"unknown host", {0, 11001, "", 25, 0, false}, "Reason: Host not found - check the Host setting"},
        {"synthetic line with a line break", {4, 500, "500 Error 10053 in function send\r\nConnection aborted", 25, 0, false},
         "Reason: 500 Error 10053 in function send Connection aborted"},
        {"nothing at all", {2, 451, "", 25, 0, false}, "Reason: no reply text"},
    };
    for (const auto& row : rows) EXPECT_EQ(ReasonLine(row.failure), row.line) << row.what;
}

TEST(JobReport, NotSentLinesEscapeTheName) {
    EXPECT_EQ(NotSentLine("/srv/a b.pdf"), "Not sent: /srv/a b.pdf");
    EXPECT_EQ(NotSentLine("/srv/odd\nname"), "Not sent: /srv/odd\\x0aname");
}

TEST(JobReport, TheBoxGivesTheReasonAndPointsAtALogOnlyWhenOneIsKept) {
    EXPECT_EQ(NotifyBoxText("", true), NotifyText);
    EXPECT_EQ(NotifyBoxText("", false), NotifyText);
    EXPECT_EQ(NotifyBoxText("Connection refused", true),
              std::string("Error!!! See the logfile for more info...\r\nConnection refused"));
    EXPECT_EQ(NotifyBoxText("Connection refused", false), "Error!!! Connection refused");
}

}  // namespace
}  // namespace pw
