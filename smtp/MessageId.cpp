#include "smtp/MessageId.h"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "net/Resolve.h"

namespace pw {

namespace {

std::atomic<std::uint64_t> IdCount{0};

std::string Base36(std::uint64_t n)
{
    static const char Digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string out;
    do {
        out.insert(out.begin(), Digits[n % 36]);
        n /= 36;
    } while (n != 0);
    return out;
}

// A domain that may stand after "@" as it is: letters, digits, "-" and dots
// between non-empty labels, or an address literal in brackets.
bool IsUsableDomain(std::string_view domain)
{
    if (domain.empty() || domain.size() > 253)
        return false;
    if (domain.front() == '[')
        return domain.size() > 2 && domain.back() == ']' &&
               domain.substr(1, domain.size() - 2).find_first_of("[]\\ ") == std::string_view::npos;
    if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string_view::npos)
        return false;
    for (char c : domain) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '.';
        if (!ok)
            return false;
    }
    return true;
}

std::uint64_t RandomBits()
{
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits))
        return bits;
    // No entropy yet (very early boot): the clock's low bits and the address
    // of a stack variable still differ between processes.
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    return static_cast<std::uint64_t>(now) * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<std::uintptr_t>(&bits);
}

}  // namespace

std::string NewMessageId(std::string_view domain)
{
    std::string host(domain);
    if (!IsUsableDomain(host)) {
        try {
            host = LocalMachineName();
        } catch (const std::exception&) {
            host.clear();
        }
        if (!IsUsableDomain(host))
            host = "localhost";
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    std::string id = "<" + Base36(static_cast<std::uint64_t>(ns)) + "." + Base36(static_cast<std::uint64_t>(::getpid())) +
                     "." + Base36(++IdCount) + "." + Base36(RandomBits()) + "@" + host + ">";
    return id;
}

}  // namespace pw
