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

bool ReadPassword(int fd, std::FILE* prompt, std::string& password, std::string& error) {
    WipeText(password);
    const bool terminal = ::isatty(fd) == 1;
    bool ended = false, tooLong = false, failed = false;
    {
        // Echo goes off before the prompt shows, so nothing typed after it is echoed.
        TNoEcho quiet(terminal ? fd : -1);
        if (terminal && prompt != nullptr) {
            std::fputs("Password: ", prompt);
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
            if (password.size() > MaxPasswordLength) {
                tooLong = true;
                continue;  // read to the line's end, keep nothing more
            }
            password += c;
            c = 0;
        }
    }
    if (terminal && prompt != nullptr) {
        std::fputc('\n', prompt);  // the Enter the user typed was not echoed
        std::fflush(prompt);
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (failed) {
        WipeText(password);
        return false;
    }
    if (tooLong || password.size() > MaxPasswordLength) {
        WipeText(password);
        error = "the password is longer than " + std::to_string(MaxPasswordLength) + " bytes";
        return false;
    }
    if (password.empty()) {
        error = ended ? "the password is empty" : "no password on standard input";
        return false;
    }
    return true;
}

}  // namespace pw
