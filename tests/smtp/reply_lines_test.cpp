// The reply line layer: status parsing, the hyphen rule, assembling lines from
// arbitrary reads, and the 4,096-byte line limit.

#include "smtp/ReplyLines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace pw {
namespace {

struct StatusCase {
    const char* line;
    std::int32_t status;
    std::size_t next;
    bool continues;
};

TEST(ParseStatus, Table)
{
    const StatusCase cases[] = {
        {"250 ok", 250, 3, false},
        {"250-DSN", 250, 3, true},
        {"250", 250, 3, false},
        {"", 0, 0, false},
        {"no digits here", 0, 0, false},
        {"-", 0, 1, false},           // sign without digits: position after the sign
        {"\t\r\n 220 hi", 220, 7, false},
        {"+354 go", 354, 4, false},
        {"-5-x", -5, 2, true},
        {"2a0-", 2, 1, false},
        {"550-", 550, 3, true},
        {" 221-bye", 221, 4, true},
        {"4294967546 x", 250, 10, false},  // 2^32 + 250 wraps, no overflow trap
    };
    for (const auto& c : cases) {
        std::size_t next = 99;
        EXPECT_EQ(ParseStatus(c.line, next), c.status) << c.line;
        EXPECT_EQ(next, c.next) << c.line;
        EXPECT_EQ(IsContinuationLine(c.line), c.continues) << c.line;
    }
}

// Feeds `input` in reads of the given sizes and returns the lines taken after
// each read, joined with "|" per read.
std::vector<std::string> Feed(TReplyBuffer& buf, const std::string& input, const std::vector<std::size_t>& reads)
{
    std::vector<std::string> perRead;
    std::size_t pos = 0;
    for (std::size_t n : reads) {
        if (n > buf.FreeCount()) {
            ADD_FAILURE() << "read larger than the free space";
            break;
        }
        std::memcpy(buf.FreeSpace(), input.data() + pos, n);
        buf.Commit(n);
        pos += n;
        std::string all, line;
        while (buf.NextLine(line))
            all += "[" + line + "]";
        perRead.push_back(all);
    }
    return perRead;
}

TEST(ReplyBuffer, LinesSplitAcrossReadsAreJoined)
{
    TReplyBuffer buf;
    const std::string input = "250-first\r\n250 second\r\n";
    const auto got = Feed(buf, input, {3, 7, 1, 5, 7});
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "");
    EXPECT_EQ(got[1], "");
    EXPECT_EQ(got[2], "[250-first]");  // the LF of the first line arrives in read 3
    EXPECT_EQ(got[3], "");
    EXPECT_EQ(got[4], "[250 second]");
    EXPECT_EQ(buf.Held(), 0u);
}

TEST(ReplyBuffer, SeveralLinesInOneReadInOrder)
{
    TReplyBuffer buf;
    const std::string input = "220-a\r\n\r\n220-b\r\n220 c\r\npartial";
    const auto got = Feed(buf, input, {input.size()});
    EXPECT_EQ(got[0], "[220-a][][220-b][220 c]");
    EXPECT_EQ(buf.Held(), 7u);
}

TEST(ReplyBuffer, CrAloneOrLfAloneDoNotEndALine)
{
    TReplyBuffer buf;
    const std::string input = "250 a\rb\nc\r\n";
    const auto got = Feed(buf, input, {input.size()});
    EXPECT_EQ(got[0], std::string("[250 a\rb\nc]"));
}

TEST(ReplyBuffer, NulBytesAreOrdinaryBytes)
{
    TReplyBuffer buf;
    const std::string input("25\0 x\r\n221 y\r\n", 14);
    const auto got = Feed(buf, input, {input.size()});
    EXPECT_EQ(got[0], std::string("[25\0 x][221 y]", 14));
}

TEST(ReplyBuffer, LongestLineThatFitsIsAccepted)
{
    TReplyBuffer buf;
    const std::string line(TReplyBuffer::Capacity - 2, 'a');
    const auto got = Feed(buf, line + "\r\n", {TReplyBuffer::Capacity});
    EXPECT_EQ(got[0], "[" + line + "]");
    EXPECT_FALSE(buf.Overflowed());
}

TEST(ReplyBuffer, FullBufferWithoutLineEndOverflows)
{
    TReplyBuffer buf;
    const std::string junk(TReplyBuffer::Capacity, 'x');
    std::memcpy(buf.FreeSpace(), junk.data(), 4000);
    buf.Commit(4000);
    std::string line;
    EXPECT_FALSE(buf.NextLine(line));
    EXPECT_FALSE(buf.Overflowed());
    EXPECT_EQ(buf.FreeCount(), 96u);
    std::memcpy(buf.FreeSpace(), junk.data(), 96);
    buf.Commit(96);
    EXPECT_FALSE(buf.NextLine(line));
    EXPECT_TRUE(buf.Overflowed());
    EXPECT_EQ(buf.FreeCount(), 0u);
}

TEST(ReplyBuffer, RemainderMovesToFrontSoCapacityIsReused)
{
    TReplyBuffer buf;
    // 3000-byte line taken, 1000 bytes of the next line held: 3096 bytes free.
    std::string input = std::string(2998, 'a') + "\r\n" + std::string(1000, 'b');
    std::memcpy(buf.FreeSpace(), input.data(), input.size());
    buf.Commit(input.size());
    std::string line;
    ASSERT_TRUE(buf.NextLine(line));
    EXPECT_EQ(line.size(), 2998u);
    EXPECT_EQ(buf.FreeCount(), TReplyBuffer::Capacity - 1000);
    char* space = buf.FreeSpace();
    std::memcpy(space, "b\r\n", 3);
    buf.Commit(3);
    ASSERT_TRUE(buf.NextLine(line));
    EXPECT_EQ(line, std::string(1001, 'b'));
}

}  // namespace
}  // namespace pw
