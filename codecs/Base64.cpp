#include "codecs/Base64.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace pw {

namespace {

constexpr const char* kDigits = kBase64Alphabet.data();

// Index = character code - 33. "@" (64) marks every code that is not a digit;
// the digits are their own values, written as octal escapes for the letters.
constexpr char kLenientText[] =
    "@@@@@@@@@@"  // ! " # $ % & ' ( ) *
    ">"           // +
    "@@@"         // , - .
    "?"           // /
    "456789:;<="  // 0-9
    "@@@@@@@"     // : ; < = > ? @
    "\000\001\002\003\004\005\006\007\010\011\012\013\014"  // A-M
    "\015\016\017\020\021\022\023\024\025\026\027\030\031"  // N-Z
    "@@@@@@"                                               // [ \ ] ^ _ `
    "\032\033\034\035\036\037\040\041\042\043\044\045\046"  // a-m
    "\047\050\051\052\053\054\055\056\057\060\061\062\063"  // n-z
    "@@@@@"  // { | } ~ DEL
    "@";     // never consulted
static_assert(sizeof(kLenientText) == 96 + 1);

// The two digits of every 12-bit value, side by side: three bytes (24 bits)
// become four digits in two look-ups and two 2-byte copies.
struct TDigitPairs {
    char pair[4096][2];
    constexpr TDigitPairs() : pair{}
    {
        for (unsigned v = 0; v < 4096; ++v) {
            pair[v][0] = kBase64Alphabet[v >> 6];
            pair[v][1] = kBase64Alphabet[v & 63];
        }
    }
};
constexpr TDigitPairs kDigitPairs;

std::uint8_t StrictValue(std::string_view text, std::size_t i)
{
    if (i >= text.size()) return kBase64Invalid;
    const auto code = static_cast<std::uint8_t>(text[i]);
    return code < 128 ? kBase64StrictTable[code] : kBase64Invalid;
}

}  // namespace

// Index = character code; 255 = not in the alphabet, 64 = "=".
const std::uint8_t kBase64StrictTable[128] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  //   0-15
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  //  16-31
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  62, 255, 255, 255,  63,  //  32-47
     52,  53,  54,  55,  56,  57,  58,  59,  60,  61, 255, 255, 255,  64, 255, 255,  //  48-63
    255,   0,   1,   2,   3,   4,   5,   6,   7,   8,   9,  10,  11,  12,  13,  14,  //  64-79
     15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25, 255, 255, 255, 255, 255,  //  80-95
    255,  26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  39,  40,  //  96-111
     41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51, 255, 255, 255, 255, 255,  // 112-127
};

const std::string_view kBase64LenientTable{kLenientText, 96};

std::size_t Base64EncodeTo(const std::uint8_t* in, std::size_t n, char* out)
{
    char* o = out;
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        std::memcpy(o, kDigitPairs.pair[v >> 12], 2);
        std::memcpy(o + 2, kDigitPairs.pair[v & 4095], 2);
        o += 4;
    }
    if (const std::size_t rest = n - i; rest > 0) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (rest > 1 ? std::uint32_t{in[i + 1]} << 8 : 0u);
        o[0] = kDigits[v >> 18];
        o[1] = kDigits[(v >> 12) & 63];
        o[2] = rest > 1 ? kDigits[(v >> 6) & 63] : '=';
        o[3] = '=';
        o += 4;
    }
    return static_cast<std::size_t>(o - out);
}

std::string Base64Encode(std::string_view data)
{
    std::string out(Base64EncodedLength(data.size()), '\0');
    Base64EncodeTo(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), out.data());
    return out;
}

std::string Base64DecodeStrict(std::string_view text)
{
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const unsigned a = StrictValue(text, i);
        const unsigned b = StrictValue(text, i + 1);
        const unsigned c = StrictValue(text, i + 2);
        const unsigned d = StrictValue(text, i + 3);
        out.push_back(static_cast<char>((((a & 63) << 2) + ((b & 48) >> 4)) & 255));
        if (c != kBase64Pad) {
            out.push_back(static_cast<char>((((b & 15) << 4) + ((c & 60) >> 2)) & 255));
            if (d != kBase64Pad)
                out.push_back(static_cast<char>((((c & 3) << 6) + (d & 63)) & 255));
        }
    }
    return out;
}

std::string Base64EncodeWith(std::string_view data, std::string_view alphabet)
{
    std::string out;
    out.reserve(Base64EncodedLength(data.size()));
    auto put = [&](unsigned value) {
        if (value < alphabet.size()) out.push_back(alphabet[value]);
    };
    const auto* in = reinterpret_cast<const std::uint8_t*>(data.data());
    const std::size_t n = data.size();
    for (std::size_t i = 0; i < n; i += 3) {
        const std::size_t rest = std::min<std::size_t>(3, n - i);
        std::uint32_t v = std::uint32_t{in[i]} << 16;
        if (rest > 1) v |= std::uint32_t{in[i + 1]} << 8;
        if (rest > 2) v |= in[i + 2];
        put(v >> 18);
        put((v >> 12) & 63);
        put(rest > 1 ? (v >> 6) & 63 : 64);
        put(rest > 2 ? v & 63 : 64);
    }
    return out;
}

std::string Base64DecodeWith(std::string_view text, std::string_view table)
{
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    std::uint32_t acc = 0;
    int needed = 4;
    for (const char ch : text) {
        const auto code = static_cast<std::uint8_t>(ch);
        std::uint8_t value = 64;
        if (code >= 33 && code <= 127 && static_cast<std::size_t>(code - 33) < table.size())
            value = static_cast<std::uint8_t>(table[code - 33]);
        if (value > 63) continue;
        acc = (acc << 6) | value;
        if (--needed == 0) {
            out.push_back(static_cast<char>((acc >> 16) & 255));
            out.push_back(static_cast<char>((acc >> 8) & 255));
            out.push_back(static_cast<char>(acc & 255));
            acc = 0;
            needed = 4;
        }
    }
    if (needed == 1) {  // three digits pending: 18 bits, two bytes
        acc >>= 2;
        out.push_back(static_cast<char>((acc >> 8) & 255));
        out.push_back(static_cast<char>(acc & 255));
    } else if (needed == 2) {  // two digits pending: 12 bits, one byte
        acc >>= 4;
        out.push_back(static_cast<char>(acc & 255));
    }
    return out;
}

TBase64FileEncoder::TBase64FileEncoder(int fd)
    : fd_(fd), buffer_(std::make_unique<std::uint8_t[]>(kBlockBytes))
{
}

bool TBase64FileEncoder::Fill()
{
    // Keep the unread tail (less than one line) at the front so the block read
    // lands behind it; after full reads the tail is empty and reads stay
    // line-aligned.
    const std::size_t tail = Available();
    if (tail > 0 && pos_ > 0) std::memmove(buffer_.get(), buffer_.get() + pos_, tail);
    pos_ = 0;
    end_ = tail;
    for (;;) {
        const ssize_t got = ::read(fd_, buffer_.get() + end_, kBlockBytes - end_);
        if (got > 0) {
            end_ += static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0) {
            eof_ = true;
            return true;
        }
        if (errno == EINTR) continue;
        error_ = errno != 0 ? errno : EIO;
        return false;
    }
}

TBase64FileEncoder::Status TBase64FileEncoder::NextLine(char* out, std::size_t& length)
{
    length = 0;
    if (error_ != 0) return Status::Error;
    if (done_) return Status::Last;

    while (Available() < kLineBytes && !eof_) {
        if (!Fill()) return Status::Error;
    }
    const std::size_t n = std::min(kLineBytes, Available());
    length = Base64EncodeTo(buffer_.get() + pos_, n, out);
    pos_ += n;
    encoded_ += n;

    // Look ahead so the caller learns whether this line was the file's last.
    // This line is whole even if the look-ahead fails; error_ makes the next
    // call report the failure.
    if (Available() == 0 && !eof_ && !Fill()) return Status::More;
    if (Available() == 0 && eof_) {
        done_ = true;
        return Status::Last;
    }
    return Status::More;
}

std::size_t TBase64FileEncoder::NextLines(char* out, std::size_t room)
{
    char* o = out;
    while (error_ == 0 && !done_ && room >= kWireLineChars) {
        // A line is surely not the last while a byte of the file follows it.
        if (Available() <= kLineBytes) {
            if (eof_ || !Fill()) break;
            continue;
        }
        const std::size_t lines = std::min((Available() - 1) / kLineBytes, room / kWireLineChars);
        const std::uint8_t* in = buffer_.get() + pos_;
        for (std::size_t i = 0; i < lines; ++i) {
            Base64EncodeTo(in, kLineBytes, o);
            o[kLineChars] = '\r';
            o[kLineChars + 1] = '\n';
            in += kLineBytes;
            o += kWireLineChars;
        }
        pos_ += lines * kLineBytes;
        encoded_ += lines * kLineBytes;
        room -= lines * kWireLineChars;
    }
    return static_cast<std::size_t>(o - out);
}

TBase64FileEncoder::Status TBase64FileEncoder::NextLine(std::string& line)
{
    char buf[kLineChars];
    std::size_t length = 0;
    const Status status = NextLine(buf, length);
    line.assign(buf, length);
    return status;
}

}  // namespace pw
