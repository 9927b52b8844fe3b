// The rules for single header fields, each a table of cases: address lists
// and the envelope, free text (encoded-words and folding), file-name
// parameters, Message-ID and the HELO argument.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <regex>
#include <set>

#include "codecs/Base64.h"
#include "smtp/AddressList.h"
#include "smtp/HeaderText.h"
#include "smtp/HeloName.h"
#include "smtp/MessageId.h"
#include "smtp/MimeParameters.h"
#include "smtp/Utf8.h"

namespace pw {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Each physical line of a folded field.
std::vector<std::string> PhysicalLines(const std::string& field)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t crlf = field.find("\r\n", start);
        lines.push_back(field.substr(start, crlf == std::string::npos ? std::string::npos : crlf - start));
        if (crlf == std::string::npos)
            return lines;
        start = crlf + 2;
    }
}

// The text of a field's encoded-words, decoded and joined (the way a reader
// joins adjacent encoded-words).
std::string DecodeWords(const std::string& field)
{
    static const std::regex word(R"(=\?UTF-8\?B\?([A-Za-z0-9+/=]*)\?=)");
    std::string text;
    for (auto it = std::sregex_iterator(field.begin(), field.end(), word); it != std::sregex_iterator(); ++it)
        text += Base64DecodeStrict((*it)[1].str());
    return text;
}

void ExpectWellFolded(const std::string& field)
{
    for (const auto& line : PhysicalLines(field))
        EXPECT_LE(line.size(), MaxHeaderLine) << field;
    EXPECT_EQ(field.find_first_of("\r\n"), field.find("\r\n ")) << "a line break that is no fold: " << field;
}

// --- address lists --------------------------------------------------------------

TEST(AddressList, SplitsAtSemicolonsAndCommasOutsideQuotesBracketsAndComments)
{
    struct Row {
        std::string text;
        std::vector<std::string> pieces;
    };
    const Row rows[] = {
        {"a@x", {"a@x"}},
        {"a@x; b@y", {"a@x", "b@y"}},
        {"a@x, b@y", {"a@x", "b@y"}},
        {"a@x,,b@y", {"a@x", "b@y"}},
        {" ; a@x ;; ", {"a@x"}},
        {"", {}},
        {"\"Smith, John\" <js@example.org>; b@y", {"\"Smith, John\" <js@example.org>", "b@y"}},
        {"\"semi;colon\" <a@x>", {"\"semi;colon\" <a@x>"}},
        {"Ann <a@x>, Bob <b@y>", {"Ann <a@x>", "Bob <b@y>"}},
        {"<\"odd,local\"@x>, b@y", {"<\"odd,local\"@x>", "b@y"}},
        {"a@x (Ann, Smith), b@y", {"a@x (Ann, Smith)", "b@y"}},
        {"\"esc \\\" , quote\" <a@x>", {"\"esc \\\" , quote\" <a@x>"}},
    };
    for (const auto& r : rows) {
        std::vector<std::string> pieces{"stale"};
        std::string error;
        EXPECT_TRUE(SplitAddressList(r.text, pieces, error)) << r.text << ": " << error;
        EXPECT_EQ(pieces, r.pieces) << r.text;
    }
}

TEST(AddressList, UnbalancedListsAreRefusedWithAReason)
{
    struct Row {
        std::string text;
        std::string reason;
    };
    const Row rows[] = {
        {"\"Smith, John <js@example.org>", "a \"\"\" without its closing \"\"\""},
        {"John <js@example.org", "a \"<\" without \">\""},
        {"a@x>", "a \">\" without \"<\""},
        {"<a@x <b@y>>", "a second \"<\" before \">\""},
        {"a@x (comment", "a \"(\" without \")\""},
        {"a@x)", "a \")\" without \"(\""},
    };
    for (const auto& r : rows) {
        std::vector<std::string> pieces;
        std::string error;
        EXPECT_FALSE(SplitAddressList(r.text, pieces, error)) << r.text;
        EXPECT_EQ(error, r.reason) << r.text;
        EXPECT_TRUE(pieces.empty());
    }
}

TEST(AddressList, MailboxesWithAndWithoutDisplayNames)
{
    struct Row {
        std::string entry;
        std::string name, phrase, address;
        bool angled;
    };
    const Row rows[] = {
        {"a@x", "", "", "a@x", false},
        {"<a@x>", "", "", "a@x", true},
        {"John Smith <js@example.org>", "John Smith", "John Smith", "js@example.org", true},
        {"\"Smith, John\" <js@example.org>", "Smith, John", "\"Smith, John\"", "js@example.org", true},
        {"\"say \\\"hi\\\"\" <a@x>", "say \"hi\"", "\"say \\\"hi\\\"\"", "a@x", true},
        {"a@x (Ann Smith)", "Ann Smith", "", "a@x", false},
        {"Jürgen Müller <jm@example.org>", "Jürgen Müller", "Jürgen Müller", "jm@example.org", true},
        {"postmaster", "", "", "postmaster", false},
        {"<\"odd local\"@x>", "", "", "\"odd local\"@x", true},
        {"a@[192.0.2.7]", "", "", "a@[192.0.2.7]", false},
    };
    for (const auto& r : rows) {
        RMailbox m;
        std::string error;
        ASSERT_TRUE(ParseMailbox(r.entry, m, error)) << r.entry << ": " << error;
        EXPECT_EQ(m.DisplayName, r.name) << r.entry;
        EXPECT_EQ(m.Phrase, r.phrase) << r.entry;
        EXPECT_EQ(m.Address, r.address) << r.entry;
        EXPECT_EQ(m.Angled, r.angled) << r.entry;
    }
}

TEST(AddressList, EntriesThatAreNoMailbox)
{
    struct Row {
        std::string entry;
        std::string reason;
    };
    const Row rows[] = {
        {"John Smith", "\"John Smith\" is no address"},
        {"", "no address"},
        {"John <>", "no address in \"John <>\""},
        {"a@x, b@y", "more than one address"},
        {"<a@x> trailing", "text after the address in \"<a@x> trailing\""},
        {"a@", "\"a@\" is no address"},
        {"@x", "\"@x\" is no address"},
        {"a..b@x", "\"a..b@x\" is no address"},
        {"jürgen@example.org", "\"jürgen@example.org\" holds characters that are not plain ASCII"},
        {"a\x01@x", "\"a\x01@x\" holds control characters"},
        {"undisclosed-recipients:", "\"undisclosed-recipients:\" is no address"},
    };
    for (const auto& r : rows) {
        RMailbox m;
        std::string error;
        EXPECT_FALSE(ParseMailbox(r.entry, m, error)) << r.entry;
        EXPECT_EQ(error, r.reason) << r.entry;
    }
}

TEST(AddressList, TheEnvelopeCarriesOnlyTheAddress)
{
    struct Row {
        std::string entry;
        bool ok;
        std::string path;
    };
    const Row rows[] = {
        {"a@x", true, "<a@x>"},
        {"  a@x\t", true, "<a@x>"},
        {"<a@x>", true, "<a@x>"},
        {"John Smith <js@example.org>", true, "<js@example.org>"},
        {"\"Smith, John\" <js@example.org>", true, "<js@example.org>"},
        {"Jürgen <jm@example.org>", true, "<jm@example.org>"},
        {"", true, "<>"},
        {"<>", true, "<>"},
        {"John Smith", false, ""},
        {"a@x>", false, ""},
    };
    for (const auto& r : rows) {
        std::string path = "unchanged";
        EXPECT_EQ(EnvelopePath(r.entry, path), r.ok) << r.entry;
        EXPECT_EQ(path, r.ok ? r.path : "unchanged") << r.entry;
    }
}

TEST(AddressList, HeaderFieldsKeepNamesQuotedOrEncoded)
{
    struct Row {
        std::string value;
        std::string field;
    };
    const Row rows[] = {
        {"b@y", "To: b@y"},
        {"<b@y>", "To: <b@y>"},
        {"a@x; b@y", "To: a@x, b@y"},
        {" a@x ,b@y;", "To: a@x, b@y"},
        {"Sender Name <a@x>", "To: Sender Name <a@x>"},
        {"\"Smith, John\" <js@example.org>", "To: \"Smith, John\" <js@example.org>"},
        // A name that is no valid phrase as written is quoted.
        {"John Q. Smith <a@x>", "To: \"John Q. Smith\" <a@x>"},
        {"a@x (Ann)", "To: \"Ann\" <a@x>"},
        // Other characters go as encoded-words.
        {"Grüße <a@x>", "To: =?UTF-8?B?R3LDvMOfZQ==?= <a@x>"},
        // Not valid UTF-8: read as Windows-1252.
        {"Gr\xfc\xdf" "e <a@x>", "To: =?UTF-8?B?R3LDvMOfZQ==?= <a@x>"},
        {"\"=?UTF-8?B?eA==?=\" <a@x>", "To: =?UTF-8?B?PT9VVEYtOD9CP2VBPT0/PQ==?= <a@x>"},
        // A control character inside quotes is never written as it stands.
        {std::string("\"a\0b\" <a@x>", 12), "To: =?UTF-8?B?YQBi?= <a@x>"},
    };
    for (const auto& r : rows) {
        std::string field = "unchanged";
        ASSERT_TRUE(AddressField("To", r.value, field)) << r.value;
        EXPECT_EQ(field, r.field) << r.value;
    }
    for (const char* bad : {"", "  ", "John Smith", "\"a <b@c>", "a@x, John Smith"}) {
        std::string field = "unchanged";
        EXPECT_FALSE(AddressField("To", bad, field)) << bad;
        EXPECT_EQ(field, "unchanged");
    }
}

TEST(AddressList, LongListsAndLongNamesFoldBetweenWords)
{
    std::string list;
    for (int i = 0; i < 12; ++i)
        list += (i ? "; " : "") + std::string("recipient") + std::to_string(i) + "@example.org";
    std::string field;
    ASSERT_TRUE(AddressField("To", list, field));
    ExpectWellFolded(field);
    EXPECT_GT(PhysicalLines(field).size(), 3u);
    std::string unfolded = field;
    for (std::size_t at; (at = unfolded.find("\r\n")) != std::string::npos;)
        unfolded.erase(at, 2);
    EXPECT_EQ(unfolded.substr(0, 40), "To: recipient0@example.org, recipient1@e");

    // A display name made only of non-ASCII characters, far longer than a line.
    std::string name;
    for (int i = 0; i < 40; ++i)
        name += "日本語";
    ASSERT_TRUE(AddressField("From", name + " <jp@example.org>", field));
    ExpectWellFolded(field);
    EXPECT_EQ(DecodeWords(field), name);
    EXPECT_EQ(field.substr(field.size() - 17), " <jp@example.org>");
    for (const auto& w : EncodeWords(name, 66, 66))
        EXPECT_LE(w.size(), 66u);
}

TEST(AddressList, DomainOfTheSender)
{
    EXPECT_EQ(AddressDomain("John <js@example.org>"), "example.org");
    EXPECT_EQ(AddressDomain("\"a@b\"@c.example"), "c.example");
    EXPECT_EQ(AddressDomain("postmaster"), "");
    EXPECT_EQ(AddressDomain("John Smith"), "");
    EXPECT_EQ(AddressDomain(""), "");
}

// --- free text -------------------------------------------------------------------

TEST(HeaderText, EncodedWordsHoldWholeCharactersAndStayShort)
{
    EXPECT_THAT(EncodeWords("Grüße", 75, 75), ElementsAre("=?UTF-8?B?R3LDvMOfZQ==?="));
    EXPECT_THAT(EncodeWords("", 75, 75), ElementsAre());
    // 45 bytes are the most a word of 75 characters holds (72 with the
    // "=?UTF-8?B?" and "?="); one more byte starts another.
    EXPECT_EQ(EncodeWords(std::string(45, 'a'), 75, 75).size(), 1u);
    EXPECT_EQ(EncodeWords(std::string(45, 'a'), 75, 75)[0].size(), 72u);
    EXPECT_EQ(EncodeWords(std::string(46, 'a'), 75, 75).size(), 2u);
    // Three-byte characters: 15 of them make 45 bytes; never split.
    std::string japanese;
    for (int i = 0; i < 50; ++i)
        japanese += "語";
    std::string joined;
    for (const auto& w : EncodeWords(japanese, 40, 75)) {
        EXPECT_LE(w.size(), 75u);
        const std::string bytes = Base64DecodeStrict(w.substr(10, w.size() - 12));
        EXPECT_EQ(bytes.size() % 3, 0u) << w;
        EXPECT_TRUE(IsValidUtf8(bytes));
        joined += bytes;
    }
    EXPECT_EQ(EncodeWords(japanese, 40, 75)[0].size() <= 40, true);
    EXPECT_EQ(joined, japanese);
}

TEST(HeaderText, SubjectsAsTheyGoOut)
{
    struct Row {
        std::string value;
        std::string field;
    };
    const Row rows[] = {
        {"Report", "Subject: Report"},
        {"", "Subject: "},
        {"Grüße", "Subject: =?UTF-8?B?R3LDvMOfZQ==?="},
        {"Gr\xfc\xdf" "e", "Subject: =?UTF-8?B?R3LDvMOfZQ==?="},
        {"Line\r\nBcc: evil@z", "Subject: Line  Bcc: evil@z"},
        {"tab\there", "Subject: tab\there"},
        {"bell\a", "Subject: =?UTF-8?B?YmVsbAc=?="},
        {"=?UTF-8?B?eA==?=", "Subject: =?UTF-8?B?PT9VVEYtOD9CP2VBPT0/PQ==?="},
        {"Quarterly report of the department of long names and longer titles for everyone",
         "Subject: Quarterly report of the department of long names and longer titles\r\n for everyone"},
        // Blanks at the end never make a line of their own: encoded instead.
        {std::string(68, 'o') + "\t", "Subject: =?UTF-8?B?" + Base64Encode(std::string(39, 'o')) +
                                         "?=\r\n =?UTF-8?B?" + Base64Encode(std::string(29, 'o') + "\t") + "?="},
        {std::string(62, 'o') + " word\t", "Subject: " + std::string(62, 'o') + "\r\n word\t"},
    };
    for (const auto& r : rows) {
        const std::string field = UnstructuredField("Subject", r.value);
        EXPECT_EQ(field, r.field) << r.value;
        ExpectWellFolded(field);
    }
}

TEST(HeaderText, LongSubjectsAreFoldedOrEncodedNeverCut)
{
    struct Row {
        const char* what;
        std::string value;
        bool encoded;
    };
    std::string words, russian, unbroken(5000, 'x');
    for (int i = 0; i < 700; ++i)
        words += "word" + std::to_string(i) + " ";
    for (int i = 0; i < 300; ++i)
        russian += "Привет ";
    const Row rows[] = {
        {"5,000 characters of words", words.substr(0, 5000), false},
        {"5,000 characters without a blank", unbroken, true},
        {"Russian words", russian, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string field = UnstructuredField("Subject", r.value);
        ExpectWellFolded(field);
        if (r.encoded) {
            EXPECT_EQ(DecodeWords(field), r.value);
        } else {
            std::string unfolded = field;
            for (std::size_t at; (at = unfolded.find("\r\n")) != std::string::npos;)
                unfolded.erase(at, 2);
            EXPECT_EQ(unfolded, "Subject: " + r.value);
        }
    }
}

TEST(HeaderText, TokensFoldBeforeTheOneThatWouldNotFit)
{
    EXPECT_EQ(FoldTokens("To:", {"a@x,", "b@y"}), "To: a@x, b@y");
    EXPECT_EQ(FoldTokens("To:", {}), "To:");
    const std::string a(40, 'a'), b(40, 'b');
    EXPECT_EQ(FoldTokens("To:", {a + ",", b}), "To: " + a + ",\r\n " + b);
    // A token too long for any line still goes, on a line of its own.
    const std::string huge(100, 'h');
    EXPECT_EQ(FoldTokens("To:", {huge, "x"}), "To: " + huge + "\r\n x");
}

// --- file-name parameters -------------------------------------------------------------

TEST(MimeParameters, PlainNamesStayAsTheyWereOthersFollowRfc2231)
{
    struct Row {
        std::string name;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"report.txt", {"\tname=\"report.txt\""}},
        {"with  blanks .txt", {"\tname=\"with  blanks .txt\""}},
        {"semi;colon;.txt", {"\tname=\"semi;colon;.txt\""}},
        {"say \"cheese\".txt", {"\tname=\"say \\\"cheese\\\".txt\""}},
        {"back\\slash.txt", {"\tname=\"back\\\\slash.txt\""}},
        {"evil\r\nBcc: x.txt", {"\tname=\"evil  Bcc: x.txt\""}},
        {"tab\there.txt", {"\tname*=UTF-8''tab%09here.txt"}},
        {"Äpfel Grüße.txt", {"\tname*=UTF-8''%C3%84pfel%20Gr%C3%BC%C3%9Fe.txt"}},
        {"caf\xe9.txt", {"\tname*=windows-1252''caf%E9.txt"}},
        {"a*b'c%d(e).txt", {"\tname=\"a*b'c%d(e).txt\""}},
        {"ü*'%.txt", {"\tname*=UTF-8''%C3%BC%2A%27%25.txt"}},
    };
    for (const auto& r : rows)
        EXPECT_THAT(ParameterLines("name", r.name), ElementsAreArray(r.lines)) << r.name;
}

TEST(MimeParameters, LongNamesGoInNumberedSectionsThatSplitNoCharacter)
{
    std::string name;
    for (int i = 0; i < 30; ++i)
        name += "Grüße ";
    name += ".txt";
    const auto lines = ParameterLines("filename", name);
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("\tfilename*0*=UTF-8''", 0), 0u) << lines[0];
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_LE(lines[i].size(), MaxHeaderLine);
        const std::string head = "\tfilename*" + std::to_string(i) + "*=";
        ASSERT_EQ(lines[i].rfind(head, 0), 0u) << lines[i];
        std::string value = lines[i].substr(head.size());
        if (i == 0)
            value = value.substr(7);  // UTF-8''
        if (i + 1 < lines.size()) {
            ASSERT_EQ(value.back(), ';') << lines[i];
            value.pop_back();
        }
        // Each section decodes to whole characters.
        std::string bytes;
        for (std::size_t k = 0; k < value.size(); ++k) {
            if (value[k] == '%') {
                bytes += static_cast<char>(std::stoi(value.substr(k + 1, 2), nullptr, 16));
                k += 2;
            } else {
                bytes += value[k];
            }
        }
        EXPECT_TRUE(IsValidUtf8(bytes)) << lines[i];
        joined += bytes;
    }
    EXPECT_EQ(joined, name);
    // A printable name too long for one line goes in sections as well.
    const auto ascii = ParameterLines("name", std::string(1200, 'n'));
    EXPECT_GT(ascii.size(), 10u);
    for (const auto& l : ascii)
        EXPECT_LE(l.size(), MaxHeaderLine);
}

// --- Message-ID ----------------------------------------------------------------------------

TEST(MessageId, UniqueWithTheSendersDomain)
{
    const std::regex form(R"(<[0-9a-z]+\.[0-9a-z]+\.[0-9a-z]+\.[0-9a-z]+@([^>]+)>)");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = NewMessageId("example.org");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(id, m, form)) << id;
        EXPECT_EQ(m[1].str(), "example.org");
        EXPECT_TRUE(seen.insert(id).second) << id;
    }
    std::smatch m;
    const std::string literal = NewMessageId("[192.0.2.7]");
    ASSERT_TRUE(std::regex_match(literal, m, form));
    EXPECT_EQ(m[1].str(), "[192.0.2.7]");
    // No usable domain: this machine's name or "localhost", never the text given.
    for (const char* domain : {"", "bad domain", "a..b", "x>y"}) {
        const std::string id = NewMessageId(domain);
        ASSERT_TRUE(std::regex_match(id, m, form)) << id;
        EXPECT_NE(m[1].str(), domain);
        EXPECT_EQ(m[1].str().find_first_of(" <>"), std::string::npos);
    }
}

// --- HELO argument ----------------------------------------------------------------------------

TEST(HeloName, WhatMayBeSentAsItStands)
{
    struct Row {
        const char* name;
        bool usable;
    };
    const Row rows[] = {
        {"client.test", true},
        {"mail.example.org", true},
        {"a-b.c-d.example", true},
        {"[192.0.2.7]", true},
        {"[IPv6:2001:db8::1]", true},
        {"John Smith", false},
        {"", false},
        {"localhost", false},
        {"host.", false},
        {".host.example", false},
        {"-a.example", false},
        {"a_b.example", false},
        {"[192.0.2.300]", false},
        {"[2001:db8::1]", false},
        {"[IPv6:192.0.2.7]", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(IsUsableHeloName(r.name), r.usable) << r.name;
}

TEST(HeloName, SignOnThenMachineNameThenAddressLiteral)
{
    struct Row {
        const char* signOn;
        const char* machine;
        const char* argument;
    };
    const Row rows[] = {
        {"client.test", "host.example.org", "client.test"},
        {"[10.0.0.1]", "host.example.org", "[10.0.0.1]"},
        {"John Smith", "host.example.org", "host.example.org"},
        {"", "host.example.org", "host.example.org"},
        {"", "host", "[192.0.2.7]"},
        {"John Smith", "", "[192.0.2.7]"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(HeloArgument(r.signOn, r.machine, "[192.0.2.7]"), r.argument) << r.signOn << "/" << r.machine;
}

TEST(HeloName, AddressLiteralsOfBothFamilies)
{
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    ::inet_pton(AF_INET, "192.0.2.7", &v4.sin_addr);
    EXPECT_EQ(AddressLiteral(reinterpret_cast<sockaddr*>(&v4), sizeof v4), "[192.0.2.7]");
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "2001:db8::1", &v6.sin6_addr);
    EXPECT_EQ(AddressLiteral(reinterpret_cast<sockaddr*>(&v6), sizeof v6), "[IPv6:2001:db8::1]");
    ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &v6.sin6_addr);
    EXPECT_EQ(AddressLiteral(reinterpret_cast<sockaddr*>(&v6), sizeof v6), "[127.0.0.1]");
    sockaddr unknown{};
    unknown.sa_family = AF_UNIX;
    EXPECT_EQ(AddressLiteral(&unknown, sizeof unknown), "");
    EXPECT_EQ(AddressLiteral(reinterpret_cast<sockaddr*>(&v4), 2), "");
}

}  // namespace
}  // namespace pw
