// Error notification: the network message's exact bytes at a UDP listener on
// 127.0.0.1, the OEM conversion, the "Error" box and the order of the two ways.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include <gtest/gtest.h>

#include "app/MemoryView.h"
#include "app/Notify.h"
#include "support/LoopbackSocket.h"

namespace pw {
namespace {

// A UDP socket on 127.0.0.1 and a free port, standing for the target's mailslot.
class Listener {
public:
    Listener() {
        fd_ = test::BindLoopback(SOCK_DGRAM, port_);
    }
    ~Listener() { ::close(fd_); }
    std::uint16_t Port() const { return port_; }

    // The next datagram, or nothing within `ms` milliseconds.
    std::optional<std::string> Receive(int ms = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return std::nullopt;
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Resolves every name to 127.0.0.1, like a network where the target exists.
bool Loopback(const std::string&, std::uint16_t port, sockaddr_storage& address, socklen_t& length) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::memcpy(&address, &addr, sizeof addr);
    length = sizeof addr;
    return true;
}

std::string Z(const std::string& text) { return text + std::string(1, '\0'); }

TEST(NetMessage, ExactBytesReachTheTarget) {
    Listener target;
    MemoryView view;
    ROptions options;
    TNotifier notifier(view, options, target.Port());
    notifier.SetComputerName("SENDER-PC");
    // The real lookup: a numeric name resolves without any network.
    notifier.SendNetMessage("127.0.0.1", "Error!!! See the logfile for more info...", "Parcelwing error!!!");

    const auto datagram = target.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(*datagram, Z("SENDER-PC") + Z("127.0.0.1") +
                             Z("Subj:Parcelwing error!!!\r\n\r\nError!!! See the logfile for more info..."));
    EXPECT_TRUE(view.Boxes().empty());
}

TEST(NetMessage, NamesGoToTheOemCodePageTextKeepsItsBytes) {
    Listener target;
    MemoryView view;
    ROptions options;
    TNotifier notifier(view, options, target.Port());
    notifier.SetResolver(Loopback);
    notifier.SetComputerName("B\xDC" "RO");                 // BÜRO in Windows-1252
    notifier.SendNetMessage("CAF\xC9", "na\xEFve \x80", "\xE9t\xE9");  // CAFÉ; text and subject stay ANSI

    const auto datagram = target.Receive();
    ASSERT_TRUE(datagram);
    // CP437: Ü = 0x9A, É = 0x90.
    EXPECT_EQ(*datagram, Z("B\x9ARO") + Z("CAF\x90") + Z("Subj:\xE9t\xE9\r\n\r\nna\xEFve \x80"));
}

TEST(NetMessage, OemTable) {
    EXPECT_EQ(AnsiToOem("plain ASCII 123"), "plain ASCII 123");
    EXPECT_EQ(AnsiToOem("\xE9\xFC\xC7\xA3"), "\x82\x81\x80\x9C");  // é ü Ç £
    EXPECT_EQ(AnsiToOem("\x81\x8D"), "??");                        // holes in Windows-1252
    EXPECT_EQ(AnsiToOem(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(NetMessage, DatagramIsCutToItsBuffer) {
    const std::string datagram = BuildNetMessage("PC", "T", std::string(20000, 'x'), "S");
    EXPECT_EQ(datagram.size(), NetMessageBuffer);
    EXPECT_EQ(datagram.back(), '\0');
    EXPECT_EQ(datagram.substr(0, 10), Z("PC") + Z("T") + "Subj:");
    EXPECT_TRUE(BuildNetMessage("PC", std::string(NetMessageBuffer, 't'), "x", "s").empty());
}

TEST(NetMessage, UnresolvableTargetGivesTheErrorBox) {
    MemoryView view;
    ROptions options;
    TNotifier notifier(view, options, 9);
    notifier.SetResolver([](const std::string&, std::uint16_t, sockaddr_storage&, socklen_t&) { return false; });
    notifier.SendNetMessage("NO-SUCH-PC", "t", "s");
    ASSERT_EQ(view.Boxes().size(), 1u);
    const RMessageBox& box = view.Boxes()[0];
    EXPECT_EQ(box.Text, "Error");
    EXPECT_EQ(box.Caption, "Parcelwing");
    EXPECT_EQ(box.Icon, TBoxIcon::None);
    EXPECT_EQ(box.Buttons, TBoxButtons::Ok);
    EXPECT_FALSE(box.Owned);
}

TEST(NetMessage, EmptyTargetSendsAndShowsNothing) {
    Listener target;
    MemoryView view;
    ROptions options;
    TNotifier notifier(view, options, target.Port());
    notifier.SetResolver(Loopback);
    notifier.SendNetMessage("", "t", "s");
    EXPECT_FALSE(target.Receive(100));
    EXPECT_TRUE(view.Boxes().empty());
}

struct NotifyCase {
    bool send;
    bool show;
    std::string to;
    bool datagram;
    std::vector<std::string> boxes;  // texts, in order
};

TEST(NotifyError, OptionsChooseTheWays) {
    const NotifyCase cases[] = {
        {false, false, "PC", false, {}},
        {true, false, "PC", true, {}},
        {false, true, "PC", false, {"Error!!! See the logfile for more info..."}},
        {true, true, "PC", true, {"Error!!! See the logfile for more info..."}},
        {true, false, "", false, {}},  // no target: no message and no "Error" box
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.send) + std::to_string(c.show) + c.to);
        Listener target;
        MemoryView view;
        ROptions options;
        options.SendMessagesOnError = c.send;
        options.ShowMessagesOnError = c.show;
        options.SendMessagesTo = c.to;
        TNotifier notifier(view, options, target.Port());
        notifier.SetResolver(Loopback);
        notifier.SetComputerName("ME");
        // The network message goes first: it is already there when the box shows.
        bool datagramBeforeBox = false;
        view.OnMessageBox = [&](const RMessageBox&) { datagramBeforeBox = target.Receive(0).has_value(); };
        notifier.NotifyError();

        std::vector<std::string> texts;
        for (const auto& box : view.Boxes()) texts.push_back(box.Text);
        EXPECT_EQ(texts, c.boxes);
        if (c.show) {
            EXPECT_EQ(view.Boxes()[0].Caption, "Parcelwing error!!!");
            EXPECT_EQ(view.Boxes()[0].Icon, TBoxIcon::Error);
            EXPECT_TRUE(view.Boxes()[0].Owned);
            EXPECT_EQ(datagramBeforeBox, c.datagram);
        } else {
            const auto datagram = target.Receive(c.datagram ? 2000 : 100);
            EXPECT_EQ(datagram.has_value(), c.datagram);
            if (datagram) {
                EXPECT_EQ(*datagram, Z("ME") + Z("PC") +
                                         Z("Subj:Parcelwing error!!!\r\n\r\nError!!! See the logfile for more info..."));
            }
        }
    }
}

}  // namespace
}  // namespace pw

namespace pw {
namespace {

// The box of a failed request names its reason; with no log kept (SaveLog off
// or no LogFileName) it gives the reason instead of pointing at a log.
TEST(NotifyError, TheBoxCarriesTheReason) {
    struct Row {
        bool saveLog;
        const char* logFile;
        std::string text;
    };
    const Row rows[] = {
        {true, "/var/log/pw.log", "Error!!! See the logfile for more info...\r\n550 refused"},
        {false, "/var/log/pw.log", "Error!!! 550 refused"},
        {true, "", "Error!!! 550 refused"},
    };
    for (const Row& r : rows) {
        MemoryView view;
        ROptions options;
        options.SaveLog = r.saveLog;
        options.LogFileName = r.logFile;
        TNotifier notifier(view, options);
        notifier.NotifyError("550 refused");
        ASSERT_EQ(view.Boxes().size(), 1u);
        EXPECT_EQ(view.Boxes()[0].Text, r.text);
        EXPECT_EQ(view.Boxes()[0].Caption, NotifyCaption);
    }
}

}  // namespace
}  // namespace pw
