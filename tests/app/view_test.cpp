// The in-memory view and the glue that joins it to the log and the window state.

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "app/CommandLine.h"
#include "app/MemoryView.h"
#include "app/ViewBridge.h"
#include "platform/PrivateProfile.h"

namespace pw {
namespace {

namespace fs = std::filesystem;

TEST(MemoryView, BoxesAreRecordedAndAnsweredWithoutBlocking) {
    MemoryView view;
    std::vector<std::string> printed;
    view.OnMessageBox = [&](const RMessageBox& box) { printed.push_back(box.Caption + ": " + box.Text); };
    const std::pair<TBoxButtons, TBoxAnswer> defaults[] = {
        {TBoxButtons::Ok, TBoxAnswer::Ok},
        {TBoxButtons::OkCancel, TBoxAnswer::Ok},
        {TBoxButtons::YesNo, TBoxAnswer::Yes},
        {TBoxButtons::YesNoCancel, TBoxAnswer::Yes},
        {TBoxButtons::RetryCancel, TBoxAnswer::Retry},
    };
    for (const auto& [buttons, answer] : defaults) {
        EXPECT_EQ(view.ShowMessageBox({"t", "c", TBoxIcon::Question, buttons, true}), answer);
    }
    view.QueueAnswer(TBoxAnswer::Cancel);
    EXPECT_EQ(view.ShowMessageBox({"second", "c", TBoxIcon::None, TBoxButtons::OkCancel, false}), TBoxAnswer::Cancel);
    EXPECT_EQ(view.ShowMessageBox({"third", "c", TBoxIcon::None, TBoxButtons::OkCancel, false}), TBoxAnswer::Ok);
    EXPECT_EQ(view.Boxes().size(), 7u);
    EXPECT_EQ(printed.back(), "c: third");
}

TEST(MemoryView, FileListOperations) {
    MemoryView view;
    for (const char* f : {"a", "b", "c"}) view.AppendFile(f);
    view.InsertFile(1, "x");
    EXPECT_EQ(view.Files(), (std::vector<std::string>{"a", "x", "b", "c"}));
    view.SetCurrentFile(2);
    view.SwapFiles(2, 1);
    EXPECT_EQ(view.Files(), (std::vector<std::string>{"a", "b", "x", "c"}));
    view.DeleteFile(0);
    EXPECT_EQ(view.CurrentFile(), 1);  // follows its entry
    view.DeleteFile(1);
    EXPECT_EQ(view.CurrentFile(), -1);
    view.DeleteFile(7);  // out of range: ignored
    view.SwapFiles(0, 9);
    EXPECT_EQ(view.FileAt(9), "");
    EXPECT_EQ(view.Files(), (std::vector<std::string>{"b", "c"}));
    view.SetCurrentFile(5);
    EXPECT_EQ(view.CurrentFile(), -1);
    view.ClearFiles();
    EXPECT_EQ(view.FileCount(), 0);
}

TEST(ViewLog, LinesReachTheStatusBoxThroughTheSink) {
    MemoryView view;
    std::vector<std::string> console;
    view.OnStatus = [&](const std::string& line) { console.push_back(line); };
    TViewLogSink sink(view);
    ROptions options;
    options.SaveLog = false;
    TLogFile log(options, &sink);
    for (int i = 0; i < 1005; ++i) log.LogLine("line " + std::to_string(i));
    EXPECT_EQ(view.StatusCount(), 204);  // cut to 200 at the 1,002nd line, then 3 + 1 more
    EXPECT_EQ(view.StatusEntries().front(), "line 801");
    EXPECT_EQ(view.StatusShownText(), "line 1004");
    EXPECT_EQ(console.size(), 1005u);
    EXPECT_TRUE(view.UpdatesBalanced());
}

class ViewStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pw-viewstate-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        ini_ = dir_ + "/parcelwing.ini";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string dir_;
    std::string ini_;
};

TEST_F(ViewStateTest, SavedViewComesBackIntoAFreshView) {
    MemoryView view;
    view.SetGeometry({5, 6, 700, 500, 90});
    view.SetBoxText(TComboBox::To, "a@example.org");
    view.SetRecentItems(TComboBox::To, {"a@example.org", "b@example.org"});
    view.SetBoxText(TComboBox::Subject, "Files");
    view.SetMessageText("Line one\r\n\r\nLine three");
    view.AppendFile("/srv/one.bin");
    ASSERT_TRUE(SaveWindowState(view, ROptions{}, ini_));

    MemoryView next;
    LoadWindowState(next, ini_);
    EXPECT_EQ(next.Geometry().Width, 700);
    EXPECT_EQ(next.Geometry().MemoHeight, 90);
    EXPECT_EQ(next.BoxText(TComboBox::To), "a@example.org");
    EXPECT_EQ(next.RecentItems(TComboBox::To), (std::vector<std::string>{"a@example.org", "b@example.org"}));
    EXPECT_EQ(next.BoxText(TComboBox::Subject), "Files");
    EXPECT_EQ(next.MessageText(), "Line one\r\n \r\nLine three\r\n");
    EXPECT_EQ(next.Files(), std::vector<std::string>{"/srv/one.bin"});
    EXPECT_TRUE(next.UpdatesBalanced());
}

TEST_F(ViewStateTest, ArgumentsAfterLoadAddToTheRestoredList) {
    // Start-up order: the remembered state first, then the arguments.
    MemoryView saved;
    saved.AppendFile("/restored");
    saved.SetBoxText(TComboBox::To, "old@example.org");
    ASSERT_TRUE(SaveWindowState(saved, ROptions{}, ini_));

    MemoryView view;
    ROptions options;
    LoadWindowState(view, ini_);
    const std::string file = dir_ + "/new.txt";
    fs::copy_file("/proc/self/cmdline", file, fs::copy_options::overwrite_existing);
    EXPECT_FALSE(ApplyStartupArgs(view, options, {file, "-TO:new@example.org"}));
    EXPECT_EQ(view.Files(), (std::vector<std::string>{"/restored", file}));
    EXPECT_EQ(view.BoxText(TComboBox::To), "new@example.org");
}

TEST_F(ViewStateTest, PushRecentOnTheViewsBox) {
    MemoryView view;
    view.SetRecentItems(TComboBox::Subject, {"monthly", "weekly report"});
    view.SetBoxText(TComboBox::Subject, "Weekly Report");
    PushRecent(view, TComboBox::Subject);
    EXPECT_EQ(view.RecentItems(TComboBox::Subject), (std::vector<std::string>{"Weekly Report", "monthly"}));
    EXPECT_EQ(view.BoxText(TComboBox::Subject), "Weekly Report");
    EXPECT_TRUE(view.RecentItems(TComboBox::To).empty());
}

}  // namespace
}  // namespace pw
