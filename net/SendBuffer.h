// The send queue of a TWSocket: fixed-capacity chunks, written at the tail,
// sent from the head, one chunk per platform send call.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>

namespace pw {

class TSendChunk {
public:
    static constexpr int DefaultSize = 1514;

    // Capacity size, or DefaultSize when size <= 0.
    explicit TSendChunk(int size = 0);

    // Copies up to length bytes after the write position; the count stored
    // (0 when full or length <= 0).
    int Store(const void* data, int length);
    // The unread bytes: pointer to the first and their count; nullptr and 0
    // when none.
    const char* Pending(int& count) const;
    // Marks up to length unread bytes as sent; the count removed. When all is
    // sent both positions return to 0, so the whole capacity is free again.
    int Consume(int length);

    int Capacity() const { return capacity_; }
    int WritePosition() const { return write_; }
    int ReadPosition() const { return read_; }

private:
    std::unique_ptr<char[]> block_;
    int capacity_;
    int write_ = 0;
    int read_ = 0;
};

// Ordered chunks; bytes leave in the order they were queued.
class TSendQueue {
public:
    // Appends length bytes (nothing when length <= 0), filling the last chunk
    // first and adding chunks of chunkSize as needed.
    void QueueData(const void* data, int length, int chunkSize);
    // Destroys every chunk.
    void DropQueuedData() { chunks_.clear(); }

    bool Empty() const { return chunks_.empty(); }
    std::size_t ChunkCount() const { return chunks_.size(); }
    TSendChunk& Front() { return chunks_.front(); }
    const TSendChunk& At(std::size_t i) const { return chunks_[i]; }
    void PopFront() { chunks_.pop_front(); }

private:
    std::deque<TSendChunk> chunks_;
};

}  // namespace pw
