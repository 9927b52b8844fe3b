#include "net/Resolve.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/Error.h"

namespace pw {
namespace {

std::string ThrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(IsDottedAddress, Table) {
    struct Row {
        const char* text;
        bool dotted;
    };
    const Row rows[] = {
        {"1.2.3.4", true},        {" 1.2.3.4 ", true},     {"0.0.0.0", true},
        {"255.255.255.255", true}, {"127.0.0.1   ", true}, {"1.2.3", false},
        {"1..2.3", false},         {".1.2.3", false},      {"1.2.3.256", false},
        {"1.2.3.4x", false},       {"1.2.3.4 x", false},   {"1.2.3.4.5", false},
        {"1.2.3.", false},         {"256.1.1.1", false},   {"", false},
        {"   ", false},            {"a.b.c.d", false},     {"localhost", false},
        {"1.2.3.99999999999999", false}, {"\t1.2.3.4", false},
    };
    for (const Row& r : rows) EXPECT_EQ(IsDottedAddress(r.text), r.dotted) << '"' << r.text << '"';
}

TEST(WSocketResolveHost, DottedNamesAndFailures) {
    EXPECT_EQ(WSocketResolveHost("127.0.0.1"), htonl(0x7f000001));
    EXPECT_EQ(WSocketResolveHost(" 10.0.0.1 "), htonl(0x0a000001));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xffffffffu);
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(0x7f000001));
    EXPECT_EQ(ThrownText([] { WSocketResolveHost("09.1.1.1"); }),
              "WSocketResolveHost: '09.1.1.1' Invalid IP address.");
    EXPECT_EQ(ThrownText([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    std::string long257(257, 'a');
    EXPECT_EQ(ThrownText([&] { WSocketResolveHost(long257); }),
              "WSocketResolveHost: '" + long257 + "' Invalid Hostname.");
    // 256 characters pass the length check and fail only in the look-up.
    std::string long256(256, 'a');
    EXPECT_EQ(ThrownText([&] { WSocketResolveHost(long256); }).find("Invalid Hostname."), std::string::npos);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ThrownText([] { WSocketResolveHost("1.2.3.256"); }),
              "WSocketResolveHost: Cannot convert host address '1.2.3.256', Error #11001");
    EXPECT_EQ(ThrownText([] { WSocketResolveHost("nonexistent.invalid"); }),
              "WSocketResolveHost: Cannot convert host address 'nonexistent.invalid', Error #11001");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(WSocketResolvePort, NumbersServicesAndLimits) {
    EXPECT_EQ(WSocketResolvePort("25", "tcp"), 25);
    EXPECT_EQ(WSocketResolvePort("smtp", "tcp"), 25);
    EXPECT_EQ(WSocketResolvePort(" smtp ", " tcp "), 25);
    EXPECT_EQ(WSocketResolvePort("70000", "tcp"), 70000);
    EXPECT_EQ(WSocketResolvePort("70000", "tcp") & 0xffff, 4464);
    EXPECT_EQ(WSocketResolvePort("2x", "tcp"), 2);
    EXPECT_NO_THROW(WSocketResolvePort(std::string(31, '1'), "tcp"));  // 31 characters: accepted
    EXPECT_EQ(WSocketResolvePort("25", std::string(31, 't')), 25);
    EXPECT_EQ(ThrownText([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ThrownText([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ThrownText([] { WSocketResolvePort("25", std::string(32, 't')); }),
              "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(ThrownText([] { WSocketResolvePort("25", ""); }), "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(ThrownText([] { WSocketResolvePort("nosuchservice", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
}

TEST(WSocketResolveProto, NumbersNamesAndLimits) {
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto(" udp "), 17);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(WSocketResolveProto(" 6x"), 6);
    EXPECT_EQ(ThrownText([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ThrownText([] { WSocketResolveProto(std::string(32, 'x')); }),
              "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ThrownText([] { WSocketResolveProto(" nosuchproto "); }),
              "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
}

TEST(LocalMachineName, IsTheHostName) {
    std::string name = LocalMachineName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('\0'), std::string::npos);
}

TEST(TrimBlanks, ControlBytesAndSpaces) {
    EXPECT_EQ(TrimBlanks(" \t\r\n host \x01"), "host");
    EXPECT_EQ(TrimBlanks("   "), "");
    EXPECT_EQ(TrimBlanks("a b"), "a b");
    EXPECT_EQ(DottedAddress(htonl(0x01020304)), "1.2.3.4");
}

}  // namespace
}  // namespace pw
