// Stored credentials: DecodeSecret reads whatever the INI file holds (a
// hand-edited or damaged value), EncodeSecret whatever the user typed.
// Input: a byte whose low bits choose where blanks and line breaks are put
// into the stored form, then the text.
// Properties:
//   - decoding any text gives as many bytes as its Base64 digits allow, and
//     the same as decoding its digits alone;
//   - encoding n bytes gives 4 * ceil(n / 3) characters of the Base64
//     alphabet ("=" only at the end), the same every time;
//   - decoding the encoded form gives the clear text back, also with blanks,
//     tabs and line breaks put into it.

#include <string>

#include "FuzzSupport.h"
#include "codecs/Base64.h"
#include "config/Secret.h"

using pw::fuzz::Show;

namespace {

bool IsDigit(char c)
{
    return pw::kBase64Alphabet.substr(0, 64).find(c) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pw::fuzz::TFuzzInput in(data, size);
    const std::uint8_t spread = in.Byte();
    const std::string text(in.Rest());

    // Any stored text.
    const std::string clear = pw::DecodeSecret(text);
    std::string digits;
    for (char c : text) {
        if (IsDigit(c)) digits += c;
    }
    static const std::size_t kTail[4] = {0, 0, 1, 2};
    PW_FUZZ_CHECK(clear.size() == digits.size() / 4 * 3 + kTail[digits.size() % 4],
                  Show(text) + " gave " + std::to_string(clear.size()) + " bytes");
    PW_FUZZ_CHECK(pw::DecodeSecret(digits) == clear, Show(text) + " vs " + Show(digits));

    // Any clear text.
    const std::string stored = pw::EncodeSecret(text);
    PW_FUZZ_CHECK(stored.size() == (text.size() + 2) / 3 * 4, Show(text) + " -> " + Show(stored));
    const std::size_t padding = (3 - text.size() % 3) % 3;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const bool pad = i >= stored.size() - padding;
        PW_FUZZ_CHECK(pad ? stored[i] == '=' : IsDigit(stored[i]), Show(stored) + " at " + std::to_string(i));
    }
    PW_FUZZ_CHECK(pw::EncodeSecret(text) == stored, "second encoding of " + Show(text));
    PW_FUZZ_CHECK(pw::DecodeSecret(stored) == text, Show(text) + " -> " + Show(stored));

    // Blanks and line breaks inside the stored form are skipped.
    if (spread != 0) {
        static const char* const kBreaks[] = {" ", "\r\n", "\t", "\n"};
        std::string spaced;
        for (std::size_t i = 0; i < stored.size(); ++i) {
            if ((i + 1) % (spread % 16 + 1) == 0) spaced += kBreaks[(spread >> 4) % 4];
            spaced += stored[i];
        }
        PW_FUZZ_CHECK(pw::DecodeSecret(spaced) == text, Show(text) + " from " + Show(spaced));
    }
    return 0;
}
