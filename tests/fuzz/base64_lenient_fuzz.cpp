// The general Base64 codec, as the stored credentials use it, and with any
// table or alphabet (both are arguments, so a short or odd one must be safe).
// Input: one mode byte, then the text. Mode bit 0: the next byte gives a length
// and that many bytes become the decoding table and the encoding alphabet.
// Properties with the lenient table:
//   - everything that is not a digit is skipped: the text decodes like its
//     digits alone;
//   - k digits give 3 * (k / 4) bytes plus 2 for three left over, 1 for two
//     and none for one;
//   - it agrees with the strict decoder on the digits padded with "=" to whole
//     groups (a single leftover digit dropped);
//   - the general encoder's output decodes back to the bytes.

#include <cstring>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "codecs/Base64.h"

using pw::fuzz::Show;

namespace {

bool IsDigit(char c)
{
    return pw::kBase64Alphabet.substr(0, 64).find(c) != std::string_view::npos;
}

void CheckLenient(std::string_view text)
{
    const std::string out = pw::Base64DecodeWith(text, pw::kBase64LenientTable);

    std::string digits;
    for (char c : text) {
        if (IsDigit(c)) digits += c;
    }
    PW_FUZZ_CHECK(pw::Base64DecodeWith(digits, pw::kBase64LenientTable) == out,
                  Show(text) + " vs its digits " + Show(digits));

    static const std::size_t kTail[4] = {0, 0, 1, 2};
    const std::size_t k = digits.size();
    PW_FUZZ_CHECK(out.size() == k / 4 * 3 + kTail[k % 4],
                  Show(text) + " gave " + std::to_string(out.size()) + " bytes");

    std::string padded = digits;
    if (k % 4 == 1) padded.pop_back();
    while (padded.size() % 4 != 0) padded += '=';
    PW_FUZZ_CHECK(pw::Base64DecodeStrict(padded) == out, Show(text) + " vs strict " + Show(padded));

    const std::string encoded = pw::Base64EncodeWith(text, pw::kBase64Alphabet);
    PW_FUZZ_CHECK(encoded == pw::Base64Encode(text), Show(text));
    PW_FUZZ_CHECK(pw::Base64DecodeWith(encoded, pw::kBase64LenientTable) == text,
                  Show(text) + " -> " + Show(encoded));
}

// Any table and alphabet: no fault, and sizes within what the text allows.
void CheckAnyTable(std::string_view table, std::string_view text)
{
    const std::string out = pw::Base64DecodeWith(text, table);
    PW_FUZZ_CHECK(out.size() <= text.size() / 4 * 3 + 2, Show(text) + " with table " + Show(table));

    const std::string encoded = pw::Base64EncodeWith(text, table);
    PW_FUZZ_CHECK(encoded.size() <= pw::Base64EncodedLength(text.size()), Show(text));
    for (char c : encoded) PW_FUZZ_CHECK(table.find(c) != std::string_view::npos, Show(encoded));
    if (table.size() >= 65) PW_FUZZ_CHECK(encoded.size() == pw::Base64EncodedLength(text.size()), Show(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pw::fuzz::TFuzzInput in(data, size);
    const std::uint8_t mode = in.Byte();
    if ((mode & 1) != 0) {
        // An exact-size copy, so that reading past the table's end is caught.
        const std::string_view table = in.Bytes(in.Byte());
        std::unique_ptr<char[]> copy(new char[table.size()]);
        std::memcpy(copy.get(), table.data(), table.size());
        CheckAnyTable(std::string_view(copy.get(), table.size()), in.Rest());
    } else {
        CheckLenient(in.Rest());
    }
    return 0;
}
