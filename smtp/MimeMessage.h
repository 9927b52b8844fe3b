#pragma once
// The pieces of the message that TSmtpClient sends after DATA: header block,
// multipart boundary and preamble, attachment part headers, and the line
// filters (cutting at line breaks, dot-stuffing). Plain functions on strings,
// so each can be checked without a socket. The rules for single fields live
// beside this file: addresses (AddressList.h), free text (HeaderText.h), file
// names (MimeParameters.h), Date (MailDate.h), Message-ID (MessageId.h).

#include <cstddef>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace pw {

using TStringList = std::vector<std::string>;
using TPendingLines = std::deque<std::string>;

// Longest body line handed out by the body supply (the line buffer holds 1,024
// characters; dot-stuffing may add one more).
inline constexpr std::size_t MaxBodyLine = 1023;
// Size of the header line buffer as reported to OnHeaderField.
inline constexpr int HeaderBufferSize = 1024;

// Leading and trailing bytes up to 0x20 (blanks and control characters) removed.
std::string TrimControls(std::string_view text);

// CR and LF replaced by blanks, so a value cannot start header lines of its own.
std::string FlattenLineBreaks(std::string_view text);

// "= Multipart Boundary " + month, day, two-digit year, hour and minute of the
// local time, two digits each; the same within one minute.
std::string MultipartBoundary(const std::tm& local);
std::string CurrentMultipartBoundary();

// The user's header texts. Line breaks in them become blanks. From, To, Cc,
// Reply-To and Sender are address lists (display names kept, quoted or
// encoded as needed, entries separated by ", "); a value that cannot be read
// as one goes as it is. The Subject is encoded and folded as free text.
struct THeaderValues {
    std::string ReplyTo;
    std::string ReturnPath;
    std::string From;
    std::string To;
    std::string Cc;
    std::string Subject;
    std::string Sender;
};

// Fills `lines` with the header block in its fixed order: Reply-To, Return-Path,
// From, To, Cc (each only when given), Subject (always), Sender (or From again),
// Mime-Version, Content-Type, Content-Transfer-Encoding (only when
// `transferEncoding` is not empty), Date, Message-ID (only when given). A
// folded field is one entry with CR LF and a blank inside. The closing empty
// line is not included.
void BuildHeaderLines(TStringList& lines, const THeaderValues& values, std::string_view contentTypeText,
                      std::string_view charSet, std::string_view transferEncoding, std::string_view dateText,
                      std::string_view messageId);

// With a boundary, a header line that starts with "Content-Type:" (any letter
// case) becomes the multipart Content-Type: two physical lines in one buffer.
void ApplyMultipartContentType(std::string& line, std::string_view boundary);

// Lines that open a multipart body: the preamble, the first delimiter and the
// part header of the text part.
void AppendMultipartPreamble(TPendingLines& pending, std::string_view boundary, std::string_view contentTypeText,
                             std::string_view charSet, std::string_view transferEncoding);

// The delimiter and the part header of one attachment: Content-Type with the
// name (the possibly renamed `name`), Content-Transfer-Encoding, and
// Content-Disposition with the file name (`pathName`, the file-name part of
// the path). A name of printable ASCII is a quoted string on one line; others
// follow RFC 2231 (smtp/MimeParameters.h).
void AppendAttachmentPartHeader(TPendingLines& pending, std::string_view boundary,
                                std::string_view type, std::string_view name,
                                std::string_view pathName);

// The empty line and the closing delimiter after the last attachment.
void AppendClosingDelimiter(TPendingLines& pending, std::string_view boundary);

// The part of `path` after its last "/".
std::string FileNamePart(std::string_view path);

// Cuts one supplied body line at every bare CR, bare LF or CR LF into separate
// lines. A break at the very end only ends the line. Each piece is then limited
// to MaxBodyLine bytes. Reuses its storage, so feeding it lines does not
// allocate once it has grown to the longest line.
class TLineCutter {
public:
    // Takes a copy of `line` and starts handing out its pieces.
    void Reset(std::string_view line);
    // The storage Reset would fill: callers may write a line here directly and
    // then call Restart() instead of copying.
    std::string& Buffer() { return text_; }
    void Restart();
    // Hands out nothing until the next Reset or Restart.
    void Clear() { done_ = true; }
    // The next piece; false when the line is used up.
    bool Next(std::string_view& piece);
    bool HasMore() const { return !done_; }

private:
    std::string text_;
    std::size_t pos_ = 0;
    bool done_ = true;
};

// Writes `piece` with dot-stuffing and CR LF into `out` (cleared first): a line
// that begins with "." gets one more "." in front.
void StuffLine(std::string& out, std::string_view piece);

}  // namespace pw
