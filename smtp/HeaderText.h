#pragma once
// Header fields that carry free text: RFC 2047 encoded-words for what is not
// plain ASCII, and folding (RFC 5322, 2.2.3) so that no line of a field grows
// past MaxHeaderLine characters. A folded field is one string whose physical
// lines are joined by CR LF followed by a blank.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pw {

// Longest physical header line this program writes (RFC 5322 asks for at
// most 78 characters, RFC 2047 for 76 on lines with encoded-words).
inline constexpr std::size_t MaxHeaderLine = 76;
// Longest encoded-word (RFC 2047, 2).
inline constexpr std::size_t MaxEncodedWord = 75;

// Base64 ("B") encoded-words in UTF-8 that together hold `utf8`: the first at
// most `firstMax` characters long, every other at most `restMax`; no
// character is split between two words (RFC 2047, 5). Empty text gives no word.
std::vector<std::string> EncodeWords(std::string_view utf8, std::size_t firstMax, std::size_t restMax);

// The field `name`: `value` (unstructured, e.g. Subject). Line breaks in the
// value become blanks; a value that is not valid UTF-8 is read as
// Windows-1252. Plain ASCII text is folded at blanks; text with other
// characters, control characters, "=?", or a word too long to fold goes as
// encoded-words, one per line.
std::string UnstructuredField(std::string_view name, std::string_view value);

// The field `name` + ":" followed by `tokens`, one blank between two tokens,
// a line break put before a token that would pass MaxHeaderLine (never
// before the first).
std::string FoldTokens(std::string_view name, const std::vector<std::string>& tokens);

// True for a byte below 0x20 other than TAB, and for DEL.
bool IsControlByte(unsigned char c);

// `text` as a quoted string (RFC 5322, 3.2.4): in double quotes, with "\"
// before each '"' and "\".
std::string QuotedString(std::string_view text);

}  // namespace pw
