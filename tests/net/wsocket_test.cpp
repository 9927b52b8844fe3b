#include "net/WSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/LoopbackSocket.h"

namespace pw {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool PumpUntil(MessageLoop& loop, const std::function<bool()>& pred, int ms = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end) return false;
        loop.PumpMessages(5);
    }
    return true;
}

std::string ThrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

// A scripted peer on 127.0.0.1: accepts one connection in a thread and runs
// the script on it. Everything it reads through Read() is kept.
class Peer {
public:
    explicit Peer(std::function<void(Peer&, int)> script) : script_(std::move(script)) {
        listen_ = test::ListenOnLoopback(port_, 4);
        thread_ = std::thread([this] {
            pollfd p{listen_, POLLIN, 0};
            auto end = Clock::now() + 5s;
            while (!stop_ && Clock::now() < end && ::poll(&p, 1, 20) == 0) {
            }
            if ((p.revents & POLLIN) == 0) return;
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            timeval tv{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            script_(*this, fd);
            ::close(fd);
            done_ = true;
        });
    }
    ~Peer() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    std::string Port() const { return std::to_string(port_); }
    // Reads until n bytes arrived, the end of stream, or the time-out.
    std::string Read(int fd, std::size_t n) {
        std::string got;
        char buf[65536];
        while (got.size() < n && !stop_) {
            long r = ::recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
            if (r <= 0) break;
            got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }
    std::string ReadToEnd(int fd) { return Read(fd, SIZE_MAX); }
    void Write(int fd, const std::string& s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
    std::atomic<bool> done_{false};
    std::atomic<bool> stop_{false};

private:
    std::function<void(Peer&, int)> script_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// Records the events of one socket.
struct Events {
    std::vector<std::pair<int, int>> states;
    std::vector<int> connectDone, closed, allSent, lookupDone;
    std::vector<int> bytesSent;
    void Attach(TWSocket& s) {
        s.OnChangeState = [this](TWSocket&, std::uint8_t o, std::uint8_t n) { states.emplace_back(o, n); };
        s.OnConnectDone = [this](TWSocket&, std::uint16_t e) { connectDone.push_back(e); };
        s.OnClosed = [this](TWSocket&, std::uint16_t e) { closed.push_back(e); };
        s.OnAllSent = [this](TWSocket&, std::uint16_t e) { allSent.push_back(e); };
        s.OnLookupDone = [this](TWSocket&, std::uint16_t e) { lookupDone.push_back(e); };
        s.OnBytesSent = [this](TWSocket&, int n) { bytesSent.push_back(n); };
    }
};

// Connects s to the peer and waits for the first OnAllSent.
bool ConnectTo(MessageLoop& loop, TWSocket& s, Events& ev, const Peer& peer) {
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
    PumpUntil(loop, [&] { return !ev.allSent.empty() || (!ev.connectDone.empty() && ev.connectDone[0] != 0); });
    return !ev.allSent.empty() && s.State() == WSocketState::Connected;
}

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + (i * 7 + i / 251) % 26);
    return s;
}

TEST(TWSocket, RefusedConnection) {
    std::string port;
    {
        Peer gone([](Peer&, int) {});
        port = gone.Port();
        // Nobody connects; the listener closes with the peer.
        gone.stop_ = true;
    }
    MessageLoop loop;
    Events ev;  // outlives the socket, whose destructor reports a last state change
    TWSocket s(loop);
    ev.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(port);
    s.Connect();
    EXPECT_EQ(s.State(), WSocketState::Connecting);
    ASSERT_TRUE(PumpUntil(loop, [&] { return !ev.connectDone.empty(); }));
    loop.PumpMessages(50);
    EXPECT_EQ(ev.connectDone, std::vector<int>({10061}));
    EXPECT_EQ(ev.states, (std::vector<std::pair<int, int>>{{7, 1}, {1, 3}, {3, 4}, {4, 7}}));
    EXPECT_TRUE(ev.closed.empty());
    EXPECT_EQ(s.State(), WSocketState::Closed);
    EXPECT_EQ(s.SocketHandle(), -1);
}

TEST(TWSocket, DataSplitAcrossReadsAndSeveralLinesInOneRead) {
    for (int bufferSize : {5, 4096}) {
        SCOPED_TRACE(bufferSize);
        std::atomic<bool> quitSeen{false};
        Peer peer([&](Peer& p, int fd) {
            p.Write(fd, "220-first li");
            std::this_thread::sleep_for(30ms);
            p.Write(fd, "ne\r\n220 second\r\n");
            std::this_thread::sleep_for(30ms);
            p.Write(fd, "a\r\nb\r\nc\r\n");
            quitSeen = p.Read(fd, 6) == "QUIT\r\n";
        });
        MessageLoop loop;
        Events ev;
        TWSocket s(loop);
        ev.Attach(s);
        std::string text;
        std::vector<std::string> reads;
        s.OnDataReady = [&](TWSocket& sock, std::uint16_t error) {
            EXPECT_EQ(error, 0);
            EXPECT_FALSE(ev.connectDone.empty());  // connected before any data
            std::vector<char> buf(static_cast<std::size_t>(bufferSize));
            int n = sock.Receive(buf.data(), bufferSize);
            if (n > 0) {
                reads.emplace_back(buf.data(), static_cast<std::size_t>(n));
                text += reads.back();
            }
        };
        ASSERT_TRUE(ConnectTo(loop, s, ev, peer));
        const std::string expected = "220-first line\r\n220 second\r\na\r\nb\r\nc\r\n";
        ASSERT_TRUE(PumpUntil(loop, [&] { return text.size() >= expected.size(); }));
        EXPECT_EQ(text, expected);
        EXPECT_EQ(s.BytesReceived(), static_cast<int>(expected.size()));
        for (const auto& r : reads) EXPECT_LE(r.size(), static_cast<std::size_t>(bufferSize));
        if (bufferSize == 4096) {
            EXPECT_EQ(reads.front(), "220-first li");
            EXPECT_EQ(reads.back(), "a\r\nb\r\nc\r\n");
        }
        EXPECT_EQ(s.SendText("QUIT\r\n"), 6);
        ASSERT_TRUE(PumpUntil(loop, [&] { return peer.done_.load(); }));
        EXPECT_TRUE(quitSeen);
    }
}

TEST(TWSocket, PeerClosingAfterSendingDeliversAllDataThenOneOnClosed) {
    const std::string payload = Pattern(200000);
    for (unsigned options : {0u, static_cast<unsigned>(WSocketOption::SingleReadPerEvent)}) {
        SCOPED_TRACE(options);
        Peer peer([&](Peer& p, int fd) { p.Write(fd, payload); });
        MessageLoop loop;
        Events ev;
        TWSocket s(loop);
        s.SetOptions(options);
        ev.Attach(s);
        std::string text;
        std::size_t atClose = 0;
        s.OnDataReady = [&](TWSocket& sock, std::uint16_t) {
            char buf[1000];
            int n = sock.Receive(buf, sizeof buf);
            if (n > 0) text.append(buf, static_cast<std::size_t>(n));
        };
        s.OnClosed = [&](TWSocket& sock, std::uint16_t e) {
            ev.closed.push_back(e);
            atClose = text.size();
            EXPECT_EQ(sock.State(), WSocketState::Connected);  // closed after the event
        };
        s.SetAddr("127.0.0.1");
        s.SetPort(peer.Port());
        s.Connect();
        ASSERT_TRUE(PumpUntil(loop, [&] { return !ev.closed.empty(); }));
        loop.PumpMessages(50);
        EXPECT_EQ(ev.connectDone, std::vector<int>({0}));
        EXPECT_EQ(ev.closed, std::vector<int>({0}));
        EXPECT_EQ(atClose, payload.size());
        EXPECT_TRUE(text == payload);
        EXPECT_EQ(s.State(), WSocketState::Closed);
        std::size_t changes = ev.states.size();
        s.Close();  // nothing left to do
        EXPECT_EQ(ev.states.size(), changes);
    }
}

TEST(TWSocket, SendGoesOutInChunksAndOnAllSentComesFromTheLoop) {
    const std::string payload = Pattern(5000);
    std::string received;
    std::atomic<bool> got5000{false};
    Peer peer([&](Peer& p, int fd) {
        received = p.Read(fd, 5000);
        got5000 = true;
        p.ReadToEnd(fd);
    });
    MessageLoop loop;
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(loop, s, ev, peer));
    EXPECT_EQ(ev.allSent, std::vector<int>({0}));  // the first write readiness
    ev.allSent.clear();
    EXPECT_EQ(s.Send(payload.data(), static_cast<int>(payload.size())), 5000);
    EXPECT_TRUE(ev.allSent.empty());  // never inside Send
    EXPECT_TRUE(s.AllSent());
    ASSERT_TRUE(PumpUntil(loop, [&] { return !ev.allSent.empty(); }));
    loop.PumpMessages(30);
    EXPECT_EQ(ev.allSent, std::vector<int>({0}));
    EXPECT_EQ(ev.bytesSent, std::vector<int>({1460, 1460, 1460, 620}));
    ASSERT_TRUE(PumpUntil(loop, [&] { return got5000.load(); }));
    EXPECT_TRUE(received == payload);

    // Send of nothing on a queue that is drained: OnAllSent once more.
    ev.allSent.clear();
    EXPECT_EQ(s.Send(payload.data(), 0), 0);
    loop.PumpMessages(30);
    EXPECT_EQ(ev.allSent.size(), 1u);
}

TEST(TWSocket, SendOfNothingOnAFreshConnectionBringsNoOnAllSent) {
    Peer peer([](Peer& p, int fd) { p.ReadToEnd(fd); });
    MessageLoop loop;
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(loop, s, ev, peer));
    ev.allSent.clear();
    EXPECT_EQ(s.Send(nullptr, 0), 0);
    EXPECT_EQ(s.SendText(""), 0);
    loop.PumpMessages(50);
    EXPECT_TRUE(ev.allSent.empty());
    EXPECT_FALSE(s.AllSent());
    s.Close();
}

TEST(TWSocket, AWriteNoticeOfAClosedConnectionNeverReachesTheNextOne) {
    Peer first([](Peer& p, int fd) { p.ReadToEnd(fd); });
    Peer second([](Peer& p, int fd) { p.ReadToEnd(fd); });
    MessageLoop loop;
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);
    std::vector<int> statesAtAllSent;
    s.OnAllSent = [&](TWSocket& sock, std::uint16_t) { statesAtAllSent.push_back(sock.State()); };
    s.SetAddr("127.0.0.1");
    s.SetPort(first.Port());
    s.Connect();
    ASSERT_TRUE(PumpUntil(loop, [&] { return !statesAtAllSent.empty(); }));
    int oldHandle = s.SocketHandle();
    s.SendText("x");  // its all-sent notice is now queued
    s.Close();
    s.SetAddr("127.0.0.1");
    s.SetPort(second.Port());
    s.Connect();  // the descriptor number comes back
    EXPECT_EQ(s.SocketHandle(), oldHandle);
    statesAtAllSent.clear();
    ASSERT_TRUE(PumpUntil(loop, [&] { return !statesAtAllSent.empty(); }));
    loop.PumpMessages(30);
    EXPECT_EQ(statesAtAllSent, std::vector<int>({WSocketState::Connected}));
    s.Close();
}

TEST(TWSocket, LinePumpFromOnAllSent) {
    const int lines = 3000;
    std::string expected;
    for (int i = 0; i < lines; ++i) expected += "line " + std::to_string(i) + "\r\n";
    std::string received;
    Peer peer([&](Peer& p, int fd) { received = p.Read(fd, expected.size()); });
    MessageLoop loop;
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(loop, s, ev, peer));
    int next = 0;
    int depth = 0;
    s.OnAllSent = [&](TWSocket& sock, std::uint16_t) {
        EXPECT_EQ(++depth, 1);  // no recursion through Send
        if (next < lines) sock.SendText("line " + std::to_string(next++) + "\r\n");
        --depth;
    };
    s.SendText("line " + std::to_string(next++) + "\r\n");
    ASSERT_TRUE(PumpUntil(loop, [&] { return peer.done_.load(); }));
    EXPECT_EQ(received, expected);
}

TEST(TWSocket, BulkSentFromAHandlerArrivesWholeAndInOrder) {
    const std::string payload = Pattern(3u << 20);
    std::string received;
    Peer peer([&](Peer& p, int fd) {
        received = p.Read(fd, payload.size());
        p.ReadToEnd(fd);
    });
    MessageLoop loop;
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(loop, s, ev, peer));
    std::size_t offset = 0;
    s.OnAllSent = [&](TWSocket& sock, std::uint16_t) {
        if (offset >= payload.size()) return;
        int n = static_cast<int>(std::min<std::size_t>(100000, payload.size() - offset));
        sock.Send(payload.data() + offset, n);
        offset += static_cast<std::size_t>(n);
    };
    s.SendText("");  // nothing queued yet: no notice
    s.Send(payload.data(), 1);
    offset = 1;
    ASSERT_TRUE(PumpUntil(loop, [&] { return received.size() == payload.size(); }, 10000));
    EXPECT_TRUE(received == payload);
    s.Close();
}

// A front end with its own event loop watches the descriptor and calls
// DispatchPending; the whole dialogue must run that way too.
TEST(TWSocket, DrivenFromAnOuterEventLoop) {
    const int lines = 2000;
    std::string expected;
    for (int i = 0; i < lines; ++i) expected += "l" + std::to_string(i) + "\r\n";
    std::string received;
    Peer peer([&](Peer& p, int fd) {
        p.Write(fd, "220 hello\r\n");
        received = p.Read(fd, expected.size());
        p.Write(fd, "250 ok\r\n");
    });
    MessageLoop loop;
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);
    std::string text;
    int next = 0;
    s.OnDataReady = [&](TWSocket& sock, std::uint16_t) {
        char buf[256];
        int n = sock.Receive(buf, sizeof buf);
        if (n > 0) text.append(buf, static_cast<std::size_t>(n));
        if (text == "220 hello\r\n" && next == 0) sock.SendText("l" + std::to_string(next++) + "\r\n");
    };
    s.OnAllSent = [&](TWSocket& sock, std::uint16_t) {
        if (next > 0 && next < lines) sock.SendText("l" + std::to_string(next++) + "\r\n");
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
    auto end = Clock::now() + 10s;
    while (ev.closed.empty() && Clock::now() < end) {
        pollfd p{loop.Descriptor(), POLLIN, 0};
        if (::poll(&p, 1, 100) == 1) loop.DispatchPending(5);
    }
    EXPECT_EQ(ev.closed, std::vector<int>({0}));
    EXPECT_EQ(received, expected);
    EXPECT_EQ(text, "220 hello\r\n250 ok\r\n");
}

TEST(TWSocket, PeerResettingWhileDataIsQueued) {
    std::atomic<bool> go{false};
    Peer peer([&](Peer&, int fd) {
        auto end = Clock::now() + 5s;
        while (!go && Clock::now() < end) std::this_thread::sleep_for(1ms);
        linger lg{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    });
    MessageLoop loop;
    int escaped = 0;
    loop.SetExceptionHandler([&](std::exception_ptr) { ++escaped; });
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);
    ASSERT_TRUE(ConnectTo(loop, s, ev, peer));
    const std::string block = Pattern(1 << 20);
    for (int i = 0; i < 8; ++i) s.Send(block.data(), static_cast<int>(block.size()));
    EXPECT_FALSE(s.AllSent());  // the peer reads nothing: data stays queued
    EXPECT_GT(s.SendQueue().ChunkCount(), 1u);
    go = true;
    ASSERT_TRUE(PumpUntil(loop, [&] { return !ev.closed.empty(); }));
    loop.PumpMessages(50);
    ASSERT_EQ(ev.closed.size(), 1u);
    EXPECT_TRUE(ev.closed[0] == 10054 || ev.closed[0] == 10053) << ev.closed[0];
    EXPECT_EQ(s.State(), WSocketState::Closed);
    EXPECT_EQ(escaped, 0);
    EXPECT_EQ(ThrownText([&] { s.SendText("more"); }), "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(ev.closed.size(), 1u);  // already closed: no second OnClosed
}

TEST(TWSocket, DnsLookup) {
    MessageLoop loop;
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);

    s.DnsLookup("10.0.0.1");  // dotted: inside the call
    EXPECT_EQ(ev.lookupDone, std::vector<int>({0}));
    EXPECT_EQ(s.LookupResult(), "10.0.0.1");
    EXPECT_EQ(s.LookupAddresses(), std::vector<std::string>({"10.0.0.1"}));

    ev.lookupDone.clear();
    s.DnsLookup("localhost");  // a name: later, from the loop
    EXPECT_TRUE(ev.lookupDone.empty());
    EXPECT_EQ(s.LookupResult(), "");
    ASSERT_TRUE(PumpUntil(loop, [&] { return !ev.lookupDone.empty(); }));
    EXPECT_EQ(ev.lookupDone, std::vector<int>({0}));
    EXPECT_EQ(s.LookupResult(), "127.0.0.1");
    ASSERT_FALSE(s.LookupAddresses().empty());
    EXPECT_EQ(s.LookupAddresses()[0], "127.0.0.1");

    // A second lookup cancels the first silently.
    ev.lookupDone.clear();
    s.DnsLookup("nonexistent.invalid");
    s.DnsLookup("localhost");
    ASSERT_TRUE(PumpUntil(loop, [&] { return !ev.lookupDone.empty(); }));
    loop.PumpMessages(100);
    EXPECT_EQ(ev.lookupDone, std::vector<int>({0}));

    // A name that does not exist fails fast, with no network needed.
    ev.lookupDone.clear();
    auto t0 = Clock::now();
    s.DnsLookup("nonexistent.invalid");
    ASSERT_TRUE(PumpUntil(loop, [&] { return !ev.lookupDone.empty(); }));
    EXPECT_LT(Clock::now() - t0, 5s);
    EXPECT_EQ(ev.lookupDone, std::vector<int>({11001}));
    EXPECT_EQ(s.LookupResult(), "");
    EXPECT_TRUE(s.LookupAddresses().empty());

    // "255.255.255.255" is dotted but takes the asynchronous way.
    ev.lookupDone.clear();
    s.DnsLookup("255.255.255.255");
    EXPECT_TRUE(ev.lookupDone.empty());
    ASSERT_TRUE(PumpUntil(loop, [&] { return !ev.lookupDone.empty(); }));

    // CancelLookup: no event follows.
    ev.lookupDone.clear();
    s.DnsLookup("localhost");
    s.CancelLookup();
    loop.PumpMessages(100);
    EXPECT_TRUE(ev.lookupDone.empty());

    EXPECT_EQ(ThrownText([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
    EXPECT_TRUE(ev.lookupDone.empty());

    // With OnSocketError assigned the failure is an event instead.
    int socketErrors = 0;
    s.OnSocketError = [&](TWSocket&) { ++socketErrors; };
    s.DnsLookup("");
    EXPECT_EQ(socketErrors, 1);
    EXPECT_EQ(ev.lookupDone, std::vector<int>({10022}));
}

TEST(TWSocket, ConnectChecksAndResolutionTexts) {
    MessageLoop loop;
    struct Case {
        const char* addr;
        const char* port;
        const char* proto;
        const char* text;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, "Connect: No Port Specified"},
        {nullptr, "25", nullptr, "Connect: No IP Address Specified"},
        {"   ", "25", nullptr, "Connect: No IP Address Specified"},
        {"127.0.0.1", "25", "", "Connect: No Protocol Specified"},
        {"127.0.0.1", "nosuchservice", nullptr,
         "connect: WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004"},
        {"1.2.3.256", "25", nullptr,
         "connect: WSocketResolveHost: Cannot convert host address '1.2.3.256', Error #11001"},
        {"127.0.0.1", "25", "nosuchproto",
         "connect: WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004"},
        {"127.0.0.1", "25", "udp", "Error 10044 in function Connect (socket)\r\nSocket type not supported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TWSocket s(loop);
        if (c.addr) s.SetAddr(c.addr);
        if (c.port) s.SetPort(c.port);
        if (c.proto) s.SetProto(c.proto);
        EXPECT_EQ(ThrownText([&] { s.Connect(); }), c.text);
        EXPECT_EQ(s.State(), WSocketState::Closed);
    }
}

TEST(TWSocket, SettersAreRefusedUnlessClosed) {
    Peer peer([](Peer& p, int fd) { p.ReadToEnd(fd); });
    MessageLoop loop;
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    s.SetLocalAddr("127.0.0.1");
    s.SetAddr(" 127.0.0.1 ");
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
    EXPECT_EQ(s.State(), WSocketState::Connecting);
    EXPECT_EQ(ThrownText([&] { s.Connect(); }), "Connect: Socket already in use");
    EXPECT_NO_THROW(s.SetAddr("127.0.0.1"));  // the same text: accepted
    EXPECT_NO_THROW(s.SetPort(peer.Port()));
    EXPECT_NO_THROW(s.SetProto("tcp"));
    EXPECT_EQ(ThrownText([&] { s.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(ThrownText([&] { s.SetPort("26"); }), "Cannot change Port if not closed");
    EXPECT_EQ(ThrownText([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(ThrownText([&] { s.SetLocalAddr("0.0.0.0"); }), "Cannot change LocalAddr if not closed");
    ASSERT_TRUE(PumpUntil(loop, [&] { return !ev.allSent.empty(); }));
    EXPECT_EQ(s.State(), WSocketState::Connected);
    EXPECT_NE(s.BindPort(), "0");  // bound locally: the port actually taken
    // Close: to Closed once, no OnClosed; Addr and Port must be set again.
    ev.states.clear();
    s.Close();
    EXPECT_EQ(ev.states, (std::vector<std::pair<int, int>>{{4, 7}}));
    EXPECT_TRUE(ev.closed.empty());
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(ThrownText([&] { s.Connect(); }), "Connect: No Port Specified");
    EXPECT_EQ(ThrownText([&] { s.SendText("x"); }), "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_TRUE(ev.closed.empty());
}

TEST(TWSocket, StateChangedUnderConnectIsRefused) {
    MessageLoop loop;
    TWSocket s(loop);
    s.OnChangeState = [](TWSocket& sock, std::uint8_t, std::uint8_t now) {
        if (now == WSocketState::Opened) sock.Close();
    };
    s.SetAddr("127.0.0.1");
    s.SetPort("1");
    EXPECT_EQ(ThrownText([&] { s.Connect(); }),
              "Error 10022 in function Connect (Invalid operation in OnChangeState)\r\nInvalid argument");
    EXPECT_EQ(s.State(), WSocketState::Closed);
    EXPECT_EQ(s.SocketHandle(), -1);
}

TEST(TWSocket, ExceptionsFromEventHandlers) {
    Peer peer([](Peer& p, int fd) {
        p.Write(fd, "hello\r\n");
        p.ReadToEnd(fd);
    });
    MessageLoop loop;
    std::vector<std::string> escaped;
    loop.SetExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            escaped.push_back(x.what());
        }
    });
    Events ev;
    TWSocket s(loop);
    ev.Attach(s);
    std::vector<std::string> handled;
    bool keep = true;
    s.OnHandlerException = [&](TWSocket&, const Exception& e, bool& abort) {
        handled.push_back(e.what());
        EXPECT_TRUE(abort);
        abort = !keep;
    };
    // Another class passes on to the loop, which goes on.
    s.OnConnectDone = [&](TWSocket&, std::uint16_t) { throw std::runtime_error("not ours"); };
    // Inside the receive loop a general exception is swallowed there.
    int reads = 0;
    s.OnDataReady = [&](TWSocket& sock, std::uint16_t) {
        char buf[64];
        sock.Receive(buf, sizeof buf);
        ++reads;
        throw Exception("from OnDataReady");
    };
    ASSERT_TRUE(ConnectTo(loop, s, ev, peer));
    ASSERT_TRUE(PumpUntil(loop, [&] { return reads > 0; }));
    EXPECT_EQ(escaped, std::vector<std::string>({"not ours"}));
    EXPECT_TRUE(handled.empty());
    EXPECT_EQ(s.State(), WSocketState::Connected);

    // From OnAllSent: the guard asks OnHandlerException; abort=false keeps it.
    s.OnAllSent = [](TWSocket&, std::uint16_t) { throw Exception("from OnAllSent"); };
    s.SendText("x");
    ASSERT_TRUE(PumpUntil(loop, [&] { return !handled.empty(); }));
    EXPECT_EQ(s.State(), WSocketState::Connected);
    // Left true: the socket is aborted, without OnClosed.
    keep = false;
    s.SendText("y");
    ASSERT_TRUE(PumpUntil(loop, [&] { return handled.size() == 2; }));
    EXPECT_EQ(handled, std::vector<std::string>({"from OnAllSent", "from OnAllSent"}));
    EXPECT_EQ(s.State(), WSocketState::Closed);
    EXPECT_TRUE(ev.closed.empty());
    EXPECT_EQ(escaped.size(), 1u);
}

TEST(TWSocket, AbortDropsQueuedDataAndDestructionIsQuiet) {
    std::string received;
    std::atomic<bool> go{false};
    Peer peer([&](Peer& p, int fd) {
        auto end = Clock::now() + 5s;
        while (!go && Clock::now() < end) std::this_thread::sleep_for(1ms);
        received = p.ReadToEnd(fd);
    });
    MessageLoop loop;
    int before = TWSocket::LiveCount();
    Events ev;
    auto s = std::make_unique<TWSocket>(loop);
    auto other = std::make_unique<TWSocket>(loop);
    EXPECT_EQ(TWSocket::LiveCount(), before + 2);
    ev.Attach(*s);
    ASSERT_TRUE(ConnectTo(loop, *s, ev, peer));
    const std::string block = Pattern(1 << 20);
    for (int i = 0; i < 8; ++i) s->Send(block.data(), static_cast<int>(block.size()));
    ASSERT_FALSE(s->AllSent());
    s->Abort();
    go = true;
    EXPECT_EQ(s->State(), WSocketState::Closed);
    EXPECT_TRUE(s->SendQueue().Empty());
    EXPECT_TRUE(ev.closed.empty());
    ASSERT_TRUE(PumpUntil(loop, [&] { return peer.done_.load(); }));
    EXPECT_LT(received.size(), 8u * block.size());

    // A socket destroyed with its own messages still queued and a lookup
    // running: nothing reaches the dead object.
    other->DnsLookup("localhost");
    s->SetAddr("127.0.0.1");
    s->SetPort(peer.Port());
    s->Connect();  // still listening: the connection completes in the backlog
    other.reset();
    s.reset();
    EXPECT_EQ(TWSocket::LiveCount(), before);
    loop.PumpMessages(100);
}

}  // namespace
}  // namespace pw
