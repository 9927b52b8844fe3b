#include "net/SendBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace pw {
namespace {

std::vector<char> Bytes(int n, int start = 0) {
    std::vector<char> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = static_cast<char>((start + i) % 251);
    return v;
}

std::vector<int> Fill(const TSendQueue& q) {
    std::vector<int> v;
    for (std::size_t i = 0; i < q.ChunkCount(); ++i) v.push_back(q.At(i).WritePosition() - q.At(i).ReadPosition());
    return v;
}

TEST(TSendChunk, StorePendingConsume) {
    TSendChunk c(10);
    EXPECT_EQ(c.Capacity(), 10);
    EXPECT_EQ(TSendChunk(0).Capacity(), 1514);
    EXPECT_EQ(TSendChunk(-5).Capacity(), 1514);
    int count = -1;
    EXPECT_EQ(c.Pending(count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(c.Store("abcdef", 6), 6);
    EXPECT_EQ(c.Store("ghijkl", 6), 4);  // only the free space
    EXPECT_EQ(c.Store("x", 1), 0);
    EXPECT_EQ(c.Store("x", -1), 0);
    const char* p = c.Pending(count);
    ASSERT_EQ(count, 10);
    EXPECT_EQ(std::string(p, 10), "abcdefghij");
    EXPECT_EQ(c.Consume(3), 3);
    p = c.Pending(count);
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(count)), "defghij");
    EXPECT_EQ(c.Consume(0), 0);
    EXPECT_EQ(c.Consume(100), 7);  // at most what is there
    EXPECT_EQ(c.ReadPosition(), 0);
    EXPECT_EQ(c.WritePosition(), 0);
    EXPECT_EQ(c.Consume(1), 0);
}

TEST(TSendQueue, ChunkingFollowsTheQueuedBytes) {
    struct Case {
        std::vector<int> writes;
        std::vector<int> chunks;
    };
    const Case cases[] = {
        {{3000}, {1460, 1460, 80}},
        {{100, 1400}, {1460, 40}},
        {{1460}, {1460}},
        {{1461}, {1460, 1}},
        {{0, -3}, {}},
        {{1, 1, 1}, {3}},
    };
    for (const Case& c : cases) {
        TSendQueue q;
        for (int n : c.writes) {
            auto b = Bytes(std::max(n, 0));
            q.QueueData(b.data(), n, 1460);
        }
        EXPECT_EQ(Fill(q), c.chunks);
    }
}

TEST(TSendQueue, BytesLeaveInOrderAndDrainedChunksAreReused) {
    TSendQueue q;
    auto data = Bytes(1460);
    q.QueueData(data.data(), 1460, 1460);
    // Sent in two parts: the chunk is empty again and takes a whole chunk.
    int count = 0;
    q.Front().Pending(count);
    EXPECT_EQ(q.Front().Consume(1000), 1000);
    const char* p = q.Front().Pending(count);
    ASSERT_EQ(count, 460);
    EXPECT_EQ(std::vector<char>(p, p + 460), std::vector<char>(data.begin() + 1000, data.end()));
    EXPECT_EQ(q.Front().Consume(460), 460);
    auto more = Bytes(1460, 7);
    q.QueueData(more.data(), 1460, 1460);
    EXPECT_EQ(Fill(q), std::vector<int>({1460}));

    // A chunk partly sent still has no room: the next bytes go to a new one.
    TSendQueue r;
    r.QueueData(data.data(), 1460, 1460);
    r.Front().Consume(1000);
    r.QueueData("z", 1, 1460);
    EXPECT_EQ(Fill(r), std::vector<int>({460, 1}));

    // Round trip of many writes of odd sizes.
    TSendQueue s;
    auto all = Bytes(10000, 3);
    std::size_t at = 0;
    for (int n : {1, 62, 1459, 2, 3000, 62, 5414}) {
        s.QueueData(all.data() + at, n, 1460);
        at += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(at, all.size());
    std::vector<char> out;
    while (!s.Empty()) {
        const char* q2 = s.Front().Pending(count);
        if (count == 0) {
            s.PopFront();
            continue;
        }
        EXPECT_LE(count, 1460);
        int take = std::min(count, 700);
        out.insert(out.end(), q2, q2 + take);
        s.Front().Consume(take);
    }
    EXPECT_EQ(out, all);
    s.DropQueuedData();  // on an empty queue: nothing
    EXPECT_TRUE(s.Empty());
}

}  // namespace
}  // namespace pw
