// The sole-argument commands: which arguments they are, the usage text with
// the files in use, and the password and the user name read from a pipe and
// from a terminal (the password without echo, the name shown as typed).

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
        {{"--set-user"}, TSoleCommand::SetUser},
        {{"--set-user", "jane"}, TSoleCommand::None},
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
                            "-AEXIT:", "--set-password", "--set-user", "--version"}) {
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

using TLineReader = bool (*)(int, std::FILE*, std::string&, std::string&);

struct RPipeRow {
    std::string input;
    bool ok;
    std::string value;  // or the error
    std::string left;   // what stays unread
};

// Feeds each row's input through a pipe to `read` and checks what it made of it.
void CheckPipeRows(TLineReader read, const std::vector<RPipeRow>& rows) {
    for (const RPipeRow& r : rows) {
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
        std::string value, error;
        const bool ok = read(fds[0], stderr, value, error);
        writer.join();
        EXPECT_EQ(ok, r.ok);
        EXPECT_EQ(ok ? value : error, r.value);
        if (!ok) {
            EXPECT_TRUE(value.empty());
        }
        std::string left;
        char c;
        while (::read(fds[0], &c, 1) == 1) left += c;
        EXPECT_EQ(left, r.left);
        ::close(fds[0]);
    }
}

TEST(PasswordEntry, FromAPipeTheFirstLineIsThePassword) {
    CheckPipeRows(ReadPassword,
                  {
                      {"secret\n", true, "secret", ""},
                      {"secret\r\n", true, "secret", ""},
                      {"no line end", true, "no line end", ""},
                      {"first\nsecond\n", true, "first", "second\n"},
                      {"  blanks kept  \n", true, "  blanks kept  ", ""},
                      {"", false, "no password on standard input", ""},
                      {"\n", false, "the password is empty", ""},
                      {std::string(MaxPasswordLength, 'p') + "\n", true, std::string(MaxPasswordLength, 'p'), ""},
                      {std::string(MaxPasswordLength + 1, 'p') + "\nnext", false,
                       "the password is longer than 3069 bytes", "next"},
                  });
}

TEST(PasswordEntry, FromAPipeTheFirstLineIsTheUserName) {
    CheckPipeRows(ReadUserName,
                  {
                      {"jane@example.org\n", true, "jane@example.org", ""},
                      {"jane@example.org\r\nrest\n", true, "jane@example.org", "rest\n"},
                      {"DOMAIN\\jane", true, "DOMAIN\\jane", ""},
                      {"", false, "no user name on standard input", ""},
                      {"\r\n", false, "the user name is empty", ""},
                      {std::string(MaxUserNameLength + 1, 'u') + "\n", false,
                       "the user name is longer than 3069 bytes", ""},
                  });
}

// A pseudo-terminal on which a reader runs on its own thread while the test
// plays the person at the keyboard.
class TTerminal {
public:
    TTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave_ >= 0) prompt_ = ::fdopen(::dup(slave_), "w");
    }
    ~TTerminal() {
        if (prompt_ != nullptr) std::fclose(prompt_);
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    TTerminal(const TTerminal&) = delete;
    TTerminal& operator=(const TTerminal&) = delete;

    bool Open() const { return prompt_ != nullptr; }

    // Runs `read` on the terminal, waits for `promptText`, types `typed` and
    // returns everything the terminal showed meanwhile.
    std::string Type(TLineReader read, const std::string& promptText, const std::string& typed, bool& ok,
                     std::string& value, std::string& error) {
        std::thread reader([&] { ok = read(slave_, prompt_, value, error); });
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen.find(promptText) == std::string::npos && std::chrono::steady_clock::now() < deadline)
            ReadSome(seen);
        const bool prompted = seen.find(promptText) != std::string::npos;
        // Typed even without a prompt, so the reader thread ends.
        const bool written = ::write(master_, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
        typed_ = prompted && written;
        reader.join();
        for (int i = 0; i < 5; ++i) ReadSome(seen);
        return seen;
    }
    bool Typed() const { return typed_; }

    bool EchoOn() const {
        termios after{};
        return ::tcgetattr(slave_, &after) == 0 && (after.c_lflag & ECHO) != 0;
    }

private:
    void ReadSome(std::string& seen) const {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            char buffer[256];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::FILE* prompt_ = nullptr;
    bool typed_ = false;
};

// On a terminal: the prompt shows, what is typed is not echoed, and the
// terminal's echo is back on afterwards.
TEST(PasswordEntry, OnATerminalNothingTypedIsEchoed) {
    TTerminal terminal;
    ASSERT_TRUE(terminal.Open());
    bool ok = false;
    std::string password, error;
    const std::string seen = terminal.Type(ReadPassword, "Password: ", "hunter2\n", ok, password, error);
    ASSERT_TRUE(terminal.Typed()) << "no prompt: " << seen;
    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(password, "hunter2");
    EXPECT_EQ(seen.find("hunter2"), std::string::npos) << "echoed: " << seen;
    EXPECT_TRUE(terminal.EchoOn());
}

// The user name is shown as it is typed.
TEST(PasswordEntry, OnATerminalTheUserNameIsShownAsTyped) {
    TTerminal terminal;
    ASSERT_TRUE(terminal.Open());
    bool ok = false;
    std::string name, error;
    const std::string seen = terminal.Type(ReadUserName, "User name: ", "jane@example.org\n", ok, name, error);
    ASSERT_TRUE(terminal.Typed()) << "no prompt: " << seen;
    EXPECT_TRUE(ok) << error;
    EXPECT_EQ(name, "jane@example.org");
    EXPECT_THAT(seen, HasSubstr("User name: jane@example.org"));
    EXPECT_TRUE(terminal.EchoOn());
}

}  // namespace
}  // namespace pw
