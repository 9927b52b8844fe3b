#include "smtp/MimeMessage.h"

#include <cstdio>

namespace pw {

namespace {

const char* const DayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsBlankOrControl(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

std::string QuotedContentType(std::string_view contentTypeText, std::string_view charSet)
{
    std::string line = "Content-Type: ";
    line += contentTypeText;
    line += "; charset=\"";
    line += charSet;
    line += '"';
    return line;
}

}  // namespace

std::string TrimControls(std::string_view text)
{
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && IsBlankOrControl(text[b]))
        ++b;
    while (e > b && IsBlankOrControl(text[e - 1]))
        --e;
    return std::string(text.substr(b, e - b));
}

std::string FlattenLineBreaks(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

std::string FormatDateText(const std::tm& utc)
{
    const int wday = (utc.tm_wday % 7 + 7) % 7;
    const int mon = (utc.tm_mon % 12 + 12) % 12;
    char text[64];
    std::snprintf(text, sizeof text, "%s %d %s %d %d:%d:%d", DayNames[wday], utc.tm_mday,
                  MonthNames[mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string DateTextFromLocal(const std::tm& local, long gmtOffsetSeconds)
{
    // Read the local fields as if they were UTC, then take the zone's offset
    // away: that is the UTC moment whatever the process's TZ says.
    std::tm fields = local;
    const std::time_t asUtc = timegm(&fields);
    const std::time_t utcMoment = asUtc - static_cast<std::time_t>(gmtOffsetSeconds);
    std::tm utc{};
    gmtime_r(&utcMoment, &utc);
    return FormatDateText(utc);
}

std::string CurrentDateText()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        // No zone information: the time is taken as it is.
        std::tm utc{};
        gmtime_r(&now, &utc);
        return FormatDateText(utc);
    }
    return DateTextFromLocal(local, local.tm_gmtoff);
}

std::string MultipartBoundary(const std::tm& local)
{
    char digits[32];
    std::snprintf(digits, sizeof digits, "%02d%02d%02d%02d%02d", (local.tm_mon + 1) % 100,
                  local.tm_mday % 100, (local.tm_year + 1900) % 100, local.tm_hour % 100,
                  local.tm_min % 100);
    return std::string("= Multipart Boundary ") + digits;
}

std::string CurrentMultipartBoundary()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return MultipartBoundary(local);
}

void BuildHeaderLines(TStringList& lines, const THeaderValues& values,
                      std::string_view contentTypeText, std::string_view charSet,
                      std::string_view dateText)
{
    const std::string replyTo = FlattenLineBreaks(values.ReplyTo);
    const std::string returnPath = FlattenLineBreaks(values.ReturnPath);
    const std::string from = FlattenLineBreaks(values.From);
    const std::string to = FlattenLineBreaks(values.To);
    const std::string cc = FlattenLineBreaks(values.Cc);
    const std::string subject = FlattenLineBreaks(values.Subject);
    const std::string sender = FlattenLineBreaks(values.Sender);

    lines.clear();
    if (!TrimControls(replyTo).empty())
        lines.push_back("Reply-To: " + replyTo);
    if (!TrimControls(returnPath).empty())
        lines.push_back("Return-Path: " + returnPath);
    if (!from.empty())
        lines.push_back("From: " + from);
    if (!to.empty())
        lines.push_back("To: " + to);
    if (!cc.empty())
        lines.push_back("Cc: " + cc);
    lines.push_back("Subject: " + subject);
    if (!TrimControls(sender).empty())
        lines.push_back("Sender: " + sender);
    else if (!TrimControls(from).empty())
        lines.push_back("Sender: " + from);
    lines.push_back("Mime-Version: 1.0");
    lines.push_back(QuotedContentType(contentTypeText, charSet));
    lines.push_back("Date: " + std::string(dateText));
}

void ApplyMultipartContentType(std::string& line, std::string_view boundary)
{
    if (boundary.empty() || line.size() < 13)
        return;
    static const char key[] = "CONTENT-TYPE:";
    for (std::size_t i = 0; i < 13; ++i) {
        char c = line[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != key[i])
            return;
    }
    line = "Content-Type: multipart/mixed;\r\n\tboundary=\"";
    line += boundary;
    line += '"';
}

void AppendMultipartPreamble(TPendingLines& pending, std::string_view boundary,
                             std::string_view contentTypeText, std::string_view charSet)
{
    pending.emplace_back("This is a multipart MIME message.");
    pending.emplace_back();
    pending.push_back("--" + std::string(boundary));
    pending.push_back(QuotedContentType(contentTypeText, charSet));
    pending.emplace_back("Content-Transfer-Encoding: 7bit");
    pending.emplace_back();
}

void AppendAttachmentPartHeader(TPendingLines& pending, std::string_view boundary,
                                std::string_view type, std::string_view name,
                                std::string_view pathName)
{
    pending.push_back("--" + std::string(boundary));
    // A file name may hold CR or LF; unflattened they would start header
    // lines of their own inside the part.
    pending.push_back("Content-Type: " + FlattenLineBreaks(type) + ";");
    pending.push_back("\tname=\"" + FlattenLineBreaks(name) + "\"");
    pending.emplace_back("Content-Transfer-Encoding: base64");
    pending.emplace_back("Content-Disposition: attachment;");
    pending.push_back("\tfilename=\"" + FlattenLineBreaks(pathName) + "\"");
}

void AppendClosingDelimiter(TPendingLines& pending, std::string_view boundary)
{
    pending.emplace_back();
    pending.push_back("--" + std::string(boundary) + "--");
}

std::string FileNamePart(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void TLineCutter::Reset(std::string_view line)
{
    text_.assign(line.data(), line.size());
    Restart();
}

void TLineCutter::Restart()
{
    pos_ = 0;
    done_ = false;
}

bool TLineCutter::Next(std::string_view& piece)
{
    if (done_)
        return false;
    // A plain scan: find_first_of would call memchr once per character.
    std::size_t brk = std::string::npos;
    for (std::size_t i = pos_; i < text_.size(); ++i) {
        if (text_[i] == '\r' || text_[i] == '\n') {
            brk = i;
            break;
        }
    }
    const std::size_t end = brk == std::string::npos ? text_.size() : brk;
    piece = std::string_view(text_).substr(pos_, end - pos_);
    if (piece.size() > MaxBodyLine)
        piece = piece.substr(0, MaxBodyLine);
    if (brk == std::string::npos) {
        done_ = true;
        return true;
    }
    std::size_t after = brk + 1;
    if (text_[brk] == '\r' && after < text_.size() && text_[after] == '\n')
        ++after;
    pos_ = after;
    if (pos_ >= text_.size())
        done_ = true;  // a break at the very end only ends the line
    return true;
}

void StuffLine(std::string& out, std::string_view piece)
{
    out.clear();
    if (!piece.empty() && piece.front() == '.')
        out.push_back('.');
    out.append(piece.data(), piece.size());
    out.append("\r\n", 2);
}

}  // namespace pw
