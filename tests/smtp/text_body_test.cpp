// The text part and the attachment types, table by table: UTF-8 and
// Windows-1252, quoted-printable, the charset table and the choice of label
// and encoding, and the shared MIME database's glob patterns.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "smtp/Charsets.h"
#include "smtp/MimeTypes.h"
#include "smtp/QuotedPrintable.h"
#include "smtp/TextBody.h"
#include "smtp/Utf8.h"

namespace pw {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using T = TTransferEncoding;

// The bytes a quoted-printable text stands for (soft breaks joined).
std::string DecodeQuotedPrintable(const std::vector<std::string>& lines)
{
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string l = lines[i];
        const bool soft = !l.empty() && l.back() == '=';
        if (soft)
            l.pop_back();
        for (std::size_t k = 0; k < l.size(); ++k) {
            if (l[k] == '=') {
                text += static_cast<char>(std::stoi(l.substr(k + 1, 2), nullptr, 16));
                k += 2;
            } else {
                text += l[k];
            }
        }
        if (!soft && i + 1 < lines.size())
            text += '\n';
    }
    return text;
}

TEST(Utf8, ValidityTable)
{
    struct Row {
        std::string text;
        bool valid;
    };
    const Row rows[] = {
        {"", true},
        {"plain", true},
        {"Grüße", true},
        {"日本語", true},
        {"\xF0\x9F\x98\x80", true},          // U+1F600
        {"caf\xe9", false},                  // Windows-1252
        {"\xC3", false},                     // cut off
        {"\xC0\xAF", false},                 // overlong "/"
        {"\xE0\x80\xAF", false},             // overlong
        {"\xED\xA0\x80", false},             // surrogate
        {"\xF4\x90\x80\x80", false},         // above U+10FFFF
        {"\x80", false},                     // lone continuation
        {"\xE6\x97", false},                 // cut-off three-byte sequence
    };
    for (const auto& r : rows)
        EXPECT_EQ(IsValidUtf8(r.text), r.valid) << r.text.size() << " bytes";
}

TEST(Utf8, InvalidTextIsReadAsWindows1252)
{
    EXPECT_EQ(AsUtf8("Grüße"), "Grüße");
    EXPECT_EQ(AsUtf8("Gr\xfc\xdf" "e"), "Grüße");
    EXPECT_EQ(AsUtf8("\x80 \x85 \x9f"), "€ … Ÿ");
    // The five bytes Windows-1252 leaves out become the C1 controls.
    EXPECT_EQ(AsUtf8("\x81\x8d"), "\xC2\x81\xC2\x8D");
    EXPECT_TRUE(IsValidUtf8(AsUtf8(std::string("\xff\xfe\x00\x80", 4))));
}

TEST(Utf8, CutsFallBetweenCharacters)
{
    const std::string text = "aü日😀";  // 1 + 2 + 3 + 4 bytes
    const std::size_t want[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 10};
    for (std::size_t limit = 0; limit < 12; ++limit)
        EXPECT_EQ(Utf8CutBefore(text, limit), want[limit]) << limit;
}

TEST(QuotedPrintable, LinesTable)
{
    struct Row {
        std::string line;
        bool utf8;
        std::vector<std::string> out;
    };
    const Row rows[] = {
        {"", true, {""}},
        {"plain text", true, {"plain text"}},
        {"Grüße aus Köln", true, {"Gr=C3=BC=C3=9Fe aus K=C3=B6ln"}},
        {"a=b", true, {"a=3Db"}},
        {"ends with blank ", true, {"ends with blank=20"}},
        {"ends with tab\t", true, {"ends with tab=09"}},
        {std::string("nul\0byte", 8), true, {"nul=00byte"}},
        {"\x7f\x1b", false, {"=7F=1B"}},
        {std::string(76, 'x'), true, {std::string(76, 'x')}},
        {std::string(77, 'x'), true, {std::string(75, 'x') + "=", "xx"}},
    };
    for (const auto& r : rows) {
        std::vector<std::string> out;
        AppendQuotedPrintable(r.line, r.utf8, out);
        EXPECT_THAT(out, ElementsAreArray(r.out)) << r.line;
    }
}

TEST(QuotedPrintable, SoftBreaksKeepLinesShortAndCharactersWhole)
{
    std::string line;
    for (int i = 0; i < 100; ++i)
        line += "Прив ";
    std::vector<std::string> out;
    AppendQuotedPrintable(line, true, out);
    ASSERT_GT(out.size(), 5u);
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_LE(out[i].size(), MaxQuotedPrintableLine);
        EXPECT_EQ(out[i].back() == '=', i + 1 < out.size()) << out[i];
        // A line never ends inside "=D0=9F": the soft break follows a whole character.
        const std::string body = i + 1 < out.size() ? out[i].substr(0, out[i].size() - 1) : out[i];
        EXPECT_TRUE(IsValidUtf8(DecodeQuotedPrintable({body}))) << out[i];
    }
    EXPECT_EQ(DecodeQuotedPrintable(out), line);
}

TEST(Charsets, TheTableKnowsAllThirtyNames)
{
    const char* names[] = {"US-ASCII",     "ISO-8859-1",   "ISO-8859-2",        "ISO-8859-3",        "ISO-8859-4",
                           "ISO-8859-5",   "ISO-8859-6",   "ISO-8859-7",        "ISO-8859-8",        "ISO-8859-9",
                           "ISO-8859-10",  "ISO-8859-13",  "ISO-8859-14",       "ISO-8859-15",       "Windows-1250",
                           "Windows-1251", "Windows-1252", "Windows-1253",      "Windows-1254",      "Windows-1255",
                           "Windows-1256", "Windows-1257", "Windows-1258",      "KOI8-R",            "CP-895",
                           "CP-852",       "Unicode-1-1-UCS-2", "Unicode-1-1-UCS-4", "UTF-8",      "UTF-7"};
    int converting = 0;
    for (const char* name : names) {
        const RCharset* c = FindCharset(name);
        ASSERT_NE(c, nullptr) << name;
        EXPECT_EQ(c->Name, name);
        if (!c->Iconv.empty() && TIconv(c->Iconv).Ok())
            ++converting;
    }
    // All but US-ASCII (no conversion needed), the two UCS forms and CP-895,
    // which the C library lacks.
    EXPECT_GE(converting, 26);
    EXPECT_EQ(FindCharset("windows-1251"), FindCharset("WINDOWS-1251"));
    EXPECT_EQ(FindCharset("iso-8859-1")->Iconv, "ISO-8859-1");
    EXPECT_EQ(FindCharset("CP-852")->Label, "IBM852");
    EXPECT_EQ(FindCharset("Default"), nullptr);

    TIconv koi8("KOI8-R");
    std::string out;
    ASSERT_TRUE(koi8.Convert("Привет", out));
    EXPECT_EQ(out, "\xf0\xd2\xc9\xd7\xc5\xd4");
    EXPECT_FALSE(koi8.Convert("日本", out));
    TIconv utf7("UTF-7");
    ASSERT_TRUE(utf7.Convert("a+b", out));
    EXPECT_EQ(out, "a+-b");
    EXPECT_FALSE(TIconv("NO-SUCH-CHARSET").Ok());
}

TEST(TextBody, LabelAndEncodingByCharsetAndText)
{
    struct Row {
        const char* what;
        std::vector<std::string> lines;
        std::string charSet;
        bool eightBit;
        std::string label;
        T encoding;
        std::vector<std::string> out;
    };
    const Row rows[] = {
        {"ASCII stays as it is", {"Hello", "line\r\nbreak"}, "US-ASCII", false, "US-ASCII", T::SevenBit,
         {"Hello", "line\r\nbreak"}},
        {"ASCII under any table name", {"Hello"}, "iso-8859-1", true, "iso-8859-1", T::SevenBit, {"Hello"}},
        {"German in Default goes as UTF-8", {"Grüße"}, "US-ASCII", false, "UTF-8", T::QuotedPrintable,
         {"Gr=C3=BC=C3=9Fe"}},
        {"German in ISO-8859-1", {"Grüße"}, "ISO-8859-1", false, "ISO-8859-1", T::QuotedPrintable, {"Gr=FC=DFe"}},
        {"German as 8bit", {"Grüße"}, "ISO-8859-1", true, "ISO-8859-1", T::EightBit, {"Gr\xfc\xdf" "e"}},
        {"Russian in ISO-8859-1 cannot be held", {"Привет"}, "ISO-8859-1", false, "UTF-8", T::QuotedPrintable,
         {"=D0=9F=D1=80=D0=B8=D0=B2=D0=B5=D1=82"}},
        {"Russian in WINDOWS-1251", {"Привет"}, "WINDOWS-1251", false, "windows-1251", T::QuotedPrintable,
         {"=CF=F0=E8=E2=E5=F2"}},
        {"German in WINDOWS-1251 cannot be held", {"Grüße"}, "Windows-1251", true, "UTF-8", T::EightBit,
         {"Grüße"}},
        {"Japanese in UTF-8, 8bit", {"日本語"}, "UTF-8", true, "UTF-8", T::EightBit, {"日本語"}},
        {"UCS-2 cannot travel as text", {"Grüße"}, "Unicode-1-1-UCS-2", false, "UTF-8", T::QuotedPrintable,
         {"Gr=C3=BC=C3=9Fe"}},
        {"ASCII under UCS-4 goes as UTF-8", {"plain"}, "Unicode-1-1-UCS-4", false, "UTF-8", T::SevenBit, {"plain"}},
        {"CP-895 is unknown to iconv", {"Grüße"}, "CP-895", false, "UTF-8", T::QuotedPrintable, {"Gr=C3=BC=C3=9Fe"}},
        {"UTF-7 is 7bit", {"Привет, мир", "a+b"}, "UTF-7", true, "UTF-7", T::SevenBit,
         {"+BB8EQAQ4BDIENQRC, +BDwEOARA-", "a+-b"}},
        {"Windows-1252 input", {"caf\xe9"}, "UTF-8", false, "UTF-8", T::QuotedPrintable, {"caf=C3=A9"}},
        {"line breaks inside converted text", {"ä\nö\r\nü\r"}, "ISO-8859-1", false, "ISO-8859-1",
         T::QuotedPrintable, {"=E4", "=F6", "=FC"}},
        {"NUL in ASCII", {std::string("a\0b", 3)}, "US-ASCII", true, "US-ASCII", T::QuotedPrintable, {"a=00b"}},
        {"NUL in 8-bit text never goes as 8bit", {std::string("ä\0", 3)}, "UTF-8", true, "UTF-8",
         T::QuotedPrintable, {"=C3=A4=00"}},
        {"unknown name iconv knows", {"Привет"}, "KOI8-U", false, "KOI8-U", T::QuotedPrintable,
         {"=F0=D2=C9=D7=C5=D4"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const RTextBody body = PrepareTextBody(r.lines, r.charSet, r.eightBit);
        EXPECT_EQ(body.CharSet, r.label);
        EXPECT_EQ(TransferEncodingName(body.Encoding), std::string(TransferEncodingName(r.encoding)));
        EXPECT_THAT(body.Lines, ElementsAreArray(r.out));
    }
}

TEST(TextBody, EightBitLinesAreCutBetweenCharactersAtMost998Octets)
{
    struct Row {
        const char* what;
        std::string line;
        std::string charSet;
    };
    std::string japanese, german, russian7;
    for (int i = 0; i < 1000; ++i)
        japanese += "語";
    for (int i = 0; i < 600; ++i)
        german += "äö";
    for (int i = 0; i < 600; ++i)
        russian7 += "Пр ";
    const Row rows[] = {
        {"UTF-8, three-byte characters", japanese, "UTF-8"},
        {"ISO-8859-1, one byte each", german, "ISO-8859-1"},
        {"UTF-7, converted in pieces", russian7, "UTF-7"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const RTextBody body = PrepareTextBody({r.line}, r.charSet, true);
        ASSERT_GT(body.Lines.size(), 1u);
        std::string back;
        for (const auto& l : body.Lines) {
            EXPECT_LE(l.size(), MaxTextLine);
            std::string utf8;
            if (r.charSet == "UTF-8") {
                EXPECT_TRUE(IsValidUtf8(l));
                utf8 = l;
            }
            back += utf8;
        }
        if (r.charSet == "UTF-8") {
            EXPECT_EQ(back, r.line);
        } else if (r.charSet == "ISO-8859-1") {
            EXPECT_EQ(body.Lines[0].size(), MaxTextLine);
        } else {
            EXPECT_EQ(body.Encoding, T::SevenBit);
        }
    }
}

// --- MIME types -------------------------------------------------------------------------

const char* const SampleGlobs =
    "# This file was automatically generated by the\n"
    "# update-mime-database command. DO NOT EDIT!\n"
    "80:text/html:*.html\n"
    "50:text/plain:*.txt\n"
    "50:application/gzip:*.gz\n"
    "50:application/x-compressed-tar:*.tar.gz\n"
    "50:text/x-c++src:*.C:cs\n"
    "50:text/x-csrc:*.c\n"
    "50:text/x-makefile:makefile\n"
    "10:text/x-makefile:makefile.*\n"
    "50:application/x-sharedlib:*.so.[0-9]*\n"
    "40:image/jpeg:*.jpg:future,flags:and more fields\n"
    "60:application/x-weighty:*.jpg\n"
    "bad line without fields\n"
    "x:text/plain:*.bad-weight\n"
    "50:not a type:*.nt\n"
    "50:text/evil\r\nX-Injected: 1:*.evil\n";

TEST(MimeTypes, GlobsTable)
{
    TMimeGlobs globs;
    globs.Load(SampleGlobs);
    struct Row {
        const char* name;
        const char* type;
    };
    const Row rows[] = {
        {"report.txt", "text/plain"},
        {"REPORT.TXT", "text/plain"},
        {"page.html", "text/html"},
        {"backup.tar.gz", "application/x-compressed-tar"},  // the longest pattern
        {"notes.gz", "application/gzip"},
        {"main.C", "text/x-c++src"},                        // case-sensitive pattern
        {"main.c", "text/x-csrc"},
        {"Makefile", "text/x-makefile"},                    // literal, without letter case
        {"makefile.am", "text/x-makefile"},
        {"libfoo.so.6", "application/x-sharedlib"},
        {"photo.jpg", "application/x-weighty"},              // the higher weight
        {"data.bin", ""},
        {"x.bad-weight", ""},
        {"x.nt", ""},
        {"x.evil", ""},
        {"", ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(globs.TypeOf(r.name), r.type) << r.name;
    EXPECT_EQ(globs.RuleCount(), 11u);
}

TEST(MimeTypes, LaterFilesTakePrecedenceAndMayDropAType)
{
    TMimeGlobs globs;
    globs.Load("50:text/plain:*.txt\n50:text/x-diff:*.patch\n50:text/x-diff:*.diff\n");
    globs.Load("0:text/x-diff:__NOGLOBS__\n50:text/x-diff:*.diff\n50:text/x-mine:*.txt\n");
    EXPECT_EQ(globs.TypeOf("a.patch"), "");
    EXPECT_EQ(globs.TypeOf("a.diff"), "text/x-diff");
    EXPECT_EQ(globs.TypeOf("a.txt"), "text/x-mine");
}

TEST(MimeTypes, TheInstalledDatabase)
{
    // shared-mime-info is among the project's packages.
    ASSERT_TRUE(std::filesystem::exists("/usr/share/mime/globs2"));
    EXPECT_EQ(MimeTypeForFileName("report.pdf"), "application/pdf");
    EXPECT_EQ(MimeTypeForFileName("Äpfel Grüße.txt"), "text/plain");
    EXPECT_EQ(MimeTypeForFileName("photo.JPG"), "image/jpeg");
    EXPECT_EQ(MimeTypeForFileName("random.bin"), "application/octet-stream");
    EXPECT_EQ(MimeTypeForFileName("no extension"), "application/octet-stream");
}

TEST(MimeTypes, FilesOfTheXdgFolders)
{
    const char* oldDirs = std::getenv("XDG_DATA_DIRS");
    const char* oldHome = std::getenv("XDG_DATA_HOME");
    const std::string savedDirs = oldDirs ? oldDirs : "", savedHome = oldHome ? oldHome : "";
    setenv("XDG_DATA_DIRS", "/usr/local/share:/usr/share:relative", 1);
    setenv("XDG_DATA_HOME", "/home/u/.local/share", 1);
    const auto files = MimeGlobFiles();
    oldDirs ? setenv("XDG_DATA_DIRS", savedDirs.c_str(), 1) : unsetenv("XDG_DATA_DIRS");
    oldHome ? setenv("XDG_DATA_HOME", savedHome.c_str(), 1) : unsetenv("XDG_DATA_HOME");
    EXPECT_THAT(files, ElementsAre("/usr/share/mime/globs2", "/usr/local/share/mime/globs2",
                                   "/home/u/.local/share/mime/globs2"));
}

}  // namespace
}  // namespace pw
