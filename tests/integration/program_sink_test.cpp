// The real program against a real SMTP server from Debian's packages: the
// aiosmtpd sink (smtp_sink.py) on 127.0.0.1, every received message checked
// with Python's email package (check_message.py): headers, the text part and
// every attachment decoded to the original bytes.

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/program_harness.h"

namespace pw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using test::TChild;
using test::TProgramFolder;

const std::string kPython = "/usr/bin/python3";
const std::string kScripts = std::string(PW_SOURCE_DIR) + "/tests/integration/";

// The sink, running until its standard input closes.
class TSink {
public:
    explicit TSink(std::string folder) : folder_(std::move(folder)) {
        fs::create_directories(folder_);
        if (!child_.Start({kPython, kScripts + "smtp_sink.py", folder_}, {}, {}, {}, true)) return;
        if (child_.WaitForLine([](const std::string& l) { return !l.empty(); }, 15s)) {
            port_ = std::stoi(child_.OutLines().front());
        }
    }
    ~TSink() {
        child_.CloseStdin();
        if (child_.Wait(10s) < 0) ADD_FAILURE() << "the sink did not stop by itself";
    }
    int Port() const { return port_; }
    std::string Message(int n) const { return folder_ + "/msg-" + std::to_string(n) + ".eml"; }
    std::string Envelope(int n) const { return test::ReadWholeFile(folder_ + "/msg-" + std::to_string(n) + ".json"); }
    int Count() const {
        int count = 0;
        for (const auto& e : fs::directory_iterator(folder_)) count += e.path().extension() == ".eml";
        return count;
    }

private:
    std::string folder_;
    TChild child_;
    int port_ = 0;
};

// check_message.py's verdict: "OK", or its list of problems.
std::string Check(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kPython, kScripts + "check_message.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    TChild child;
    if (!child.Start(argv, {}, {})) return "cannot start check_message.py";
    const int code = child.Wait(30s);
    return code == 0 ? "OK" : child.out + child.err;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(n, '\0');
    for (auto& c : bytes) c = static_cast<char>(gen() & 0xFF);
    return bytes;
}

class ProgramSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.copied) << "build the program first: " << test::BuiltProgram();
        ASSERT_NE(sink_.Port(), 0) << "the sink did not start (python3-aiosmtpd missing?)";
    }
    TProgramFolder folder_;
    TSink sink_{folder_.root + "/mail"};
};

TEST_F(ProgramSinkTest, FilesArriveIntactInTwoMessages) {
    auto options = folder_.ServerOptions(sink_.Port());
    options.push_back("FilPerMes=2");
    folder_.WriteIni(options);
    const std::string binary = folder_.File("random.bin", RandomBytes(300000, 7));
    const std::string empty = folder_.File("empty.dat", "");
    const std::string lfText = folder_.File("unix.txt", "line one\nline two\n.\n..starts with dots\n");
    const std::string spaced = folder_.File("with space.txt", std::string(4097, 'z'));
    const std::string body = folder_.File("body.expected", "Hello from a script\r\n");

    TChild child;
    const int code = folder_.Run(child, {"-TO:you@example.org; other@example.org;", "-SUBJ:Nightly report",
                                         "-MSGTXT:Hello from a script", "-ASEND:YES", "-AEXIT:YES", binary, empty,
                                         lfText, spaced});
    ASSERT_EQ(code, 1) << child.out << child.err;
    ASSERT_EQ(sink_.Count(), 2);

    const std::vector<std::string> common{"--subject", "Nightly report", "--from", "me@example.org", "--to",
                                          "you@example.org, other@example.org", "--body", body};
    std::vector<std::string> first{sink_.Message(1)};
    first.insert(first.end(), common.begin(), common.end());
    first.insert(first.end(), {"--attach", binary, "--attach", empty});
    EXPECT_EQ(Check(first), "OK");
    std::vector<std::string> second{sink_.Message(2)};
    second.insert(second.end(), common.begin(), common.end());
    second.insert(second.end(), {"--attach", lfText, "--attach", spaced});
    EXPECT_EQ(Check(second), "OK");
    // Both recipients in the envelope, the empty piece after the last ";" dropped.
    EXPECT_THAT(sink_.Envelope(1), HasSubstr("\"rcpt_tos\": [\"you@example.org\", \"other@example.org\"]"));
    EXPECT_THAT(sink_.Envelope(2), HasSubstr("\"mail_from\": \"me@example.org\""));
}

TEST_F(ProgramSinkTest, BodyFileWithAVeryLongLineArrivesWrappedAndWhole) {
    auto options = folder_.ServerOptions(sink_.Port());
    options.push_back("TextFromFirstFile=1");
    options.push_back("FilPerMes=9");
    folder_.WriteIni(options);
    const std::string longLine(2500, 'w');
    const std::string bodyFile = folder_.File("body.txt", "Dear reader,\r\n" + longLine + "\r\n.\r\nBye\r\n");
    // What the text part must hold: the box's one empty line, then the file,
    // its long line continued on further lines of at most 998 characters.
    const std::string expected = folder_.File(
        "body.expected", "\r\nDear reader,\r\n" + longLine.substr(0, 998) + "\r\n" + longLine.substr(998, 998) +
                             "\r\n" + longLine.substr(1996) + "\r\n.\r\nBye\r\n");
    const std::string attachment = folder_.File("data.bin", RandomBytes(1000, 3));

    TChild child;
    ASSERT_EQ(folder_.Run(child, {"-TO:you@example.org", "-SUBJ:Long", "-ASEND:YES", "-AEXIT:YES", bodyFile, attachment}), 1)
        << child.out << child.err;
    ASSERT_EQ(sink_.Count(), 1);
    EXPECT_EQ(Check({sink_.Message(1), "--subject", "Long", "--body", expected, "--attach", attachment}), "OK");
}

}  // namespace
}  // namespace pw
