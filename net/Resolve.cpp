#include "net/Resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "net/SocketErrors.h"
#include "platform/Error.h"

namespace pw {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Skips leading spaces, then reads digits up to the first non-digit; no
// sign, no range check (the value wraps like the 32-bit original).
std::uint32_t DecimalValue(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    std::uint32_t value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    return value;
}

std::string Format(const char* format, const std::string& text, int code) {
    std::vector<char> buffer(text.size() + 128);
    std::snprintf(buffer.data(), buffer.size(), format, text.c_str(), code);
    return buffer.data();
}

// getservbyname/getprotobyname report no error number; a Winsock stack
// answers a failed database look-up with WSANO_DATA.
constexpr int DatabaseMiss = WSANO_DATA;

}  // namespace

std::string TrimBlanks(const std::string& text) {
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 0x20) --e;
    return text.substr(b, e - b);
}

std::string DottedAddress(std::uint32_t networkOrder) {
    in_addr a{};
    a.s_addr = networkOrder;
    char buffer[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buffer, sizeof buffer);
    return buffer;
}

bool IsDottedAddress(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ') ++i;
    if (i < n && text[i] == '.') return false;
    int dots = 0;
    std::uint32_t value = 0;
    for (; i < n; ++i) {
        char c = text[i];
        if (c == '.') {
            if (++dots > 3 || value > 255 || i + 1 == n || !IsDigit(text[i + 1])) return false;
            value = 0;
        } else if (IsDigit(c)) {
            // Saturate: anything above 255 fails alike.
            value = value > 255 ? 256 : value * 10u + static_cast<std::uint32_t>(c - '0');
        } else {
            while (i < n && text[i] == ' ') ++i;
            if (i < n) return false;
            break;
        }
    }
    return dots == 3 && value <= 255;
}

std::uint32_t WSocketResolveHost(const std::string& host) {
    if (host.empty() || host.size() > 256) throw Exception("WSocketResolveHost: '" + host + "' Invalid Hostname.");
    std::string trimmed = TrimBlanks(host);
    if (IsDottedAddress(host)) {
        in_addr_t a = ::inet_addr(trimmed.c_str());
        if (a == INADDR_NONE && trimmed != "255.255.255.255")
            throw Exception("WSocketResolveHost: '" + host + "' Invalid IP address.");
        return a;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    errno = 0;
    int r = trimmed.empty() ? EAI_NONAME : ::getaddrinfo(trimmed.c_str(), nullptr, &hints, &list);
    if (r != 0 || list == nullptr) {
        int code = r != 0 ? WinsockErrorFromGai(r, errno) : WSANO_DATA;
        throw Exception(Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d", host, code));
    }
    std::uint32_t a = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(list);
    return a;
}

int WSocketResolvePort(const std::string& port, const std::string& proto) {
    if (port.empty() || port.size() >= 32) throw Exception("WSocketResolvePort: Invalid Port.");
    if (proto.empty() || proto.size() >= 32) throw Exception("WSocketResolvePort: Invalid Proto.");
    if (IsDigit(port[0])) return static_cast<int>(DecimalValue(port));
    std::string p = TrimBlanks(port);
    std::string pr = TrimBlanks(proto);
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    ::getservbyname_r(p.c_str(), pr.empty() ? nullptr : pr.c_str(), &entry, buffer, sizeof buffer, &found);
    if (found == nullptr)
        throw Exception(Format("WSocketResolvePort: Cannot convert port '%s', Error #%d", port, DatabaseMiss));
    return ntohs(static_cast<std::uint16_t>(found->s_port));
}

int WSocketResolveProto(const std::string& proto) {
    if (proto.empty() || proto.size() >= 32) throw Exception("WSocketResolveProto: Invalid Protocol.");
    std::string p = TrimBlanks(proto);
    if (!p.empty() && IsDigit(p[0])) return static_cast<int>(DecimalValue(p));
    protoent entry{};
    protoent* found = nullptr;
    char buffer[1024];
    ::getprotobyname_r(p.c_str(), &entry, buffer, sizeof buffer, &found);
    if (found == nullptr)
        throw Exception(Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", p, DatabaseMiss));
    return found->p_proto;
}

std::string LocalMachineName() {
    // Room for any Linux host name (64 bytes and the terminator).
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) throw Exception("Winsock.GetHostName failed");
    return buffer;
}

}  // namespace pw
