// The log: lines to the file and the status box, and the cut-back of the file.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "support/WholeFile.h"

#include "config/LogFile.h"

namespace pw {
namespace {

namespace fs = std::filesystem;

using TempDir = test::TempDir;

constexpr auto ReadAll = test::ReadWholeFile;
constexpr auto WriteAll = test::WriteWholeFile;

class VectorSink : public ILogSink {
public:
    void BeginUpdate() override { ++depth; }
    void EndUpdate() override { --depth; }
    int EntryCount() const override { return static_cast<int>(entries.size()); }
    void RemoveFirstEntry() override { entries.pop_front(); }
    void AppendEntry(const std::string& text) override {
        if (throwOnAppend) throw std::runtime_error("box gone");
        entries.push_back(text);
        shown = text;
    }
    std::deque<std::string> entries;
    std::string shown;
    int depth = 0;
    bool throwOnAppend = false;
};

// Line n (from 1) of the big test logs: 98 characters, its number first.
std::string BigLine(int n) {
    char head[16];
    std::snprintf(head, sizeof head, "%06d ", n);
    return head + std::string(91, static_cast<char>('a' + n % 26));
}

// --- LogLine ---------------------------------------------------------------

TEST(LogLine, WritesFileAndStatusBox) {
    TempDir dir;
    ROptions options;
    options.SaveLog = true;
    options.LogFileName = dir / "pw.log";
    VectorSink sink;
    TLogFile log(options, &sink);
    log.SetLogPath(options.LogFileName);

    log.LogLine("7 3 2025 9:5:3 RequestDone Rq=0(Connect) Error=0");
    log.LogLine("All Ok!");
    EXPECT_EQ(ReadAll(dir / "pw.log"), "7 3 2025 9:5:3 RequestDone Rq=0(Connect) Error=0\r\nAll Ok!\r\n");
    EXPECT_EQ(sink.entries, (std::deque<std::string>{"7 3 2025 9:5:3 RequestDone Rq=0(Connect) Error=0", "All Ok!"}));
    EXPECT_EQ(sink.shown, "All Ok!");
    EXPECT_EQ(sink.depth, 0);
}

TEST(LogLine, FileOnlyWithSaveLogAndAName) {
    struct Case {
        bool saveLog;
        const char* fileName;
        bool written;
    };
    const Case cases[] = {{true, "set", true}, {false, "set", false}, {true, "", false}};
    for (const auto& c : cases) {
        TempDir dir;
        ROptions options;
        options.SaveLog = c.saveLog;
        options.LogFileName = c.fileName;
        VectorSink sink;
        TLogFile log(options, &sink);
        log.SetLogPath(dir / "fixed.log");
        log.LogLine("line");
        EXPECT_EQ(fs::exists(dir / "fixed.log"), c.written) << c.saveLog << c.fileName;
        EXPECT_EQ(sink.entries.size(), 1u);  // the box gets it in every case
    }
}

TEST(LogLine, PathIsFixedAtStartUp) {
    TempDir dir;
    ROptions options;
    options.LogFileName = dir / "first.log";
    TLogFile log(options, nullptr);
    log.SetLogPath(options.LogFileName);
    options.LogFileName = dir / "second.log";  // chosen later in the options dialog
    log.LogLine("x");
    EXPECT_EQ(ReadAll(dir / "first.log"), "x\r\n");
    EXPECT_FALSE(fs::exists(dir / "second.log"));
}

TEST(LogLine, UnwritableLogNeverThrows) {
    TempDir dir;
    fs::create_directory(dir / "a-folder");
    for (const std::string& path : {dir / "a-folder", dir / "missing/dir/pw.log", std::string("/proc/version")}) {
        ROptions options;
        options.LogFileName = path;
        VectorSink sink;
        TLogFile log(options, &sink);
        log.SetLogPath(path);
        EXPECT_NO_THROW(log.LogLine("still shown"));
        ASSERT_EQ(sink.entries.size(), 2u) << path;
        EXPECT_EQ(sink.entries[0], "still shown");
        EXPECT_EQ(sink.entries[1].rfind("Log file \"" + path + "\" can't be written: ", 0), 0u) << sink.entries[1];
    }
    ROptions options;
    options.LogFileName = dir / "ok.log";
    VectorSink broken;
    broken.throwOnAppend = true;
    TLogFile log(options, &broken);
    log.SetLogPath(options.LogFileName);
    EXPECT_NO_THROW(log.LogLine("to the file anyway"));
    EXPECT_EQ(broken.depth, 0);  // the bracket was closed
    EXPECT_EQ(ReadAll(dir / "ok.log"), "to the file anyway\r\n");
}

// A log file that stops taking lines is said once, and again only after it
// has taken a line in between; the lines themselves are always shown.
TEST(LogLine, AFailingLogFileIsSaidOnceUntilItWorksAgain) {
    TempDir dir;
    ROptions options;
    options.SaveLog = true;
    options.LogFileName = "/dev/full";
    VectorSink sink;
    TLogFile log(options, &sink);
    log.SetLogPath("/dev/full");
    log.LogLine("one");
    log.LogLine("two");
    const std::string full = LogFileErrorLine("/dev/full", ENOSPC);
    EXPECT_EQ(full, "Log file \"/dev/full\" can't be written: No space left on device");
    EXPECT_EQ(sink.entries, (std::deque<std::string>{"one", full, "two"}));

    const std::string good = dir / "pw.log";
    log.SetLogPath(good);
    log.LogLine("three");
    log.SetLogPath("/dev/full");
    log.LogLine("four");
    // SaveLog off: nothing is due, nothing is said, and the state is kept.
    options.SaveLog = false;
    log.LogLine("five");
    options.SaveLog = true;
    log.LogLine("six");
    EXPECT_EQ(sink.entries, (std::deque<std::string>{"one", full, "two", "three", "four", full, "five", "six"}));
    EXPECT_EQ(ReadAll(good), "three\r\n");
}

TEST(LogLine, StatusBoxIsCutFromMoreThan1000To200) {
    ROptions options;
    options.SaveLog = false;
    VectorSink sink;
    TLogFile log(options, &sink);
    for (int i = 1; i <= 1001; ++i) log.LogLine(std::to_string(i));
    EXPECT_EQ(sink.entries.size(), 1001u);
    log.LogLine("1002");
    ASSERT_EQ(sink.entries.size(), 201u);
    EXPECT_EQ(sink.entries.front(), "802");
    EXPECT_EQ(sink.entries.back(), "1002");
    for (int i = 1003; i <= 1802; ++i) log.LogLine(std::to_string(i));
    EXPECT_EQ(sink.entries.size(), 1001u);
    log.LogLine("1803");
    EXPECT_EQ(sink.entries.size(), 201u);
    EXPECT_EQ(sink.entries.front(), "1603");
}

// --- TrimLogFile -----------------------------------------------------------

TEST(TrimLog, ThreeMillionBytesKeepTheLast983700) {
    TempDir dir;
    const std::string path = dir / "parcelwing.log";
    std::string original;
    for (int n = 1; n <= 30000; ++n) original += BigLine(n) + "\r\n";
    ASSERT_EQ(original.size(), 3000000u);
    WriteAll(path, original);

    EXPECT_EQ(TrimLogFile(path), TTrimResult::Trimmed);
    EXPECT_EQ(ReadAll(dir / "parcelwing.bak"), original);
    const std::string kept = ReadAll(path);
    EXPECT_EQ(kept.size(), 983700u);
    std::string expected;
    for (int n = 20164; n <= 30000; ++n) expected += BigLine(n) + "\r\n";
    EXPECT_EQ(kept, expected);
}

TEST(TrimLog, BoundaryAt2048000Bytes) {
    TempDir dir;
    const std::string path = dir / "b.log";
    std::string exact;
    for (int n = 1; n <= 20480; ++n) exact += BigLine(n) + "\r\n";
    ASSERT_EQ(exact.size(), 2048000u);
    WriteAll(path, exact);
    EXPECT_EQ(TrimLogFile(path), TTrimResult::NotNeeded);
    EXPECT_EQ(ReadAll(path), exact);
    EXPECT_FALSE(fs::exists(dir / "b.bak"));

    // One byte more: a last line without a line end.
    WriteAll(path, exact + "x");
    EXPECT_EQ(TrimLogFile(path), TTrimResult::Trimmed);
    std::string expected;
    for (int n = 10449; n <= 20480; ++n) expected += BigLine(n) + "\r\n";
    expected += "x\r\n";
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_EQ(fs::file_size(dir / "b.bak"), 2048001u);
}

TEST(TrimLog, OnlyOneBakGeneration) {
    TempDir dir;
    const std::string path = dir / "c.log";
    WriteAll(dir / "c.bak", "an older generation");
    const std::string big(2100000, 'z');  // one long line, no line end
    WriteAll(path, big);
    EXPECT_EQ(TrimLogFile(path), TTrimResult::Trimmed);
    EXPECT_EQ(ReadAll(dir / "c.bak"), big);
    // The single line is counted whole: 2,100,000 - 2,100,000 < 1,024,000, so it is kept.
    EXPECT_EQ(ReadAll(path), big + "\r\n");
}

TEST(TrimLog, BakThatCannotBeDeletedStopsTheCut) {
    TempDir dir;
    const std::string path = dir / "d.log";
    fs::create_directories(dir / "d.bak/inside");  // a folder: unlink fails
    const std::string big(2100000, 'q');
    WriteAll(path, big);
    EXPECT_EQ(TrimLogFile(path), TTrimResult::BackupNotRemoved);
    EXPECT_EQ(ReadAll(path), big);
}

TEST(TrimLog, MissingOrEmptyNameFindsNothing) {
    TempDir dir;
    EXPECT_EQ(TrimLogFile(dir / "none.log"), TTrimResult::NotNeeded);
    EXPECT_EQ(TrimLogFile(""), TTrimResult::NotNeeded);
    EXPECT_FALSE(fs::exists(dir / "none.bak"));
}

TEST(TrimLog, BakName) {
    const std::pair<const char*, const char*> cases[] = {
        {"/var/log/parcelwing.log", "/var/log/parcelwing.bak"},
        {"/var/log/parcelwing", "/var/log/parcelwing.bak"},
        {"/var/my.logs/send", "/var/my.logs/send.bak"},  // a "." in a folder is no extension
        {"/a/b.c.log", "/a/b.c.bak"},
        {"rel.log", "rel.bak"},
    };
    for (const auto& [path, bak] : cases) EXPECT_EQ(BackupLogName(path), bak);
}

}  // namespace
}  // namespace pw

namespace pw {
namespace {

// Three processes write lines while a fourth cuts the log back, many times
// over: the lock on the log's folder keeps every line, in the new log or in
// the ".bak" the cut leaves (one cut per round, so no ".bak" is replaced
// while it holds lines of the round).
TEST(LogLock, LinesWrittenWhileAnotherProcessTrimsAreKept) {
    TempDir dir;
    const std::string log = dir / "shared.log";
    std::string big;
    for (int n = 1; big.size() <= TrimThreshold; ++n) big += BigLine(n) + "\r\n";
    int lost = 0;
    for (int round = 0; round < 5; ++round) {
        WriteAll(log, big);
        fs::remove(BackupLogName(log));
        std::vector<pid_t> writers;
        for (int w = 0; w < 3; ++w) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ROptions options;
                options.SaveLog = true;
                options.LogFileName = log;
                TLogFile file(options, nullptr);
                file.SetLogPath(log);
                for (int i = 0; i < 400; ++i) file.LogLine("writer " + std::to_string(w) + " line " + std::to_string(i));
                ::_exit(0);
            }
            writers.push_back(pid);
        }
        const pid_t trimmer = ::fork();
        if (trimmer == 0) ::_exit(TrimLogFile(log) == TTrimResult::Trimmed ? 0 : 1);
        for (pid_t pid : writers) ::waitpid(pid, nullptr, 0);
        int status = 0;
        ::waitpid(trimmer, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;

        const std::string kept = ReadAll(log) + ReadAll(BackupLogName(log));
        for (int w = 0; w < 3; ++w) {
            for (int i = 0; i < 400; ++i) {
                if (kept.find("writer " + std::to_string(w) + " line " + std::to_string(i) + "\r\n") == std::string::npos)
                    ++lost;
            }
        }
    }
    EXPECT_EQ(lost, 0);
}

}  // namespace
}  // namespace pw
