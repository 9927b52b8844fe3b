// Window state and recent entries: raw-line sections with their marker and
// limit, the load/save round trip through the INI file, and PushRecent.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/TempDir.h"

#include "config/WindowState.h"
#include "platform/PrivateProfile.h"

namespace pw {
namespace {

namespace fs = std::filesystem;

using TempDir = test::TempDir;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

using Lines = std::vector<std::string>;

TEST(ListSection, MarkerStandsForBlankEntriesButTheLast) {
    const std::pair<Lines, Lines> cases[] = {
        {{}, {}},
        {{"a", "", "b"}, {"a", "#@$%#", "b"}},
        {{"a", " ", "b"}, {"a", "#@$%#", "b"}},
        {{"a", ""}, {"a", ""}},  // the last entry is taken as it is
        {{" "}, {" "}},
        {{" padded "}, {" padded "}},
    };
    for (const auto& [entries, lines] : cases) EXPECT_EQ(EncodeListSection(entries), lines);
}

TEST(ListSection, EntriesTheSectionCannotHoldAsTheyAreAreEscapedAfterTheMarker) {
    const std::pair<Lines, Lines> cases[] = {
        {{"ok", "[URGENT]", "fine]"}, {"ok", "#@$%#[URGENT]", "fine]"}},
        {{" [ x ] "}, {"#@$%# [ x ] "}},
        {{"two\nlines", "a\\b\r"}, {"#@$%#two\\nlines", "#@$%#a\\\\b\\r"}},
        {{"#@$%#", "#@$%#tail"}, {"#@$%##@$%#", "#@$%##@$%#tail"}},
        // Blanks that are not a single one would read back as no line at all.
        {{"a", "  ", "\t", "b", "   "}, {"a", "#@$%#  ", "#@$%#\t", "b", "#@$%#   "}},
        // A backslash alone needs nothing.
        {{"C:\\temp", ";not a comment", "k=v"}, {"C:\\temp", ";not a comment", "k=v"}},
    };
    for (const auto& [entries, lines] : cases) EXPECT_EQ(EncodeListSection(entries), lines);
}

// Every entry comes back unchanged through a real INI file, the two blank
// forms of the stored format apart ("" and " " not last come back as " ").
TEST(ListSection, EntriesReadBackUnchangedThroughTheFile) {
    TempDir dir;
    const std::string ini = dir / "pw.ini";
    const Lines entries{"[URGENT]",    "  [spaced]  ", "#@$%#",   "#@$%#x",     "tab\there", "\t",
                        "   ",         "a\nb",         "c\r\nd",  std::string("n\0l", 3), "back\\slash\\n",
                        ";comment",    "key = value",  "[",        "]",          "trailing\\",
                        "\x01control", "ends"};
    ASSERT_TRUE(WriteListSection(ini, "MText", entries));
    ASSERT_TRUE(WritePrivateProfileString("After", "k", "v", ini));  // a section after it
    Lines back;
    ReadListSection(ini, "MText", back);
    EXPECT_EQ(back, entries);
    EXPECT_EQ(GetPrivateProfileString("After", "k", "", ini), "v");
}

TEST(ListSection, CutAt32765BytesWithOneSeparatorPerLine) {
    Lines entries(327, std::string(99, 'x'));  // 327 x 100 = 32,700 bytes
    entries.push_back(std::string(200, 'y'));   // crosses the limit
    entries.push_back("never written");
    const Lines lines = EncodeListSection(entries);
    ASSERT_EQ(lines.size(), 328u);
    EXPECT_EQ(lines.back(), std::string(64, 'y'));
    std::size_t total = 0;
    for (const auto& line : lines) total += line.size() + 1;
    EXPECT_EQ(total, ListSectionLimit);

    // A line that would keep no character is dropped.
    Lines full(327, std::string(99, 'x'));
    full.push_back(std::string(64, 'z'));  // exactly fills the limit
    full.push_back("next");
    EXPECT_EQ(EncodeListSection(full).size(), 328u);
}

TEST(ListSection, ReadingAppendsAndTurnsMarkersIntoBlanks) {
    Lines entries{"kept"};
    DecodeListSection({"a", "#@$%#", "b"}, entries);
    EXPECT_EQ(entries, (Lines{"kept", "a", " ", "b"}));
}

TEST(ListSection, MessageLinesAsAnEditControlCountsThem) {
    EXPECT_EQ(MessageLines(""), Lines{""});
    EXPECT_EQ(MessageLines("one"), Lines{"one"});
    EXPECT_EQ(MessageLines("one\r\n"), (Lines{"one", ""}));
    EXPECT_EQ(MessageLines("a\r\n\r\nb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(MessageLines("a\nb\rc"), (Lines{"a", "b", "c"}));
}

RWindowState SampleState() {
    RWindowState state;
    state.Geometry = {120, 80, 640, 480, 150};
    state.ToItems = {"first@example.org", "second@example.org"};
    state.SubjItems = {"Weekly report"};
    state.ToText = "first@example.org";
    state.SubjText = "Weekly report";
    state.MessageText = "Hello,\r\n\r\nthe files are attached.";
    state.Files = {"/data/a.pdf", "/data/b c.txt"};
    return state;
}

TEST(WindowState, RoundTripThroughTheIniFile) {
    TempDir dir;
    const std::string ini = dir / "parcelwing.ini";
    ASSERT_TRUE(WritePrivateProfileString("ROptions", "Host", "mail.example.org", ini));
    ROptions options;
    ASSERT_TRUE(SaveWindowState(ini, options, SampleState()));

    // The message's empty line is stored as the marker.
    EXPECT_EQ(GetPrivateProfileSection("MText", ini), (Lines{"Hello,", "#@$%#", "the files are attached."}));
    EXPECT_EQ(GetPrivateProfileSection("Attached_Files", ini), (Lines{"/data/a.pdf", "/data/b c.txt"}));
    EXPECT_EQ(GetPrivateProfileString("MainForm", "MemoHeight", "", ini), "150");
    EXPECT_EQ(GetPrivateProfileString("ROptions", "Host", "", ini), "mail.example.org");  // other sections stay

    RWindowState loaded;
    LoadWindowState(ini, loaded);
    const RWindowState saved = SampleState();
    EXPECT_EQ(loaded.Geometry.Top, 120);
    EXPECT_EQ(loaded.Geometry.Left, 80);
    EXPECT_EQ(loaded.Geometry.Width, 640);
    EXPECT_EQ(loaded.Geometry.Height, 480);
    EXPECT_EQ(loaded.Geometry.MemoHeight, 150);
    EXPECT_EQ(loaded.ToItems, saved.ToItems);
    EXPECT_EQ(loaded.SubjItems, saved.SubjItems);
    EXPECT_EQ(loaded.ToText, saved.ToText);
    EXPECT_EQ(loaded.SubjText, saved.SubjText);
    // Each stored line comes back with CR LF; the empty line as one blank.
    EXPECT_EQ(loaded.MessageText, "Hello,\r\n \r\nthe files are attached.\r\n");
    EXPECT_EQ(loaded.Files, saved.Files);
}

TEST(WindowState, EmptyFileListIsStoredAsOneBlankLineAndRestoredEmpty) {
    TempDir dir;
    const std::string ini = dir / "pw.ini";
    ROptions options;
    ASSERT_TRUE(SaveWindowState(ini, options, SampleState()));
    RWindowState state = SampleState();
    state.Files.clear();
    ASSERT_TRUE(SaveWindowState(ini, options, state));
    EXPECT_NE(ReadAll(ini).find("[Attached_Files]\r\n \r\n"), std::string::npos);

    RWindowState loaded;
    LoadWindowState(ini, loaded);
    EXPECT_TRUE(loaded.Files.empty());
}

TEST(WindowState, EmptyRecentListLeavesTheSectionAsItWas) {
    TempDir dir;
    const std::string ini = dir / "pw.ini";
    ROptions options;
    ASSERT_TRUE(SaveWindowState(ini, options, SampleState()));
    RWindowState state = SampleState();
    state.ToItems.clear();
    ASSERT_TRUE(SaveWindowState(ini, options, state));
    EXPECT_EQ(GetPrivateProfileSection("ToEdit_Items", ini), SampleState().ToItems);
}

TEST(WindowState, SendAndExitRunStoresNothing) {
    TempDir dir;
    const std::string ini = dir / "pw.ini";
    ROptions plain;
    ASSERT_TRUE(SaveWindowState(ini, plain, SampleState()));
    const std::string before = ReadAll(ini);

    RWindowState changed = SampleState();
    changed.ToText = "someone-else@example.org";
    changed.Files = {"/other"};
    ROptions sendAndExit;
    sendAndExit.AutoSend = true;
    sendAndExit.ExitAfterSend = true;
    EXPECT_TRUE(SaveWindowState(ini, sendAndExit, changed));
    EXPECT_EQ(ReadAll(ini), before);

    ROptions onlyOne;
    onlyOne.AutoSend = true;  // one of the two is not enough
    EXPECT_TRUE(SaveWindowState(ini, onlyOne, changed));
    EXPECT_NE(ReadAll(ini), before);
}

TEST(WindowState, MissingFileGivesDefaultsAndLoadAppends) {
    TempDir dir;
    RWindowState state;
    state.Files = {"/already/there"};
    state.MessageText = "typed\r\n";
    LoadWindowState(dir / "none.ini", state);
    EXPECT_EQ(state.Geometry.Top, 10);
    EXPECT_EQ(state.Geometry.Left, 10);
    EXPECT_EQ(state.Geometry.Width, 500);
    EXPECT_EQ(state.Geometry.Height, 400);
    EXPECT_EQ(state.Geometry.MemoHeight, 80);
    EXPECT_TRUE(state.ToItems.empty());
    EXPECT_EQ(state.Files, Lines{"/already/there"});
    EXPECT_EQ(state.MessageText, "typed\r\n");

    const std::string ini = dir / "pw.ini";
    ASSERT_TRUE(SaveWindowState(ini, ROptions{}, SampleState()));
    LoadWindowState(ini, state);
    EXPECT_EQ(state.Files, (Lines{"/already/there", "/data/a.pdf", "/data/b c.txt"}));
}

TEST(WindowState, BoxTextsAreReadUpTo4095Characters) {
    TempDir dir;
    const std::string ini = dir / "pw.ini";
    RWindowState state = SampleState();
    state.SubjText = std::string(5000, 's');
    state.ToText = "a\r\nb";  // a key line cannot hold a line break
    ASSERT_TRUE(SaveWindowState(ini, ROptions{}, state));
    RWindowState loaded;
    LoadWindowState(ini, loaded);
    EXPECT_EQ(loaded.SubjText, std::string(4095, 's'));
    EXPECT_EQ(loaded.ToText, "a  b");
}

TEST(WindowState, UnwritableFileIsReported) {
    TempDir dir;
    const RSaveResult result = SaveWindowState(dir / "missing-folder/pw.ini", ROptions{}, SampleState());
    EXPECT_FALSE(result);
    EXPECT_EQ(result.Error, "No such file or directory");
}

TEST(WindowState, AFullSectionNamesWhatItCouldNotKeep) {
    TempDir dir;
    const std::string ini = dir / "pw.ini";
    RWindowState state = SampleState();
    state.Files.assign(400, std::string(99, 'f'));  // 100 bytes a line: 327 fit whole
    state.Files[327] = std::string(99, 'k');
    const RSaveResult result = SaveWindowState(ini, ROptions{}, state);
    ASSERT_TRUE(result);
    EXPECT_EQ(result.NotKept, Lines{"Attached_Files: 73 entries not kept, from \"" + std::string(99, 'k') +
                                    "\" on (a section holds at most 32765 bytes)"});
    RWindowState loaded;
    LoadWindowState(ini, loaded);
    EXPECT_EQ(loaded.Files.size(), 328u);  // the one that crossed the limit, cut

    // Nothing is reported when everything fits, a trailing blank line included.
    state = SampleState();
    state.MessageText = "one\r\ntwo\r\n";
    EXPECT_TRUE(SaveWindowState(ini, ROptions{}, state).NotKept.empty());
}

// A save reads the file afresh: what another instance wrote meanwhile stays.
TEST(WindowState, SaveKeepsWhatAnotherWriterPutThereMeanwhile) {
    TempDir dir;
    const std::string ini = dir / "pw.ini";
    ASSERT_TRUE(SaveWindowState(ini, ROptions{}, SampleState()));
    ASSERT_TRUE(WritePrivateProfileString("ROptions", "SMTP_Auth_Pass", "c2VjcmV0", ini));
    ASSERT_TRUE(SaveWindowState(ini, ROptions{}, SampleState()));
    EXPECT_EQ(GetPrivateProfileString("ROptions", "SMTP_Auth_Pass", "", ini), "c2VjcmV0");
    // Holding a password, the file is now the user's alone.
    EXPECT_EQ(fs::status(ini).permissions(), fs::perms(0600));
}

TEST(PushRecent, MostRecentFirstWithoutCaseDuplicates) {
    struct Case {
        std::string text;
        Lines before;
        Lines after;
    };
    const Case cases[] = {
        {"new", {}, {"new"}},
        {"b", {"a", "b", "c"}, {"b", "a", "c"}},
        {"Weekly Report", {"x", "weekly report", "WEEKLY REPORT"}, {"Weekly Report", "x", "WEEKLY REPORT"}},
        {"a", {"a"}, {"a"}},
        {"", {"a", "b"}, {"a", "b"}},  // an empty text leaves the list as it is
        {"\xC9t\xE9", {"\xE9t\xE9"}, {"\xC9t\xE9", "\xE9t\xE9"}},  // only a-z fold
    };
    for (const auto& c : cases) {
        Lines items = c.before;
        PushRecent(c.text, items);
        EXPECT_EQ(items, c.after) << c.text;
    }
}

}  // namespace
}  // namespace pw
