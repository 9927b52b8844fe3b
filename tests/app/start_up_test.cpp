// The start-up sequence in process, on a MemoryView.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/MainUnit.h"
#include "app/MemoryView.h"
#include "app/StartUp.h"
#include "config/Options.h"
#include "config/WindowState.h"
#include "platform/MessageLoop.h"

namespace pw {
namespace {

namespace fs = std::filesystem;

class StartUpTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("pw-startup-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        program_ = (folder_ / "parcelwing").string();
    }
    void TearDown() override { fs::remove_all(folder_); }

    fs::path folder_;
    std::string program_;
};

TEST_F(StartUpTest, ClosingDuringTheFirstRunDialogKeepsTheRememberedLists) {
    // An INI file without From and Host (so the first-run dialog opens) that
    // remembers a file list and recent recipients from an earlier run.
    ROptions options;
    RWindowState remembered;
    remembered.ToItems = {"boss@example.org"};
    remembered.Files = {"/srv/report.pdf"};
    remembered.ToText = "boss@example.org";
    const std::string ini = IniFileName(program_);
    ASSERT_TRUE(SaveWindowState(ini, options, remembered));

    MessageLoop loop;
    MemoryView view;
    TMainUnit unit(loop, view, program_);
    RStartUpHooks hooks;
    bool dialogOpened = false;
    // The window is closed (a signal, the session ending) while the dialog is open.
    hooks.EditOptions = [&](TMainUnit& u) {
        dialogOpened = true;
        u.CloseMainWindow();
    };
    RunStartUpSequence(unit, {}, hooks);

    ASSERT_TRUE(dialogOpened);
    EXPECT_TRUE(unit.Closing());
    EXPECT_TRUE(unit.WindowStateSaved()) << "nothing failed: the state was kept, not written";
    RWindowState after;
    LoadWindowState(ini, after);
    EXPECT_EQ(after.Files, remembered.Files);
    EXPECT_EQ(after.ToItems, remembered.ToItems);
    EXPECT_EQ(after.ToText, remembered.ToText);
}

TEST_F(StartUpTest, ClosingAfterStartUpSavesTheWindowState) {
    MessageLoop loop;
    MemoryView view;
    TMainUnit unit(loop, view, program_);
    RunStartUpSequence(unit, {}, {});
    view.AppendFile("/srv/new.pdf");
    unit.CloseMainWindow();
    EXPECT_TRUE(unit.WindowStateSaved());
    RWindowState after;
    LoadWindowState(IniFileName(program_), after);
    EXPECT_EQ(after.Files, std::vector<std::string>{"/srv/new.pdf"});
}

}  // namespace
}  // namespace pw
