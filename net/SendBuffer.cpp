#include "net/SendBuffer.h"

#include <algorithm>
#include <cstring>

namespace pw {

TSendChunk::TSendChunk(int size) : capacity_(size > 0 ? size : DefaultSize) {
    // Left uninitialised: only the bytes stored are ever read, and a large
    // chunk is made anew for every connection.
    block_.reset(new char[static_cast<std::size_t>(capacity_)]);
}

int TSendChunk::Store(const void* data, int length) {
    int free = capacity_ - write_;
    if (free <= 0 || length <= 0) return 0;
    int count = std::min(length, free);
    std::memcpy(block_.get() + write_, data, static_cast<std::size_t>(count));
    write_ += count;
    return count;
}

const char* TSendChunk::Pending(int& count) const {
    count = write_ - read_;
    if (count <= 0) {
        count = 0;
        return nullptr;
    }
    return block_.get() + read_;
}

int TSendChunk::Consume(int length) {
    int available = write_ - read_;
    if (available <= 0 || length <= 0) return 0;
    int count = std::min(length, available);
    read_ += count;
    if (read_ == write_) {
        read_ = 0;
        write_ = 0;
    }
    return count;
}

void TSendQueue::QueueData(const void* data, int length, int chunkSize) {
    if (length <= 0) return;
    if (chunks_.empty()) chunks_.emplace_back(chunkSize);
    const char* p = static_cast<const char*>(data);
    TSendChunk* target = &chunks_.back();
    for (;;) {
        int stored = target->Store(p, length);
        if (stored >= length) return;
        length -= stored;
        p += stored;
        chunks_.emplace_back(chunkSize);
        target = &chunks_.back();
    }
}

}  // namespace pw
