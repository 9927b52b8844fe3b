// The start-up sequence in process, on a MemoryView.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

// The options dialog's save goes through the unit: a password stored from a
// terminal while the window was open is not overwritten with the old one the
// window still holds, while what the user changed is written.
TEST_F(StartUpTest, TheDialogsSaveKeepsAPasswordStoredMeanwhile) {
    const std::string ini = IniFileName(program_);
    ROptions stored;
    stored.From = "me@example.org";
    stored.Host = "mail.example.org";
    stored.SMTP_Auth_Pass = "old";
    ASSERT_TRUE(SaveOptions(stored, ini));

    MessageLoop loop;
    MemoryView view;
    TMainUnit unit(loop, view, program_);
    RunStartUpSequence(unit, {}, {});
    ASSERT_EQ(unit.Options().SMTP_Auth_Pass, "old");

    RPlaces places = unit.Places();
    places.IniFile = ini;
    ASSERT_TRUE(StorePassword("new", places));  // --set-password from a terminal

    ROptions edited = unit.Options();
    edited.Port = 587;
    ASSERT_TRUE(unit.SaveOptions(edited));
    EXPECT_EQ(unit.OptionsAsSaved(), edited);
    ROptions read;
    LoadOptions(read, ini, program_);
    EXPECT_EQ(read.Port, 587);
    EXPECT_EQ(read.SMTP_Auth_Pass, "new");
    EXPECT_EQ(fs::status(ini).permissions(), fs::perms(0600));

    // A window that changes the password itself stores its own.
    ROptions typed = edited;
    typed.SMTP_Auth_Pass = "typed";
    ASSERT_TRUE(unit.SaveOptions(typed));
    LoadOptions(read, ini, program_);
    EXPECT_EQ(read.SMTP_Auth_Pass, "typed");
    unit.CloseMainWindow();
}

// A send-and-exit run reads no remembered state and writes none, and any
// argument it cannot use stops its job before anything is sent.
TEST_F(StartUpTest, AnIndependentRunNeitherReadsNorWritesTheWindowStateAndRefusesBadArguments) {
    const std::string ini = IniFileName(program_);
    ROptions options;
    options.From = "me@example.org";
    options.Host = "127.0.0.1";
    ASSERT_TRUE(SaveOptions(options, ini));
    RWindowState remembered;
    remembered.Files = {"/srv/remembered.pdf"};
    remembered.SubjText = "remembered subject";
    ASSERT_TRUE(SaveWindowState(ini, ROptions{}, remembered));
    const std::string before = [&] {
        std::ifstream in(ini, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();

    MessageLoop loop;
    std::vector<std::string> notes;
    struct TNoteView : MemoryView {
        std::vector<std::string>* notes = nullptr;
        void ErrorNote(const std::string& text) override { notes->push_back(text); }
    } noting;
    noting.notes = &notes;
    TMainUnit unit(loop, noting, program_);
    unit.SetIndependentRun(true);
    RunStartUpSequence(unit, {"-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES", "/no/such/file.pdf"}, {});
    EXPECT_TRUE(noting.Files() == std::vector<std::string>{});
    EXPECT_EQ(noting.BoxText(TComboBox::Subject), "");
    EXPECT_EQ(notes, (std::vector<std::string>{"Parcelwing: Can't find file /no/such/file.pdf",
                                               "Parcelwing: Nothing was sent"}));
    EXPECT_EQ(noting.CloseRequests(), 1);
    unit.CloseMainWindow();
    EXPECT_EQ(unit.ExitCode(), ExitCodeJobFailed);
    const std::string after = [&] {
        std::ifstream in(ini, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace pw
