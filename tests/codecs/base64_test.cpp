#include "codecs/Base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace pw {
namespace {

using namespace std::string_literals;

struct Vector {
    std::string plain;
    std::string encoded;
};

// RFC 4648, section 10.
const Vector kRfc4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, Rfc4648VectorsThroughEveryCodec)
{
    for (const auto& v : kRfc4648) {
        SCOPED_TRACE('"' + v.plain + '"');
        EXPECT_EQ(Base64Encode(v.plain), v.encoded);
        EXPECT_EQ(Base64EncodeWith(v.plain, kBase64Alphabet), v.encoded);
        std::string raw(Base64EncodedLength(v.plain.size()), '#');
        EXPECT_EQ(Base64EncodeTo(reinterpret_cast<const std::uint8_t*>(v.plain.data()), v.plain.size(),
                                 raw.data()),
                  v.encoded.size());
        EXPECT_EQ(raw, v.encoded);
        EXPECT_EQ(Base64DecodeStrict(v.encoded), v.plain);
        EXPECT_EQ(Base64DecodeWith(v.encoded, kBase64LenientTable), v.plain);
    }
}

// The fast encoder (two digits per look-up) against the plain one, digit by
// digit: every 12-bit value in both halves of a group, and every length of
// tail.
TEST(Base64, FastEncoderAgreesWithThePlainOne)
{
    std::string data;
    for (unsigned v = 0; v < 4096; ++v) {
        const unsigned group = (v << 12) | (4095 - v);
        data += static_cast<char>(group >> 16);
        data += static_cast<char>((group >> 8) & 255);
        data += static_cast<char>(group & 255);
    }
    std::mt19937 random(42);
    for (int i = 0; i < 300; ++i)
        data += static_cast<char>(random() & 255);
    for (std::size_t n : {data.size(), data.size() - 1, data.size() - 2, std::size_t{45}, std::size_t{0}}) {
        const std::string_view part(data.data(), n);
        EXPECT_EQ(Base64Encode(part), Base64EncodeWith(part, kBase64Alphabet)) << n;
    }
}

TEST(Base64, EveryByteValueRoundTrips)
{
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    std::mt19937 rng(4648);
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string data = all.substr(0, n);
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>(rng());
        const std::string encoded = Base64Encode(data);
        ASSERT_EQ(encoded.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(Base64DecodeStrict(encoded), data) << n;
        EXPECT_EQ(Base64DecodeWith(encoded, kBase64LenientTable), data) << n;
    }
    EXPECT_EQ(Base64DecodeStrict(Base64Encode(all)), all);
    EXPECT_EQ(Base64DecodeWith(Base64Encode(all), kBase64LenientTable), all);
}

TEST(Base64Tables, StrictTableMatchesAlphabet)
{
    for (int code = 0; code < 128; ++code) {
        const auto at = kBase64Alphabet.find(static_cast<char>(code));
        const int expected = at == std::string_view::npos ? 255 : static_cast<int>(at);
        EXPECT_EQ(kBase64StrictTable[code], expected) << "code " << code;
    }
}

TEST(Base64Tables, LenientTableIsTheDescribedText)
{
    ASSERT_EQ(kBase64LenientTable.size(), 96u);
    for (int code = 33; code <= 127; ++code) {
        const auto at = kBase64Alphabet.substr(0, 64).find(static_cast<char>(code));
        const int expected = at == std::string_view::npos ? 64 : static_cast<int>(at);
        EXPECT_EQ(static_cast<std::uint8_t>(kBase64LenientTable[code - 33]), expected) << "code " << code;
    }
    // As text: "@" for non-digits, ">" and "?" for "+" and "/", "4".."=" for the digits.
    EXPECT_EQ(kBase64LenientTable[0], '@');
    EXPECT_EQ(kBase64LenientTable['+' - 33], '>');
    EXPECT_EQ(kBase64LenientTable['/' - 33], '?');
    EXPECT_EQ(kBase64LenientTable.substr('0' - 33, 10), "456789:;<=");
    EXPECT_EQ(kBase64LenientTable['=' - 33], '@');
    EXPECT_EQ(kBase64LenientTable['A' - 33], '\0');
    EXPECT_EQ(kBase64LenientTable['z' - 33], '\063');
}

TEST(Base64Strict, SpelledOutBehaviours)
{
    const Vector cases[] = {
        {"A", "QQ=="},                          // "=" third: one byte
        {"AB", "QUI="},                         // "=" fourth: two bytes
        {"A", "QQ=Z"},                          // "=" third ends the group whatever follows
        {"AB?", "QUI"},                         // unpadded three: third byte from invalid bits
        {"A\x0f\xff"s, "QQ"},                   // missing positions count as 255
        {"C\xff\xff"s, "Q"},
        {"C\xf2"s, "Q!I="},                     // "!" masked like a digit, not skipped
        {"\x01\x04\x10"s, "=QQQ"},              // "=" first is just value 64 masked
        {"\xfd\x04\x10"s, "\xc1QQQ"s},          // codes above 127 are invalid
        {"AABC", "QQ==QUJD"},                   // groups are independent
        {"ABC\xff\xf4\x14$?\xff"s, "QUJD\r\nQUJD"},  // line breaks are not skipped
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64DecodeStrict(c.encoded), c.plain) << '"' << c.encoded << '"';
    }
}

TEST(Base64Strict, InvalidCharactersDecodeLikeDigit63)
{
    // Any character outside the alphabet (but not "=") gives the bits of "/".
    const std::string invalid = "!\"#$%&'()*,-.:;<>?@[\\]^_`{|}~ \t\r\n\x7f\x80\xc1\xff"s + '\0';
    std::mt19937 rng(99);
    for (int round = 0; round < 200; ++round) {
        std::string text = Base64Encode(std::string(rng() % 12 + 1, static_cast<char>(rng())));
        const std::size_t at = rng() % text.size();
        if (text[at] == '=') continue;
        std::string withInvalid = text;
        std::string withSlash = text;
        withInvalid[at] = invalid[rng() % invalid.size()];
        withSlash[at] = '/';
        EXPECT_EQ(Base64DecodeStrict(withInvalid), Base64DecodeStrict(withSlash)) << withInvalid;
    }
}

TEST(Base64Lenient, SkipsEverythingButDigits)
{
    const Vector cases[] = {
        {"foobar", "Zm9v\r\nYmFy"},
        {"foobar", " Zm 9v\tYm Fy "},
        {"foobar", "=Z=m=9=v=Y=m=F=y="},
        {"foobar", "Zm9v\x80Ym\xff" "Fy"s},    // codes above 127
        {"foobar", "Zm9v\x7fYmFy"s},           // DEL
        {"foobar", "Zm9v!Ym~Fy"},
        {"foob", "Zm9vYg=="},
        {"foob", "Zm9vYg"},                    // two pending digits: one byte
        {"fooba", "Zm9vYmE"},                  // three pending digits: two bytes
        {"foo", "Zm9vY"},                      // one pending digit: nothing
        {"foo", "Zm9vY==="},
        {"", "===="},
        {"", "Z"},
        {"", "\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64DecodeWith(c.encoded, kBase64LenientTable), c.plain) << '"' << c.encoded << '"';
    }
}

TEST(Base64Lenient, ShortTableSkipsWhatItCannotHold)
{
    EXPECT_EQ(Base64DecodeWith("Zm9v", ""), "");
    // The first 32 entries reach up to "@": only "+", "/" and the figures are digits.
    EXPECT_EQ(Base64DecodeWith("ZmXv++//", kBase64LenientTable.substr(0, 32)),
              Base64DecodeWith("++//", kBase64LenientTable));
}

TEST(Base64General, AlphabetDecidesWhatIsEmitted)
{
    const std::string_view noPad = kBase64Alphabet.substr(0, 64);
    EXPECT_EQ(Base64EncodeWith("f", noPad), "Zg");
    EXPECT_EQ(Base64EncodeWith("fo", noPad), "Zm8");
    EXPECT_EQ(Base64EncodeWith("foo", noPad), "Zm9v");
    const std::string urlSafe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_=";
    EXPECT_EQ(Base64EncodeWith("\xff"s, urlSafe), "_w==");
    EXPECT_EQ(Base64EncodeWith("\xfb\xff"s, urlSafe), "-_8=");
    // Values the alphabet is too short for emit nothing.
    EXPECT_EQ(Base64EncodeWith("\0\0\0"s, "ABCDEFGHIJ"), "AAAA");
    EXPECT_EQ(Base64EncodeWith("\xff"s, "ABCDEFGHIJ"), "");
    EXPECT_EQ(Base64EncodeWith("foo", ""), "");
}

}  // namespace
}  // namespace pw
