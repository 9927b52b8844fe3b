#include "app/Notify.h"

#include <iconv.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "app/View.h"

namespace pw {

namespace {

// CP437 for each Windows-1252 byte, built once through iconv.
std::array<unsigned char, 256> MakeOemTable() {
    std::array<unsigned char, 256> table{};
    for (int i = 0; i < 256; ++i) table[static_cast<std::size_t>(i)] = i < 128 ? static_cast<unsigned char>(i) : '?';
    iconv_t cd = ::iconv_open("CP437", "WINDOWS-1252");
    if (cd == reinterpret_cast<iconv_t>(-1)) return table;
    for (int i = 128; i < 256; ++i) {
        char in = static_cast<char>(i);
        char out[8];
        char* inPtr = &in;
        char* outPtr = out;
        std::size_t inLeft = 1, outLeft = sizeof out;
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) &&
            sizeof out - outLeft == 1) {
            table[static_cast<std::size_t>(i)] = static_cast<unsigned char>(out[0]);
        }
    }
    ::iconv_close(cd);
    return table;
}

bool ResolveName(const std::string& name, std::uint16_t port, sockaddr_storage& address, socklen_t& length) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return true;
}

}  // namespace

std::string AnsiToOem(const std::string& text) {
    static const std::array<unsigned char, 256> table = MakeOemTable();
    std::string out = text;
    for (char& c : out) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
    return out;
}

std::string BuildNetMessage(const std::string& computer, const std::string& target, const std::string& text,
                            const std::string& subject) {
    const std::size_t names = computer.size() + target.size() + 2;
    if (names + 1 > NetMessageBuffer) return {};
    std::string third = "Subj:" + subject + "\r\n\r\n" + text;
    // Each field ends with one NUL; the third is cut so that all fits the buffer.
    third = third.substr(0, std::min(third.size(), NetMessageBuffer - names - 1));
    std::string names0 = computer;
    names0 += '\0';
    names0 += target;
    names0 += '\0';
    std::string datagram = AnsiToOem(names0);
    // The conversion also covered the third field's first byte, the "S" of "Subj:",
    // which it leaves as it is.
    datagram += third;
    datagram += '\0';
    return datagram;
}

TNotifier::TNotifier(IView& view, const ROptions& options, std::uint16_t port)
    : view_(view), options_(options), port_(port), resolver_(ResolveName) {}

std::string TNotifier::ComputerName() const {
    if (!computerName_.empty()) return computerName_;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return std::string(name, ::strnlen(name, 255));
}

std::string NotifyBoxText(const std::string& reason, bool logKept) {
    if (reason.empty()) return NotifyText;
    if (logKept) return std::string(NotifyText) + "\r\n" + reason;
    return "Error!!! " + reason;
}

void TNotifier::NotifyError(const std::string& reason) {
    if (options_.SendMessagesOnError) SendNetMessage(options_.SendMessagesTo, NotifyText, NotifyCaption);
    if (options_.ShowMessagesOnError) {
        const bool logKept = options_.SaveLog && !options_.LogFileName.empty();
        view_.ShowMessageBox(
            {NotifyBoxText(reason, logKept), NotifyCaption, TBoxIcon::Error, TBoxButtons::Ok, true});
    }
}

void TNotifier::SendNetMessage(const std::string& target, const std::string& text, const std::string& subject) {
    if (target.empty()) return;
    const std::string datagram = BuildNetMessage(ComputerName(), target, text, subject);

    // Opening the mailslot: the target must resolve and a socket must be had.
    sockaddr_storage address{};
    socklen_t length = 0;
    int sock = -1;
    if (!datagram.empty() && resolver_ && resolver_(target, port_, address, length)) {
        sock = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    if (sock < 0) {
        view_.ShowMessageBox({"Error", ApplicationTitle, TBoxIcon::None, TBoxButtons::Ok, false});
        return;
    }
    // One write; its result is not looked at.
    [[maybe_unused]] const ssize_t sent =
        ::sendto(sock, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), length);
    ::close(sock);
}

}  // namespace pw
