#pragma once
// The text part of a message: which charset label and transfer encoding it
// gets and the lines that go out, from the lines the application supplies.
//
// Plain ASCII text in a charset that reads ASCII as ASCII goes as it is, "7bit"
// under the charset chosen. Other text is taken as UTF-8 (read as
// Windows-1252 where it is not valid UTF-8) and converted to the chosen
// charset; when that is "US-ASCII", cannot carry text (UCS-2/4), is unknown to
// iconv, or lacks one of the text's characters, the text goes as UTF-8. It
// then goes "8bit" when the server takes 8BITMIME (RFC 6152), with lines of at
// most 998 octets cut between characters, else quoted-printable. A NUL byte
// never goes out as it is: text that holds one is quoted-printable.

#include <string>
#include <string_view>
#include <vector>

namespace pw {

enum class TTransferEncoding { SevenBit, QuotedPrintable, EightBit };

// "7bit", "quoted-printable", "8bit".
const char* TransferEncodingName(TTransferEncoding encoding);

// Longest line of a 7bit or 8bit part, without its CR LF (RFC 5322, 2.1.1).
inline constexpr std::size_t MaxTextLine = 998;

struct RTextBody {
    std::string CharSet;  // the label of Content-Type
    TTransferEncoding Encoding = TTransferEncoding::SevenBit;
    // The lines as they go out, before dot-stuffing. For untouched ASCII
    // text these are the supplied lines themselves (line breaks inside them
    // are cut later, as for every body line).
    std::vector<std::string> Lines;
    bool Converted = false;  // the text was converted or encoded
};

// `supplied`: the text lines as handed over, which may hold line breaks of
// their own. `eightBitAllowed`: the server offered 8BITMIME and MAIL FROM
// declared it.
RTextBody PrepareTextBody(const std::vector<std::string>& supplied, std::string_view charSet, bool eightBitAllowed);

}  // namespace pw
