// End to end: TSmtpClient sends real messages to aiosmtpd (Debian's
// python3-aiosmtpd) running as a sink on a free loopback port, and Python's
// email package checks every received message: headers, the text body and
// each attachment decoded back to the original bytes under its file name.
// The sink and the checker are the two scripts beside this file.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "smtp/SmtpClient.h"
#include "support/SmtpSessionDriver.h"

namespace pw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::RunLoopUntil;
using test::SmtpSessionDriver;

const char* const Python = "/usr/bin/python3";  // Debian's, with python3-aiosmtpd

std::string ScriptPath(const char* name)
{
    return std::string(PW_SOURCE_DIR) + "/tests/integration/" + name;
}

// The sink process: started with its standard input on a pipe we hold;
// closing that pipe ends it.
class SinkProcess {
public:
    explicit SinkProcess(const fs::path& inbox)
    {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            const std::string script = ScriptPath("smtp_sink.py");
            const std::string folder = inbox.string();
            ::execl(Python, Python, script.c_str(), folder.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        // The first line of its output is the port.
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0)
                continue;
            char buf[64];
            const ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        if (text.find('\n') != std::string::npos)
            port_ = std::stoi(text);
    }

    ~SinkProcess()
    {
        if (stdin_ >= 0)
            ::close(stdin_);
        if (pid_ > 0) {
            int status = 0;
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (::waitpid(pid_, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(20ms);
            }
        }
        if (stdout_ >= 0)
            ::close(stdout_);
    }

    int Port() const { return port_; }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int port_ = 0;
};

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a command with a time limit; returns its exit status and output.
int RunCommand(const std::string& command, std::string& output)
{
    FILE* p = ::popen(("timeout 60 " + command + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return -1;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        output.append(buf, n);
    const int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Content(std::size_t size, unsigned seed)
{
    std::string s(size, '\0');
    std::uint32_t x = 0x9E3779B9u ^ seed;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("pw_e2e_" + std::to_string(::getpid()));
        fs::create_directories(root_ / "files");
        sink_ = std::make_unique<SinkProcess>(root_ / "inbox");
        ASSERT_GT(sink_->Port(), 0) << "the aiosmtpd sink did not start";
    }
    void TearDown() override
    {
        sink_.reset();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string MakeFile(const std::string& name, const std::string& bytes)
    {
        const fs::path p = root_ / "files" / name;
        std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }

    // Sends one message and checks what the sink received.
    void SendAndCheck(const std::vector<std::string>& files, bool ehlo)
    {
        ++messages_;
        MessageLoop loop;
        TSmtpClient client(loop);
        client.Host = "127.0.0.1";
        client.Port = std::to_string(sink_->Port());
        client.SignOn = "client.test";
        client.FromName = "sender@example.org";
        client.RcptName = {"one@example.org", "two@example.org"};
        client.HeaderFrom = "Sender <sender@example.org>";
        client.HeaderTo = "one@example.org; two@example.org";
        client.HeaderSubject = "Files " + std::to_string(messages_);
        client.CharSet = "iso-8859-1";
        client.ReturnReceipt = ehlo;
        client.TimeOut = 20;
        client.AttachedFiles = files;
        client.MessageLines = {"Hello,"};
        const std::vector<std::string> body = {"here are the files.", ".a line that starts with a dot", "",
                                               "unix\nline ends", "Regards"};
        client.OnBodyLine = [&](TSmtpEngine&, std::int32_t n, std::string& line, std::int32_t, bool& more) {
            more = n <= static_cast<std::int32_t>(body.size());
            if (more)
                line = body[static_cast<std::size_t>(n - 1)];
        };
        client.OnHeaderField = [](TSmtpEngine&, std::string& line, int) {
            if (line.compare(0, 5, "Date:") == 0)
                line += "\r\nX-Mailer: Parcelwing v.2.1b ";
        };
        SmtpSessionDriver driver(client, {ehlo, false});
        driver.keepTrace = false;
        driver.Start();
        ASSERT_TRUE(RunLoopUntil(loop, [&] { return driver.Finished(); }, 60s));
        ASSERT_TRUE(driver.Succeeded()) << test::Describe(driver.records);

        const fs::path eml = root_ / "inbox" / ("msg-" + std::to_string(messages_) + ".eml");
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!fs::exists(eml) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(fs::exists(eml));

        const std::string bodyFile = MakeFile("expected-body-" + std::to_string(messages_) + ".txt",
                                              "Hello,\nhere are the files.\n.a line that starts with a dot\n\n"
                                              "unix\nline ends\nRegards\n");
        std::string command = std::string(Python) + " " + Quote(ScriptPath("check_message.py")) + " " +
                              Quote(eml.string()) + " --subject " + Quote(client.HeaderSubject) + " --from " +
                              Quote(client.HeaderFrom) + " --to " + Quote("one@example.org, two@example.org") + " --body " +
                              Quote(bodyFile);
        for (const auto& f : files)
            command += " --attach " + Quote(f);
        std::string output;
        EXPECT_EQ(RunCommand(command, output), 0) << output;
        EXPECT_EQ(output, "OK\n");

        // The envelope the sink recorded.
        std::ifstream json(root_ / "inbox" / ("msg-" + std::to_string(messages_) + ".json"));
        const std::string envelope((std::istreambuf_iterator<char>(json)), std::istreambuf_iterator<char>());
        EXPECT_NE(envelope.find("\"sender@example.org\""), std::string::npos) << envelope;
        EXPECT_NE(envelope.find("\"two@example.org\""), std::string::npos) << envelope;
    }

    fs::path root_;
    std::unique_ptr<SinkProcess> sink_;
    int messages_ = 0;
};

TEST_F(EndToEnd, AttachmentsOfEdgeSizesOneMessageEach)
{
    const std::size_t sizes[] = {0, 1, 44, 45, 46, 1u << 20};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string path = MakeFile("file-" + std::to_string(size) + ".bin", Content(size, static_cast<unsigned>(size)));
        SendAndCheck({path}, false);
    }
}

TEST_F(EndToEnd, SeveralFilesInOneMessage)
{
    std::vector<std::string> files;
    files.push_back(MakeFile("empty.dat", ""));
    files.push_back(MakeFile("one byte.txt", "x"));
    files.push_back(MakeFile("lines.txt", ".starts with a dot\r\n.\r\nbare lf\nend"));
    files.push_back(MakeFile("forty-five.bin", Content(45, 45)));
    files.push_back(MakeFile("random.bin", Content(200000, 7)));
    SendAndCheck(files, true);
}

TEST_F(EndToEnd, TextOnlyMessage)
{
    SendAndCheck({}, true);
}

}  // namespace
}  // namespace pw
