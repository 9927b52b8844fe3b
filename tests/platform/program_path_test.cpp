#include "platform/ProgramPath.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(ProgramPath, ExtensionRules) {
    struct Row { const char* path; const char* fileExt; const char* lastDot; } rows[] = {
        {"/opt/pw/parcelwing.exe", "/opt/pw/parcelwing.ini", "/opt/pw/parcelwing.ini"},
        {"/opt/pw/parcelwing", "/opt/pw/parcelwing.ini", "/opt/pw/parcelwing.ini"},
        {"/opt/pw.d/parcelwing", "/opt/pw.d/parcelwing.ini", "/opt/pw.ini"},   // where the rules part
        {"/opt/pw/send.tar.gz", "/opt/pw/send.tar.ini", "/opt/pw/send.tar.ini"},
        {"/opt/pw/parcelwing.", "/opt/pw/parcelwing.ini", "/opt/pw/parcelwing.ini"},
        {"/opt/pw/.hidden", "/opt/pw/.ini", "/opt/pw/.ini"},
        {"parcelwing", "parcelwing.ini", "parcelwing.ini"},
        {"./parcelwing", "./parcelwing.ini", ".ini"},
        {"C:\\pw\\parcelwing.exe", "C:\\pw\\parcelwing.ini", "C:\\pw\\parcelwing.ini"},
        {"", ".ini", ".ini"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(pw::ChangeFileExt(r.path, ".ini"), r.fileExt) << r.path;
        EXPECT_EQ(pw::ChangeAfterLastDot(r.path, ".ini"), r.lastDot) << r.path;
    }
    EXPECT_EQ(pw::ChangeFileExt("/var/log/pw.log", ".bak"), "/var/log/pw.bak");
    EXPECT_EQ(pw::FolderOf("/opt/pw.d/parcelwing"), "/opt/pw.d/");
    EXPECT_EQ(pw::FolderOf("/parcelwing"), "/");
    EXPECT_EQ(pw::FolderOf("parcelwing"), "");
    EXPECT_EQ(pw::ChangeFileExt("/var/log/pw.log", ""), "/var/log/pw");
}

TEST(ProgramPath, RunningProgramIsThisFile) {
    const std::string self = pw::ProgramFileName();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(self.front(), '/');
    struct stat mine {}, named {};
    ASSERT_EQ(::stat("/proc/self/exe", &mine), 0);
    ASSERT_EQ(::stat(self.c_str(), &named), 0);
    EXPECT_EQ(mine.st_ino, named.st_ino);
    EXPECT_EQ(mine.st_dev, named.st_dev);
    const std::string folder = pw::ProgramFolder();
    EXPECT_EQ(folder.back(), '/');
    EXPECT_EQ(self.rfind(folder, 0), 0u);
    EXPECT_EQ(self.find('/', folder.size()), std::string::npos);
}

// A program whose file was removed while it runs still reports its own name, without
// the kernel's " (deleted)" mark. The test runs a copy of itself and removes the copy.
TEST(ProgramPath, RemovedProgramKeepsItsName) {
    if (const char* out = std::getenv("PW_TEST_REPORT_TO")) {   // the copy's part
        fs::remove(pw::ProgramFileName());
        std::ofstream(out) << pw::ProgramFileName();
        return;
    }
    std::string tmpl = ::testing::TempDir() + "pw_exe_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const std::string copy = tmpl + "/parcel wing", report = tmpl + "/report";
    fs::copy_file("/proc/self/exe", copy);
    fs::permissions(copy, fs::perms(0755));
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("PW_TEST_REPORT_TO", report.c_str(), 1);
        if (const int quiet = ::open("/dev/null", O_WRONLY); quiet >= 0) ::dup2(quiet, 1);
        ::execl(copy.c_str(), copy.c_str(), "--gtest_filter=ProgramPath.RemovedProgramKeepsItsName", nullptr);
        ::_exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream in(report);
    const std::string reported((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool copyRemoved = !fs::exists(copy);
    std::error_code ec;
    fs::remove_all(tmpl, ec);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(copyRemoved);
    EXPECT_EQ(reported, copy);
}
