#include "codecs/Blowfish.h"

#include <cstring>
#include <stdexcept>

#include <string.h>  // explicit_bzero

namespace pw {

namespace {

std::uint32_t ReadBig(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void WriteBig(std::uint32_t v, std::uint8_t* p)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t F(const BlowfishContext& ctx, std::uint32_t x)
{
    return ((ctx.S[0][x >> 24] + ctx.S[1][(x >> 16) & 255]) ^ ctx.S[2][(x >> 8) & 255]) + ctx.S[3][x & 255];
}

// Both directions: the cipher byte (the output when enciphering, the input when
// deciphering) is what shifts into the register.
template <bool Decipher>
void Feedback8(BlowfishContext& ctx, const std::uint8_t* in, std::uint8_t* out, std::size_t count)
{
    std::uint8_t stream[8];
    for (std::size_t i = 0; i < count; ++i) {
        EncipherBlock(ctx, ctx.FeedbackRegister, stream);
        // Save the input first: in and out may be the same byte.
        const std::uint8_t input = in[i];
        out[i] = input ^ stream[0];
        std::memmove(ctx.FeedbackRegister, ctx.FeedbackRegister + 1, 7);
        ctx.FeedbackRegister[7] = Decipher ? input : out[i];
    }
    explicit_bzero(stream, sizeof stream);
}

}  // namespace

void InitCipher(BlowfishContext& ctx, const std::uint8_t* key, int keyLength, const std::uint8_t* iv)
{
    if (keyLength < 1 || keyLength > 56 || key == nullptr)
        throw std::runtime_error("Blowfish: Key must be between 1 and 56 bytes long");

    std::memcpy(ctx.S, kBlowfishInitS, sizeof ctx.S);
    std::memcpy(ctx.P, kBlowfishInitP, sizeof ctx.P);
    if (iv != nullptr) {
        std::memcpy(ctx.StartVector, iv, 8);
        std::memcpy(ctx.FeedbackRegister, iv, 8);
    } else {
        std::memset(ctx.StartVector, 0, 8);
        std::memset(ctx.FeedbackRegister, 0, 8);
    }

    const auto length = static_cast<std::size_t>(keyLength);
    std::size_t j = 0;
    for (auto& word : ctx.P) {
        std::uint32_t data = 0;
        for (int k = 0; k < 4; ++k) {
            data = (data << 8) | key[j];
            j = (j + 1) % length;
        }
        word ^= data;
    }

    std::uint8_t block[8] = {};
    for (int k = 0; k < 9; ++k) {
        EncipherBlock(ctx, block, block);
        ctx.P[2 * k] = ReadBig(block);
        ctx.P[2 * k + 1] = ReadBig(block + 4);
    }
    for (auto& box : ctx.S) {
        for (int k = 0; k < 128; ++k) {
            EncipherBlock(ctx, block, block);
            box[2 * k] = ReadBig(block);
            box[2 * k + 1] = ReadBig(block + 4);
        }
    }
    explicit_bzero(block, sizeof block);
}

void EncipherBlock(const BlowfishContext& ctx, const std::uint8_t in[8], std::uint8_t out[8])
{
    std::uint32_t l = ReadBig(in);
    std::uint32_t r = ReadBig(in + 4);
    l ^= ctx.P[0];
    for (int i = 1; i <= 16; i += 2) {
        r ^= F(ctx, l) ^ ctx.P[i];
        l ^= F(ctx, r) ^ ctx.P[i + 1];
    }
    r ^= ctx.P[17];
    WriteBig(r, out);
    WriteBig(l, out + 4);
}

void EncipherFeedback8(BlowfishContext& ctx, const std::uint8_t* in, std::uint8_t* out, std::size_t count)
{
    Feedback8<false>(ctx, in, out, count);
}

void DecipherFeedback8(BlowfishContext& ctx, const std::uint8_t* in, std::uint8_t* out, std::size_t count)
{
    Feedback8<true>(ctx, in, out, count);
}

void RewindFeedback(BlowfishContext& ctx)
{
    std::memcpy(ctx.FeedbackRegister, ctx.StartVector, 8);
}

void WipeContext(BlowfishContext& ctx)
{
    explicit_bzero(&ctx, sizeof ctx);
}

}  // namespace pw
