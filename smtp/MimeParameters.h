#pragma once
// A parameter of a part header (the file name in name= and filename=) as the
// lines that follow "Content-Type: ...;" or "Content-Disposition: ...;". Each
// line begins with a TAB (it continues the field); all but the last end in ";".
//
// A name of printable ASCII is a quoted string (RFC 2045, 5.1), with "\" before
// each '"' and "\"; others go as RFC 2231 extended values: percent-encoded
// bytes labelled UTF-8, or Windows-1252 for a name that is not valid UTF-8,
// cut into numbered sections (RFC 2231, 3) when one line would be too long.
// Line breaks in a name become blanks, as in every header value.

#include <string>
#include <string_view>
#include <vector>

namespace pw {

std::vector<std::string> ParameterLines(std::string_view attribute, std::string_view value);

}  // namespace pw
