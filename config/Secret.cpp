#include "config/Secret.h"

#include "codecs/Base64.h"
#include "codecs/Blowfish.h"


namespace pw {

namespace {

// Key and initialisation vector are the same fixed 8 bytes.
constexpr std::uint8_t kSecretKey[8] = {0x3C, 0xA7, 0x0E, 0x5B, 0xD2, 0x69, 0xF1, 0x84};

// A context built for one call and wiped on every way out, exceptions included.
class SecretCipher {
public:
    SecretCipher() { InitCipher(ctx_, kSecretKey, sizeof kSecretKey, kSecretKey); }
    ~SecretCipher()
    {
        RewindFeedback(ctx_);
        WipeContext(ctx_);
    }
    SecretCipher(const SecretCipher&) = delete;
    SecretCipher& operator=(const SecretCipher&) = delete;

    BlowfishContext& Context() { return ctx_; }

private:
    BlowfishContext ctx_;
};

std::uint8_t* Bytes(std::string& s) { return reinterpret_cast<std::uint8_t*>(s.data()); }

}  // namespace

std::string EncodeSecret(std::string_view clear)
{
    std::string buffer(clear);
    {
        SecretCipher cipher;
        EncipherFeedback8(cipher.Context(), Bytes(buffer), Bytes(buffer), buffer.size());
    }
    return Base64EncodeWith(buffer, kBase64Alphabet);
}

std::string DecodeSecret(std::string_view stored)
{
    std::string buffer = Base64DecodeWith(stored, kBase64LenientTable);
    {
        SecretCipher cipher;
        DecipherFeedback8(cipher.Context(), Bytes(buffer), Bytes(buffer), buffer.size());
    }
    return buffer;
}

}  // namespace pw
