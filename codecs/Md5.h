#pragma once
// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104), for the CRAM-MD5 answer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pw {

// The caller owns the context, usually as a local value.
struct MD5Context {
    std::uint32_t State[4];   // chaining values A, B, C, D
    std::uint32_t Count[2];   // bits hashed so far, low word first
    std::uint8_t Buffer[64];  // bytes waiting for a full block
};

using MD5Digest = std::array<std::uint8_t, 16>;

// Zeroes the whole context, then sets the RFC 1321 initial state.
void MD5Init(MD5Context& ctx);

// Adds length bytes; the bit count grows with carry into the high word and
// every block that fills is compressed at once.
void MD5Update(MD5Context& ctx, const void* data, std::size_t length);

// Same result as MD5Update, fed in pieces of at most kMD5ChunkBytes copied
// through a temporary buffer.
inline constexpr std::size_t kMD5ChunkBytes = 16384;
void MD5UpdateChunked(MD5Context& ctx, const void* data, std::size_t length);

// Pads, writes the 16-byte digest (A, B, C, D, each low byte first) and then
// zeroes the whole context.
void MD5Final(MD5Digest& digest, MD5Context& ctx);

// MD5 of data in one call.
MD5Digest MD5Of(std::string_view data);

// HMAC-MD5 of message keyed with key; keys longer than 64 bytes are replaced
// by their MD5 digest first.
MD5Digest HmacMD5(std::string_view key, std::string_view message);

// 32 lowercase hexadecimal digits, high nibble of each byte first.
std::string MD5DigestToHex(const MD5Digest& digest);

}  // namespace pw
