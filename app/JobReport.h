#pragma once
// What the send job says about a failure and about what it could not deliver:
// the reason line that follows a failed request's RequestDone line, the lines
// that name files not sent, and the escaping that keeps replies and names from
// reaching a terminal raw.

#include <string>
#include <string_view>

namespace pw {

// Control characters (bytes 0-31 and 127) as "\xNN" (two lower-case hex
// digits), so that a server's reply or a file name can never drive a terminal;
// every other byte as it is.
std::string EscapeControls(std::string_view text);

// A failed request as the job sees it.
struct RFailure {
    int Request = 0;        // the request's number (0 Connect, 2 MailFrom, ...)
    int Error = 0;          // the error code of its RequestDone line
    std::string LastReply;  // the client's LastReply() after the failure
    int Port = 0;           // the options the hints look at
    int Security = 0;
    bool AuthEnabled = false;
};

// The reason as a user should read it: for a Winsock number the error table's
// text ("Connection refused"); otherwise the reply as received, or the
// program's own synthetic line ("12004 Server certificate ..."), with line
// breaks as blanks; the table's text when there is no reply at all.
std::string FailureReason(const RFailure& failure);

// What the user may do about it, where that is known; empty otherwise. E.g. no
// greeting on port 465 without TLS on connect: "this port may expect TLS from
// the first byte: Security=2".
std::string FailureHint(const RFailure& failure);

// The reason, escaped, then " - " + the hint when there is one.
std::string ReasonText(const RFailure& failure);

// "Reason: " + ReasonText: the log line after a failed request's RequestDone line.
std::string ReasonLine(const RFailure& failure);

// The log line for a file that a job did not deliver.
inline constexpr const char* NotSentPrefix = "Not sent: ";
std::string NotSentLine(const std::string& file);

}  // namespace pw
