#pragma once
// Base64 in the program's two flavours.
//
// The SMTP codec (AUTH lines, CRAM-MD5 challenge, attachment content) encodes
// with the standard alphabet and decodes strictly: characters outside the
// alphabet are not skipped but masked as if they were digits. The general
// codec takes its alphabet or decoding table as an argument; with
// kBase64Alphabet and kBase64LenientTable it is what the stored credentials
// use, and its decoder skips everything that is not a digit.
//
// All functions work on 8-bit byte strings and never convert character sets.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace pw {

// The 64 digits followed by the padding character (position 64).
inline constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// Value in the strict table for the padding character "=".
inline constexpr std::uint8_t kBase64Pad = 64;
// Value in the strict table for every character outside the alphabet.
inline constexpr std::uint8_t kBase64Invalid = 255;

// Strict decoding table: 128 entries indexed by character code; digits map to
// 0-63, "=" to 64, every other code to 255. Codes 128-255 are not in the table
// and count as 255.
extern const std::uint8_t kBase64StrictTable[128];

// Lenient decoding table: 96 bytes indexed by character code - 33 (codes 33 to
// 127; the last byte is never consulted). Digits map to 0-63, every other
// code, "=" included, to 64 ("@").
extern const std::string_view kBase64LenientTable;

// Length of the standard encoding of n bytes: (n + 2) / 3 * 4.
constexpr std::size_t Base64EncodedLength(std::size_t n) { return (n + 2) / 3 * 4; }

// SMTP encode: standard Base64 with "=" padding, one line, no line breaks.
std::string Base64Encode(std::string_view data);

// Encodes n bytes at in into out, which must hold Base64EncodedLength(n)
// characters; writes no terminator and allocates nothing. Returns the number
// of characters written.
std::size_t Base64EncodeTo(const std::uint8_t* in, std::size_t n, char* out);

// SMTP decode (strict). Groups of four characters are decoded in turn; a
// position past the end of the text and any character outside the alphabet
// count as the invalid value 255, which is masked like a digit (so an
// unpadded final group of three characters still gives three bytes). "=" in
// the third position ends the group after one byte, in the fourth after two.
std::string Base64DecodeStrict(std::string_view text);

// General encode: each 6-bit value (64 for a missing digit of the last group)
// is looked up in alphabet; a value the alphabet is too short for emits
// nothing. With kBase64Alphabet this is standard Base64.
std::string Base64EncodeWith(std::string_view data, std::string_view alphabet);

// General decode (lenient). Each character of code 33-127 is looked up in
// table at code - 33; other codes, and entries the table is too short to hold,
// count as 64. Values above 63 are skipped. A final group of three digits
// gives two bytes, of two digits one byte, of one digit nothing.
std::string Base64DecodeWith(std::string_view text, std::string_view table);

// Streams an open file as attachment lines: each line is the Base64 of the next
// 45 bytes of the file (60 characters), the last line of the file shorter and
// the only one that can carry "=" padding. Lines carry no CR LF.
//
// The file is read in blocks of kBlockBytes into one buffer allocated at
// construction, so memory does not depend on the file's size. Short reads are
// absorbed: the lines are exactly those of encoding the whole file at once.
// The descriptor is borrowed, never closed; reads block, so give it a regular
// file or a blocking pipe. EINTR is retried; any other read failure is an
// error.
class TBase64FileEncoder {
public:
    static constexpr std::size_t kLineBytes = 45;
    static constexpr std::size_t kLineChars = 60;
    static constexpr std::size_t kWireLineChars = kLineChars + 2;  // with CR LF
    static constexpr std::size_t kBlockBytes = kLineBytes * 1456;  // 65520

    enum class Status {
        More,   // a line was written and the file holds further bytes
        Last,   // a line was written and it was the file's last one
        Error,  // a read failed; no line was written
    };

    // Bytes of the lines NextLine gives for a file of n bytes, each line with
    // the CR LF it is sent with; and the characters of its last line.
    static constexpr std::uint64_t EncodedSize(std::uint64_t n)
    {
        const std::uint64_t lines = n == 0 ? 1 : (n + kLineBytes - 1) / kLineBytes;
        return (n + 2) / 3 * 4 + 2 * lines;
    }
    static constexpr std::size_t LastLineChars(std::uint64_t n)
    {
        return n == 0 ? 0 : static_cast<std::size_t>((n - (n - 1) / kLineBytes * kLineBytes + 2) / 3 * 4);
    }

    explicit TBase64FileEncoder(int fd);
    TBase64FileEncoder(const TBase64FileEncoder&) = delete;
    TBase64FileEncoder& operator=(const TBase64FileEncoder&) = delete;

    // Writes the next line into out, which must hold kLineChars characters (no
    // terminator is written), and sets length to its number of characters.
    // An empty file gives one empty line with Status::Last. After Last, every
    // further call gives Last with length 0. After Error, every further call
    // gives Error with length 0; ReadError() then tells the errno.
    // A read that fails while looking ahead past a complete line still returns
    // that line with More; the failure is reported by the next call.
    Status NextLine(char* out, std::size_t& length);

    // The same, into a string (replaced; empty on Error).
    Status NextLine(std::string& line);

    // Writes as many whole lines as fit into out (room bytes), each followed
    // by CR LF, but only lines that further bytes of the file follow: the
    // file's last line is always left for NextLine, which tells where the
    // file ends. Returns the bytes written, a multiple of kWireLineChars; 0
    // when the next line is the last one (or was given), when room holds no
    // line, or when a read failed (NextLine then reports the failure).
    std::size_t NextLines(char* out, std::size_t room);

    // errno of the failed read, 0 while none failed.
    int ReadError() const { return error_; }
    // Bytes of the file encoded into lines so far.
    std::uint64_t BytesEncoded() const { return encoded_; }

private:
    bool Fill();
    std::size_t Available() const { return end_ - pos_; }

    int fd_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    bool done_ = false;
    int error_ = 0;
    std::uint64_t encoded_ = 0;
};

}  // namespace pw
