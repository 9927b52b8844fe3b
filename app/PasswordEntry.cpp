#include "app/PasswordEntry.h"

#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pw {

namespace {

// The terminal as it was, for the signal handler that puts it back.
termios gSavedTerminal{};
volatile sig_atomic_t gTerminalFd = -1;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

void RestoreAndRaise(int signal) {
    if (gTerminalFd >= 0) ::tcsetattr(gTerminalFd, TCSANOW, &gSavedTerminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Echo off for its lifetime.
class TNoEcho {
public:
    explicit TNoEcho(int fd) {
        if (::tcgetattr(fd, &gSavedTerminal) != 0) return;
        struct sigaction action {};
        action.sa_handler = RestoreAndRaise;
        ::sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &action, &old_[i]);
        gTerminalFd = fd;
        termios quiet = gSavedTerminal;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
        quiet.c_lflag |= ICANON;
        ::tcsetattr(fd, TCSANOW, &quiet);
        fd_ = fd;
    }
    ~TNoEcho() {
        if (fd_ < 0) return;
        ::tcsetattr(fd_, TCSANOW, &gSavedTerminal);
        gTerminalFd = -1;
        for (std::size_t i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
    }
    TNoEcho(const TNoEcho&) = delete;
    TNoEcho& operator=(const TNoEcho&) = delete;

private:
    int fd_ = -1;
    struct sigaction old_[kSignalCount] {};
};

}  // namespace

void WipeText(std::string& text) {
    if (!text.empty()) ::explicit_bzero(text.data(), text.size());
    text.clear();
}

namespace {

// What is read, as the prompt and the errors name it, and whether it is echoed.
struct RLineEntry {
    const char* prompt;
    const char* what;
    std::size_t maxLength;
    bool hidden;
};

constexpr RLineEntry kPasswordEntry{"Password: ", "password", MaxPasswordLength, true};
constexpr RLineEntry kUserNameEntry{"User name: ", "user name", MaxUserNameLength, false};

bool ReadEntry(const RLineEntry& entry, int fd, std::FILE* prompt, std::string& line, std::string& error) {
    WipeText(line);
    const bool terminal = ::isatty(fd) == 1;
    bool ended = false, tooLong = false, failed = false;
    {
        // Echo goes off before the prompt shows, so nothing typed after it is echoed.
        TNoEcho quiet(terminal && entry.hidden ? fd : -1);
        if (terminal && prompt != nullptr) {
            std::fputs(entry.prompt, prompt);
            std::fflush(prompt);
        }
        // One byte at a time, so nothing after the line is taken from the input.
        for (;;) {
            char c = 0;
            const ssize_t n = ::read(fd, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                failed = true;
                error = std::strerror(errno);
                break;
            }
            if (n == 0) break;
            if (c == '\n') {
                ended = true;
                break;
            }
            if (line.size() > entry.maxLength) {
                tooLong = true;
                continue;  // read to the line's end, keep nothing more
            }
            line += c;
            c = 0;
        }
    }
    if (terminal && entry.hidden && prompt != nullptr) {
        std::fputc('\n', prompt);  // the Enter the user typed was not echoed
        std::fflush(prompt);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (failed) {
        WipeText(line);
        return false;
    }
    if (tooLong || line.size() > entry.maxLength) {
        WipeText(line);
        error = std::string("the ") + entry.what + " is longer than " + std::to_string(entry.maxLength) + " bytes";
        return false;
    }
    if (line.empty()) {
        error = ended ? std::string("the ") + entry.what + " is empty"
                      : std::string("no ") + entry.what + " on standard input";
        return false;
    }
    return true;
}

}  // namespace

bool ReadPassword(int fd, std::FILE* prompt, std::string& password, std::string& error) {
    return ReadEntry(kPasswordEntry, fd, prompt, password, error);
}

bool ReadUserName(int fd, std::FILE* prompt, std::string& userName, std::string& error) {
    return ReadEntry(kUserNameEntry, fd, prompt, userName, error);
}

}  // namespace pw
