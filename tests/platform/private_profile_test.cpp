#include "platform/PrivateProfile.h"

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/RunInChild.h"
#include "support/WholeFile.h"

namespace fs = std::filesystem;
using pw::GetPrivateProfileInt;
using pw::GetPrivateProfileSection;
using pw::GetPrivateProfileString;
using pw::WritePrivateProfileSection;
using pw::WritePrivateProfileString;
using Lines = std::vector<std::string>;

namespace {

constexpr auto Slurp = pw::test::ReadWholeFile;
constexpr auto Put = pw::test::WriteWholeFile;

// Runs `body` in a child process as the unprivileged "nobody" when the tests
// run as root (root ignores permission bits); its exit code, -1 on time-out.
int RunInChild(const std::function<int()>& body) { return pw::test::RunInChild(body, true, 20); }

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "pw_profile_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        fs::permissions(dir_, fs::perms(0755));   // reachable by the unprivileged child
        ini_ = dir_ + "/test.ini";
    }
    void TearDown() override {
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(dir_, ec))
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    // Names in the test folder, to prove no temporary file stays behind.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string dir_, ini_;
};

const char* const kSample[] = {
    "; settings",
    "orphan=before any section",
    "  [ ROptions ]  ",
    "Host =  mail.example.org \t",
    "HOST=second wins never",
    "Port=25",
    "just a line",
    "; Quoted=no",
    "Quoted=\"kept\"",
    "Eq=a=b",
    "Empty=",
    "",
    "[MainForm]",
    "Top=-12",
};

std::string Join(const char* const* lines, std::size_t n, const std::string& eol) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += std::string(lines[i]) + eol;
    return out;
}

}  // namespace

// The same content read with every line end the file may have.
class ProfileReadTest : public ProfileTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ProfileReadTest, StringsFollowWindowsRules) {
    Put(ini_, Join(kSample, std::size(kSample), GetParam()));
    struct Row { const char* section; const char* key; const char* expected; } rows[] = {
        {"ROptions", "Host", "mail.example.org"},     // blanks trimmed, header with blanks
        {"roptions", "hOsT", "mail.example.org"},     // no letter case, first duplicate wins
        {"ROptions", "Port", "25"},
        {"ROptions", "Quoted", "\"kept\""},
        {"ROptions", "Eq", "a=b"},                    // split at the first "="
        {"ROptions", "Empty", ""},
        {"ROptions", "just a line", "dflt"},          // a line without "=" is no key
        {"ROptions", "; Quoted", "dflt"},             // nor is a comment
        {"ROptions", "orphan", "dflt"},               // a key outside any section
        {"ROptions", "Top", "dflt"},                  // belongs to the next section
        {"MainForm", "Top", "-12"},
        {"Missing", "Host", "dflt"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(GetPrivateProfileString(r.section, r.key, "dflt", ini_), r.expected)
            << r.section << "/" << r.key;
    EXPECT_EQ(GetPrivateProfileSection("MAINFORM", ini_), Lines{"Top=-12"});
    EXPECT_EQ(GetPrivateProfileSection("ROptions", ini_),
              (Lines{"Host =  mail.example.org \t", "HOST=second wins never", "Port=25", "just a line",
                     "; Quoted=no", "Quoted=\"kept\"", "Eq=a=b", "Empty="}));
}

INSTANTIATE_TEST_SUITE_P(LineEnds, ProfileReadTest, ::testing::Values("\r\n", "\n", "\r"));

TEST_F(ProfileTest, IntegerReader) {
    struct Row { const char* value; std::int32_t expected; } rows[] = {
        {"25", 25},   {"  -7 ", -7},   {"+12", 12},   {"12abc", 12},  {"abc", 0},
        {"-", 0},     {"0x10", 0},     {"1e3", 1},    {"007", 7},     {"2", 2},
        {"99999999999", INT32_MAX},    {"-99999999999", INT32_MIN},   {"-2147483648", INT32_MIN},
        {"", 77},     // an empty value gives the default, as a missing key does
    };
    std::string text = "[S]\r\n";
    for (std::size_t i = 0; i < std::size(rows); ++i) text += "k" + std::to_string(i) + "=" + rows[i].value + "\r\n";
    Put(ini_, text);
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(GetPrivateProfileInt("S", "k" + std::to_string(i), 77, ini_), rows[i].expected) << rows[i].value;
    EXPECT_EQ(GetPrivateProfileInt("S", "missing", -3, ini_), -3);
}

TEST_F(ProfileTest, StringsAreCutToTheBuffer) {
    const std::string longValue(5000, 'x');
    Put(ini_, "[S]\nlong=" + longValue + "\nfit=" + std::string(4095, 'y') + "\nnul=ab" + std::string(1, '\0') + "cd\n");
    EXPECT_EQ(GetPrivateProfileString("S", "long", "", ini_), std::string(4095, 'x'));
    EXPECT_EQ(GetPrivateProfileString("S", "fit", "", ini_), std::string(4095, 'y'));
    EXPECT_EQ(GetPrivateProfileString("S", "missing", longValue, ini_), std::string(4095, 'x'));
    EXPECT_EQ(GetPrivateProfileString("S", "long", "", ini_, 10), "xxxxxxxxx");
    EXPECT_EQ(GetPrivateProfileString("S", "long", "", ini_, 0), "");
    EXPECT_EQ(GetPrivateProfileString("S", "nul", "", ini_), "ab");
}

// A NUL ends a line for the reader: blanks before it are trimmed, and a line
// that holds nothing before it is blank.
TEST_F(ProfileTest, ANulEndsTheLineBeforeItIsTrimmed) {
    const std::string nul(1, '\0');
    Put(ini_, "[S]\n k = 9  " + nul + "junk\nwhole" + nul + "=no\n" + nul + "name=hidden\n  " + nul + "x\n[T]" + nul +
                  " junk\nt=1\n");
    EXPECT_EQ(GetPrivateProfileString("S", "k", "", ini_), "9");
    EXPECT_EQ(GetPrivateProfileInt("S", "k", 0, ini_), 9);
    EXPECT_EQ(GetPrivateProfileString("S", "whole", "d", ini_), "d");   // "whole" has no "=" before the NUL
    EXPECT_EQ(GetPrivateProfileString("S", "name", "d", ini_), "d");
    EXPECT_EQ(GetPrivateProfileSection("S", ini_), (Lines{" k = 9  ", "whole"}));
    EXPECT_EQ(GetPrivateProfileString("T", "t", "", ini_), "1");

    // Writing another key keeps the lines as they were, NULs included.
    ASSERT_TRUE(WritePrivateProfileString("S", "new", "v", ini_));
    EXPECT_NE(Slurp(ini_).find("whole" + nul + "=no"), std::string::npos);
    EXPECT_EQ(GetPrivateProfileString("S", "k", "", ini_), "9");
}

TEST_F(ProfileTest, SectionIsCutLikeADoubleNulBuffer) {
    Put(ini_, "[S]\r\nabc\r\ndefg\r\nhi\r\n");
    // 4 + 5 + 3 bytes of lines plus the final NUL.
    EXPECT_EQ(GetPrivateProfileSection("S", ini_, 13), (Lines{"abc", "defg", "hi"}));
    EXPECT_EQ(GetPrivateProfileSection("S", ini_, 12), (Lines{"abc", "defg"}));   // "h" and its NUL do not fit
    EXPECT_EQ(GetPrivateProfileSection("S", ini_, 10), (Lines{"abc", "def"}));
    EXPECT_EQ(GetPrivateProfileSection("S", ini_, 6), (Lines{"abc"}));   // nothing of "defg" fits
    EXPECT_EQ(GetPrivateProfileSection("S", ini_, 0), Lines{});

    // The real buffer: 327 lines of 99 bytes plus one of 65 fill 32,766 bytes and fit;
    // one byte more cuts the last line so that the lines take 32,765 bytes.
    Lines lines(327, std::string(99, 'm'));
    lines.push_back(std::string(65, 'z'));
    ASSERT_TRUE(WritePrivateProfileSection("Big", lines, ini_));
    EXPECT_EQ(GetPrivateProfileSection("Big", ini_), lines);
    lines.back() += "z";
    ASSERT_TRUE(WritePrivateProfileSection("Big", lines, ini_));
    Lines got = GetPrivateProfileSection("Big", ini_);
    ASSERT_EQ(got.size(), 328u);
    EXPECT_EQ(got.back(), std::string(64, 'z'));
    std::size_t total = 0;
    for (const auto& l : got) total += l.size() + 1;
    EXPECT_EQ(total, 32765u);
}

TEST_F(ProfileTest, MissingOrUnusableFileGivesDefaults) {
    for (const std::string& path : {dir_ + "/absent.ini", dir_, dir_ + "/absent/x.ini", std::string()}) {
        EXPECT_EQ(GetPrivateProfileString("S", "k", "d", path), "d") << path;
        EXPECT_EQ(GetPrivateProfileInt("S", "k", 9, path), 9) << path;
        EXPECT_TRUE(GetPrivateProfileSection("S", path).empty()) << path;
    }
    const char raw[] = "\xEF\xBB\xBF[S]\n\0\0garbage\xFF\n[\n]\n=\nk = v\n";
    Put(ini_, std::string(raw, sizeof raw - 1));
    EXPECT_EQ(GetPrivateProfileString("S", "k", "d", ini_), "v");
}

TEST_F(ProfileTest, WriteCreatesFileAndSection) {
    ASSERT_TRUE(WritePrivateProfileString("ROptions", "Host", "mail", ini_));
    EXPECT_EQ(Slurp(ini_), "[ROptions]\r\nHost=mail\r\n");
    ASSERT_TRUE(WritePrivateProfileString("MainForm", "Top", "10", ini_));
    ASSERT_TRUE(WritePrivateProfileString("ROptions", "Port", "25", ini_));
    EXPECT_EQ(Slurp(ini_), "[ROptions]\r\nHost=mail\r\nPort=25\r\n[MainForm]\r\nTop=10\r\n");
    EXPECT_EQ(Entries(), Lines{"test.ini"});
}

TEST_F(ProfileTest, WriteReplacesInPlaceAndKeepsTheRest) {
    Put(ini_, "\xEF\xBB\xBF; top\n[ ROptions ]\nhost = old\n; note\nHost=dup\nplain line\n\n[MainForm]\nTop=1\n");
    ASSERT_TRUE(WritePrivateProfileString("roptions", "HOST", "new", ini_));
    ASSERT_TRUE(WritePrivateProfileString("ROptions", "Port", "-1", ini_));
    EXPECT_EQ(Slurp(ini_),
              "\xEF\xBB\xBF; top\r\n[ ROptions ]\r\nhost=new\r\n; note\r\nHost=dup\r\nplain line\r\nPort=-1\r\n\r\n"
              "[MainForm]\r\nTop=1\r\n");
}

TEST_F(ProfileTest, TextThatWouldNotReadBackIsRefused) {
    Put(ini_, "[S]\r\nk=v\r\n");
    std::string error;
    const std::pair<const char*, const char*> bad[] = {
        {"k", "v\r\n[Evil]\r\nx=1"}, {"k", "v\nw"}, {"", "v"}, {"a=b", "v"}, {"[k", "v"}, {";k", "v"}};
    for (const auto& [key, value] : bad)
        EXPECT_FALSE(WritePrivateProfileString("S", key, value, ini_, &error)) << key << "|" << value;
    EXPECT_FALSE(WritePrivateProfileString("S]x", "k", "v", ini_));
    EXPECT_FALSE(WritePrivateProfileString("", "k", "v", ini_));
    EXPECT_FALSE(WritePrivateProfileSection("S", {"ok", "[Evil]"}, ini_));
    EXPECT_FALSE(WritePrivateProfileSection("S", {"a\r\nb"}, ini_));
    EXPECT_FALSE(WritePrivateProfileString("S", "k", std::string("a\0b", 3), ini_));
    EXPECT_EQ(Slurp(ini_), "[S]\r\nk=v\r\n");
}

TEST_F(ProfileTest, SectionsAreWrittenAndReadAsRawLines) {
    Put(ini_, "[ROptions]\nHost=h\n[MText]\nold 1\nold 2\n\n[MainForm]\nTop=1\n");
    const Lines text = {"Dear all,", "#@$%#", "  indented = not a key  ", "[URGENT] report", "; not lost"};
    ASSERT_TRUE(WritePrivateProfileSection("mtext", text, ini_));
    EXPECT_EQ(GetPrivateProfileSection("MText", ini_), text);
    EXPECT_EQ(GetPrivateProfileString("ROptions", "Host", "", ini_), "h");
    EXPECT_EQ(GetPrivateProfileString("MainForm", "Top", "", ini_), "1");
    ASSERT_TRUE(WritePrivateProfileSection("Attached_Files", {" "}, ini_));   // blank lines do not come back
    EXPECT_TRUE(GetPrivateProfileSection("Attached_Files", ini_).empty());
    ASSERT_TRUE(WritePrivateProfileSection("MText", {}, ini_));
    EXPECT_EQ(Slurp(ini_),
              "[ROptions]\r\nHost=h\r\n[MText]\r\n\r\n[MainForm]\r\nTop=1\r\n[Attached_Files]\r\n \r\n");
}

TEST_F(ProfileTest, RewritingASectionEndingInABlankLineDoesNotGrowTheFile) {
    // A list saved with a blank last entry, then saved again and again, as the
    // window state is at every close.
    Put(ini_, "[MText]\r\nold\r\n\r\n[Attached_Files]\r\n");
    const Lines text = {"line", ""};
    ASSERT_TRUE(WritePrivateProfileSection("MText", text, ini_));
    const std::string once = Slurp(ini_);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(WritePrivateProfileSection("MText", text, ini_));
    EXPECT_EQ(Slurp(ini_), once);
    EXPECT_EQ(once, "[MText]\r\nline\r\n\r\n\r\n[Attached_Files]\r\n");
}

TEST_F(ProfileTest, LoadedFileAnswersFromMemoryUntilSaved) {
    Put(ini_, "[S]\r\na=1\r\n");
    pw::TIniFile ini(ini_);
    Put(ini_, "[S]\r\na=2\r\n");
    EXPECT_EQ(ini.ReadInteger("S", "a", 0), 1);              // read once
    EXPECT_EQ(GetPrivateProfileInt("S", "a", 0, ini_), 2);   // the free call reads afresh
    ASSERT_TRUE(ini.WriteString("S", "b", "x"));
    EXPECT_EQ(GetPrivateProfileString("S", "b", "none", ini_), "none");
    ASSERT_TRUE(ini.Save());
    EXPECT_EQ(Slurp(ini_), "[S]\r\na=1\r\nb=x\r\n");
}

TEST_F(ProfileTest, FailedWritesLeaveTheOldFile) {
    const std::string old = "[S]\r\nk=old\r\n";
    std::string error;
    // The path is a folder.
    fs::create_directory(dir_ + "/sub.ini");
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", dir_ + "/sub.ini", &error));
    EXPECT_EQ(error, "Is a directory");
    EXPECT_TRUE(fs::is_empty(dir_ + "/sub.ini"));

    // A read-only folder.
    Put(ini_, old);
    fs::permissions(dir_, fs::perms(0555));
    EXPECT_EQ(RunInChild([&] { return WritePrivateProfileString("S", "k", "new", ini_) ? 1 : 0; }), 0);
    fs::permissions(dir_, fs::perms(0777));
    EXPECT_EQ(Slurp(ini_), old);

    // A file that exists but cannot be read is not replaced by what little we know.
    fs::permissions(ini_, fs::perms::none);
    EXPECT_EQ(RunInChild([&] { return WritePrivateProfileString("S", "k", "new", ini_) ? 1 : 0; }), 0);
    fs::permissions(ini_, fs::perms(0644));
    EXPECT_EQ(Slurp(ini_), old);

    // The disk fills up in mid-write (a file size limit stands in for it). The
    // file is one the child may write.
    fs::permissions(ini_, fs::perms(0666));
    EXPECT_EQ(RunInChild([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{4096, 4096};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  std::string why;
                  const bool ok = WritePrivateProfileString("S", "k", std::string(10000, 'n'), ini_, &why);
                  return ok ? 1 : why == "File too large" ? 0 : 2;
              }),
              0);
    EXPECT_EQ(Slurp(ini_), old);
    EXPECT_EQ(Entries(), (Lines{"sub.ini", "test.ini"}));   // no temporary file left
}

TEST_F(ProfileTest, WritesKeepModeAndFollowLinks) {
    Put(ini_, "[S]\r\n");
    fs::permissions(ini_, fs::perms(0640));
    fs::create_symlink(ini_, dir_ + "/link.ini");
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", dir_ + "/link.ini"));
    EXPECT_TRUE(fs::is_symlink(dir_ + "/link.ini"));
    EXPECT_EQ(Slurp(ini_), "[S]\r\nk=v\r\n");
    EXPECT_EQ(fs::status(ini_).permissions(), fs::perms(0640));
}

TEST_F(ProfileTest, ReaderSeesOnlyWholeFiles) {
    const std::string a = "[S]\r\n" + std::string(200000, 'a') + "\r\n", b = "[S]\r\nb=1\r\n";
    Put(ini_, a);
    const pid_t writer = ::fork();
    if (writer == 0) {
        for (int i = 0; i < 100; ++i) pw::ReplaceFileAtomically(ini_, i % 2 ? a : b);
        ::_exit(0);
    }
    int reads = 0, torn = 0, status = 0;
    bool finished = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(finished = ::waitpid(writer, &status, WNOHANG) == writer) &&
           std::chrono::steady_clock::now() < deadline) {
        const std::string seen = Slurp(ini_);
        ++reads;
        if (seen != a && seen != b) ++torn;
    }
    if (!finished) {
        ::kill(writer, SIGKILL);
        ::waitpid(writer, &status, 0);
    }
    EXPECT_TRUE(finished);
    EXPECT_GT(reads, 10);
    EXPECT_EQ(torn, 0);
}
