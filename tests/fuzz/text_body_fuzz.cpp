// The text part on any text under any of the 30 charsets. Input: a byte
// choosing the charset (low 5 bits, modulo 30) and whether 8bit may be used
// (bit 5), then the text, cut into supplied lines at each NUL-free "\x01".
// Properties: no NUL byte goes out as it is; quoted-printable lines hold
// printable ASCII only and at most 76 characters; 8bit and converted 7bit
// lines at most 998 octets; 8bit only when allowed; and quoted-printable
// text labelled UTF-8 decodes to the text read as UTF-8.

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "smtp/TextBody.h"
#include "smtp/Utf8.h"

using pw::fuzz::Show;

namespace {

const char* const Names[30] = {"US-ASCII",     "ISO-8859-1",   "ISO-8859-2",        "ISO-8859-3",        "ISO-8859-4",
                               "ISO-8859-5",   "ISO-8859-6",   "ISO-8859-7",        "ISO-8859-8",        "ISO-8859-9",
                               "ISO-8859-10",  "ISO-8859-13",  "ISO-8859-14",       "ISO-8859-15",       "Windows-1250",
                               "Windows-1251", "Windows-1252", "Windows-1253",      "Windows-1254",      "Windows-1255",
                               "Windows-1256", "Windows-1257", "Windows-1258",      "KOI8-R",            "CP-895",
                               "CP-852",       "Unicode-1-1-UCS-2", "Unicode-1-1-UCS-4", "UTF-8",      "UTF-7"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pw::fuzz::TFuzzInput in(data, size);
    const std::uint8_t head = in.Byte();
    const char* charset = Names[(head & 31) % 30];
    const bool eightBit = (head & 32) != 0;
    std::vector<std::string> lines;
    while (in.Left() > 0)
        lines.emplace_back(in.Until('\x01'));
    const pw::RTextBody body = pw::PrepareTextBody(lines, charset, eightBit);
    const std::string what = std::string(charset) + (eightBit ? " 8bit" : "") + " " + Show(lines.empty() ? "" : lines[0]);

    if (body.Encoding == pw::TTransferEncoding::EightBit)
        PW_FUZZ_CHECK(eightBit, what);
    std::string decoded;
    for (std::size_t i = 0; i < body.Lines.size(); ++i) {
        const std::string& l = body.Lines[i];
        PW_FUZZ_CHECK(l.find('\0') == std::string::npos, what + " line " + Show(l));
        if (body.Encoding == pw::TTransferEncoding::QuotedPrintable) {
            PW_FUZZ_CHECK(l.size() <= 76, what + " line " + Show(l));
            for (char c : l)
                PW_FUZZ_CHECK((c >= 0x20 && c < 0x7F) || c == '\t', what + " line " + Show(l));
            const bool soft = !l.empty() && l.back() == '=';
            for (std::size_t k = 0; k < l.size() - (soft ? 1 : 0); ++k) {
                if (l[k] == '=') {
                    decoded += static_cast<char>(std::stoi(l.substr(k + 1, 2), nullptr, 16));
                    k += 2;
                } else {
                    decoded += l[k];
                }
            }
            if (!soft)
                decoded += '\n';
        } else if (body.Converted) {
            PW_FUZZ_CHECK(l.size() <= pw::MaxTextLine, what + " line of " + std::to_string(l.size()));
        }
    }
    if (body.Encoding == pw::TTransferEncoding::QuotedPrintable && body.CharSet == "UTF-8") {
        // The same cut at line breaks that the text body makes.
        std::string want;
        const auto cut = [&want](const std::string& line) {
            std::string piece;
            for (std::size_t i = 0; i < line.size(); ++i) {
                if (line[i] != '\r' && line[i] != '\n') {
                    piece += line[i];
                    continue;
                }
                want += pw::AsUtf8(piece) + "\n";
                piece.clear();
                if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n')
                    ++i;
                if (i + 1 >= line.size())
                    return;  // a break at the very end only ends the line
            }
            want += pw::AsUtf8(piece) + "\n";
        };
        for (const auto& line : lines)
            cut(line);
        PW_FUZZ_CHECK(decoded == want, what + " decoded to " + Show(decoded) + ", expected " + Show(want));
    }
    return 0;
}
