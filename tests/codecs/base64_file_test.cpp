// The attachment line encoder against real descriptors: files of edge sizes,
// a multi-block file, a pipe that hands out short reads, and failing reads;
// lines in blocks (NextLines) mixed with single lines.

#include "codecs/Base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace pw {
namespace {

namespace fs = std::filesystem;
using Status = TBase64FileEncoder::Status;

class FileEncoderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "pw-b64-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        for (const int fd : fds_) ::close(fd);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    int OpenWith(const std::string& data, int flags = O_RDONLY)
    {
        const fs::path path = dir_ / ("f" + std::to_string(fds_.size()));
        const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(out, 0);
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(out, data.data() + done, data.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(out);
        EXPECT_EQ(done, data.size());
        const int fd = ::open(path.c_str(), flags);
        EXPECT_GE(fd, 0);
        fds_.push_back(fd);
        return fd;
    }

    int Track(int fd)
    {
        fds_.push_back(fd);
        return fd;
    }

    fs::path dir_;
    std::vector<int> fds_;
};

std::string RandomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string data(n, '\0');
    for (auto& ch : data) ch = static_cast<char>(rng());
    return data;
}

// What the attachment part must carry: the whole file's Base64 cut into
// 60-character lines; an empty file is one empty line.
std::vector<std::string> ExpectedLines(const std::string& data)
{
    const std::string all = Base64Encode(data);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < all.size(); i += 60) lines.push_back(all.substr(i, 60));
    if (lines.empty()) lines.emplace_back();
    return lines;
}

// Reads every line; checks that all lines but the last say More, the last
// says Last, and that the encoder then stays at Last. Gives up on Error.
std::vector<std::string> ReadAll(TBase64FileEncoder& encoder, Status* final = nullptr)
{
    std::vector<std::string> lines;
    char buf[TBase64FileEncoder::kLineChars];
    for (std::size_t guard = 0; guard < 10'000'000; ++guard) {
        std::size_t length = 99;
        const Status s = encoder.NextLine(buf, length);
        if (s == Status::Error) {
            EXPECT_EQ(length, 0u);
            if (final) *final = s;
            return lines;
        }
        EXPECT_LE(length, TBase64FileEncoder::kLineChars);
        lines.emplace_back(buf, length);
        if (s == Status::Last) {
            if (final) *final = s;
            std::size_t after = 99;
            EXPECT_EQ(encoder.NextLine(buf, after), Status::Last);
            EXPECT_EQ(after, 0u);
            return lines;
        }
    }
    ADD_FAILURE() << "encoder never reached the end";
    return lines;
}

TEST_F(FileEncoderTest, EdgeSizesMatchWholeFileEncoding)
{
    const std::size_t K = TBase64FileEncoder::kBlockBytes;
    for (const std::size_t n : {0u, 1u, 2u, 3u, 44u, 45u, 46u, 89u, 90u, 91u, 135u, 1000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const std::string data = RandomBytes(n, static_cast<unsigned>(n));
        TBase64FileEncoder encoder(OpenWith(data));
        Status final = Status::Error;
        EXPECT_EQ(ReadAll(encoder, &final), ExpectedLines(data));
        EXPECT_EQ(final, Status::Last);
        EXPECT_EQ(encoder.BytesEncoded(), n);
        EXPECT_EQ(encoder.ReadError(), 0);
    }
    for (const std::size_t n : {K - 1, K, K + 1, K + 45, 2 * K, 2 * K + 44}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const std::string data = RandomBytes(n, static_cast<unsigned>(n));
        TBase64FileEncoder encoder(OpenWith(data));
        EXPECT_EQ(ReadAll(encoder), ExpectedLines(data));
    }
}

TEST_F(FileEncoderTest, LineShapes)
{
    struct Case {
        std::size_t size;
        std::vector<std::size_t> lengths;
    };
    const Case cases[] = {
        {0, {0}}, {1, {4}}, {44, {60}}, {45, {60}}, {46, {60, 4}}, {90, {60, 60}}, {91, {60, 60, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        TBase64FileEncoder encoder(OpenWith(std::string(c.size, 'q')));
        const auto lines = ReadAll(encoder);
        ASSERT_EQ(lines.size(), c.lengths.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].size(), c.lengths[i]);
            // Padding only in the file's last line.
            if (i + 1 < lines.size()) {
                EXPECT_EQ(lines[i].find('='), std::string::npos);
            }
        }
    }
    // A multiple of 45 ends on a full line without padding; 46 ends in "==".
    TBase64FileEncoder ninety(OpenWith(std::string(90, 'q')));
    EXPECT_EQ(ReadAll(ninety).back().find('='), std::string::npos);
    TBase64FileEncoder fortySix(OpenWith(std::string(46, 'q')));
    EXPECT_EQ(ReadAll(fortySix).back().substr(2), "==");
}

TEST_F(FileEncoderTest, MultiBlockFile)
{
    const std::string data = RandomBytes(3 * 1024 * 1024 + 17, 2024);
    TBase64FileEncoder encoder(OpenWith(data));
    EXPECT_EQ(ReadAll(encoder), ExpectedLines(data));
    EXPECT_EQ(encoder.BytesEncoded(), data.size());
}

TEST_F(FileEncoderTest, StringOverload)
{
    const std::string data = "Parcelwing attachment, a little more than one line long.";
    TBase64FileEncoder encoder(OpenWith(data));
    std::vector<std::string> lines;
    std::string line = "stale";
    Status s;
    while ((s = encoder.NextLine(line)) == Status::More) lines.push_back(line);
    ASSERT_EQ(s, Status::Last);
    lines.push_back(line);
    EXPECT_EQ(lines, ExpectedLines(data));
}

// A pipe fed in uneven pieces makes the encoder see short reads at every
// possible offset inside a line.
TEST_F(FileEncoderTest, ShortReadsGiveTheSameLines)
{
    const std::string data = RandomBytes(40'000, 77);
    ::signal(SIGPIPE, SIG_IGN);
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const int readEnd = Track(p[0]);
    std::thread writer([fd = p[1], &data] {
        const std::size_t pieces[] = {1, 7, 44, 45, 46, 2, 90, 13, 1000, 3};
        std::size_t done = 0;
        for (std::size_t i = 0; done < data.size(); ++i) {
            const std::size_t n = std::min(pieces[i % 10], data.size() - done);
            if (::write(fd, data.data() + done, n) != static_cast<ssize_t>(n)) break;
            done += n;
            if (i % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::close(fd);
    });
    TBase64FileEncoder encoder(readEnd);
    const auto lines = ReadAll(encoder);
    // Should the encoder stop early, closing the read end frees a writer
    // blocked on a full pipe (its write then fails instead of raising SIGPIPE).
    fds_.erase(std::find(fds_.begin(), fds_.end(), readEnd));
    ::close(readEnd);
    writer.join();
    EXPECT_EQ(lines, ExpectedLines(data));
}

TEST_F(FileEncoderTest, UnreadableDescriptors)
{
    const int writeOnly = OpenWith("some content", O_WRONLY);
    const int directory = Track(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(directory, 0);
    const struct {
        int fd;
        int error;
    } cases[] = {{writeOnly, EBADF}, {directory, EISDIR}, {-1, EBADF}};
    for (const auto& c : cases) {
        SCOPED_TRACE("fd " + std::to_string(c.fd));
        TBase64FileEncoder encoder(c.fd);
        char buf[TBase64FileEncoder::kLineChars];
        std::size_t length = 99;
        EXPECT_EQ(encoder.NextLine(buf, length), Status::Error);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(encoder.ReadError(), c.error);
        // It stays failed.
        EXPECT_EQ(encoder.NextLine(buf, length), Status::Error);
        std::string line = "x";
        EXPECT_EQ(encoder.NextLine(line), Status::Error);
        EXPECT_TRUE(line.empty());
    }
}

// Swaps an unreadable descriptor in under the encoder's feet, so the next
// read fails in mid-file.
TEST_F(FileEncoderTest, ReadErrorInMidFileIsReported)
{
    const std::size_t K = TBase64FileEncoder::kBlockBytes;
    const std::string data = RandomBytes(3 * K, 5);
    const auto expected = ExpectedLines(data);
    const int fd = OpenWith(data);
    const int bad = OpenWith("", O_WRONLY);
    const std::size_t linesPerBlock = K / TBase64FileEncoder::kLineBytes;

    TBase64FileEncoder encoder(fd);
    char buf[TBase64FileEncoder::kLineChars];
    std::size_t length = 0;
    // All lines of the first block but the last one come from the buffer.
    for (std::size_t i = 0; i + 1 < linesPerBlock; ++i) {
        ASSERT_EQ(encoder.NextLine(buf, length), Status::More);
        ASSERT_EQ(std::string(buf, length), expected[i]);
    }
    ASSERT_EQ(::dup2(bad, fd), fd);
    // The block's last line is whole; the look-ahead behind it fails, and the
    // failure shows on the next call.
    EXPECT_EQ(encoder.NextLine(buf, length), Status::More);
    EXPECT_EQ(std::string(buf, length), expected[linesPerBlock - 1]);
    EXPECT_EQ(encoder.NextLine(buf, length), Status::Error);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(encoder.ReadError(), EBADF);
    EXPECT_EQ(encoder.BytesEncoded(), K);
    EXPECT_EQ(encoder.NextLine(buf, length), Status::Error);
}

// Reads the file in blocks of `room` bytes, taking the line NextLines leaves
// through NextLine; checks the shape of every block on the way.
std::vector<std::string> ReadInBlocks(TBase64FileEncoder& encoder, std::size_t room)
{
    constexpr std::size_t W = TBase64FileEncoder::kWireLineChars;
    std::vector<std::string> lines;
    std::vector<char> block(room + 1, '#');
    for (std::size_t guard = 0; guard < 10'000'000; ++guard) {
        const std::size_t written = encoder.NextLines(block.data(), room);
        EXPECT_LE(written, room);
        EXPECT_EQ(written % W, 0u);
        EXPECT_EQ(block[room], '#');  // nothing written past room
        for (std::size_t at = 0; at < written; at += W) {
            EXPECT_EQ(std::string(block.data() + at + W - 2, 2), "\r\n");
            lines.emplace_back(block.data() + at, W - 2);
        }
        if (written > 0) continue;
        char buf[TBase64FileEncoder::kLineChars];
        std::size_t length = 0;
        const Status s = encoder.NextLine(buf, length);
        if (s == Status::Error) return lines;
        lines.emplace_back(buf, length);
        if (s == Status::Last) {
            EXPECT_EQ(encoder.NextLines(block.data(), room), 0u);  // nothing after the end
            return lines;
        }
    }
    ADD_FAILURE() << "encoder never reached the end";
    return lines;
}

TEST_F(FileEncoderTest, BlocksOfLinesMatchSingleLines)
{
    constexpr std::size_t W = TBase64FileEncoder::kWireLineChars;
    const std::size_t K = TBase64FileEncoder::kBlockBytes;
    const std::size_t sizes[] = {0, 1, 44, 45, 46, 90, 91, 1000, K - 1, K, K + 1, K + 46, 3 * K + 7};
    const std::size_t rooms[] = {W - 1, W, W + 1, 3 * W, 1000, 64 * 1024};
    for (const std::size_t n : sizes) {
        const std::string data = RandomBytes(n, static_cast<unsigned>(n) + 3);
        for (const std::size_t room : rooms) {
            SCOPED_TRACE("size " + std::to_string(n) + ", room " + std::to_string(room));
            TBase64FileEncoder encoder(OpenWith(data));
            EXPECT_EQ(ReadInBlocks(encoder, room), ExpectedLines(data));
            EXPECT_EQ(encoder.BytesEncoded(), n);
        }
    }
}

TEST_F(FileEncoderTest, BlocksLeaveTheLastLineToNextLine)
{
    constexpr std::size_t W = TBase64FileEncoder::kWireLineChars;
    const struct {
        std::size_t size;
        std::size_t blockLines;  // lines NextLines gives before it stops
        Status last;
    } cases[] = {{0, 0, Status::Last}, {45, 0, Status::Last}, {46, 1, Status::Last},
                 {90, 1, Status::Last}, {91, 2, Status::Last}, {450, 9, Status::Last}};
    for (const auto& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        TBase64FileEncoder encoder(OpenWith(std::string(c.size, 'q')));
        std::vector<char> block(100 * W);
        EXPECT_EQ(encoder.NextLines(block.data(), block.size()), c.blockLines * W);
        EXPECT_EQ(encoder.NextLines(block.data(), block.size()), 0u);
        char buf[TBase64FileEncoder::kLineChars];
        std::size_t length = 0;
        EXPECT_EQ(encoder.NextLine(buf, length), c.last);
        EXPECT_EQ(encoder.BytesEncoded(), c.size);
    }
}

// A read that fails while a block is filled ends the block; the failure
// reaches the caller through NextLine, as it would line by line.
TEST_F(FileEncoderTest, ReadErrorWhileFillingABlock)
{
    const std::size_t K = TBase64FileEncoder::kBlockBytes;
    const std::string data = RandomBytes(3 * K, 9);
    const auto expected = ExpectedLines(data);
    const int fd = OpenWith(data);
    const int bad = OpenWith("", O_WRONLY);
    TBase64FileEncoder encoder(fd);
    std::vector<char> block(4 * K);
    const std::size_t first = encoder.NextLines(block.data(), TBase64FileEncoder::kWireLineChars);
    ASSERT_EQ(first, TBase64FileEncoder::kWireLineChars);
    EXPECT_EQ(std::string(block.data(), 60), expected[0]);
    ASSERT_EQ(::dup2(bad, fd), fd);
    // The rest of the first block is in the buffer; the next read fails.
    const std::size_t written = encoder.NextLines(block.data(), block.size());
    EXPECT_EQ(written, (K / TBase64FileEncoder::kLineBytes - 2) * TBase64FileEncoder::kWireLineChars);
    EXPECT_EQ(encoder.NextLines(block.data(), block.size()), 0u);
    char buf[TBase64FileEncoder::kLineChars];
    std::size_t length = 0;
    // The read failed where the next line would have shown whether it is the
    // last: the failure comes at once.
    EXPECT_EQ(encoder.NextLine(buf, length), Status::Error);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(encoder.ReadError(), EBADF);
    EXPECT_EQ(encoder.BytesEncoded(), K - TBase64FileEncoder::kLineBytes);
}

}  // namespace
}  // namespace pw
