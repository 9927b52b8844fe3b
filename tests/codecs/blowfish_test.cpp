#include "codecs/Blowfish.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace pw {
namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const std::uint8_t* p, std::size_t n)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(kHex[p[i] >> 4]);
        out.push_back(kHex[p[i] & 15]);
    }
    return out;
}

bool AllZero(const void* p, std::size_t n)
{
    const auto* b = static_cast<const std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

TEST(BlowfishTables, StartWithTheDigitsOfPi)
{
    // First words of each table as published with the algorithm.
    EXPECT_EQ(kBlowfishInitP[0], 0x243F6A88u);
    EXPECT_EQ(kBlowfishInitP[1], 0x85A308D3u);
    EXPECT_EQ(kBlowfishInitP[17], 0x8979FB1Bu);
    EXPECT_EQ(kBlowfishInitS[0][0], 0xD1310BA6u);
    EXPECT_EQ(kBlowfishInitS[3][255], 0x3AC372E6u);
}

struct EcbCase {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Eric Young's published Blowfish ECB vectors (8-byte keys).
const EcbCase kEcbCases[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(BlowfishEcb, PublishedVectors)
{
    for (const auto& c : kEcbCases) {
        SCOPED_TRACE(std::string("key ") + c.key + " plain " + c.plain);
        const auto key = FromHex(c.key);
        const auto plain = FromHex(c.plain);
        BlowfishContext ctx;
        InitCipher(ctx, key.data(), static_cast<int>(key.size()), nullptr);
        std::uint8_t out[8];
        EncipherBlock(ctx, plain.data(), out);
        EXPECT_EQ(ToHex(out, 8), c.cipher);
        // In place gives the same.
        std::uint8_t block[8];
        std::memcpy(block, plain.data(), 8);
        EncipherBlock(ctx, block, block);
        EXPECT_EQ(ToHex(block, 8), c.cipher);
    }
}

// The published set for keys of 1 to 24 bytes: prefixes of one long key,
// all enciphering FEDCBA9876543210. Exercises the cyclic key mixing.
TEST(BlowfishEcb, PublishedVariableKeyLengths)
{
    const auto fullKey = FromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
    const auto plain = FromHex("FEDCBA9876543210");
    const char* const expected[24] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
        "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
        "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
        "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
        "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
        "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
    };
    for (int length = 1; length <= 24; ++length) {
        SCOPED_TRACE("key length " + std::to_string(length));
        BlowfishContext ctx;
        InitCipher(ctx, fullKey.data(), length, nullptr);
        std::uint8_t out[8];
        EncipherBlock(ctx, plain.data(), out);
        EXPECT_EQ(ToHex(out, 8), expected[length - 1]);
    }
}

TEST(BlowfishInit, KeyLengthLimits)
{
    std::vector<std::uint8_t> key(57, 0x5A);
    for (const int length : {1, 8, 56}) {
        BlowfishContext ctx;
        EXPECT_NO_THROW(InitCipher(ctx, key.data(), length, nullptr)) << length;
    }
    for (const int length : {0, 57, -1, 1000}) {
        SCOPED_TRACE(length);
        BlowfishContext ctx;
        std::memset(&ctx, 0xA5, sizeof ctx);
        try {
            InitCipher(ctx, key.data(), length, nullptr);
            ADD_FAILURE() << "no error raised";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Blowfish: Key must be between 1 and 56 bytes long");
        }
        // The context is left as it was.
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&ctx);
        bool untouched = true;
        for (std::size_t i = 0; i < sizeof ctx; ++i) untouched = untouched && bytes[i] == 0xA5;
        EXPECT_TRUE(untouched);
    }
}

TEST(BlowfishInit, KeyBeyondLengthIsIgnoredAndLongKeysMatter)
{
    // Only keyLength bytes take part; a 56-byte key differs from its 55-byte prefix.
    std::vector<std::uint8_t> a(56), b(56);
    for (int i = 0; i < 56; ++i) a[i] = b[i] = static_cast<std::uint8_t>(i * 7 + 1);
    b[55] ^= 1;
    const std::uint8_t plain[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t outA[8], outB[8];
    BlowfishContext ctx;
    InitCipher(ctx, a.data(), 55, nullptr);
    EncipherBlock(ctx, plain, outA);
    InitCipher(ctx, b.data(), 55, nullptr);
    EncipherBlock(ctx, plain, outB);
    EXPECT_EQ(0, std::memcmp(outA, outB, 8));
    InitCipher(ctx, a.data(), 56, nullptr);
    EncipherBlock(ctx, plain, outA);
    InitCipher(ctx, b.data(), 56, nullptr);
    EncipherBlock(ctx, plain, outB);
    EXPECT_NE(0, std::memcmp(outA, outB, 8));
}

TEST(BlowfishInit, VectorsAreSetOrZero)
{
    const std::uint8_t key[3] = {1, 2, 3};
    const std::uint8_t iv[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    BlowfishContext ctx;
    std::memset(&ctx, 0xFF, sizeof ctx);
    InitCipher(ctx, key, 3, nullptr);
    EXPECT_TRUE(AllZero(ctx.StartVector, 8));
    EXPECT_TRUE(AllZero(ctx.FeedbackRegister, 8));
    InitCipher(ctx, key, 3, iv);
    EXPECT_EQ(0, std::memcmp(ctx.StartVector, iv, 8));
    EXPECT_EQ(0, std::memcmp(ctx.FeedbackRegister, iv, 8));
}

// CFB-8 written out from the mode's definition on top of EncipherBlock.
std::vector<std::uint8_t> ReferenceCfb8(const BlowfishContext& keyed, const std::uint8_t iv[8],
                                        const std::vector<std::uint8_t>& plain)
{
    std::uint8_t reg[8];
    std::memcpy(reg, iv, 8);
    std::vector<std::uint8_t> out;
    for (const std::uint8_t p : plain) {
        std::uint8_t stream[8];
        EncipherBlock(keyed, reg, stream);
        const std::uint8_t c = p ^ stream[0];
        out.push_back(c);
        for (int i = 0; i < 7; ++i) reg[i] = reg[i + 1];
        reg[7] = c;
    }
    return out;
}

TEST(BlowfishCfb8, MatchesModeDefinitionAndRoundTrips)
{
    const auto key = FromHex("0123456789ABCDEF");
    const std::uint8_t iv[8] = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    std::mt19937 rng(7);
    for (const std::size_t n : {0u, 1u, 7u, 8u, 9u, 64u, 1000u}) {
        SCOPED_TRACE(n);
        std::vector<std::uint8_t> plain(n);
        for (auto& b : plain) b = static_cast<std::uint8_t>(rng());

        BlowfishContext enc;
        InitCipher(enc, key.data(), 8, iv);
        std::vector<std::uint8_t> cipher(n);
        EncipherFeedback8(enc, plain.data(), cipher.data(), n);
        EXPECT_EQ(cipher, ReferenceCfb8(enc, iv, plain));

        // Separate buffers.
        BlowfishContext dec;
        InitCipher(dec, key.data(), 8, iv);
        std::vector<std::uint8_t> back(n);
        DecipherFeedback8(dec, cipher.data(), back.data(), n);
        EXPECT_EQ(back, plain);

        // One shared buffer, both ways.
        std::vector<std::uint8_t> inPlace = plain;
        RewindFeedback(enc);
        EncipherFeedback8(enc, inPlace.data(), inPlace.data(), n);
        EXPECT_EQ(inPlace, cipher);
        RewindFeedback(dec);
        DecipherFeedback8(dec, inPlace.data(), inPlace.data(), n);
        EXPECT_EQ(inPlace, plain);
    }
}

TEST(BlowfishCfb8, FirstByteByHand)
{
    // Byte 0 of the cipher text is plain byte 0 XOR byte 0 of E(IV).
    const auto key = FromHex("0000000000000000");
    const std::uint8_t iv[8] = {};
    BlowfishContext ctx;
    InitCipher(ctx, key.data(), 8, iv);
    const std::uint8_t plain = 0x5A;
    std::uint8_t cipher = 0;
    EncipherFeedback8(ctx, &plain, &cipher, 1);
    EXPECT_EQ(cipher, 0x5A ^ 0x4E);  // E(0) under the zero key is 4EF997456198DD78
    // The register shifted and took the cipher byte at the back.
    const std::uint8_t expectedRegister[8] = {0, 0, 0, 0, 0, 0, 0, cipher};
    EXPECT_EQ(0, std::memcmp(ctx.FeedbackRegister, expectedRegister, 8));
}

TEST(BlowfishCfb8, RegisterCarriesOverUntilRewind)
{
    const std::uint8_t key[5] = {'s', 'e', 'c', 'r', 't'};
    const std::uint8_t iv[8] = {1, 1, 2, 3, 5, 8, 13, 21};
    std::vector<std::uint8_t> plain(50);
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i);

    BlowfishContext whole;
    InitCipher(whole, key, 5, iv);
    std::vector<std::uint8_t> once(plain.size());
    EncipherFeedback8(whole, plain.data(), once.data(), plain.size());

    BlowfishContext pieces;
    InitCipher(pieces, key, 5, iv);
    std::vector<std::uint8_t> split(plain.size());
    EncipherFeedback8(pieces, plain.data(), split.data(), 13);
    EncipherFeedback8(pieces, plain.data() + 13, split.data() + 13, 0);  // count 0 does nothing
    EncipherFeedback8(pieces, plain.data() + 13, split.data() + 13, plain.size() - 13);
    EXPECT_EQ(split, once);

    RewindFeedback(pieces);
    EXPECT_EQ(0, std::memcmp(pieces.FeedbackRegister, iv, 8));
    std::vector<std::uint8_t> again(plain.size());
    EncipherFeedback8(pieces, plain.data(), again.data(), plain.size());
    EXPECT_EQ(again, once);
}

TEST(BlowfishWipe, LeavesOnlyZeros)
{
    const std::uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    BlowfishContext ctx;
    InitCipher(ctx, key, 8, key);
    ASSERT_FALSE(AllZero(&ctx, sizeof ctx));
    WipeContext(ctx);
    EXPECT_TRUE(AllZero(&ctx, sizeof ctx));
}

}  // namespace
}  // namespace pw
