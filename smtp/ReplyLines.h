#pragma once
// The line layer under the SMTP engine: gathers the bytes the server sends into
// complete reply lines, and reads the status number at the front of a line.
// It knows nothing of what a reply means.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pw {

// Status number at the front of a reply line. Leading TAB, LF, CR and blanks are
// skipped, one "+" or "-" is accepted, then decimal digits are read (no digits
// gives 0; the value wraps like a 32-bit register instead of overflowing).
// `next` receives the index just after the digits; a line continues a multi-line
// reply exactly when the character there is "-".
std::int32_t ParseStatus(std::string_view line, std::size_t& next);

// True when `line` is a continuation line ("250-...") by the rule above.
bool IsContinuationLine(std::string_view line);

// Fixed-size reply buffer. Bytes are read straight into its free space, then
// complete lines (ended by CR LF) are taken from the front in order. A line that
// fills the whole buffer without a CR LF is "too long": the buffer then takes
// nothing more and the owner must give up on the connection.
class TReplyBuffer {
public:
    static constexpr std::size_t Capacity = 4096;

    // Where the next read goes and how many bytes may go there. Moves any held
    // partial line to the front first, so the whole capacity stays usable.
    char* FreeSpace();
    std::size_t FreeCount() const { return Capacity - (fill_ - start_); }

    // Counts `n` bytes just written at FreeSpace() as received.
    void Commit(std::size_t n);

    // Takes the next complete line (without its CR LF). False when no complete
    // line is held. Bytes of any value, NUL included, are ordinary line bytes.
    bool NextLine(std::string& line);

    // The buffer is full and holds no CR LF: no line can ever complete.
    bool Overflowed() const;

    std::size_t Held() const { return fill_ - start_; }
    void Clear() { start_ = fill_ = 0; }

private:
    char data_[Capacity + 1] = {};
    std::size_t start_ = 0;  // first byte not yet taken as a line
    std::size_t fill_ = 0;   // end of the received bytes
};

}  // namespace pw
