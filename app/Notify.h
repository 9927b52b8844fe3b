#pragma once
// Telling a person that a request of the SMTP dialogue failed: a network message
// to another computer and a message box, each when the options ask for it.
//
// The network message stands in for a write to the mailslot
// "\\<target>\mailslot\messngr": one UDP datagram to the target's port 138
// (where mailslot datagrams travel on a Windows network), made of three
// NUL-terminated fields: this computer's name and the target's name, both in the
// OEM code page (CP437), then "Subj:" + subject + CR LF CR LF + text, left as it is.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>

#include "config/Options.h"

namespace pw {

class IView;

inline constexpr std::uint16_t MailslotPort = 138;
// The datagram is assembled in a buffer of this size.
inline constexpr std::size_t NetMessageBuffer = 10241;
inline constexpr const char* NotifyText = "Error!!! See the logfile for more info...";
inline constexpr const char* NotifyCaption = "Parcelwing error!!!";

// Windows-1252 bytes to CP437, byte for byte; a byte without a CP437 character
// becomes "?".
std::string AnsiToOem(const std::string& text);

// The datagram's bytes: computer name and target converted, each with a NUL,
// then the third field with its NUL; the third field is cut so that the whole
// fits NetMessageBuffer. Empty when the two names alone do not fit.
std::string BuildNetMessage(const std::string& computer, const std::string& target, const std::string& text,
                            const std::string& subject);

// The text of NotifyError's box: NotifyText, then the reason on a line of its
// own when a log is kept (SaveLog and a LogFileName); with no log to point at,
// "Error!!! " + the reason. Without a reason, NotifyText.
std::string NotifyBoxText(const std::string& reason, bool logKept);

class TNotifier {
public:
    // Finds the address of a computer name: true and `address` filled, or false.
    using TResolver = std::function<bool(const std::string& name, std::uint16_t port, sockaddr_storage& address,
                                         socklen_t& length)>;

    // `port` is the mailslot port, 138 unless a test listens elsewhere.
    TNotifier(IView& view, const ROptions& options, std::uint16_t port = MailslotPort);

    // Stand-ins for tests: this computer's name (default: gethostname) and the
    // name lookup (default: getaddrinfo).
    void SetComputerName(std::string name) { computerName_ = std::move(name); }
    void SetResolver(TResolver resolver) { resolver_ = std::move(resolver); }

    // The network message when SendMessagesOnError (to SendMessagesTo), then the
    // box when ShowMessagesOnError; the box tells `reason` (see NotifyBoxText).
    void NotifyError(const std::string& reason = {});

    // Sends one network message. An empty target sends nothing; a target whose
    // name does not resolve (or no socket) gives the box "Error". A failed write
    // is not reported.
    void SendNetMessage(const std::string& target, const std::string& text, const std::string& subject);

private:
    std::string ComputerName() const;

    IView& view_;
    const ROptions& options_;
    std::uint16_t port_;
    std::string computerName_;
    TResolver resolver_;
};

}  // namespace pw
