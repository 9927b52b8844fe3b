#pragma once
// The real SMTP sink of the integration tests (tests/integration/smtp_sink.py,
// aiosmtpd) as a child process on 127.0.0.1, and the real MIME check
// (check_message.py). Header-only, for the integration tests.

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/program_harness.h"

namespace pw::test {

inline const std::string kPython = "/usr/bin/python3";
inline std::string IntegrationScript(const std::string& name) {
    return std::string(PW_SOURCE_DIR) + "/tests/integration/" + name;
}

// The sink, writing msg-N.eml and msg-N.json into `folder`, running until its
// standard input closes (on destruction). `options`: smtp_sink.py's options
// (a size limit, a required login, TLS).
class TSmtpSink {
public:
    explicit TSmtpSink(std::string folder, const std::vector<std::string>& options = {})
        : folder_(std::move(folder)) {
        using namespace std::chrono_literals;
        std::filesystem::create_directories(folder_);
        std::vector<std::string> argv{kPython, IntegrationScript("smtp_sink.py"), folder_};
        argv.insert(argv.end(), options.begin(), options.end());
        if (!child_.Start(argv, {}, {}, {}, true)) return;
        if (child_.WaitForLine([](const std::string& l) { return !l.empty(); }, 15s)) {
            port_ = std::stoi(child_.OutLines().front());
        }
    }
    ~TSmtpSink() {
        using namespace std::chrono_literals;
        child_.CloseStdin();
        if (child_.Wait(10s) < 0) ADD_FAILURE() << "the sink did not stop by itself";
    }
    TSmtpSink(const TSmtpSink&) = delete;
    TSmtpSink& operator=(const TSmtpSink&) = delete;

    int Port() const { return port_; }
    std::string Message(int n) const { return folder_ + "/msg-" + std::to_string(n) + ".eml"; }
    std::string Envelope(int n) const { return ReadWholeFile(folder_ + "/msg-" + std::to_string(n) + ".json"); }
    int Count() const {
        int count = 0;
        for (const auto& e : std::filesystem::directory_iterator(folder_)) count += e.path().extension() == ".eml";
        return count;
    }

private:
    std::string folder_;
    TChild child_;
    int port_ = 0;
};

// check_message.py's verdict on a received message: "OK", or its problems.
inline std::string CheckMessage(const std::vector<std::string>& args) {
    using namespace std::chrono_literals;
    std::vector<std::string> argv{kPython, IntegrationScript("check_message.py")};
    argv.insert(argv.end(), args.begin(), args.end());
    TChild child;
    if (!child.Start(argv, {}, {})) return "cannot start check_message.py";
    const int code = child.Wait(30s);
    return code == 0 ? "OK" : child.out + child.err;
}

}  // namespace pw::test
