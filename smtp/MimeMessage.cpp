#include "smtp/MimeMessage.h"

#include <cstdio>

#include "smtp/AddressList.h"
#include "smtp/HeaderText.h"
#include "smtp/MimeParameters.h"

namespace pw {

namespace {

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

// Line breaks and other control characters (TAB aside) as blanks: a NUL or a
// lone CR must not reach the wire inside a header.
std::string BlankControls(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
            c = ' ';
    return out;
}

// An address field as AddressField makes it, or the value as it is (control
// characters as blanks) when it cannot be read as addresses.
std::string AddressHeader(std::string_view name, std::string_view value)
{
    std::string field;
    if (AddressField(name, value, field))
        return field;
    return std::string(name) + ": " + BlankControls(value);
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

void BuildHeaderLines(TStringList& lines, const THeaderValues& values, std::string_view contentTypeText,
                      std::string_view charSet, std::string_view transferEncoding, std::string_view dateText,
                      std::string_view messageId)
{
    lines.clear();
    if (!TrimControls(FlattenLineBreaks(values.ReplyTo)).empty())
        lines.push_back(AddressHeader("Reply-To", values.ReplyTo));
    const std::string returnPath = BlankControls(values.ReturnPath);
    if (!TrimControls(returnPath).empty())
        lines.push_back("Return-Path: " + returnPath);
    if (!values.From.empty())
        lines.push_back(AddressHeader("From", values.From));
    if (!values.To.empty())
        lines.push_back(AddressHeader("To", values.To));
    if (!values.Cc.empty())
        lines.push_back(AddressHeader("Cc", values.Cc));
    lines.push_back(UnstructuredField("Subject", values.Subject));
    if (!TrimControls(FlattenLineBreaks(values.Sender)).empty())
        lines.push_back(AddressHeader("Sender", values.Sender));
    else if (!TrimControls(FlattenLineBreaks(values.From)).empty())
        lines.push_back(AddressHeader("Sender", values.From));
    lines.push_back("Mime-Version: 1.0");
    lines.push_back(QuotedContentType(contentTypeText, charSet));
    if (!transferEncoding.empty())
        lines.push_back("Content-Transfer-Encoding: " + std::string(transferEncoding));
    lines.push_back("Date: " + std::string(dateText));
    if (!messageId.empty())
        lines.push_back("Message-ID: " + std::string(messageId));
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

void AppendMultipartPreamble(TPendingLines& pending, std::string_view boundary, std::string_view contentTypeText,
                             std::string_view charSet, std::string_view transferEncoding)
{
    pending.emplace_back("This is a multipart MIME message.");
    pending.emplace_back();
    pending.push_back("--" + std::string(boundary));
    pending.push_back(QuotedContentType(contentTypeText, charSet));
    pending.push_back("Content-Transfer-Encoding: " + std::string(transferEncoding));
    pending.emplace_back();
}

void AppendAttachmentPartHeader(TPendingLines& pending, std::string_view boundary,
                                std::string_view type, std::string_view name,
                                std::string_view pathName)
{
    pending.push_back("--" + std::string(boundary));
    // The type comes from the application or the MIME database; a line break
    // in it must not start a header line of its own.
    pending.push_back("Content-Type: " + FlattenLineBreaks(type) + ";");
    for (auto& line : ParameterLines("name", name))
        pending.push_back(std::move(line));
    pending.emplace_back("Content-Transfer-Encoding: base64");
    pending.emplace_back("Content-Disposition: attachment;");
    for (auto& line : ParameterLines("filename", pathName))
        pending.push_back(std::move(line));
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
