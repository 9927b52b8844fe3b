// Server bytes through the reply line layer, read the way the SMTP engine reads
// them: each read takes at most the buffer's free space, complete lines are
// taken at once, a full buffer without a line end ends the connection.
// Input: one byte with the number of read sizes (low 4 bits) and a flag
// (bit 4: repeat the stream past the buffer's capacity), the read sizes (two
// bytes each), then the stream. The lines must be exactly those of cutting the
// stream at CR LF, each status number the one read by hand.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "smtp/ReplyLines.h"

using pw::TReplyBuffer;
using pw::fuzz::Show;

namespace {

// Status number the plain way: blanks, sign, digits, modulo 2^32.
std::int32_t ExpectedStatus(std::string_view line, std::size_t& next)
{
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
    std::uint64_t value = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9')
        value = (value * 10 + static_cast<std::uint64_t>(line[i++] - '0')) & 0xFFFFFFFFu;
    if (negative) value = (0x100000000u - value) & 0xFFFFFFFFu;
    next = i;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

void CheckLine(const std::string& line)
{
    std::size_t next = 12345;
    const std::int32_t status = pw::ParseStatus(line, next);
    std::size_t expectedNext = 0;
    const std::int32_t expected = ExpectedStatus(line, expectedNext);
    PW_FUZZ_CHECK(status == expected && next == expectedNext,
                  "line " + Show(line) + ": status " + std::to_string(status) + " next " +
                      std::to_string(next) + ", expected " + std::to_string(expected) + " next " +
                      std::to_string(expectedNext));
    const bool continues = next < line.size() && line[next] == '-';
    PW_FUZZ_CHECK(pw::IsContinuationLine(line) == continues, "line " + Show(line));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pw::fuzz::TFuzzInput in(data, size);
    const std::uint8_t head = in.Byte();
    std::vector<std::size_t> reads;
    for (int i = 0; i < (head & 15); ++i) reads.push_back(in.Word() % 5000 + 1);
    std::string stream(in.Rest());
    if ((head & 16) != 0 && !stream.empty()) {
        const std::string unit = stream;
        while (stream.size() <= TReplyBuffer::Capacity + 16) stream += unit;
    }

    TReplyBuffer buffer;
    std::string held;  // what the buffer should hold: received, not yet a line
    std::size_t pos = 0;
    std::size_t readIndex = 0;
    std::string line;
    while (pos < stream.size()) {
        const std::size_t room = buffer.FreeCount();
        PW_FUZZ_CHECK(room == TReplyBuffer::Capacity - held.size(),
                      "free " + std::to_string(room) + " with " + std::to_string(held.size()) + " held");
        if (room == 0) break;  // the engine gives up with "500 Reply line too long"
        std::size_t want = readIndex < reads.size() ? reads[readIndex++] : stream.size() - pos;
        const std::size_t n = std::min({want, room, stream.size() - pos});
        std::memcpy(buffer.FreeSpace(), stream.data() + pos, n);
        buffer.Commit(n);
        held.append(stream, pos, n);
        pos += n;
        PW_FUZZ_CHECK(buffer.Held() == held.size(), "held " + std::to_string(buffer.Held()));

        std::size_t end;
        while ((end = held.find("\r\n")) != std::string::npos) {
            const std::string expected = held.substr(0, end);
            held.erase(0, end + 2);
            PW_FUZZ_CHECK(buffer.NextLine(line), "no line, expected " + Show(expected));
            PW_FUZZ_CHECK(line == expected, "line " + Show(line) + ", expected " + Show(expected));
            CheckLine(line);
        }
        PW_FUZZ_CHECK(!buffer.NextLine(line), "extra line " + Show(line) + " while holding " + Show(held));
        PW_FUZZ_CHECK(buffer.Held() == held.size(), "held " + std::to_string(buffer.Held()));
        PW_FUZZ_CHECK(buffer.Overflowed() == (held.size() >= TReplyBuffer::Capacity),
                      "overflow flag with " + std::to_string(held.size()) + " held");
        if (buffer.Overflowed()) break;
    }
    buffer.Clear();
    PW_FUZZ_CHECK(buffer.Held() == 0 && buffer.FreeCount() == TReplyBuffer::Capacity && !buffer.NextLine(line),
                  "after Clear");
    return 0;
}
