#include "codecs/Md5.h"

#include <algorithm>
#include <cstring>

namespace pw {

namespace {

// floor(abs(sin(i + 1)) * 2^32), i = 0..63.
constexpr std::uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee,
    0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be,
    0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa,
    0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c,
    0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05,
    0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039,
    0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1,
    0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Transform(std::uint32_t state[4], const std::uint8_t block[64])
{
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = std::uint32_t{block[4 * i]} | (std::uint32_t{block[4 * i + 1]} << 8) |
               (std::uint32_t{block[4 * i + 2]} << 16) | (std::uint32_t{block[4 * i + 3]} << 24);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        std::uint32_t f;
        int k;
        switch (round) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d; k = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
        }
        const std::uint32_t rotated = Rotl(a + f + x[k] + kT[i], kShift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void MD5Init(MD5Context& ctx)
{
    std::memset(&ctx, 0, sizeof ctx);
    ctx.State[0] = 0x67452301;
    ctx.State[1] = 0xefcdab89;
    ctx.State[2] = 0x98badcfe;
    ctx.State[3] = 0x10325476;
}

void MD5Update(MD5Context& ctx, const void* data, std::size_t length)
{
    if (length == 0) return;  // data may then be null
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::size_t have = (ctx.Count[0] >> 3) & 63;

    // 64-bit bit count kept as two words; a length beyond 2^61 bytes wraps as
    // RFC 1321 allows (the count is taken modulo 2^64).
    const std::uint64_t bits = std::uint64_t{length} << 3;
    const std::uint32_t low = ctx.Count[0] + static_cast<std::uint32_t>(bits);
    if (low < ctx.Count[0]) ++ctx.Count[1];
    ctx.Count[0] = low;
    ctx.Count[1] += static_cast<std::uint32_t>(bits >> 32);

    if (have > 0) {
        const std::size_t take = std::min(length, 64 - have);
        std::memcpy(ctx.Buffer + have, in, take);
        have += take;
        in += take;
        length -= take;
        if (have < 64) return;
        Transform(ctx.State, ctx.Buffer);
    }
    for (; length >= 64; in += 64, length -= 64) Transform(ctx.State, in);
    if (length > 0) std::memcpy(ctx.Buffer, in, length);
}

void MD5UpdateChunked(MD5Context& ctx, const void* data, std::size_t length)
{
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::uint8_t piece[kMD5ChunkBytes];
    while (length > 0) {
        const std::size_t n = std::min(length, kMD5ChunkBytes);
        std::memcpy(piece, in, n);
        MD5Update(ctx, piece, n);
        in += n;
        length -= n;
    }
}

void MD5Final(MD5Digest& digest, MD5Context& ctx)
{
    std::uint8_t count[8];
    for (int i = 0; i < 4; ++i) {
        count[i] = static_cast<std::uint8_t>(ctx.Count[0] >> (8 * i));
        count[4 + i] = static_cast<std::uint8_t>(ctx.Count[1] >> (8 * i));
    }
    static constexpr std::uint8_t kPadding[64] = {0x80};
    const std::size_t have = (ctx.Count[0] >> 3) & 63;
    const std::size_t padLength = have < 56 ? 56 - have : 120 - have;
    MD5Update(ctx, kPadding, padLength);
    MD5Update(ctx, count, 8);

    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<std::uint8_t>(ctx.State[i] >> (8 * j));
    std::memset(&ctx, 0, sizeof ctx);
}

MD5Digest MD5Of(std::string_view data)
{
    MD5Context ctx;
    MD5Init(ctx);
    MD5Update(ctx, data.data(), data.size());
    MD5Digest digest;
    MD5Final(digest, ctx);
    return digest;
}

MD5Digest HmacMD5(std::string_view key, std::string_view message)
{
    MD5Digest keyDigest;
    if (key.size() > 64) {
        keyDigest = MD5Of(key);
        key = std::string_view(reinterpret_cast<const char*>(keyDigest.data()), keyDigest.size());
    }

    std::uint8_t innerPad[64];
    std::uint8_t outerPad[64];
    for (std::size_t i = 0; i < 64; ++i) {
        const std::uint8_t k = i < key.size() ? static_cast<std::uint8_t>(key[i]) : 0;
        innerPad[i] = k ^ 0x36;
        outerPad[i] = k ^ 0x5C;
    }

    MD5Context ctx;
    MD5Digest inner;
    MD5Init(ctx);
    MD5Update(ctx, innerPad, 64);
    MD5UpdateChunked(ctx, message.data(), message.size());
    MD5Final(inner, ctx);

    MD5Digest outer;
    MD5Init(ctx);
    MD5Update(ctx, outerPad, 64);
    MD5Update(ctx, inner.data(), inner.size());
    MD5Final(outer, ctx);
    return outer;
}

std::string MD5DigestToHex(const MD5Digest& digest)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(32);
    for (const std::uint8_t byte : digest) {
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 15]);
    }
    return out;
}

}  // namespace pw
