// The sole-argument commands: which arguments they are, the usage text with
// the files in use, and the password read from a pipe and from a terminal
// without echo.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/PasswordEntry.h"
#include "app/SoleCommands.h"

namespace pw {
namespace {

using ::testing::HasSubstr;

TEST(SoleCommands, OnlyAsTheSoleArgument) {
    const std::pair<std::vector<std::string>, TSoleCommand> rows[] = {
        {{"--help"}, TSoleCommand::Help},
        {{"--version"}, TSoleCommand::Version},
        {{"--set-password"}, TSoleCommand::SetPassword},
        {{"--help", "a.txt"}, TSoleCommand::None},
        {{"a.txt", "--version"}, TSoleCommand::None},
        {{"-help"}, TSoleCommand::None},
        {{"--HELP"}, TSoleCommand::None},
        {{}, TSoleCommand::None},
    };
    for (const auto& [args, command] : rows) EXPECT_EQ(SoleCommandOf(args), command) << ::testing::PrintToString(args);
}

TEST(SoleCommands, UsageNamesTheKeysTheExitCodesAndTheFilesInUse) {
    RPlaces places;
    places.IniFile = "/home/u/.config/parcelwing/parcelwing.ini";
    ROptions options;
    options.LogFileName = "/home/u/.local/state/parcelwing/parcelwing.log";
    const std::string text = UsageText(places, options, true);
    for (const char* key : {"-TO:", "-SUBJ:", "-MSGTXT:", "-MSGFILE:", "-LSTF:", "-FROM:", "-FPM:", "-RSD:", "-ASEND:",
                            "-AEXIT:", "--set-password", "--version"}) {
        EXPECT_THAT(text, HasSubstr(key));
    }
    EXPECT_THAT(text, HasSubstr("\n  0  "));
    EXPECT_THAT(text, HasSubstr("\n  1  "));
    EXPECT_THAT(text, HasSubstr("\n  2  "));
    EXPECT_THAT(text, HasSubstr("Settings: /home/u/.config/parcelwing/parcelwing.ini\n"));
    EXPECT_THAT(text, HasSubstr("Log:      /home/u/.local/state/parcelwing/parcelwing.log\n"));

    options.SaveLog = false;
    EXPECT_THAT(UsageText(places, options, true), HasSubstr("Log:      none (SaveLog=0)\n"));
    EXPECT_THAT(UsageText(places, ROptions{}, false),
                HasSubstr("Settings: /home/u/.config/parcelwing/parcelwing.ini (not there yet)\n"));
    EXPECT_EQ(VersionText().rfind("Parcelwing ", 0), 0u);
}

// What ReadPassword makes of what a pipe brings.
TEST(PasswordEntry, FromAPipeTheFirstLineIsThePassword) {
    struct Row {
        std::string input;
        bool ok;
        std::string password;  // or the error
        std::string left;      // what stays unread
    };
    const Row rows[] = {
        {"secret\n", true, "secret", ""},
        {"secret\r\n", true, "secret", ""},
        {"no line end", true, "no line end", ""},
        {"first\nsecond\n", true, "first", "second\n"},
        {"  blanks kept  \n", true, "  blanks kept  ", ""},
        {"", false, "no password on standard input", ""},
        {"\n", false, "the password is empty", ""},
        {std::string(MaxPasswordLength, 'p') + "\n", true, std::string(MaxPasswordLength, 'p'), ""},
        {std::string(MaxPasswordLength + 1, 'p') + "\nnext", false, "the password is longer than 3069 bytes", "next"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.input.substr(0, 40));
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::thread writer([&] {
            ssize_t at = 0;
            while (at < static_cast<ssize_t>(r.input.size())) {
                const ssize_t n = ::write(fds[1], r.input.data() + at, r.input.size() - static_cast<std::size_t>(at));
                if (n <= 0) break;
                at += n;
            }
            ::close(fds[1]);
        });
        std::string password, error;
        const bool ok = ReadPassword(fds[0], stderr, password, error);
        writer.join();
        EXPECT_EQ(ok, r.ok);
        EXPECT_EQ(ok ? password : error, r.password);
        if (!ok) {
            EXPECT_TRUE(password.empty());
        }
        std::string left;
        char c;
        while (::read(fds[0], &c, 1) == 1) left += c;
        EXPECT_EQ(left, r.left);
        ::close(fds[0]);
    }
}

// On a terminal: the prompt shows, what is typed is not echoed, and the
// terminal's echo is back on afterwards.
TEST(PasswordEntry, OnATerminalNothingTypedIsEchoed) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    std::FILE* prompt = ::fdopen(::dup(slave), "w");
    ASSERT_NE(prompt, nullptr);

    std::string password, error;
    bool ok = false;
    std::thread reader([&] { ok = ReadPassword(slave, prompt, password, error); });
    // Wait for the prompt, then type.
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const auto readSome = [&] {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            char buffer[256];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
        }
    };
    while (seen.find("Password: ") == std::string::npos && std::chrono::steady_clock::now() < deadline) readSome();
    ASSERT_NE(seen.find("Password: "), std::string::npos);
    const std::string typed = "hunter2\n";
    ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    reader.join();
    for (int i = 0; i < 5; ++i) readSome();

    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(password, "hunter2");
    EXPECT_EQ(seen.find("hunter2"), std::string::npos) << "echoed: " << seen;
    termios after{};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo is back on";
    std::fclose(prompt);
    ::close(slave);
    ::close(master);
}

}  // namespace
}  // namespace pw
