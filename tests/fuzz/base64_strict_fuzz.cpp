// The SMTP client's Base64: the strict decoder on any text (a CRAM-MD5
// challenge comes from the server), and the encoder on any bytes.
// Properties:
//   - decoding gives one byte per group plus one for each of the third and
//     fourth positions up to the first "=" there;
//   - a character outside the alphabet, or a position past the end, decodes
//     exactly like the digit "/" (value 63): it is masked, never skipped;
//   - digits only, four to a group, come back unchanged through decode+encode;
//   - encode then decode gives the bytes back; the encoding has the standard
//     length, only alphabet characters and padding only at its end; the three
//     encoders (Base64Encode, Base64EncodeTo, Base64EncodeWith with the
//     standard alphabet) agree.

#include <string>

#include "FuzzSupport.h"
#include "codecs/Base64.h"

using pw::fuzz::Show;

namespace {

std::uint8_t Value(std::string_view text, std::size_t i)
{
    if (i >= text.size()) return pw::kBase64Invalid;
    const auto code = static_cast<unsigned char>(text[i]);
    return code < 128 ? pw::kBase64StrictTable[code] : pw::kBase64Invalid;
}

bool IsDigit(char c)
{
    return pw::kBase64Alphabet.substr(0, 64).find(c) != std::string_view::npos;
}

void CheckDecode(std::string_view text)
{
    const std::string out = pw::Base64DecodeStrict(text);

    std::size_t expected = 0;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        expected += 1;
        if (Value(text, i + 2) != pw::kBase64Pad) expected += Value(text, i + 3) != pw::kBase64Pad ? 2 : 1;
    }
    PW_FUZZ_CHECK(out.size() == expected,
                  Show(text) + " gave " + std::to_string(out.size()) + " bytes, expected " +
                      std::to_string(expected));

    // Masked, not skipped: every invalid character (and the missing tail of the
    // last group) reads as "/".
    std::string masked(text);
    for (char& c : masked) {
        if (Value(std::string_view(&c, 1), 0) == pw::kBase64Invalid) c = '/';
    }
    while (masked.size() % 4 != 0) masked += '/';
    PW_FUZZ_CHECK(pw::Base64DecodeStrict(masked) == out, Show(text) + " vs " + Show(masked));

    // Whole groups of digits are standard Base64 with no spare bits.
    std::string digits;
    for (char c : text) {
        if (IsDigit(c)) digits += c;
    }
    digits.resize(digits.size() / 4 * 4);
    const std::string decoded = pw::Base64DecodeStrict(digits);
    PW_FUZZ_CHECK(decoded.size() == digits.size() / 4 * 3, Show(digits));
    PW_FUZZ_CHECK(pw::Base64Encode(decoded) == digits, Show(digits));
}

void CheckEncode(std::string_view data)
{
    const std::string text = pw::Base64Encode(data);
    PW_FUZZ_CHECK(text.size() == pw::Base64EncodedLength(data.size()), Show(data));
    const std::size_t padding = (3 - data.size() % 3) % 3;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool pad = i >= text.size() - padding;
        PW_FUZZ_CHECK(pad ? text[i] == '=' : IsDigit(text[i]), Show(text) + " at " + std::to_string(i));
    }
    PW_FUZZ_CHECK(pw::Base64DecodeStrict(text) == data, Show(data) + " -> " + Show(text));

    std::string direct(text.size() + 8, '#');
    const std::size_t n =
        pw::Base64EncodeTo(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), direct.data());
    PW_FUZZ_CHECK(n == text.size() && direct.compare(0, n, text) == 0 &&
                      direct.find_first_not_of('#', n) == std::string::npos,
                  "Base64EncodeTo of " + Show(data) + " gave " + Show(direct));
    PW_FUZZ_CHECK(pw::Base64EncodeWith(data, pw::kBase64Alphabet) == text, Show(data));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckDecode(bytes);
    CheckEncode(bytes);
    return 0;
}
