// The window's progress bar: where it sits (below the status line, taking the
// place of no other control), when it shows (only while a job runs) and what
// it shows (the share of the job done, the message and the attachment).

#include <QComboBox>
#include <QLayout>
#include <QListWidget>
#include <QProgressBar>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "ui/MainWindow.h"
#include "ui/QtView.h"

namespace pw {
namespace {

using test::FakePrompter;

RJobProgress Running(int message, int messages, const std::string& file = "", std::uint64_t done = 0,
                     std::uint64_t size = 0) {
    RJobProgress p;
    p.Running = true;
    p.Message = message;
    p.Messages = messages;
    p.File = file;
    p.FileDone = done;
    p.FileSize = size;
    return p;
}

TEST(JobProgressValue, CountsFinishedMessagesAndTheShareOfTheFile) {
    struct Row {
        RJobProgress progress;
        int want;
    };
    const Row rows[] = {
        {Running(0, 4), 0},                          // not started yet
        {Running(1, 4), 0},                          // first message, no file yet
        {Running(1, 4, "a", 50, 100), 125},          // half of the first of four
        {Running(3, 4, "a", 100, 100), 750},         // third file read completely
        {Running(4, 4, "a", 0, 0), 750},             // an empty file adds nothing
        {Running(2, 2, "a", 500, 100), 1000},        // a file that grew: never past the end
        {Running(5, 4), 1000},                       // the list got shorter meanwhile
        {Running(1, 0), 0},                          // nothing known
    };
    for (const auto& r : rows) EXPECT_EQ(JobProgressValue(r.progress, 1000), r.want) << r.want;
}

TEST(ProgressBar, SitsBelowTheStatusLineAndShowsOnlyWhileAJobRuns) {
    FakePrompter prompter;
    MainWindow window(prompter);
    QtView view(window, prompter);
    window.show();
    QProgressBar* bar = window.progressBar();
    ASSERT_NE(bar, nullptr);

    // Directly below the status line, in the same panel; the list and the
    // status line keep their places.
    QLayout* panel = window.filesPanel()->layout();
    ASSERT_NE(panel, nullptr);
    const int status = panel->indexOf(window.statusBox());
    const int list = panel->indexOf(window.fileList());
    ASSERT_GE(status, 0);
    ASSERT_GE(list, 0);
    EXPECT_LT(list, status);
    EXPECT_EQ(panel->indexOf(bar), status + 1);
    EXPECT_TRUE(bar->isHidden());
    EXPECT_TRUE(window.statusBox()->isVisible());

    view.JobProgress(Running(2, 4, "/tmp/out/big.bin", 25, 100));
    EXPECT_FALSE(bar->isHidden());
    EXPECT_EQ(bar->value(), 312);  // (1 + 0.25) / 4
    EXPECT_EQ(bar->text(), QStringLiteral("Message 2 of 4 - big.bin (31%)"));
    EXPECT_TRUE(window.statusBox()->isVisible());
    EXPECT_TRUE(window.fileList()->isVisible());

    view.JobProgress(Running(3, 4));
    EXPECT_EQ(bar->value(), 500);
    EXPECT_EQ(bar->text(), QStringLiteral("Message 3 of 4 (50%)"));

    RJobProgress end = Running(4, 4);
    end.Running = false;
    view.JobProgress(end);
    EXPECT_TRUE(bar->isHidden());
    EXPECT_EQ(bar->value(), 0);
}

}  // namespace
}  // namespace pw
