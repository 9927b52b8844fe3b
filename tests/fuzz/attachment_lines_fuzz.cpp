// The attachment line encoder against the plain encoder: the lines of a file,
// put together, are exactly Base64Encode of the whole file, cut every 60
// characters, whatever sizes the reads return.
// Input: a mode byte, then (pipe mode) a count byte and that many read sizes
// (two bytes each), then a length word (tile mode), then the file's bytes.
// Mode bits: 0 - the file is a packet pipe written in the given sizes, so every
// read returns at most one of them (short reads, deterministically); 1 - the
// bytes are repeated to a length near the encoder's block size, to cross a
// block boundary; 2 - use the second line overload; 3 - also try a descriptor
// whose reads fail.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "codecs/Base64.h"

using pw::TBase64FileEncoder;
using pw::fuzz::Show;

namespace {

void WriteAll(int fd, const char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        PW_FUZZ_CHECK(w > 0, "write: " + std::string(std::strerror(errno)));
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// A regular in-memory file holding `data`, positioned at its start.
int MemoryFile(const std::string& data)
{
    const int fd = ::memfd_create("attachment", MFD_CLOEXEC);
    PW_FUZZ_CHECK(fd >= 0, "memfd_create: " + std::string(std::strerror(errno)));
    WriteAll(fd, data.data(), data.size());
    PW_FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0, "lseek");
    return fd;
}

// The read end of a packet pipe that already holds `data` in packets of the
// given sizes (cycled), and whose write end is closed. -1 when the system does
// not give a pipe large enough to hold every packet without blocking.
int PacketPipe(const std::string& data, const std::vector<std::size_t>& sizes)
{
    constexpr std::size_t kPacket = 4096;      // larger writes are split by the pipe
    constexpr int kPipeBytes = 1 << 20;        // 256 packets
    constexpr std::size_t kScheduled = 200;    // packets of the given sizes, then full ones
    int fds[2];
    if (::pipe2(fds, O_DIRECT | O_CLOEXEC) != 0) return -1;
    if (::fcntl(fds[1], F_SETPIPE_SZ, kPipeBytes) < kPipeBytes) {
        ::close(fds[0]);
        ::close(fds[1]);
        return -1;
    }
    std::size_t pos = 0;
    for (std::size_t packet = 0; pos < data.size(); ++packet) {
        std::size_t n = kPacket;
        if (packet < kScheduled && !sizes.empty()) n = sizes[packet % sizes.size()];
        n = std::min(n, data.size() - pos);
        WriteAll(fds[1], data.data() + pos, n);
        pos += n;
    }
    ::close(fds[1]);
    return fds[0];
}

void CheckLines(int fd, const std::string& data, bool stringOverload, const char* how)
{
    const std::string expected = pw::Base64Encode(data);
    const std::size_t expectedLines = data.empty() ? 1 : (data.size() + 44) / 45;
    TBase64FileEncoder encoder(fd);
    std::string all;
    std::size_t lines = 0;
    for (;;) {
        std::string line;
        TBase64FileEncoder::Status status;
        if (stringOverload) {
            status = encoder.NextLine(line);
        } else {
            char buffer[TBase64FileEncoder::kLineChars + 1];
            buffer[TBase64FileEncoder::kLineChars] = '#';
            std::size_t length = 999;
            status = encoder.NextLine(buffer, length);
            PW_FUZZ_CHECK(buffer[TBase64FileEncoder::kLineChars] == '#', "wrote past the line");
            PW_FUZZ_CHECK(length <= TBase64FileEncoder::kLineChars, "length " + std::to_string(length));
            line.assign(buffer, length);
        }
        PW_FUZZ_CHECK(status != TBase64FileEncoder::Status::Error,
                      std::string(how) + ": read error " + std::to_string(encoder.ReadError()));
        ++lines;
        all += line;
        const bool last = status == TBase64FileEncoder::Status::Last;
        PW_FUZZ_CHECK(last == (lines == expectedLines),
                      std::string(how) + ": line " + std::to_string(lines) + " of " +
                          std::to_string(expectedLines) + " for " + std::to_string(data.size()) + " bytes");
        if (!last) {
            PW_FUZZ_CHECK(line.size() == TBase64FileEncoder::kLineChars, "short line " + Show(line));
            continue;
        }
        PW_FUZZ_CHECK(!line.empty() || data.empty(), "empty last line");
        break;
    }
    PW_FUZZ_CHECK(all == expected, std::string(how) + ": lines " + Show(all) + " vs " + Show(expected));
    PW_FUZZ_CHECK(encoder.BytesEncoded() == data.size(), "bytes encoded " + std::to_string(encoder.BytesEncoded()));
    std::string after = "x";
    PW_FUZZ_CHECK(encoder.NextLine(after) == TBase64FileEncoder::Status::Last && after.empty(), "after the last line");
}

void CheckReadError()
{
    const int fd = ::open(pw::fuzz::ScratchFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    PW_FUZZ_CHECK(fd >= 0, "open folder");
    TBase64FileEncoder encoder(fd);
    std::string line = "x";
    PW_FUZZ_CHECK(encoder.NextLine(line) == TBase64FileEncoder::Status::Error && line.empty(), "first read");
    PW_FUZZ_CHECK(encoder.ReadError() == EISDIR, "errno " + std::to_string(encoder.ReadError()));
    PW_FUZZ_CHECK(encoder.NextLine(line) == TBase64FileEncoder::Status::Error && line.empty(), "second read");
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    pw::fuzz::TFuzzInput in(bytes, size);
    const std::uint8_t mode = in.Byte();
    std::vector<std::size_t> sizes;
    if ((mode & 1) != 0) {
        const int count = in.Byte() % 32;
        for (int i = 0; i < count; ++i) sizes.push_back(in.Word() % 4096 + 1);
    }
    const std::uint16_t tile = in.Word();
    std::string data(in.Rest());
    if ((mode & 2) != 0) {
        const std::size_t length = TBase64FileEncoder::kBlockBytes - 90 + tile % 180;
        const std::string unit = data.empty() ? std::string(1, '\0') : data;
        while (data.size() < length) data += unit;
        data.resize(length);
    }
    const bool stringOverload = (mode & 4) != 0;

    const int file = MemoryFile(data);
    CheckLines(file, data, stringOverload, "file");
    ::close(file);

    if ((mode & 1) != 0) {
        const int pipe = PacketPipe(data, sizes);
        if (pipe >= 0) {
            CheckLines(pipe, data, stringOverload, "pipe");
            ::close(pipe);
        }
    }
    if ((mode & 8) != 0) CheckReadError();
    return 0;
}
