// The console's progress lines: their text, when they are printed (only after
// a job has run a while, at most once a second, only to a terminal unless told
// otherwise) and where they go (the error stream, never the log's stream).

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ui/ConsoleFrontEnd.h"

namespace pw {
namespace {

// The whole content of a temporary stream.
std::string Content(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

RJobProgress Running(double seconds, int message = 1, int messages = 3) {
    RJobProgress p;
    p.Running = true;
    p.Seconds = seconds;
    p.Message = message;
    p.Messages = messages;
    return p;
}

TEST(ConsoleProgress, LineNamesTheMessageAndTheAttachmentBytes) {
    struct Row {
        int message, messages;
        std::string file;
        std::uint64_t done, size;
        const char* want;
    };
    const Row rows[] = {
        {2, 5, "/srv/out/big.iso", 1048576, 4194304, "Parcelwing: message 2 of 5, big.iso: 1048576 of 4194304 bytes"},
        {1, 1, "plain.bin", 0, 0, "Parcelwing: message 1 of 1, plain.bin: 0 of 0 bytes"},
        {7, 200, "", 0, 0, "Parcelwing: message 7 of 200"},
        {0, 3, "", 0, 0, "Parcelwing: message 0 of 3"},
    };
    for (const auto& r : rows) {
        RJobProgress p = Running(5, r.message, r.messages);
        p.File = r.file;
        p.FileDone = r.done;
        p.FileSize = r.size;
        EXPECT_EQ(ConsoleProgressLine(p), r.want);
    }
}

class ConsoleProgressStreams : public ::testing::Test {
protected:
    void SetUp() override {
        out_ = std::tmpfile();
        err_ = std::tmpfile();
        ASSERT_NE(out_, nullptr);
        ASSERT_NE(err_, nullptr);
    }
    void TearDown() override {
        std::fclose(out_);
        std::fclose(err_);
    }
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
};

TEST_F(ConsoleProgressStreams, PrintsAfterTwoSecondsThenAtMostOnceASecond) {
    TConsoleView view(out_, err_);
    view.SetShowProgress(true);
    // Reports as the core sends them (every quarter second or so).
    const double times[] = {0.0, 0.25, 1.0, 1.99, 2.0, 2.25, 2.9, 3.0, 3.4, 3.99, 4.3, 6.0};
    for (double t : times) view.JobProgress(Running(t));
    RJobProgress end = Running(6.1);
    end.Running = false;
    view.JobProgress(end);

    const std::string line = "Parcelwing: message 1 of 3\n";
    // 2.0, 3.0, 4.3 and 6.0.
    EXPECT_EQ(Content(err_), line + line + line + line);
    EXPECT_EQ(Content(out_), "");  // the log's stream never sees progress
}

TEST_F(ConsoleProgressStreams, ANewJobStartsItsOwnCount) {
    TConsoleView view(out_, err_);
    view.SetShowProgress(true);
    view.JobProgress(Running(3.0));
    RJobProgress end = Running(3.5);
    end.Running = false;
    view.JobProgress(end);
    // The next job: quiet for its first two seconds, then printed at once
    // even though its clock reads less than the last job's.
    view.JobProgress(Running(0.5, 1, 1));
    view.JobProgress(Running(2.5, 1, 1));
    EXPECT_EQ(Content(err_), "Parcelwing: message 1 of 3\nParcelwing: message 1 of 1\n");
}

TEST_F(ConsoleProgressStreams, NothingWhenTheErrorStreamIsNoTerminal) {
    // A temporary file is no terminal: by default nothing is printed.
    TConsoleView view(out_, err_);
    for (double t = 0; t < 10; t += 0.5) view.JobProgress(Running(t));
    EXPECT_EQ(Content(err_), "");
    EXPECT_EQ(Content(out_), "");
}

}  // namespace
}  // namespace pw
