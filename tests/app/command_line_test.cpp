// Command-line grammar, command keys, text-file cutting and folder expansion.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "support/TempDir.h"

#include "app/CommandLine.h"
#include "app/MemoryView.h"

namespace pw {
namespace {

namespace fs = std::filesystem;

using TempDir = test::TempDir;

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

// --- Splitting -------------------------------------------------------------

struct SplitCase {
    std::string text;
    std::vector<std::string> args;  // arguments after the program path
};

TEST(ArgSplit, FollowsTheQuotingRules) {
    const SplitCase cases[] = {
        {"prog", {}},
        {"", {}},
        {"prog a b", {"a", "b"}},
        {"  prog \t a\r\n b  ", {"a", "b"}},
        // A value alone quoted keeps its quotes; the argument quoted whole loses them.
        {"prog -SUBJ:\"Hello world\"", {"-SUBJ:\"Hello world\""}},
        {"prog \"-SUBJ:Hello world\"", {"-SUBJ:Hello world"}},
        // An empty pair of quotes is no argument at all.
        {"prog \"\" a.txt", {"a.txt"}},
        {"prog \"\"\"\" a.txt", {"a.txt"}},
        {"prog \"\"b", {"b"}},
        // A quote that is never closed runs to the end of the text.
        {"prog \"open ended", {"\"open ended"}},
        {"prog \"", {"\""}},
        {"prog a\"b c\"d e", {"a\"b c\"d", "e"}},
        {"\"C:\\Program Files\\pw.exe\" x", {"x"}},
        // Bytes above 127 belong to arguments; a NUL ends the text.
        {"prog \xE9t\xE9 z", {"\xE9t\xE9", "z"}},
        {std::string("prog a\0b", 8), {"a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ArgCount(c.text), static_cast<int>(c.args.size()));
        EXPECT_EQ(SplitArgs(c.text), c.args);
        for (std::size_t i = 0; i < c.args.size(); ++i) EXPECT_EQ(ArgAt(c.text, static_cast<int>(i + 1)), c.args[i]);
        EXPECT_EQ(ArgAt(c.text, static_cast<int>(c.args.size() + 1)), "");
    }
    EXPECT_EQ(ArgAt("\"C:\\Program Files\\pw.exe\" x", 0), "C:\\Program Files\\pw.exe");
    EXPECT_EQ(ArgAt("prog x", -1), "");
}

TEST(ArgSplit, QuotedArgumentsComeBackThroughTheSplitter) {
    const std::vector<std::string> args = {"/usr/bin/parcelwing", "/tmp/a file.txt", "-SUBJ:two words",
                                           "plain", "tab\there"};
    const std::string line = JoinCommandLine(args);
    ASSERT_EQ(ArgCount(line), 4);
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(ArgAt(line, i), args[static_cast<std::size_t>(i)]);
}

// What the grammar cannot carry, as QuoteArg says; everything else comes back.
TEST(ArgSplit, ArgumentsWithDoubleQuotesThatComeBackAndThoseThatCannot) {
    struct Case {
        std::string arg, back;
    };
    const std::vector<Case> cases = {
        {"a\"b", "a\"b"},                 // an odd quote at the end of the line
        {"-SUBJ:\"x\"", "-SUBJ:\"x\""},
        {"\"x\"", "x"},                    // begins and ends with one
        {"\"\"x", "x"},                    // begins with two: skipped as empty
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        const std::string line = JoinCommandLine({"parcelwing", c.arg});
        EXPECT_EQ(ArgCount(line), 1);
        EXPECT_EQ(ArgAt(line, 1), c.back);
    }
    // A quote and a blank: the quoted form splits apart.
    EXPECT_EQ(SplitArgs(JoinCommandLine({"parcelwing", "a\" b"})), (std::vector<std::string>{"a", "b\""}));
    // An odd quote takes the arguments after it.
    EXPECT_EQ(SplitArgs(JoinCommandLine({"parcelwing", "a\"b", "c"})), std::vector<std::string>{"a\"b c"});
}

TEST(ArgSplit, ProcessArgsSkipEmptyOnesAndKeepQuotes) {
    const char* argv[] = {"parcelwing", "", "a b", "-SUBJ:\"x\"", nullptr};
    EXPECT_EQ(ProcessArgs(4, argv), (std::vector<std::string>{"a b", "-SUBJ:\"x\""}));
    EXPECT_TRUE(ProcessArgs(1, argv).empty());
}

// --- Keys ----------------------------------------------------------------

TEST(Keys, ParseKeyFindsTheTableEntry) {
    struct Case {
        const char* text;
        TCommandKey key;
        const char* value;
    };
    const Case cases[] = {
        {"-TO:a@b.c", KeyTo, "a@b.c"},       {"/to:a@b.c", KeyTo, "a@b.c"},
        {"-subj:Re: hi", KeySubj, "Re: hi"}, {"-MsgTxt:Hello", KeyMsgTxt, "Hello"},
        {"-MSGFILE:x", KeyMsgFile, "x"},     {"-asend:yes", KeyASend, "yes"},
        {"-AEXIT:no", KeyAExit, "no"},       {"-RSD:YES", KeyRsd, "YES"},
        {"-FPM:3", KeyFpm, "3"},             {"-LSTF:l.txt", KeyLstf, "l.txt"},
        {"-FROM:me@x", KeyFrom, "me@x"},     {"-RCPT:x", KeyRcpt, "x"},
        {"-SF:x", KeySf, "x"},               {"-TO", KeyNone, ""},
        {"TO:x", KeyNone, ""},               {"-XX:y", KeyNone, "y"},
        {"-T O:x", KeyNone, "x"},            {"-:x", KeyNone, "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string value;
        EXPECT_EQ(ParseKey(c.text, &value), c.key);
        EXPECT_EQ(value, c.value);
    }
}

TEST(Keys, LeadingIntegerOfFpm) {
    const std::pair<const char*, int> cases[] = {
        {"3", 3},      {"3x", 3},       {"+12", 12},     {"-4", -4},
        {"abc", 0},    {"", 0},         {"-", 0},        {" 5", 0},
        {"007", 7},    {"2147483647", 2147483647},       {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ParseLeadingInt(text), expected) << text;
}

TEST(Keys, ApplyKeySetsBoxesAndOptions) {
    MemoryView view;
    ROptions options;
    view.SetBoxText(TComboBox::To, "old@x");
    ApplyKey(view, options, "-to:Someone@Example.org");
    EXPECT_EQ(view.BoxText(TComboBox::To), "Someone@Example.org");
    ApplyKey(view, options, "/SUBJ:Re: news: today");
    EXPECT_EQ(view.BoxText(TComboBox::Subject), "Re: news: today");
    ApplyKey(view, options, "-MSGTXT:Hello there");
    EXPECT_EQ(view.MessageText(), "Hello there");
    ApplyKey(view, options, "-FROM:me@here");
    EXPECT_EQ(options.From, "me@here");

    ApplyKey(view, options, "-ASEND:yEs");
    EXPECT_TRUE(options.AutoSend);
    ApplyKey(view, options, "-ASEND:1");
    EXPECT_FALSE(options.AutoSend);
    ApplyKey(view, options, "-ASEND:true");
    EXPECT_FALSE(options.AutoSend);
    ApplyKey(view, options, "-AEXIT:YES");
    EXPECT_TRUE(options.ExitAfterSend);
    ApplyKey(view, options, "-RSD:yes");
    EXPECT_TRUE(options.RecSubDir);
    ApplyKey(view, options, "-FPM:abc");
    EXPECT_EQ(options.FilPerMes, 0);
    ApplyKey(view, options, "-FPM:3b");
    EXPECT_EQ(options.FilPerMes, 3);

    // Without a colon nothing happens; with nothing after it the box empties.
    ApplyKey(view, options, "-TO");
    EXPECT_EQ(view.BoxText(TComboBox::To), "Someone@Example.org");
    ApplyKey(view, options, "-TO:");
    EXPECT_EQ(view.BoxText(TComboBox::To), "");

    // The inert keys and unknown keys change nothing.
    const ROptions before = options;
    ApplyKey(view, options, "-RCPT:x@y");
    ApplyKey(view, options, "-SF:z");
    ApplyKey(view, options, "-NOPE:z");
    EXPECT_EQ(options.From, before.From);
    EXPECT_EQ(view.BoxText(TComboBox::Subject), "Re: news: today");
}

TEST(Keys, EveryDashArgumentRefreshesTheListButtons) {
    MemoryView view;
    ROptions options;
    ApplyKey(view, options, "-whatever");
    EXPECT_EQ(view.ListControlRefreshes(), 1);
    EXPECT_FALSE(view.ListControlsEnabled());
    view.AppendFile("/x");
    ApplyKey(view, options, "/NOPE:1");
    EXPECT_EQ(view.ListControlRefreshes(), 2);
    EXPECT_TRUE(view.ListControlsEnabled());
    ApplyKey(view, options, "plain:text");  // not a key: no refresh
    EXPECT_EQ(view.ListControlRefreshes(), 2);
}

// --- Text files ----------------------------------------------------------

TEST(TextFiles, CutAtEveryLineEnd) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\r\nb", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\r\nb", {"a", "", "b"}},
        {"\r\n", {""}},
        {"\r\n\r\n", {"", ""}},
        {"a\n\rb", {"a", "", "b"}},
        {std::string("x\0y\r\n", 5), {std::string("x\0y", 3)}},
    };
    for (const auto& [text, lines] : cases) EXPECT_EQ(CutTextLines(text), lines);
}

TEST(TextFiles, MsgFileAndListFile) {
    TempDir dir;
    WriteFile(dir / "body.txt", "Dear all,\r\n\r\nsee attached.\nBye");
    WriteFile(dir / "list.txt", "/data/one.pdf\r\n\r\nnot checked at all\r\n  \r\n");

    MemoryView view;
    ROptions options;
    ApplyKey(view, options, "-MSGFILE:" + (dir / "body.txt"));
    EXPECT_EQ(view.MessageText(), "Dear all,\r\n\r\nsee attached.\r\nBye\r\n");

    ApplyKey(view, options, "-LSTF:" + (dir / "list.txt"));
    EXPECT_EQ(view.Files(), (std::vector<std::string>{"/data/one.pdf", "", "not checked at all", "  "}));
    EXPECT_TRUE(view.ListControlsEnabled());
    EXPECT_TRUE(view.UpdatesBalanced());
}

TEST(TextFiles, UnreadableFilesAreReportedAndChangeNothing) {
    TempDir dir;
    ::mkfifo((dir / "fifo").c_str(), 0600);  // would block a plain read for ever
    const std::pair<std::string, std::string> cases[] = {
        {dir / "missing.txt", "No such file or directory"},
        {dir.Path(), "Is a directory"},
        {dir / "fifo", "Not a regular file"},
        {"/dev/zero", "Not a regular file"},
    };
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        MemoryView view;
        ROptions options;
        view.SetMessageText("previous");
        EXPECT_EQ(ApplyKey(view, options, "-MSGFILE:" + name),
                  TEntryProblems{"Can't read message file " + name + ": " + reason});
        EXPECT_EQ(view.MessageText(), "previous");
        EXPECT_EQ(ApplyKey(view, options, "-LSTF:" + name),
                  TEntryProblems{"Can't read list file " + name + ": " + reason});
        EXPECT_EQ(view.FileCount(), 0);
    }
    // An empty file is read: it gives an empty text.
    WriteFile(dir / "empty.txt", "");
    MemoryView view;
    ROptions options;
    view.SetMessageText("previous");
    EXPECT_TRUE(ApplyKey(view, options, "-MSGFILE:" + (dir / "empty.txt")).empty());
    EXPECT_EQ(view.MessageText(), "");
}

// --- AddEntry and AddFolder ----------------------------------------------

class AddEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir / "sub/deeper");
        WriteFile(dir / "a.txt", "a");
        WriteFile(dir / "b.pdf", "b");
        WriteFile(dir / "sub/c.txt", "c");
        WriteFile(dir / "sub/deeper/d.txt", "d");
    }

    std::set<std::string> FileSet() const {
        return std::set<std::string>(view.Files().begin(), view.Files().end());
    }

    TempDir dir;
    MemoryView view;
    ROptions options;
};

TEST_F(AddEntryTest, FileIsAppendedUnchangedAndDuplicatesStay) {
    AddEntry(view, options, dir / "a.txt");
    AddEntry(view, options, dir / "a.txt");
    EXPECT_EQ(view.Files(), (std::vector<std::string>{dir / "a.txt", dir / "a.txt"}));
}

TEST_F(AddEntryTest, WildcardMatchingAFileCountsAsExisting) {
    AddEntry(view, options, dir / "*.pdf");
    AddEntry(view, options, dir / "?.txt");
    AddEntry(view, options, dir / "*.doc");   // matches nothing
    AddEntry(view, options, dir / "su*");     // matches only a folder
    EXPECT_EQ(view.Files(), (std::vector<std::string>{dir / "*.pdf", dir / "?.txt"}));
}

TEST_F(AddEntryTest, FolderWithoutRecursionListsOnlyItsFiles) {
    AddEntry(view, options, "-TO:x@y.z");
    AddEntry(view, options, "-SUBJ:Word");
    AddEntry(view, options, dir.Path());
    EXPECT_EQ(view.BoxText(TComboBox::To), "x@y.z");
    EXPECT_EQ(view.BoxText(TComboBox::Subject), "Word");
    EXPECT_EQ(FileSet(), (std::set<std::string>{dir / "a.txt", dir / "b.pdf"}));
    EXPECT_TRUE(view.UpdatesBalanced());
}

TEST_F(AddEntryTest, FolderWithRecursionGoesToAnyDepth) {
    options.RecSubDir = true;
    AddEntry(view, options, dir.Path() + "/");  // a trailing "/" is not doubled
    EXPECT_EQ(FileSet(), (std::set<std::string>{dir / "a.txt", dir / "b.pdf", dir / "sub/c.txt",
                                                dir / "sub/deeper/d.txt"}));
    EXPECT_EQ(view.FileCount(), 4);
}

TEST_F(AddEntryTest, LinkBackToAParentDoesNotLoop) {
    options.RecSubDir = true;
    fs::create_directory_symlink(dir.Path(), dir / "sub/loop");
    fs::create_directory_symlink(dir / "sub", dir / "sub/deeper/up");
    AddEntry(view, options, dir.Path());
    EXPECT_EQ(FileSet(), (std::set<std::string>{dir / "a.txt", dir / "b.pdf", dir / "sub/c.txt",
                                                dir / "sub/deeper/d.txt"}));
    EXPECT_EQ(view.FileCount(), 4);
}

TEST_F(AddEntryTest, LinkedFolderSeenTwiceOnDifferentPathsIsListedTwice) {
    // Not a loop: the same folder reached by two paths is listed under each.
    options.RecSubDir = true;
    fs::create_directory_symlink(dir / "sub/deeper", dir / "alias");
    AddEntry(view, options, dir.Path());
    EXPECT_EQ(std::count(view.Files().begin(), view.Files().end(), dir / "alias/d.txt"), 1);
    EXPECT_EQ(std::count(view.Files().begin(), view.Files().end(), dir / "sub/deeper/d.txt"), 1);
}

TEST_F(AddEntryTest, NamesThatAreNothingAreReportedAndLeftOut) {
    ::mkfifo((dir / "pipe").c_str(), 0600);
    const std::pair<std::string, TEntryProblems> cases[] = {
        {dir / "missing.txt", {"Can't find file " + (dir / "missing.txt")}},
        {"", {}},
        {"relative-nothing", {"Can't find file relative-nothing"}},
        {dir / "pipe", {"Can't send " + (dir / "pipe") + ": not a regular file or folder"}},
        // Paths and names that only begin like keys are names.
        {"/srv/files/typo-report.pdf", {"Can't find file /srv/files/typo-report.pdf"}},
        {"/srv/a:b.txt", {"Can't find file /srv/a:b.txt"}},
        {"-TO", {"Can't find file -TO"}},
        {"-my-file.txt", {"Can't find file -my-file.txt"}},
        // A key form not in the table is named.
        {"-SUBJECT:Quarterly report", {"Unknown key -SUBJECT:Quarterly report"}},
        {"/nokey:1", {"Unknown key /nokey:1"}},
        // The inert keys are keys of the table.
        {"-RCPT:x@y", {}},
        // Control characters in a name are shown escaped.
        {std::string("bad\x1b[2Jname"), {"Can't find file bad\\x1b[2Jname"}},
    };
    for (const auto& [text, problems] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(AddEntry(view, options, text), problems);
    }
    EXPECT_EQ(view.FileCount(), 0);
    EXPECT_TRUE(view.Boxes().empty());
}

TEST(KeyGrammar, AKeyIsDashOrSlashLettersAndAColon) {
    const std::pair<const char*, bool> cases[] = {
        {"-TO:a@b", true},     {"/subj:x", true},     {"-ASEND:", true},     {"-NOKEY:v", true},
        {"-TO", false},        {"TO:x", false},       {"-:x", false},        {"-T O:x", false},
        {"/srv/a:b", false},   {"-x1:y", false},      {"/a/b:c", false},     {"--help", false},
        {"-", false},          {"/:", false},
    };
    for (const auto& [text, key] : cases) EXPECT_EQ(IsKeyForm(text), key) << text;
}

TEST(KeyGrammar, SendAndExitRunNeedsBothKeysWithYes) {
    TempDir dir;
    WriteFile(dir / "a.txt", "a");
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"-ASEND:YES", "-AEXIT:YES"}, true},
        {{"/asend:yes", "-aexit:Yes", dir / "a.txt"}, true},
        {{"-ASEND:YES"}, false},
        {{"-AEXIT:YES", "-ASEND:NO"}, false},
        {{"-ASEND:YES", "-AEXIT:YES", "-AEXIT:NO"}, false},  // the last one counts
        {{"-ASEND:1", "-AEXIT:YES"}, false},
        {{}, false},
    };
    for (const auto& [args, run] : cases) EXPECT_EQ(IsSendAndExitRun(args), run) << ::testing::PrintToString(args);
}

TEST_F(AddEntryTest, StartupArgumentsDecideAboutAutoSend) {
    EXPECT_FALSE(ApplyStartupArgs(view, options, {}));
    options.AutoSend = true;
    EXPECT_FALSE(ApplyStartupArgs(view, options, {}));  // no arguments: nothing is sent
    options.AutoSend = false;
    TEntryProblems problems;
    EXPECT_TRUE(ApplyStartupArgs(view, options, {dir / "a.txt", "-ASEND:YES", "gone.pdf", "-SUBJEKT:x"}, &problems));
    EXPECT_EQ(view.FileCount(), 1);
    EXPECT_EQ(problems, (TEntryProblems{"Can't find file gone.pdf", "Unknown key -SUBJEKT:x"}));
}

TEST(AddFolderSpeed, HundredThousandFilesUnderTwoSeconds) {
    TempDir dir;
    const std::string folder = dir / "many";
    fs::create_directory(folder);
    for (int i = 0; i < 100000; ++i) {
        const std::string name = folder + "/f" + std::to_string(i) + ".dat";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    MemoryView view;
    ROptions options;
    const auto start = std::chrono::steady_clock::now();
    AddEntry(view, options, folder);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(view.FileCount(), 100000);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2000);
    std::printf("AddFolder of 100000 files: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

}  // namespace
}  // namespace pw
