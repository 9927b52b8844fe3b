#pragma once
// Text on Linux is UTF-8: the window, the command keys and message files all
// hand over UTF-8. Text that is not valid UTF-8 (a file from an older system,
// a name typed in another code page) is read as Windows-1252, the code page
// such text most often comes from, so every byte still means a character.

#include <cstddef>
#include <string>
#include <string_view>

namespace pw {

// True when `text` is well-formed UTF-8 (RFC 3629): no overlong forms, no
// surrogates, nothing above U+10FFFF, no cut-off sequence.
bool IsValidUtf8(std::string_view text);

// Each byte of `text` as the Windows-1252 character it stands for, in UTF-8.
// The five bytes Windows-1252 leaves undefined become the C1 controls of the
// same number.
std::string Windows1252ToUtf8(std::string_view text);

// `text` itself when it is valid UTF-8, else read as Windows-1252.
std::string AsUtf8(std::string_view text);

// True when every byte is below 0x80.
bool IsAscii(std::string_view text);

// Length of the UTF-8 sequence that starts with `lead` (1 for a byte that
// cannot start one, so that invalid text still moves on).
std::size_t Utf8SequenceLength(unsigned char lead);

// The largest cut <= `limit` that does not fall inside a UTF-8 sequence of
// `text` (valid UTF-8 assumed; for other text it may cut anywhere). 0 only when
// `limit` is 0 or the first character is longer than `limit`.
std::size_t Utf8CutBefore(std::string_view text, std::size_t limit);

}  // namespace pw
