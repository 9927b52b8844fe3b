#include "smtp/ReplyLines.h"

#include <cstring>

namespace pw {

std::int32_t ParseStatus(std::string_view line, std::size_t& next)
{
    std::size_t i = 0;
    while (i < line.size() &&
           (line[i] == '\t' || line[i] == '\n' || line[i] == '\r' || line[i] == ' '))
        ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) {
        negative = line[i] == '-';
        ++i;
    }
    // Unsigned arithmetic: a server that sends a hundred digits gets a wrapped
    // number, not undefined behaviour.
    std::uint32_t value = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
        value = value * 10u + static_cast<std::uint32_t>(line[i] - '0');
        ++i;
    }
    if (negative)
        value = 0u - value;
    next = i;
    return static_cast<std::int32_t>(value);
}

bool IsContinuationLine(std::string_view line)
{
    std::size_t next = 0;
    ParseStatus(line, next);
    return next < line.size() && line[next] == '-';
}

char* TReplyBuffer::FreeSpace()
{
    if (start_ > 0) {
        std::memmove(data_, data_ + start_, fill_ - start_);
        fill_ -= start_;
        start_ = 0;
    }
    return data_ + fill_;
}

void TReplyBuffer::Commit(std::size_t n)
{
    if (n > Capacity - fill_)
        n = Capacity - fill_;
    fill_ += n;
    data_[fill_] = '\0';
}

bool TReplyBuffer::NextLine(std::string& line)
{
    const std::string_view held(data_ + start_, fill_ - start_);
    const std::size_t end = held.find("\r\n");
    if (end == std::string_view::npos)
        return false;
    line.assign(held.data(), end);
    start_ += end + 2;
    if (start_ == fill_)
        start_ = fill_ = 0;
    return true;
}

bool TReplyBuffer::Overflowed() const
{
    if (Held() < Capacity)
        return false;
    return std::string_view(data_ + start_, fill_ - start_).find("\r\n") == std::string_view::npos;
}

}  // namespace pw
