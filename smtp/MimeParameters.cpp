#include "smtp/MimeParameters.h"

#include <cstring>

#include "smtp/HeaderText.h"
#include "smtp/MimeMessage.h"
#include "smtp/Utf8.h"

namespace pw {

namespace {

// Longest quoted-string line kept on one line: RFC 5322's limit for any line.
constexpr std::size_t MaxQuotedLine = 998;

// RFC 2231, 7: attribute-char, what may stand unencoded in an extended value.
bool IsAttributeChar(unsigned char c)
{
    if (c <= 0x20 || c >= 0x7F)
        return false;
    return std::strchr("*'%()<>@,;:\\\"/[]?=", c) == nullptr;
}

void AppendPercent(std::string& out, unsigned char c)
{
    static const char Hex[] = "0123456789ABCDEF";
    out += '%';
    out += Hex[c >> 4];
    out += Hex[c & 15];
}

}  // namespace

std::vector<std::string> ParameterLines(std::string_view attribute, std::string_view value)
{
    const std::string text = FlattenLineBreaks(value);
    bool printable = true;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        printable = printable && u >= 0x20 && u < 0x7F;
    }
    const std::string line = "\t" + std::string(attribute) + "=" + QuotedString(text);
    if (printable && line.size() <= MaxQuotedLine)
        return {line};

    const bool utf8 = IsValidUtf8(text);
    const std::string charset = utf8 ? "UTF-8" : "windows-1252";
    // Each character's bytes as they will stand, so that no section splits one.
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = utf8 ? Utf8SequenceLength(static_cast<unsigned char>(text[i])) : 1;
        if (n > text.size() - i)
            n = text.size() - i;
        std::string piece;
        for (std::size_t k = 0; k < n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if (IsAttributeChar(c))
                piece += static_cast<char>(c);
            else
                AppendPercent(piece, c);
        }
        pieces.push_back(std::move(piece));
        i += n;
    }

    std::string whole = "\t" + std::string(attribute) + "*=" + charset + "''";
    for (const std::string& p : pieces)
        whole += p;
    if (whole.size() <= MaxHeaderLine)
        return {whole};

    std::vector<std::string> lines;
    std::size_t next = 0;
    for (int section = 0; next < pieces.size(); ++section) {
        std::string l = "\t" + std::string(attribute) + "*" + std::to_string(section) + "*=";
        if (section == 0)
            l += charset + "''";
        // Room for the ";" that ends every section but the last.
        std::size_t taken = 0;
        while (next < pieces.size() && (taken == 0 || l.size() + pieces[next].size() + 1 <= MaxHeaderLine)) {
            l += pieces[next++];
            ++taken;
        }
        lines.push_back(std::move(l));
    }
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        lines[i] += ';';
    return lines;
}

}  // namespace pw
