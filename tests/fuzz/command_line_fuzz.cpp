// The command-line grammar and the command keys on any text: a later start's
// hand-off carries whatever a script or the shell passed.
// Input: a mode byte, then the text. Mode bit 0 set: the text is cut at NUL
// bytes into arguments that are joined with JoinCommandLine and split again.
// Properties:
//   - ArgCount, ArgAt and SplitArgs agree; no argument is empty or holds a
//     NUL; text after a NUL is never read;
//   - arguments without a double quote come back unchanged through
//     JoinCommandLine and SplitArgs; a single argument (the hand-off of a later
//     start) comes back through ArgAt unless it holds both a double quote and
//     a blank, or begins with two double quotes, or begins and ends with one;
//   - ApplyKey does what its key says and nothing else; "MSGFILE:" and "LSTF:"
//     read (in a scratch folder) regular files only, a FIFO without waiting,
//     and a file that cannot be read changes nothing.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/CommandLine.h"
#include "app/MemoryView.h"

using pw::fuzz::Show;

namespace {

bool HasQuote(const std::string& s) { return s.find('"') != std::string::npos; }

bool HasBlankOrControl(const std::string& s)
{
    for (char c : s) {
        if (static_cast<unsigned char>(c) <= 32) return true;
    }
    return false;
}

std::string Upper(std::string s)
{
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

void CheckSplit(const std::string& text)
{
    const std::vector<std::string> args = pw::SplitArgs(text);
    const int count = pw::ArgCount(text);
    PW_FUZZ_CHECK(count == static_cast<int>(args.size()), Show(text));
    for (int i = 1; i <= count; ++i)
        PW_FUZZ_CHECK(pw::ArgAt(text, i) == args[static_cast<std::size_t>(i - 1)], Show(text) + " #" + std::to_string(i));
    PW_FUZZ_CHECK(pw::ArgAt(text, count + 1).empty() && pw::ArgAt(text, -1).empty(), Show(text));
    for (const std::string& arg : args) {
        PW_FUZZ_CHECK(!arg.empty() && arg.find('\0') == std::string::npos, Show(text) + " gave " + Show(arg));
    }
    if (const std::size_t nul = text.find('\0'); nul != std::string::npos)
        PW_FUZZ_CHECK(pw::SplitArgs(text.substr(0, nul)) == args, Show(text));
}

void CheckJoin(const std::vector<std::string>& pieces)
{
    std::vector<std::string> plain;  // without double quotes: must come back unchanged
    for (const std::string& piece : pieces) {
        std::string arg;
        for (char c : piece) {
            if (c != '"') arg += c;
        }
        if (!arg.empty()) plain.push_back(arg);
    }
    std::vector<std::string> line{"parcelwing"};
    line.insert(line.end(), plain.begin(), plain.end());
    const std::string joined = pw::JoinCommandLine(line);
    PW_FUZZ_CHECK(pw::SplitArgs(joined) == plain, "joined as " + Show(joined));

    // The hand-off of a later start: the program path and one argument. Beyond
    // a double quote with a blank, the grammar cannot carry an argument that
    // begins with two double quotes (skipped as an empty argument) or begins
    // and ends with one (taken as quotes around it).
    for (const std::string& arg : pieces) {
        if (arg.empty() || (HasQuote(arg) && HasBlankOrControl(arg))) continue;
        if (arg.rfind("\"\"", 0) == 0 || (arg.size() > 1 && arg.front() == '"' && arg.back() == '"')) continue;
        const std::string one = pw::JoinCommandLine({"/usr/bin/parcelwing", arg});
        PW_FUZZ_CHECK(pw::ArgAt(one, 1) == arg, Show(arg) + " joined as " + Show(one) + " came back as " +
                                                     Show(pw::ArgAt(one, 1)));
    }
}

// Files that "MSGFILE:" and "LSTF:" may name: everything is redirected here.
struct RSandboxFile {
    const char* name;
    const char* content;  // nullptr: not a regular file
};
const RSandboxFile kSandbox[] = {
    {"lines.txt", "one\r\ntwo\r\n\r\nfour"}, {"lf.txt", "a\nb\n\nc"}, {"cr.txt", "x\ry\r"},
    {"empty.txt", ""},                         {"folder", nullptr},    {"fifo", nullptr},
    {"missing", nullptr},
};

const std::string& SandboxFolder()
{
    static const std::string folder = [] {
        const std::string f = pw::fuzz::ScratchFolder() + "keys/";
        ::mkdir(f.c_str(), 0700);
        for (const RSandboxFile& file : kSandbox) {
            if (file.content != nullptr) pw::fuzz::WriteFile(f + file.name, file.content);
        }
        ::mkdir((f + "folder").c_str(), 0700);
        ::mkfifo((f + "fifo").c_str(), 0600);
        return f;
    }();
    return folder;
}

// The argument with a file key's value pointed into the sandbox.
std::string Sandboxed(const std::string& arg, const RSandboxFile*& file)
{
    std::string value;
    const pw::TCommandKey key = pw::ParseKey(arg, &value);
    file = nullptr;
    if (key != pw::KeyMsgFile && key != pw::KeyLstf) return arg;
    for (const RSandboxFile& f : kSandbox) {
        if (value == f.name) file = &f;
    }
    if (file == nullptr)
        file = &kSandbox[value.empty() ? 0 : static_cast<unsigned char>(value[0]) % std::size(kSandbox)];
    return arg.substr(0, arg.size() - value.size()) + SandboxFolder() + file->name;
}

void CheckApplyKey(const std::string& rawArg)
{
    static const char* const kKeys[] = {"TO:", "SUBJ:", "MSGTXT:", "MSGFILE:", "ASEND:", "AEXIT:",
                                        "RSD:", "FPM:", "LSTF:", "FROM:", "RCPT:", "SF:"};
    const RSandboxFile* file = nullptr;
    const std::string arg = Sandboxed(rawArg, file);

    pw::MemoryView view;
    view.SetBoxText(pw::TComboBox::To, "to-before");
    view.SetBoxText(pw::TComboBox::Subject, "subject-before");
    view.SetMessageText("message-before");
    view.AppendFile("first");
    pw::ROptions options;
    options.From = "from-before";
    options.AutoSend = options.ExitAfterSend = options.RecSubDir = true;
    options.FilPerMes = 77;
    const pw::ROptions optionsBefore = options;

    std::string value;
    const pw::TCommandKey key = pw::ParseKey(arg, &value);
    const bool isKeyArg = !arg.empty() && (arg[0] == '-' || arg[0] == '/');
    const std::size_t colon = arg.find(':');
    int expectedKey = 0;
    if (isKeyArg && colon != std::string::npos) {
        for (int i = 0; i < 12; ++i) {
            if (Upper(arg.substr(1, colon)) == kKeys[i]) expectedKey = i + 1;
        }
        PW_FUZZ_CHECK(value == arg.substr(colon + 1), Show(arg) + " value " + Show(value));
    }
    PW_FUZZ_CHECK(key == expectedKey, Show(arg) + " is key " + std::to_string(key));

    pw::ApplyKey(view, options, arg);

    pw::ROptions expectedOptions = optionsBefore;
    std::string to = "to-before", subject = "subject-before", message = "message-before";
    std::vector<std::string> files{"first"};
    std::vector<std::string> fileLines;
    if (file != nullptr && file->content != nullptr) fileLines = pw::CutTextLines(file->content);
    switch (key) {
    case pw::KeyTo: to = value; break;
    case pw::KeySubj: subject = value; break;
    case pw::KeyMsgTxt: message = value; break;
    case pw::KeyMsgFile:
        // A file that cannot be read is reported and changes nothing.
        if (file != nullptr && file->content == nullptr) break;
        message.clear();
        for (const std::string& line : fileLines) message += line + "\r\n";
        break;
    case pw::KeyASend: expectedOptions.AutoSend = Upper(value) == "YES"; break;
    case pw::KeyAExit: expectedOptions.ExitAfterSend = Upper(value) == "YES"; break;
    case pw::KeyRsd: expectedOptions.RecSubDir = Upper(value) == "YES"; break;
    case pw::KeyFpm: expectedOptions.FilPerMes = pw::ParseLeadingInt(value); break;
    case pw::KeyLstf: files.insert(files.end(), fileLines.begin(), fileLines.end()); break;
    case pw::KeyFrom: expectedOptions.From = value; break;
    default: break;
    }
    PW_FUZZ_CHECK(options == expectedOptions, "options after " + Show(arg));
    PW_FUZZ_CHECK(view.BoxText(pw::TComboBox::To) == to, "To after " + Show(arg));
    PW_FUZZ_CHECK(view.BoxText(pw::TComboBox::Subject) == subject, "Subject after " + Show(arg));
    PW_FUZZ_CHECK(view.MessageText() == message, "message after " + Show(arg) + ": " + Show(view.MessageText()));
    PW_FUZZ_CHECK(view.Files() == files, "files after " + Show(arg));
    PW_FUZZ_CHECK(view.ListControlRefreshes() == (isKeyArg ? 1 : 0), "list refresh after " + Show(arg));
    PW_FUZZ_CHECK(view.UpdatesBalanced() && view.Boxes().empty(), "view state after " + Show(arg));

    if (key == pw::KeyFpm) {
        // Optional sign and digits, held at the 32-bit limits.
        std::size_t i = 0;
        long long n = 0;
        bool negative = false;
        if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
        for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) n = std::min(n * 10 + (value[i] - '0'), 1LL << 40);
        if (negative) n = -n;
        n = std::max<long long>(std::min<long long>(n, INT32_MAX), INT32_MIN);
        PW_FUZZ_CHECK(options.FilPerMes == n, Show(value) + " read as " + std::to_string(options.FilPerMes));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pw::fuzz::TFuzzInput in(data, size);
    const std::uint8_t mode = in.Byte();
    const std::string text(in.Rest());
    if ((mode & 1) != 0) {
        std::vector<std::string> pieces;
        std::size_t start = 0;
        while (start <= text.size() && pieces.size() < 64) {
            const std::size_t end = std::min(text.find('\0', start), text.size());
            pieces.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        CheckJoin(pieces);
        for (const std::string& piece : pieces) CheckApplyKey(piece);
    } else {
        CheckSplit(text);
        int applied = 0;
        for (const std::string& arg : pw::SplitArgs(text)) {
            if (++applied > 32) break;
            CheckApplyKey(arg);
        }
    }
    return 0;
}
