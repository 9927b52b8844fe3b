#include "smtp/Capabilities.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

pw::RSmtpCapabilities Read(const std::vector<std::string>& lines) {
    pw::RSmtpCapabilities caps;
    bool first = true;
    for (const std::string& line : lines) {
        pw::NoteEhloLine(caps, line, first);
        first = false;
    }
    return caps;
}

TEST(CapabilitiesTest, ReadsTheKeywordsTheClientUses) {
    const auto caps = Read({"250-mx.test greets you", "250-PIPELINING", "250-size 35882577", "250-8BITMIME",
                            "250-AUTH LOGIN plain  XOAUTH2", "250-AUTH=LOGIN CRAM-MD5", "250-STARTTLS",
                            "250-SMTPUTF8", "250 DSN"});
    EXPECT_TRUE(caps.StartTls);
    EXPECT_TRUE(caps.Dsn);
    EXPECT_TRUE(caps.EightBitMime);
    EXPECT_TRUE(caps.SmtpUtf8);
    EXPECT_TRUE(caps.Size);
    EXPECT_EQ(caps.SizeLimit, 35882577u);
    EXPECT_EQ(caps.AuthMechanisms, (std::vector<std::string>{"LOGIN", "PLAIN", "XOAUTH2", "CRAM-MD5"}));
    EXPECT_TRUE(caps.OffersAuth("cram-md5"));
    EXPECT_FALSE(caps.OffersAuth("OAUTHBEARER"));
}

TEST(CapabilitiesTest, OddLinesGiveNothingOrNoLimit) {
    const struct {
        std::vector<std::string> lines;
        bool size;
        std::uint64_t limit;
        std::size_t mechanisms;
        bool startTls;
    } cases[] = {
        {{"250-STARTTLS mx", "250 SIZE"}, true, 0, 0, false},         // first line is the name
        {{"250-mx", "250 SIZE"}, true, 0, 0, false},                   // no number: no fixed limit
        {{"250-mx", "250 SIZE 0"}, true, 0, 0, false},
        {{"250-mx", "250 SIZE 12abc"}, true, 0, 0, false},
        {{"250-mx", "250 SIZE 99999999999999999999999"}, true, 0, 0, false},  // beyond 64 bits
        {{"250-mx", "250 SIZE 18446744073709551615"}, true, 18446744073709551615u, 0, false},
        {{"250-mx", "250 AUTH"}, false, 0, 0, false},                  // AUTH with no mechanisms
        {{"250-mx", "250-AUTH=", "250 AUTH LOGIN LOGIN"}, false, 0, 1, false},
        {{"250-mx", "220-STARTTLS", "250"}, false, 0, 0, false},        // not a 250 line
        {{"250-mx", "250STARTTLS", "250-"}, false, 0, 0, false},
        {{"250-mx", "250-STARTTLSX", "250 starttls"}, false, 0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.back());
        const auto caps = Read(c.lines);
        EXPECT_EQ(caps.Size, c.size);
        EXPECT_EQ(caps.SizeLimit, c.limit);
        EXPECT_EQ(caps.AuthMechanisms.size(), c.mechanisms);
        EXPECT_EQ(caps.StartTls, c.startTls);
    }
}

}  // namespace
