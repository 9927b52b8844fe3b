#pragma once
// Driving the real program as a script does: a temporary program folder with
// a copy of the built binary and its own INI file (the INI file lies beside
// the program), runs bounded in time, output captured, and nothing left
// behind. Every program started here runs with its own hand-off names (its
// runtime folder and instance tag), so tests never meet each other or a
// user's running instance, and without a display (console front end).
//
// Header-only: shared by the app tests and the integration tests.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/Secret.h"
#include "support/LoopbackSocket.h"
#include "support/WholeFile.h"

namespace pw::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Lines of a text, cut at LF with a CR before it dropped.
inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// "8 12 2026 17:57:38 RequestDone Rq=0(Connect) Error=0" -> "Rq=0(Connect) Error=0";
// other lines unchanged.
inline std::string WithoutTime(const std::string& line) {
    const std::size_t at = line.find(" RequestDone ");
    return at == std::string::npos ? line : line.substr(at + 13);
}

inline std::vector<std::string> WithoutTimes(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(WithoutTime(l));
    return out;
}

// A child process with its output collected; killed and reaped on destruction.
class TChild {
public:
    TChild() = default;
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    ~TChild() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        CloseFd(out_);
        CloseFd(err_);
        CloseFd(in_);
    }

    // Starts `argv` with `env` added to (and `unset` removed from) the
    // environment. `keepStdin`: the child's standard input is a pipe held open
    // until CloseStdin(); otherwise /dev/null.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::vector<std::string>& unset, const std::string& cwd = {}, bool keepStdin = false) {
        int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
        if (::pipe2(outPipe, O_CLOEXEC) != 0) return false;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) return false;
        if (keepStdin && ::pipe2(inPipe, O_CLOEXEC) != 0) return false;
        // Everything the child needs is built here: between fork and exec only
        // async-signal-safe calls are made (other test threads may hold locks).
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> envText;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            bool drop = false;
            for (const auto& u : unset) drop = drop || name == u;
            for (const auto& a : env) drop = drop || name == a.substr(0, a.find('='));
            if (!drop) envText.push_back(entry);
        }
        envText.insert(envText.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (auto& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
        const char* dir = cwd.empty() ? nullptr : cwd.c_str();
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            if (dir != nullptr && ::chdir(dir) != 0) ::_exit(126);
            const int in = keepStdin ? inPipe[0] : ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(outPipe[1], 1);
            ::dup2(errPipe[1], 2);
            // The test's own signal mask must not reach the program.
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        out_ = outPipe[0];
        err_ = errPipe[0];
        if (keepStdin) {
            ::close(inPipe[0]);
            in_ = inPipe[1];
        }
        return true;
    }

    pid_t Pid() const { return pid_; }
    // Writes to the child's standard input (Start with keepStdin).
    bool WriteStdin(const std::string& bytes) {
        std::size_t at = 0;
        while (in_ >= 0 && at < bytes.size()) {
            const ssize_t n = ::write(in_, bytes.data() + at, bytes.size() - at);
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
        }
        return at == bytes.size();
    }
    void Signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    void CloseStdin() { CloseFd(in_); }

    // Reads what is there (waiting at most `wait`).
    void Pump(std::chrono::milliseconds wait) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0) return;
        if (fds[0].revents != 0) Drain(out_, out);
        if (fds[1].revents != 0) Drain(err_, err);
    }

    // Waits until standard output holds a line for which `pred` holds.
    bool WaitForLine(const std::function<bool(const std::string&)>& pred, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (const auto& line : SplitLines(out)) {
                if (pred(line)) return true;
            }
            if (std::chrono::steady_clock::now() >= deadline || (out_ < 0 && err_ < 0)) return false;
            Pump(20ms);
        }
    }

    // Waits for the exit; -1 on time-out (the child is then killed), 128 + n
    // for a death by signal n.
    int Wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        for (;;) {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                pid_ = -1;
                timedOut = true;
                Collect();
                return -1;
            }
            Pump(10ms);
        }
        pid_ = -1;
        Collect();
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return 128 + WTERMSIG(status);
    }

    std::vector<std::string> OutLines() const { return SplitLines(out); }
    std::vector<std::string> ErrLines() const { return SplitLines(err); }

    std::string out, err;
    bool timedOut = false;

private:
    static void CloseFd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    static void Drain(int& fd, std::string& into) {
        char buffer[8192];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            CloseFd(fd);
        }
    }
    // After the exit: everything still in the pipes.
    void Collect() {
        for (int round = 0; round < 1000 && (out_ >= 0 || err_ >= 0); ++round) {
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            if (::poll(fds, 2, 100) <= 0) break;
            if (fds[0].revents != 0) Drain(out_, out);
            if (fds[1].revents != 0) Drain(err_, err);
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1, in_ = -1;
};

// The log of one message sent with HELO that ended well, times cut off.
inline const std::vector<std::string> kHeloMessageLog = {
    "Rq=0(Connect) Error=0", "Rq=1(Helo) Error=0", "Rq=2(MailFrom) Error=0", "Rq=4(RcptTo) Error=0",
    "Rq=5(Data) Error=0",    "Rq=6(Quit) Error=0", "All Ok!"};

// A loopback port on which nothing listens.
inline int ClosedPort() { return UnusedLoopbackPort(); }

// The path of the built program.
inline std::string BuiltProgram() { return std::string(PW_BINARY_DIR) + "/bin/parcelwing"; }

// A temporary program folder: prog/<name> (a copy of the built program),
// prog/<name>.ini, rt/ (runtime folder for the hand-off names), files/.
class TProgramFolder {
public:
    explicit TProgramFolder(const std::string& programName = "parcelwing") {
        std::string pattern = (fs::temp_directory_path() / "pw-program-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        fs::create_directories(root + "/prog");
        fs::create_directories(root + "/rt");
        fs::create_directories(root + "/files");
        program = root + "/prog/" + programName;
        ini = program + ".ini";
        static int counter = 0;
        tag = "test" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        std::error_code ec;
        fs::copy_file(BuiltProgram(), program, fs::copy_options::overwrite_existing, ec);
        copied = !ec;
    }
    ~TProgramFolder() {
        std::error_code ec;
        // The block of shared memory goes with the instance; a killed one leaves it.
        const std::string block = "/dev/shm/pcwmap_file." + tag + "." + std::to_string(::getuid());
        fs::remove(block, ec);
        fs::remove_all(root, ec);
    }
    TProgramFolder(const TProgramFolder&) = delete;
    TProgramFolder& operator=(const TProgramFolder&) = delete;

    // Writes the INI file: section "ROptions" with the given lines ("Key=value").
    void WriteIni(const std::vector<std::string>& options, const std::string& extra = {}) const {
        std::string text = "[ROptions]\r\n";
        for (const auto& o : options) text += o + "\r\n";
        text += extra;
        WriteWholeFile(ini, text);
    }

    // Options for a local server on `port` with a log in the program folder.
    std::vector<std::string> ServerOptions(int port) const {
        return {"From=me@example.org", "Host=127.0.0.1", "Port=" + std::to_string(port), "TimeOut=10",
                "LogFileName=" + LogPath(), "SaveLog=1", "LogDetail=1", "ShowMessagesOnError=1"};
    }
    std::string LogPath() const { return root + "/prog/parcelwing.log"; }

    // ServerOptions with a login as `user` (its name in the INI file's
    // protected form) and the dialogue traced (LogDetail=2), for the login
    // tests; they add the method, the security and where the password comes from.
    std::vector<std::string> LoginOptions(int port, const std::string& user) const {
        std::vector<std::string> o = ServerOptions(port);
        for (auto& option : o)
            if (option == "LogDetail=1") option = "LogDetail=2";
        o.insert(o.end(), {"SMTP_Auth_Enabled=1", "SMTP_Auth_Name=" + EncodeSecret(user)});
        return o;
    }

    // The log's lines, times cut off.
    std::vector<std::string> LogLines() const { return WithoutTimes(SplitLines(ReadWholeFile(LogPath()))); }

    // A file in files/ with the given bytes; returns its path.
    std::string File(const std::string& name, const std::string& bytes) const {
        const std::string path = root + "/files/" + name;
        WriteWholeFile(path, bytes);
        return path;
    }

    std::vector<std::string> Environment() const {
        return {"XDG_RUNTIME_DIR=" + root + "/rt", "PARCELWING_INSTANCE=" + tag};
    }

    // Starts the program with `args`; the caller waits.
    bool Start(TChild& child, const std::vector<std::string>& args) const {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        return child.Start(argv, Environment(), {"DISPLAY", "WAYLAND_DISPLAY"}, root + "/files");
    }

    // Runs the program to its end (killed after `limit`); returns the exit code.
    int Run(TChild& child, const std::vector<std::string>& args, std::chrono::milliseconds limit = 30s) const {
        if (!Start(child, args)) return -2;
        return child.Wait(limit);
    }

    // The same with `input` on standard input (then its end).
    int RunWithInput(TChild& child, const std::vector<std::string>& args, const std::string& input,
                     std::chrono::milliseconds limit = 30s) const {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!child.Start(argv, Environment(), {"DISPLAY", "WAYLAND_DISPLAY"}, root + "/files", true)) return -2;
        if (!child.WriteStdin(input)) return -3;
        child.CloseStdin();
        return child.Wait(limit);
    }

    // The socket of a running instance exists once it listens for hand-offs.
    std::string SocketPath() const {
        return root + "/rt/Parcelwing." + tag + "." + std::to_string(::getuid()) + ".sock";
    }
    bool WaitListening(std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (fs::exists(SocketPath())) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    std::string root, program, ini, tag;
    bool copied = false;
};

// The base of the fixtures that run the built program in a folder of their
// own: every test stops at once, saying why, when there is no program to copy.
template <typename Base = ::testing::Test>
class TProgramTestBase : public Base {
protected:
    void SetUp() override { ASSERT_TRUE(folder_.copied) << "build the program first: " << BuiltProgram(); }

    TProgramFolder folder_;
};
using TProgramTest = TProgramTestBase<>;

}  // namespace pw::test
