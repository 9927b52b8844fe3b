#include "smtp/QuotedPrintable.h"

#include "smtp/Utf8.h"

namespace pw {

namespace {

void AppendEscaped(std::string& out, unsigned char c)
{
    static const char Hex[] = "0123456789ABCDEF";
    out += '=';
    out += Hex[c >> 4];
    out += Hex[c & 15];
}

bool Literal(unsigned char c)
{
    return (c >= 33 && c <= 126 && c != '=') || c == ' ' || c == '\t';
}

}  // namespace

void AppendQuotedPrintable(std::string_view line, bool utf8, std::vector<std::string>& out)
{
    // One unit per character: what it becomes, never split by a soft break.
    std::vector<std::string> units;
    for (std::size_t i = 0; i < line.size();) {
        std::size_t n = utf8 ? Utf8SequenceLength(static_cast<unsigned char>(line[i])) : 1;
        if (n > line.size() - i)
            n = line.size() - i;
        std::string unit;
        for (std::size_t k = 0; k < n; ++k) {
            const auto c = static_cast<unsigned char>(line[i + k]);
            if (Literal(c))
                unit += static_cast<char>(c);
            else
                AppendEscaped(unit, c);
        }
        units.push_back(std::move(unit));
        i += n;
    }
    // A blank or tab that ends the line would be taken away by some mail
    // systems (RFC 2045, 6.7 (3)).
    if (!units.empty() && (units.back() == " " || units.back() == "\t")) {
        const auto c = static_cast<unsigned char>(units.back()[0]);
        units.back().clear();
        AppendEscaped(units.back(), c);
    }
    std::string current;
    for (std::size_t i = 0; i < units.size(); ++i) {
        // The last unit may fill the line; any other must leave room for "=".
        const std::size_t room = i + 1 == units.size() ? MaxQuotedPrintableLine : MaxQuotedPrintableLine - 1;
        if (!current.empty() && current.size() + units[i].size() > room) {
            out.push_back(current + "=");
            current.clear();
        }
        current += units[i];
    }
    out.push_back(std::move(current));
}

}  // namespace pw
