// TLS under TWSocket against OpenSSL's server side on 127.0.0.1, with
// certificates made when the tests run.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/WSocket.h"
#include "support/TestCertificates.h"
#include "support/TlsTestServer.h"

namespace pw {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::TestCertificates;
using test::TestKeyPair;
using test::TlsConnection;
using test::TlsTestServer;

// One set per test program: making them costs a few openssl runs.
TestCertificates& Certs() {
    static TestCertificates certificates;
    return certificates;
}

// The client's view: one TWSocket on its own loop, every event recorded.
// OnDataReady reads once per call, at most 4096 bytes, as the SMTP engine
// does, so decrypted bytes left behind must come again by themselves.
class TlsClient {
public:
    TlsClient() {
        socket.OnConnectDone = [this](TWSocket& s, std::uint16_t e) {
            connectDone.push_back(e);
            if (e == 0 && tlsOnConnect) s.StartTls(*tlsOnConnect);  // as TLS on connect does
        };
        socket.OnTlsDone = [this](TWSocket&, std::uint16_t e) {
            tlsDone.push_back(e);
            if (onTlsDone) onTlsDone(e);
        };
        socket.OnClosed = [this](TWSocket&, std::uint16_t e) { closed.push_back(e); };
        socket.OnAllSent = [this](TWSocket&, std::uint16_t) {
            ++allSent;
            if (onAllSent) onAllSent();
        };
        socket.OnDataReady = [this](TWSocket& s, std::uint16_t) {
            if (paused) return;
            char buffer[4096];
            int n = s.Receive(buffer, static_cast<int>(std::min<std::size_t>(sizeof buffer, readLimit)));
            if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
            else ++emptyReads;  // fired without anything to read
            if (onData) onData();
        };
    }

    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        auto end = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() > end) return false;
            loop.PumpMessages(2);
        }
        return true;
    }
    void PumpFor(std::chrono::milliseconds span) {
        auto end = Clock::now() + span;
        while (Clock::now() < end) loop.PumpMessages(2);
    }

    bool Connect(std::uint16_t port, const RTlsSettings* startTls = nullptr) {
        tlsOnConnect = startTls;
        socket.SetAddr("127.0.0.1");
        socket.SetPort(std::to_string(port));
        socket.Connect();
        return PumpUntil([&] { return !connectDone.empty(); }) && connectDone[0] == 0;
    }
    // -1 when no OnTlsDone came within the limit.
    int Handshake(const RTlsSettings& settings, std::chrono::milliseconds limit = 10s) {
        socket.StartTls(settings);
        if (!PumpUntil([&] { return !tlsDone.empty(); }, limit)) return -1;
        return tlsDone[0];
    }
    bool ReceiveAtLeast(std::size_t n) {
        return PumpUntil([&] { return received.size() >= n; });
    }

    MessageLoop loop;
    TWSocket socket{loop};
    std::vector<int> connectDone, tlsDone, closed;
    int allSent = 0;
    int emptyReads = 0;
    bool paused = false;  // OnDataReady reads nothing
    const RTlsSettings* tlsOnConnect = nullptr;
    std::size_t readLimit = 4096;
    std::string received;
    std::function<void(std::uint16_t)> onTlsDone;
    std::function<void()> onAllSent;
    std::function<void()> onData;
};

void PrintTo(const struct HandshakeCase& c, std::ostream* os);
void PrintTo(const struct BrokenServerCase& c, std::ostream* os);

RTlsSettings Settings(const std::string& host, bool verify = true, bool trustTestCa = true) {
    RTlsSettings s;
    s.HostName = host;
    s.Verify = verify;
    if (trustTestCa) s.CaFile = Certs().CaFile;
    return s;
}

// ------------------------------------------------------------------ handshakes

struct HandshakeCase {
    const char* name;
    TestKeyPair TestCertificates::*identity;
    const char* host;
    bool verify;
    bool trustTestCa;
    int code;              // OnTlsDone
    const char* failure;   // part of TlsFailure(), "" when it succeeds
    const char* sni;       // what the server saw, for the good ones
};

const HandshakeCase HandshakeCases[] = {
    {"GoodAddress", &TestCertificates::Server, "127.0.0.1", true, true, 0, "", ""},
    {"GoodName", &TestCertificates::Server, "localhost", true, true, 0, "", "localhost"},
    {"UnknownIssuer", &TestCertificates::Server, "127.0.0.1", true, false, PWE_TLS_UNTRUSTED,
     "unknown issuer (CN=Parcelwing Test CA)", nullptr},
    {"SelfSigned", &TestCertificates::SelfSigned, "127.0.0.1", true, true, PWE_TLS_UNTRUSTED,
     "self-signed certificate (CN=localhost)", nullptr},
    {"Expired", &TestCertificates::Expired, "127.0.0.1", true, true, PWE_TLS_EXPIRED,
     "certificate has expired (notAfter 2020-01-02 00:00:00 UTC)", nullptr},
    {"NotYetValid", &TestCertificates::NotYetValid, "localhost", true, true, PWE_TLS_EXPIRED,
     "certificate is not yet valid (notBefore 2090-01-01 00:00:00 UTC)", nullptr},
    {"OtherNameForAddress", &TestCertificates::OtherName, "127.0.0.1", true, true, PWE_TLS_NAME,
     "it is made out for other.test, not 127.0.0.1", nullptr},
    {"OtherAddress", &TestCertificates::Server, "127.0.0.2", true, true, PWE_TLS_NAME,
     "it is made out for 127.0.0.1, ::1, localhost, not 127.0.0.2", nullptr},
    {"OtherName", &TestCertificates::Server, "mail.example.org", true, true, PWE_TLS_NAME,
     "it is made out for 127.0.0.1, ::1, localhost, not mail.example.org", nullptr},
    {"UncheckedExpired", &TestCertificates::Expired, "127.0.0.1", false, false, 0, "", ""},
    {"UncheckedSelfSigned", &TestCertificates::SelfSigned, "localhost", false, false, 0, "", "localhost"},
    {"UncheckedOtherName", &TestCertificates::OtherName, "127.0.0.1", false, true, 0, "", ""},
};

void PrintTo(const HandshakeCase& c, std::ostream* os) { *os << c.name; }

class Handshake : public ::testing::TestWithParam<HandshakeCase> {};

// A good handshake carries a short dialogue: the server's line arrives as
// data (the session tickets before it do not), the client's line leaves
// without anything else to push it, and the server's close without a close
// notice is a normal close. A failed one names its check.
TEST_P(Handshake, ReportsTheOutcome) {
    const HandshakeCase& c = GetParam();
    TlsTestServer server(Certs().*(c.identity));
    bool serverDone = false;
    std::string serverGot;
    server.Start([&](TlsConnection& t) {
        if (!t.Handshake()) return;
        t.Write("220 ready\r\n");
        serverGot = t.ReadLine();
        t.Write("221 bye\r\n");
        t.CloseTcp();
        serverDone = true;
    });
    TlsClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    int code = client.Handshake(Settings(c.host, c.verify, c.trustTestCa));
    EXPECT_EQ(code, c.code) << client.socket.TlsFailure();
    if (c.code != 0) {
        EXPECT_NE(client.socket.TlsFailure().find(c.failure), std::string::npos) << client.socket.TlsFailure();
        EXPECT_FALSE(client.socket.TlsActive());
        EXPECT_FALSE(client.socket.TlsVerified());
        client.socket.Close();
        ASSERT_TRUE(server.Join());
        EXPECT_FALSE(server.Connection()->Error().empty());  // the server saw the handshake fail
        EXPECT_TRUE(client.received.empty());
        EXPECT_TRUE(client.closed.empty());
        return;
    }
    EXPECT_TRUE(client.socket.TlsActive());
    EXPECT_EQ(client.socket.TlsVerified(), c.verify);
    EXPECT_EQ(client.socket.TlsFailure(), "");
    EXPECT_EQ(client.socket.TlsSummary().rfind("TLSv1.3 TLS_", 0), 0u) << client.socket.TlsSummary();
    ASSERT_TRUE(client.ReceiveAtLeast(11));
    EXPECT_EQ(client.received, "220 ready\r\n");
    client.socket.SendText("QUIT\r\n");
    ASSERT_TRUE(client.PumpUntil([&] { return !client.closed.empty(); }));
    EXPECT_EQ(client.received, "220 ready\r\n221 bye\r\n");
    EXPECT_EQ(client.closed, std::vector<int>{0});
    EXPECT_EQ(client.emptyReads, 0);
    EXPECT_EQ(client.socket.State(), WSocketState::Closed);
    client.PumpFor(100ms);
    EXPECT_EQ(client.closed.size(), 1u);
    ASSERT_TRUE(server.Join());
    EXPECT_TRUE(serverDone);
    EXPECT_EQ(serverGot, "QUIT\r\n");
    EXPECT_EQ(server.Connection()->Sni(), c.sni);
}

INSTANTIATE_TEST_SUITE_P(Tls, Handshake, ::testing::ValuesIn(HandshakeCases),
                         [](const auto& row) { return std::string(row.param.name); });

// ------------------------------------------------------------------ broken servers

// Reads the client's first record (its hello) as plain bytes.
void ReadHello(TlsConnection& t) {
    std::string header = t.ReadRaw(5);
    if (header.size() == 5)
        t.ReadRaw(static_cast<std::size_t>(static_cast<unsigned char>(header[3])) << 8 |
                  static_cast<unsigned char>(header[4]));
}

struct BrokenServerCase {
    const char* name;
    std::function<void(TlsTestServer&)> setUp;
    std::function<void(TlsConnection&)> script;
    const char* failure;
};

const BrokenServerCase BrokenServerCases[] = {
    {"PlainText", nullptr,
     [](TlsConnection& t) {
         t.WriteRaw("220 plain.example ESMTP\r\n");
         t.ReadRaw(1);
     },
     "the server answered in plain text (\"220 plain.example ESMTP\")"},
    {"ClosesMidHandshake", nullptr,
     [](TlsConnection& t) {
         ReadHello(t);
         t.CloseTcp();
     },
     "the server closed the connection during the handshake"},
    {"ResetsMidHandshake", nullptr,
     [](TlsConnection& t) {
         ReadHello(t);
         t.CloseTcp(true);
     },
     // "closed" or "lost (Connection reset by peer)": whichever the loop saw first.
     "during the handshake"},
    {"TooOldVersion", [](TlsTestServer& s) { s.SetMaxVersion(TLS1_1_VERSION); },
     [](TlsConnection& t) { t.Handshake(); }, "the server does not speak TLS 1.2 or newer"},
    {"GarbageRecord", nullptr,
     [](TlsConnection& t) {
         ReadHello(t);
         t.WriteRaw(std::string("\x16\x03\x03\x00\x05hello", 10));
         t.ReadRaw(1);
     },
     "the handshake failed ("},
    {"AlertInsteadOfHello", nullptr,
     [](TlsConnection& t) {
         ReadHello(t);
         t.WriteRaw(std::string("\x15\x03\x03\x00\x02\x02\x28", 7));  // fatal handshake_failure
         t.ReadRaw(1);
     },
     "the server refused the handshake ("},
};

void PrintTo(const BrokenServerCase& c, std::ostream* os) { *os << c.name; }

class BrokenServer : public ::testing::TestWithParam<BrokenServerCase> {};

TEST_P(BrokenServer, FailsTheHandshakeWithItsReason) {
    const BrokenServerCase& c = GetParam();
    TlsTestServer server(Certs().Server);
    if (c.setUp) c.setUp(server);
    server.Start(c.script);
    TlsClient client;
    RTlsSettings settings = Settings("127.0.0.1");
    auto start = Clock::now();
    ASSERT_TRUE(client.Connect(server.Port(), &settings));
    ASSERT_TRUE(client.PumpUntil([&] { return !client.tlsDone.empty(); }));
    EXPECT_EQ(client.tlsDone[0], PWE_TLS_HANDSHAKE);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_NE(client.socket.TlsFailure().find(c.failure), std::string::npos) << client.socket.TlsFailure();
    EXPECT_FALSE(client.socket.TlsActive());
    EXPECT_TRUE(client.received.empty());
    EXPECT_EQ(client.emptyReads, 0);
    // OnTlsDone came first; whoever owns the socket closes it.
    client.socket.Close();
    client.PumpFor(50ms);
    EXPECT_EQ(client.tlsDone.size(), 1u);
    EXPECT_TRUE(server.Join());
}

INSTANTIATE_TEST_SUITE_P(Tls, BrokenServer, ::testing::ValuesIn(BrokenServerCases),
                         [](const auto& row) { return std::string(row.param.name); });

// ------------------------------------------------------------------ single cases

TEST(Tls, UnreadableCaFileFailsFromTheLoop) {
    TlsTestServer server(Certs().Server);
    server.Start([](TlsConnection& t) { t.ReadRaw(1); });
    TlsClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    RTlsSettings s = Settings("127.0.0.1");
    s.CaFile = Certs().Folder() + "/no-such.pem";
    client.socket.StartTls(s);
    EXPECT_TRUE(client.tlsDone.empty());  // never inside the call
    ASSERT_TRUE(client.PumpUntil([&] { return !client.tlsDone.empty(); }));
    EXPECT_EQ(client.tlsDone[0], PWE_TLS_UNTRUSTED);
    EXPECT_NE(client.socket.TlsFailure().find("no-such.pem cannot be read"), std::string::npos)
        << client.socket.TlsFailure();
    client.socket.Close();
}

// One socket, several connections: the context it keeps for the next one
// is used only when the checks asked for are the same.
TEST(Tls, EachConnectionGetsTheChecksItAsksFor) {
    struct Round {
        bool verify;
        bool trustTestCa;
        int code;
    };
    const Round rounds[] = {{true, true, 0}, {true, false, PWE_TLS_UNTRUSTED}, {false, false, 0}, {true, true, 0}};
    TlsClient client;
    for (const Round& r : rounds) {
        TlsTestServer server(Certs().Server);
        server.Start([](TlsConnection& t) {
            if (t.Handshake()) t.ReadToEnd();
        });
        client.connectDone.clear();
        client.tlsDone.clear();
        ASSERT_TRUE(client.Connect(server.Port()));
        EXPECT_EQ(client.Handshake(Settings("127.0.0.1", r.verify, r.trustTestCa)), r.code)
            << client.socket.TlsFailure();
        EXPECT_EQ(client.socket.TlsVerified(), r.verify && r.code == 0);
        client.socket.Close();
        EXPECT_TRUE(server.Join());
    }
}

TEST(Tls, StartTlsNeedsAConnection) {
    MessageLoop loop;
    TWSocket s(loop);
    EXPECT_THROW(s.StartTls(Settings("127.0.0.1")), Exception);
}

// A server that says nothing after the client's hello: the handshake neither
// completes nor blocks, so the caller's own time-out decides; Abort in the
// middle of it ends everything without an event.
TEST(Tls, SilentServerThenAbortDuringTheHandshake) {
    TlsTestServer server(Certs().Server);
    std::string afterAbort;
    server.Start([&](TlsConnection& t) {
        t.ReadRaw(5);
        afterAbort = t.ReadRaw(1 << 20);  // the rest of the hello, then the end
    });
    TlsClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    client.socket.StartTls(Settings("127.0.0.1"));
    auto start = Clock::now();
    client.PumpFor(300ms);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(client.tlsDone.empty());
    EXPECT_FALSE(client.socket.TlsActive());
    client.socket.Abort();
    EXPECT_EQ(client.socket.State(), WSocketState::Closed);
    client.PumpFor(100ms);
    EXPECT_TRUE(client.tlsDone.empty());
    EXPECT_TRUE(client.closed.empty());
    ASSERT_TRUE(server.Join());
}

// STARTTLS as SMTP does it: a plain line, then TLS started from inside the
// data handler. A line the server sent in plain text after it, before its
// handshake, is never handed up as decrypted data.
TEST(Tls, PlainBytesBeforeTheHandshakeAreNeverData) {
    TlsTestServer server(Certs().Server);
    server.Start([](TlsConnection& t) {
        t.WriteRaw("220 go ahead\r\n");
        std::this_thread::sleep_for(100ms);
        t.WriteRaw("250 INJECTED\r\n");
        t.Handshake();
    });
    TlsClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_TRUE(client.ReceiveAtLeast(14));
    EXPECT_EQ(client.received, "220 go ahead\r\n");
    client.paused = true;
    client.PumpFor(300ms);  // the injected line now waits in the socket
    client.received.clear();
    EXPECT_EQ(client.Handshake(Settings("127.0.0.1")), PWE_TLS_HANDSHAKE);
    EXPECT_NE(client.socket.TlsFailure().find("plain text (\"250 INJECTED\")"), std::string::npos)
        << client.socket.TlsFailure();
    client.PumpFor(50ms);
    EXPECT_EQ(client.received, "");
    client.socket.Close();
    EXPECT_TRUE(server.Join());
}

TEST(Tls, StartedFromTheDataHandlerAfterThePlainGreeting) {
    TlsTestServer server(Certs().Server);
    std::string command;
    server.Start([&](TlsConnection& t) {
        t.WriteRaw("220 go ahead\r\n");
        if (!t.Handshake()) return;
        t.Write("250 secret\r\n");
        command = t.ReadLine();
        t.SendCloseNotify();
        t.ReadToEnd();
    });
    TlsClient client;
    client.onData = [&] {
        if (client.received == "220 go ahead\r\n" && !client.socket.TlsActive() && client.tlsDone.empty()) {
            client.received.clear();
            client.socket.StartTls(Settings("localhost"));
        }
    };
    client.onTlsDone = [&](std::uint16_t e) {
        if (e == 0) client.socket.SendText("EHLO me\r\n");
    };
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_TRUE(client.PumpUntil([&] { return !client.closed.empty(); }));
    EXPECT_EQ(client.tlsDone, std::vector<int>{0});
    EXPECT_EQ(client.received, "250 secret\r\n");
    // A close notice from the server on a connection still open: a normal close.
    EXPECT_EQ(client.closed, std::vector<int>{0});
    EXPECT_EQ(client.emptyReads, 0);
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(command, "EHLO me\r\n");
    EXPECT_EQ(server.Connection()->Sni(), "localhost");
}

// TLS 1.2 works as well; a server's request for a new handshake is refused
// (renegotiation stays off) and never looks like data. This server insists
// and ends the connection with an alert: a close with 10053 and the reason.
TEST(Tls, Tls12AndRenegotiationRefused) {
    TlsTestServer server(Certs().Server);
    server.SetMaxVersion(TLS1_2_VERSION);
    std::string line, error;
    server.Start([&](TlsConnection& t) {
        if (!t.Handshake()) return;
        t.RequestRenegotiation();
        t.Write("220 after\r\n");
        line = t.ReadLine();
        error = t.Error();
    });
    TlsClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.Handshake(Settings("localhost")), 0) << client.socket.TlsFailure();
    EXPECT_EQ(client.socket.TlsSummary().rfind("TLSv1.2 ", 0), 0u) << client.socket.TlsSummary();
    ASSERT_TRUE(client.PumpUntil([&] { return !client.closed.empty(); }));
    EXPECT_EQ(client.received, "220 after\r\n");
    EXPECT_EQ(client.closed, std::vector<int>{WSAECONNABORTED});
    EXPECT_NE(client.socket.TlsFailure().find("the TLS connection broke ("), std::string::npos)
        << client.socket.TlsFailure();
    EXPECT_EQ(client.emptyReads, 0);
    client.PumpFor(50ms);
    EXPECT_EQ(client.closed.size(), 1u);
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(line, "");
    EXPECT_NE(error.find("no renegotiation"), std::string::npos) << error;
}

TEST(Tls, CloseSendsTheCloseNotice) {
    TlsTestServer server(Certs().Server);
    std::string rest;
    server.Start([&](TlsConnection& t) {
        if (!t.Handshake()) return;
        rest = t.ReadToEnd();
    });
    TlsClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.Handshake(Settings("127.0.0.1")), 0);
    client.socket.SendText("QUIT\r\n");
    client.socket.Close();  // at once, from outside any handler
    EXPECT_FALSE(client.socket.TlsActive());
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(rest, "QUIT\r\n");
    EXPECT_TRUE(server.Connection()->CloseNotifyReceived()) << server.Connection()->Error();
    EXPECT_TRUE(client.closed.empty());
}

// Megabytes both ways, byte for byte: the client's Send of big blocks, the
// server's records read 4096 bytes per event.
TEST(Tls, LargeTransferBothWays) {
    std::string up(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < up.size(); ++i) up[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    std::string down(2 * 1024 * 1024 + 5, '\0');
    for (std::size_t i = 0; i < down.size(); ++i) down[i] = static_cast<char>((i * 13 + 5) & 0xff);
    TlsTestServer server(Certs().Server);
    std::string got;
    server.Start([&](TlsConnection& t) {
        if (!t.Handshake()) return;
        got = t.Read(up.size());
        t.Write(down);
        t.ReadToEnd();
    });
    TlsClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.Handshake(Settings("127.0.0.1")), 0);
    for (std::size_t at = 0; at < up.size(); at += 1000000)
        client.socket.Send(up.data() + at, static_cast<int>(std::min<std::size_t>(1000000, up.size() - at)));
    ASSERT_TRUE(client.PumpUntil([&] { return client.received.size() >= down.size(); }, 30s));
    EXPECT_TRUE(client.received == down) << "received " << client.received.size() << " bytes";
    EXPECT_EQ(client.emptyReads, 0);
    client.socket.Close();
    ASSERT_TRUE(server.Join(30s));
    EXPECT_EQ(got.size(), up.size());
    EXPECT_TRUE(got == up);
}

// The SMTP line pump: one 78-byte line per OnAllSent. The layer gathers the
// lines into full records instead of one record each (13,443 for a MB).
TEST(Tls, LineByLineWriterFillsWholeRecords) {
    const std::size_t lineCount = 13443;  // 78-byte lines: 1,048,554 bytes
    std::string line(76, 'A');
    line += "\r\n";
    TlsTestServer server(Certs().Server);
    std::string got;
    int recordsBefore = 0, recordsAfter = 0;
    server.Start([&](TlsConnection& t) {
        if (!t.Handshake()) return;
        t.Write("354 go\r\n");
        recordsBefore = t.RecordsReceived();
        got = t.Read(lineCount * line.size());
        recordsAfter = t.RecordsReceived();
        t.Write("250 ok\r\n");
        t.ReadToEnd();
    });
    TlsClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.Handshake(Settings("127.0.0.1")), 0);
    std::size_t sent = 0;
    client.onAllSent = [&] {
        if (sent < lineCount) {
            ++sent;
            client.socket.SendText(line);
        }
    };
    ASSERT_TRUE(client.ReceiveAtLeast(8));
    auto start = Clock::now();
    client.onAllSent();
    ASSERT_TRUE(client.PumpUntil([&] { return client.received.size() >= 16; }, 30s));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(client.received, "354 go\r\n250 ok\r\n");
    client.socket.Close();
    ASSERT_TRUE(server.Join(30s));
    ASSERT_EQ(got.size(), lineCount * line.size());
    bool exact = true;
    for (std::size_t i = 0; i < lineCount && exact; ++i) exact = got.compare(i * line.size(), line.size(), line) == 0;
    EXPECT_TRUE(exact);
    int records = recordsAfter - recordsBefore;
    // 1 MB is 64 full records; a few more where the loop waited in between.
    EXPECT_GE(records, 64);
    EXPECT_LE(records, 96) << records << " records";
    ::testing::Test::RecordProperty("records_per_MB", records);
    ::testing::Test::RecordProperty("MB_per_second", static_cast<int>(1.0 / seconds));
}

}  // namespace
}  // namespace pw
