#include "smtp/HeloName.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace pw {

namespace {

bool IsLabelChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool IsDomainWithDot(std::string_view name)
{
    if (name.empty() || name.size() > 253 || name.find('.') == std::string_view::npos)
        return false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = name.find('.', start);
        const std::string_view label = name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!IsLabelChar(c))
                return false;
        if (dot == std::string_view::npos)
            return true;
        start = dot + 1;
    }
}

// The resolver's canonical name for this host, else the host name itself, if
// either has a dot.
std::string ResolveMachineName()
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    std::string name;
    if (::getaddrinfo(host, nullptr, &hints, &result) == 0 && result != nullptr) {
        if (result->ai_canonname != nullptr)
            name = result->ai_canonname;
        ::freeaddrinfo(result);
    }
    if (IsDomainWithDot(name))
        return name;
    if (IsDomainWithDot(host))
        return host;
    return {};
}

struct TLookupState {
    std::mutex Mutex;
    bool Started = false;
    bool Done = false;
    std::string Name;
    std::function<std::string()> Source;
    unsigned Generation = 0;
};

// Shared with the lookup thread, which may outlive everything else.
std::shared_ptr<TLookupState>& State()
{
    static auto* state = new std::shared_ptr<TLookupState>(std::make_shared<TLookupState>());
    return *state;
}

}  // namespace

bool IsUsableHeloName(std::string_view name)
{
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        std::string inner(name.substr(1, name.size() - 2));
        unsigned char buffer[sizeof(in6_addr)];
        if (inner.compare(0, 5, "IPv6:") == 0)
            return ::inet_pton(AF_INET6, inner.c_str() + 5, buffer) == 1;
        return ::inet_pton(AF_INET, inner.c_str(), buffer) == 1;
    }
    return IsDomainWithDot(name);
}

std::string AddressLiteral(const sockaddr* address, socklen_t length)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address == nullptr)
        return {};
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        return "[" + std::string(text) + "]";
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            ::inet_ntop(AF_INET, in6->sin6_addr.s6_addr + 12, text, sizeof text);
            return "[" + std::string(text) + "]";
        }
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        return "[IPv6:" + std::string(text) + "]";
    }
    return {};
}

std::string HeloArgument(std::string_view signOn, std::string_view machineName, std::string_view localLiteral)
{
    if (IsUsableHeloName(signOn))
        return std::string(signOn);
    if (IsDomainWithDot(machineName))
        return std::string(machineName);
    return std::string(localLiteral);
}

void StartMachineNameLookup()
{
    std::shared_ptr<TLookupState> state = State();
    std::function<std::string()> source;
    unsigned generation = 0;
    {
        std::lock_guard<std::mutex> lock(state->Mutex);
        if (state->Started)
            return;
        state->Started = true;
        source = state->Source;
        generation = state->Generation;
    }
    std::thread([state, source, generation] {
        std::string name = source ? source() : ResolveMachineName();
        std::lock_guard<std::mutex> lock(state->Mutex);
        if (generation != state->Generation)
            return;  // the source was replaced meanwhile
        state->Name = std::move(name);
        state->Done = true;
    }).detach();
}

bool MachineNameReady(std::string& name)
{
    std::shared_ptr<TLookupState> state = State();
    std::lock_guard<std::mutex> lock(state->Mutex);
    if (!state->Done)
        return false;
    name = state->Name;
    return true;
}

void SetMachineNameSource(std::function<std::string()> source)
{
    std::shared_ptr<TLookupState> state = State();
    std::lock_guard<std::mutex> lock(state->Mutex);
    state->Source = std::move(source);
    ++state->Generation;
    state->Started = false;
    state->Done = false;
    state->Name.clear();
}

}  // namespace pw
