#pragma once
// Helpers shared by the fuzz targets: a failed property aborts with a message
// (libFuzzer then keeps the input), a reader that takes the fuzzer's bytes
// apart, and a private scratch folder for targets that need files.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace pw::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what, const std::string& detail)
{
    std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, what);
    if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
    std::abort();
}

// Printable form of a byte string for failure messages (C escapes, cut).
inline std::string Show(std::string_view bytes, std::size_t limit = 200)
{
    static const char* const kHex = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (bytes.size() > limit) out += "...";
    out += "\" (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

}  // namespace pw::fuzz

#define PW_FUZZ_CHECK(cond, detail)                                            \
    do {                                                                       \
        if (!(cond)) ::pw::fuzz::Fail(__FILE__, __LINE__, #cond, (detail));    \
    } while (0)

namespace pw::fuzz {

// Takes the fuzzer's input apart from the front; past the end every number is 0
// and every text empty, so a short input is still a valid case.
class TFuzzInput {
public:
    TFuzzInput(const std::uint8_t* data, std::size_t size)
        : data_(reinterpret_cast<const char*>(data)), size_(size) {}

    std::uint8_t Byte() { return pos_ < size_ ? static_cast<std::uint8_t>(data_[pos_++]) : 0; }

    std::uint16_t Word()
    {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }

    bool Flag() { return (Byte() & 1) != 0; }

    // The next `n` bytes (fewer at the end).
    std::string_view Bytes(std::size_t n)
    {
        const std::size_t take = n < Left() ? n : Left();
        std::string_view out(data_ + pos_, take);
        pos_ += take;
        return out;
    }

    // Bytes up to the next `separator` (consumed, not returned) or the end.
    std::string_view Until(char separator)
    {
        const std::string_view rest(data_ + pos_, Left());
        const std::size_t at = rest.find(separator);
        if (at == std::string_view::npos) {
            pos_ = size_;
            return rest;
        }
        pos_ += at + 1;
        return rest.substr(0, at);
    }

    std::string_view Rest() { return Bytes(Left()); }
    std::size_t Left() const { return size_ - pos_; }

private:
    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A folder of this process's own under $TMPDIR (or /tmp), made on first use
// and removed with its files when the process ends normally. Ends in "/".
const std::string& ScratchFolder();

// Writes `content` to `path` (replacing it), plainly: no fsync, no temporary.
void WriteFile(const std::string& path, std::string_view content);

}  // namespace pw::fuzz
