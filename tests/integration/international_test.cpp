// International messages end to end: the real program in console mode sends
// subjects, texts, recipients and file names in German, Russian and Japanese,
// and others full of quotes, ";" and blanks, under the charsets Default,
// ISO-8859-1, WINDOWS-1251 and UTF-8 (and once more as 8bit, where the sink
// offers 8BITMIME), to the aiosmtpd sink. Each message is read back with
// Python's email package, policy default (check_headers.py): no defect, every
// value back as it was sent, and the bytes within the RFCs' limits.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/program_harness.h"
#include "support/SmtpSink.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using test::TChild;
using test::TProgramFolder;

struct RLanguage {
    const char* name;
    std::string subject;
    std::vector<std::pair<std::string, std::string>> to;  // display name, address
    std::string toText;                                   // as typed in -TO:
    std::vector<std::string> body;                        // lines
    std::vector<std::string> files;                       // file names
    std::string charsetFor[4];                            // label of the text under each charset below
};

struct RCharset {
    const char* name;
    int index;  // CharSet in the INI file
};

const RCharset Charsets[4] = {{"Default", 0}, {"ISO-8859-1", 1}, {"WINDOWS-1251", 15}, {"UTF-8", 28}};

std::vector<RLanguage> Languages()
{
    std::string longJapanese;
    for (int i = 0; i < 6; ++i)
        longJapanese += "四半期報告書のお知らせ";
    return {
        {"German",
         "Grüße aus Köln – Äpfel & Birnen",
         {{"Jürgen Müller", "jm@example.org"}, {"Anna Schäfer", "as@example.org"}},
         "Jürgen Müller <jm@example.org>; Anna Schäfer <as@example.org>",
         {"Sehr geehrte Frau Müller,", "", "anbei die Äpfel-Liste für Straße 5.", ".Punkt am Anfang",
          "Mit freundlichen Grüßen"},
         {"Äpfel Grüße.txt", "Übersicht 2026.csv"},
         {"UTF-8", "ISO-8859-1", "UTF-8", "UTF-8"}},
        {"Russian",
         "Отчёт за третий квартал",
         {{"Иван Петров", "ivan@example.org"}, {"Анна", "anna@example.org"}},
         "Иван Петров <ivan@example.org>, Анна <anna@example.org>",
         {"Добрый день!", "Отчёт во вложении.", "С уважением, Иван"},
         {"Отчёт.pdf", "данные 2026.bin"},
         {"UTF-8", "UTF-8", "windows-1251", "UTF-8"}},
        {"Japanese",
         longJapanese,
         {{"山田太郎", "yamada@example.org"}},
         "山田太郎 <yamada@example.org>",
         {"お世話になっております。", "報告書を添付いたします。"},
         {"報告書.txt", "データ 一覧.bin"},
         {"UTF-8", "UTF-8", "UTF-8", "UTF-8"}},
        {"Punctuation",
         "Re: \"quotes\"; semicolons;   and blanks",
         {{"Smith, John", "js@example.org"}, {"O'Brien; Pat", "pat@example.org"}, {"", "plain@example.org"}},
         "\"Smith, John\" <js@example.org>; \"O'Brien; Pat\" <pat@example.org>, plain@example.org",
         {"Plain \"quoted\" text; with  blanks."},
         {"say \"cheese\".txt", "semi;colon; name.txt", "with  blanks .txt", "tab\tin name.txt"},
         {"US-ASCII", "ISO-8859-1", "Windows-1251", "UTF-8"}},
    };
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The German text in Windows-1252, as a file from an older system holds it.
std::string Windows1252(const std::string& utf8)
{
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c == 0xE2 && utf8.compare(i, 3, "–") == 0) {
            out += '\x96';
            i += 2;
        } else {
            // Two-byte Latin-1 characters: U+0080..U+00FF.
            out += static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
        }
    }
    return out;
}

class InternationalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder_.copied) << "build the program first: " << test::BuiltProgram();
        ASSERT_NE(sink_.Port(), 0) << "the sink did not start (python3-aiosmtpd missing?)";
    }

    // Sends one message of `language` under `charset`; returns its number in the sink.
    int Send(const RLanguage& language, const RCharset& charset, bool eightBit, bool windows1252Input)
    {
        auto options = folder_.ServerOptions(sink_.Port());
        options.push_back("CharSet=" + std::to_string(charset.index));
        options.push_back("FilPerMes=9");
        std::replace(options.begin(), options.end(), std::string("From=me@example.org"),
                     std::string("From=Jörg Müller <me@example.org>"));
        // A return receipt makes the program greet with EHLO, where the sink offers 8BITMIME.
        if (eightBit)
            options.push_back("Return_Receipt_Enabled=1");
        folder_.WriteIni(options);
        std::string body;
        for (const auto& line : language.body)
            body += line + "\r\n";
        const std::string bodyFile =
            folder_.File("body-" + std::to_string(++runs_) + ".txt", windows1252Input ? Windows1252(body) : body);
        std::vector<std::string> args{"-TO:" + language.toText,
                                      "-SUBJ:" + (windows1252Input ? Windows1252(language.subject) : language.subject),
                                      "-MSGFILE:" + bodyFile, "-ASEND:YES", "-AEXIT:YES"};
        paths_.clear();
        unsigned seed = 1;
        for (const auto& name : language.files) {
            std::string bytes;
            for (unsigned i = 0; i < 3000 + seed * 101; ++i)
                bytes += static_cast<char>((i * 7 + seed * 13) & 0xFF);
            const std::string dir = folder_.root + "/files/run" + std::to_string(runs_);
            std::filesystem::create_directories(dir);
            paths_.push_back(dir + "/" + name);
            test::WriteWholeFile(paths_.back(), bytes);
            args.push_back(paths_.back());
            ++seed;
        }
        TChild child;
        const int code = folder_.Run(child, args, 30s);
        EXPECT_EQ(code, 1) << child.out << child.err;
        EXPECT_THAT(child.OutLines(), ::testing::Contains("All Ok!")) << child.out;
        return sink_.Count();
    }

    // check_headers.py's verdict on message `n`: "OK <Message-ID>" or its problems.
    std::string Check(int n, const RLanguage& language, const std::string& label, const std::string& encoding)
    {
        std::string body;
        for (const auto& line : language.body)
            body += line + "\n";
        std::string to = "[";
        for (std::size_t i = 0; i < language.to.size(); ++i)
            to += (i ? ", [" : "[") + JsonString(language.to[i].first) + ", " + JsonString(language.to[i].second) + "]";
        to += "]";
        std::string files = "[";
        for (std::size_t i = 0; i < paths_.size(); ++i)
            files += (i ? ", [" : "[") + JsonString(paths_[i]) + ", " + JsonString(language.files[i]) + "]";
        files += "]";
        const std::string expected = "{\"subject\": " + JsonString(language.subject) +
                                     ", \"from\": [\"Jörg Müller\", \"me@example.org\"], \"to\": " + to +
                                     ", \"body\": " + JsonString(body) + ", \"charset\": " + JsonString(label) +
                                     ", \"encoding\": " + JsonString(encoding) + ", \"files\": " + files + "}";
        const std::string expectedFile = folder_.root + "/expected-" + std::to_string(n) + ".json";
        test::WriteWholeFile(expectedFile, expected);
        TChild child;
        const std::string envelope = folder_.root + "/mail/msg-" + std::to_string(n) + ".json";
        if (!child.Start({test::kPython, test::IntegrationScript("check_headers.py"), sink_.Message(n), envelope,
                          expectedFile},
                         {}, {}))
            return "cannot start check_headers.py";
        child.Wait(30s);
        return child.out + child.err;
    }

    TProgramFolder folder_;
    test::TSmtpSink sink_{folder_.root + "/mail"};
    std::vector<std::string> paths_;
    int runs_ = 0;
};

TEST_F(InternationalTest, EveryLanguageUnderEveryCharsetReadsBackWithoutDefects)
{
    std::set<std::string> ids;
    for (const auto& language : Languages()) {
        for (int c = 0; c < 4; ++c) {
            const RCharset& charset = Charsets[c];
            SCOPED_TRACE(std::string(language.name) + " under " + charset.name);
            // The German text once as Windows-1252 bytes: read as such, it arrives the same.
            const bool windows1252 = std::string(language.name) == "German" && c == 0;
            const int n = Send(language, charset, false, windows1252);
            const bool ascii = std::string(language.name) == "Punctuation";
            const std::string verdict = Check(n, language, language.charsetFor[c], ascii ? "7bit" : "quoted-printable");
            EXPECT_EQ(verdict.rfind("OK <", 0), 0u) << verdict;
            EXPECT_TRUE(ids.insert(verdict).second) << "the Message-ID came twice: " << verdict;
        }
    }
    EXPECT_EQ(ids.size(), 16u);
}

TEST_F(InternationalTest, EightBitWhereTheServerTakesIt)
{
    for (const auto& language : Languages()) {
        SCOPED_TRACE(language.name);
        const int n = Send(language, Charsets[3], true, false);
        const bool ascii = std::string(language.name) == "Punctuation";
        const std::string verdict = Check(n, language, "UTF-8", ascii ? "7bit" : "8bit");
        EXPECT_EQ(verdict.rfind("OK <", 0), 0u) << verdict;
    }
}

}  // namespace
}  // namespace pw
