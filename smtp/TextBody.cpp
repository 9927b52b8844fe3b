#include "smtp/TextBody.h"

#include "smtp/Charsets.h"
#include "smtp/QuotedPrintable.h"
#include "smtp/Utf8.h"

namespace pw {

namespace {

// Cuts at every CR LF, bare CR and bare LF; a break at the very end only ends
// the line (the same cut the line pump makes).
void AppendLogicalLines(std::string_view line, std::vector<std::string>& out)
{
    std::size_t start = 0;
    for (;;) {
        std::size_t brk = start;
        while (brk < line.size() && line[brk] != '\r' && line[brk] != '\n')
            ++brk;
        out.emplace_back(line.substr(start, brk - start));
        if (brk >= line.size())
            return;
        std::size_t after = brk + 1;
        if (line[brk] == '\r' && after < line.size() && line[after] == '\n')
            ++after;
        if (after >= line.size())
            return;
        start = after;
    }
}

bool HasNul(const std::vector<std::string>& lines)
{
    for (const auto& l : lines)
        if (l.find('\0') != std::string::npos)
            return true;
    return false;
}

// The longest prefix of `utf8` (whole characters) whose conversion fits in
// `limit` octets, converted; at least one character. Converting prefixes
// rather than cutting the result keeps a stateful charset (UTF-7) whole on
// every line.
std::size_t FittingPrefix(std::string_view utf8, TIconv* iconv, std::size_t limit, std::string& converted)
{
    const auto convert = [&](std::size_t n, std::string& out) {
        if (iconv == nullptr) {
            out.assign(utf8.substr(0, n));
            return true;
        }
        return iconv->Convert(utf8.substr(0, n), out);
    };
    std::size_t good = Utf8CutBefore(utf8, 1);
    if (good == 0)
        good = Utf8SequenceLength(static_cast<unsigned char>(utf8[0]));
    if (good > utf8.size())
        good = utf8.size();
    convert(good, converted);
    std::size_t lo = good, hi = utf8.size();
    while (lo < hi) {
        std::size_t mid = Utf8CutBefore(utf8, lo + (hi - lo + 1) / 2);
        if (mid <= lo) {
            // No character boundary between: try the next one up.
            mid = lo + Utf8SequenceLength(static_cast<unsigned char>(utf8[lo]));
            if (mid > hi)
                break;
        }
        std::string attempt;
        if (convert(mid, attempt) && attempt.size() <= limit) {
            lo = mid;
            converted = std::move(attempt);
        } else {
            hi = mid - 1;
        }
    }
    return lo;
}

// Converts and cuts one line into lines of at most `limit` octets.
bool ConvertCut(std::string_view utf8, TIconv* iconv, std::size_t limit, std::vector<std::string>& out)
{
    std::string converted;
    if (iconv != nullptr && !iconv->Convert(utf8, converted))
        return false;
    if (iconv == nullptr)
        converted.assign(utf8);
    if (converted.size() <= limit) {
        out.push_back(std::move(converted));
        return true;
    }
    while (!utf8.empty()) {
        const std::size_t n = FittingPrefix(utf8, iconv, limit, converted);
        out.push_back(converted);
        utf8.remove_prefix(n);
    }
    return true;
}

bool IsSevenBitClean(const std::vector<std::string>& lines)
{
    for (const auto& l : lines)
        if (!IsAscii(l) || l.find('\0') != std::string::npos)
            return false;
    return true;
}

}  // namespace

const char* TransferEncodingName(TTransferEncoding encoding)
{
    switch (encoding) {
    case TTransferEncoding::QuotedPrintable: return "quoted-printable";
    case TTransferEncoding::EightBit: return "8bit";
    case TTransferEncoding::SevenBit: break;
    }
    return "7bit";
}

RTextBody PrepareTextBody(const std::vector<std::string>& supplied, std::string_view charSet, bool eightBitAllowed)
{
    RTextBody body;
    std::vector<std::string> logical;
    for (const auto& line : supplied)
        AppendLogicalLines(line, logical);
    bool ascii = true;
    for (const auto& line : supplied)
        ascii = ascii && IsAscii(line);
    const bool nul = HasNul(supplied);
    const RCharset* entry = FindCharset(charSet);
    const bool compatible = entry == nullptr || entry->AsciiCompatible;

    if (ascii && compatible) {
        body.CharSet = std::string(charSet);
        if (!nul) {
            body.Lines = supplied;  // exactly as before: 7bit under the chosen label
            return body;
        }
        body.Encoding = TTransferEncoding::QuotedPrintable;
        body.Converted = true;
        for (const auto& line : logical)
            AppendQuotedPrintable(line, false, body.Lines);
        return body;
    }

    body.Converted = true;
    for (auto& line : logical)
        line = AsUtf8(line);
    const std::string iconvName(entry != nullptr ? entry->Iconv : charSet);
    const std::string label(entry != nullptr ? entry->Label : charSet);

    // The chosen charset first; UTF-8 when it cannot hold the text.
    std::vector<std::string> converted;
    bool inCharset = false;
    TIconv iconv(iconvName);
    if (iconv.Ok()) {
        inCharset = true;
        for (const auto& line : logical) {
            std::string out;
            if (!iconv.Convert(line, out)) {
                inCharset = false;
                break;
            }
            converted.push_back(std::move(out));
        }
    }
    TIconv* convert = inCharset ? &iconv : nullptr;
    if (!inCharset)
        converted = logical;
    body.CharSet = inCharset ? label : "UTF-8";
    const bool utf8 = body.CharSet == "UTF-8";

    const bool sevenBit = IsSevenBitClean(converted);
    if (sevenBit || (eightBitAllowed && !HasNul(converted))) {
        body.Encoding = sevenBit ? TTransferEncoding::SevenBit : TTransferEncoding::EightBit;
        for (const auto& line : logical)
            ConvertCut(line, convert, MaxTextLine, body.Lines);
        return body;
    }
    body.Encoding = TTransferEncoding::QuotedPrintable;
    for (const auto& line : converted)
        AppendQuotedPrintable(line, utf8, body.Lines);
    return body;
}

}  // namespace pw
