// The program binary and its window module: with a display the window comes
// from parcelwing-window.so; without one no Qt library is loaded at all; with
// a display but no module the program says so and goes on as a console program.

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/program_harness.h"

namespace pw {
namespace {

using namespace std::chrono_literals;
using test::TChild;
using test::TProgramFolder;
using ::testing::HasSubstr;
using ::testing::Not;

// What the running process has mapped: its libraries and modules.
std::string MapsOf(const TChild& child) { return test::ReadWholeFile("/proc/" + std::to_string(child.Pid()) + "/maps"); }

class WindowModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.copied);
        // Options that need no first-run dialog; nothing is sent.
        folder_.WriteIni({"From=me@example.org", "Host=127.0.0.1", "Port=" + std::to_string(test::ClosedPort()),
                          "TimeOut=5"});
    }

    bool StartWithDisplay(TChild& child, const std::vector<std::string>& args) const {
        std::vector<std::string> argv{folder_.program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = folder_.Environment();
        env.push_back("DISPLAY=:99");
        env.push_back("QT_QPA_PLATFORM=offscreen");
        return child.Start(argv, env, {"WAYLAND_DISPLAY"}, folder_.root + "/files");
    }

    TProgramFolder folder_;
};

TEST_F(WindowModuleTest, TheWindowComesFromTheModuleAndTheConsoleLoadsNoQt) {
    const std::filesystem::path module = std::filesystem::path(test::BuiltProgram()).parent_path() / "parcelwing-window.so";
    ASSERT_TRUE(std::filesystem::exists(module));
    std::filesystem::copy_file(module, folder_.root + "/prog/parcelwing-window.so");

    TChild window;
    ASSERT_TRUE(StartWithDisplay(window, {"-SUBJ:through the window"}));
    ASSERT_TRUE(folder_.WaitListening(20s)) << window.err;
    const std::string windowMaps = MapsOf(window);
    EXPECT_THAT(windowMaps, HasSubstr("/prog/parcelwing-window.so"));
    EXPECT_THAT(windowMaps, HasSubstr("libQt6Widgets"));
    window.Signal(SIGTERM);
    EXPECT_EQ(window.Wait(20s), 1) << window.err;
    EXPECT_THAT(window.err, Not(HasSubstr("cannot be shown")));
    EXPECT_THAT(test::ReadWholeFile(folder_.ini), HasSubstr("SubjEdit_Text=through the window"));

    TChild console;
    ASSERT_TRUE(folder_.Start(console, {"-SUBJ:on the console"}));
    ASSERT_TRUE(folder_.WaitListening(20s)) << console.err;
    const std::string consoleMaps = MapsOf(console);
    EXPECT_THAT(consoleMaps, Not(HasSubstr("libQt6")));
    EXPECT_THAT(consoleMaps, Not(HasSubstr("parcelwing-window.so")));
    console.Signal(SIGTERM);
    EXPECT_EQ(console.Wait(20s), 1) << console.err;
    EXPECT_THAT(test::ReadWholeFile(folder_.ini), HasSubstr("SubjEdit_Text=on the console"));
}

TEST_F(WindowModuleTest, WithoutTheModuleADisplayRunIsSaidAndGoesOnAsAConsoleRun) {
    TChild child;
    ASSERT_TRUE(StartWithDisplay(child, {"-SUBJ:no window"}));
    ASSERT_TRUE(folder_.WaitListening(20s)) << child.err;
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(20s), 1) << child.out << child.err;
    EXPECT_THAT(child.err, HasSubstr("Parcelwing: the window cannot be shown (parcelwing-window.so not found beside "
                                     "the program); going on without it"));
    EXPECT_THAT(test::ReadWholeFile(folder_.ini), HasSubstr("SubjEdit_Text=no window"));
}

// A send-and-exit run never shows a window, display or not: it does not even
// look for the module, and its boxes go to standard error.
TEST_F(WindowModuleTest, ASendAndExitRunIsAConsoleRunEvenWithADisplay) {
    const std::string file = folder_.File("a.txt", "a\r\n");
    TChild child;
    ASSERT_TRUE(StartWithDisplay(child, {"-TO:you@example.org", "-ASEND:YES", "-AEXIT:YES", file}));
    // Nothing listens on the port: the job fails and the program ends with 2.
    EXPECT_EQ(child.Wait(30s), 2) << child.out << child.err;
    EXPECT_THAT(child.err, Not(HasSubstr("cannot be shown")));
    EXPECT_THAT(child.err, HasSubstr("Parcelwing error!!!: Error!!! See the logfile for more info... Connection refused [OK]"));
    EXPECT_THAT(child.out, HasSubstr("Reason: Connection refused"));
}

}  // namespace
}  // namespace pw
