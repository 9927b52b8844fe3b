#pragma once
// Quoted-printable (RFC 2045, 6.7) for text parts, one text line at a time.

#include <string>
#include <string_view>
#include <vector>

namespace pw {

// Longest encoded line, the soft line break's "=" included (RFC 2045, 6.7 (5)).
inline constexpr std::size_t MaxQuotedPrintableLine = 76;

// Appends the encoded lines of one text line (without its line break) to
// `out`: printable ASCII but "=" as it is, everything else as "=XX", a blank
// or tab at the very end encoded too, and soft line breaks ("=" at the end of
// a line) where a line would grow too long. With `utf8` the bytes of one
// UTF-8 character stay on one line. An empty line gives one empty line.
void AppendQuotedPrintable(std::string_view line, bool utf8, std::vector<std::string>& out);

}  // namespace pw
