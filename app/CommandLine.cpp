#include "app/CommandLine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <limits>
#include <set>
#include <utility>

#include "app/JobReport.h"
#include "app/View.h"

namespace pw {

namespace {

unsigned char Code(char c) { return static_cast<unsigned char>(c); }

// The tokens of a command-line text, the program path first.
std::vector<std::string> Tokens(const std::string& text) {
    std::vector<std::string> tokens;
    const std::size_t end = std::min(text.find('\0'), text.size());
    std::size_t p = 0;
    for (;;) {
        for (;;) {
            while (p < end && Code(text[p]) <= 32) ++p;
            // An empty pair of quotes at the start of an argument is skipped, so an
            // empty quoted argument never counts.
            if (p + 1 < end && text[p] == '"' && text[p + 1] == '"') {
                p += 2;
            } else {
                break;
            }
        }
        if (p >= end) break;
        std::string arg;
        while (p < end && Code(text[p]) > 32) {
            if (text[p] == '"') {
                arg += text[p++];
                while (p < end && text[p] != '"') arg += text[p++];
                if (p < end) arg += text[p++];
            } else {
                arg += text[p++];
            }
        }
        if (arg.size() > 1 && arg.front() == '"' && arg.back() == '"') {
            arg = arg.substr(1, arg.size() - 2);
        }
        tokens.push_back(std::move(arg));
    }
    return tokens;
}

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool HasWildcard(const std::string& name) { return name.find_first_of("*?") != std::string::npos; }

// "*" matches any run of characters, "?" any one; nothing else is special.
bool WildcardMatch(const std::string& pattern, const std::string& name) {
    std::size_t p = 0, n = 0, star = std::string::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

enum class TKind { Missing, Folder, File, Other };

TKind KindOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return TKind::Missing;
    if (S_ISDIR(st.st_mode)) return TKind::Folder;
    if (S_ISREG(st.st_mode)) return TKind::File;
    return TKind::Other;
}

// Folders on the current path of a recursive listing, by device and inode.
using TFolderChain = std::set<std::pair<dev_t, ino_t>>;

class TFileUpdate {
public:
    explicit TFileUpdate(IView& view) : view_(view) { view_.BeginFileUpdate(); }
    ~TFileUpdate() { view_.EndFileUpdate(); }
    TFileUpdate(const TFileUpdate&) = delete;
    TFileUpdate& operator=(const TFileUpdate&) = delete;

private:
    IView& view_;
};

void AddFolderIn(IView& view, ROptions& options, const std::string& path, TFolderChain& chain) {
    std::string folder = path;
    if (folder.empty() || folder.back() != '/') folder += '/';
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    const auto id = std::make_pair(st.st_dev, st.st_ino);
    if (!chain.insert(id).second) return;  // a link back to a folder being listed

    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string full = folder + name;
            TKind kind;
            if (e->d_type == DT_DIR) {
                kind = TKind::Folder;
            } else if (e->d_type == DT_REG) {
                kind = TKind::File;
            } else {
                kind = KindOf(full);  // links and file systems without d_type
            }
            if (kind == TKind::Folder) {
                if (options.RecSubDir) AddFolderIn(view, options, full, chain);
            } else if (kind == TKind::File) {
                view.AppendFile(full);
            }
        }
        ::closedir(dir);
    }
    chain.erase(id);
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The value of a file key that could not be read, as a problem line.
std::string UnreadableLine(const char* what, const std::string& name, const std::string& error) {
    return std::string("Can't read ") + what + " " + EscapeControls(name) + ": " + error;
}

}  // namespace

int ArgCount(const std::string& text) {
    const auto tokens = Tokens(text);
    int count = 0;
    for (std::size_t i = 1; i < tokens.size() && !tokens[i].empty(); ++i) ++count;
    return count;
}

std::string ArgAt(const std::string& text, int index) {
    if (index < 0) return {};
    const auto tokens = Tokens(text);
    return static_cast<std::size_t>(index) < tokens.size() ? tokens[static_cast<std::size_t>(index)]
                                                           : std::string();
}

std::vector<std::string> SplitArgs(const std::string& text) {
    auto tokens = Tokens(text);
    std::vector<std::string> args;
    for (std::size_t i = 1; i < tokens.size() && !tokens[i].empty(); ++i) args.push_back(tokens[i]);
    return args;
}

std::string QuoteArg(const std::string& arg) {
    bool blank = arg.empty();
    for (char c : arg) {
        if (Code(c) <= 32) blank = true;
    }
    return blank ? "\"" + arg + "\"" : arg;
}

std::string JoinCommandLine(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& arg : args) {
        if (!line.empty()) line += ' ';
        line += QuoteArg(arg);
    }
    return line;
}

std::vector<std::string> ProcessArgs(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && argv[i][0] != '\0') args.emplace_back(argv[i]);
    }
    return args;
}

std::vector<std::string> CutTextLines(const std::string& contents) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const char c = contents[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
            if (c == '\r' && i + 1 < contents.size() && contents[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(std::move(line));
    return lines;
}

bool ReadTextFile(const std::string& path, std::vector<std::string>& lines, std::string& error) {
    lines.clear();
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    std::string contents;
    struct stat st {};
    bool ok = true;
    // Only regular files: a FIFO or a device could block or never end.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file";
        ok = false;
    } else {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                contents.append(buffer, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n < 0) {
                    error = std::strerror(errno);
                    ok = false;
                }
                break;
            }
        }
    }
    ::close(fd);
    if (ok) lines = CutTextLines(contents);
    return ok;
}

std::vector<std::string> ReadTextLines(const std::string& path) {
    std::vector<std::string> lines;
    std::string error;
    ReadTextFile(path, lines, error);
    return lines;
}

bool IsKeyForm(const std::string& text) {
    if (text.size() < 3 || (text[0] != '-' && text[0] != '/')) return false;
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 2) return false;
    return std::all_of(text.begin() + 1, text.begin() + static_cast<std::ptrdiff_t>(colon), IsLetter);
}

TCommandKey ParseKey(const std::string& text, std::string* value) {
    if (text.empty() || (text[0] != '-' && text[0] != '/')) return KeyNone;
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return KeyNone;
    static const char* const kKeys[] = {"TO:",  "SUBJ:", "MSGTXT:", "MSGFILE:", "ASEND:", "AEXIT:",
                                        "RSD:", "FPM:",  "LSTF:",   "FROM:",    "RCPT:",  "SF:"};
    const std::string key = UpperAscii(text.substr(1, colon));
    int found = KeyNone;
    for (int i = 0; i < 12; ++i) {
        if (key == kKeys[i]) found = i + 1;
    }
    if (value != nullptr) *value = text.substr(colon + 1);
    return static_cast<TCommandKey>(found);
}

int ParseLeadingInt(const std::string& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
    std::int64_t number = 0;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        number = std::min(kLimit, number * 10 + (value[i] - '0'));
    }
    if (negative) number = -number;
    number = std::max<std::int64_t>(number, std::numeric_limits<std::int32_t>::min());
    number = std::min<std::int64_t>(number, std::numeric_limits<std::int32_t>::max());
    return static_cast<int>(number);
}

bool FileExistsOrMatches(const std::string& text) {
    if (KindOf(text) == TKind::File) return true;
    const std::size_t slash = text.rfind('/');
    const std::string pattern = slash == std::string::npos ? text : text.substr(slash + 1);
    if (!HasWildcard(pattern)) return false;
    const std::string folder = slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (!found) {
        dirent* e = ::readdir(dir);
        if (e == nullptr) break;
        if (WildcardMatch(pattern, e->d_name)) found = KindOf(folder + e->d_name) == TKind::File;
    }
    ::closedir(dir);
    return found;
}

std::string UnusableNameLine(const std::string& name) {
    if (KindOf(name) == TKind::Missing) return MissingFilePrefix + EscapeControls(name);
    return "Can't send " + EscapeControls(name) + ": not a regular file or folder";
}

TEntryProblems AddEntry(IView& view, ROptions& options, const std::string& text) {
    if (text.empty()) return {};
    const TKind kind = KindOf(text);
    if (kind == TKind::Folder) {
        AddFolder(view, options, text);
        return {};
    }
    if (kind == TKind::File || FileExistsOrMatches(text)) {
        view.AppendFile(text);
        return {};
    }
    if (IsKeyForm(text)) return ApplyKey(view, options, text);
    TEntryProblems problems{UnusableNameLine(text)};
    // A name that begins like a key still refreshes the list buttons, as every
    // such argument does.
    if (text[0] == '-' || text[0] == '/') view.EnableListControls(view.FileCount() > 0);
    return problems;
}

void AddFolder(IView& view, ROptions& options, const std::string& path) {
    TFolderChain chain;
    TFileUpdate bracket(view);
    AddFolderIn(view, options, path, chain);
}

TEntryProblems ApplyKey(IView& view, ROptions& options, const std::string& text) {
    if (text.empty() || (text[0] != '-' && text[0] != '/')) return {};
    TEntryProblems problems;
    std::string value;
    const TCommandKey key = IsKeyForm(text) ? ParseKey(text, &value) : KeyNone;
    switch (key) {
    case KeyTo:
        view.SetBoxText(TComboBox::To, value);
        break;
    case KeySubj:
        view.SetBoxText(TComboBox::Subject, value);
        break;
    case KeyMsgTxt:
        view.SetMessageText(value);
        break;
    case KeyMsgFile: {
        std::vector<std::string> lines;
        std::string error;
        if (!ReadTextFile(value, lines, error)) {
            problems.push_back(UnreadableLine("message file", value, error));
            break;
        }
        std::string body;
        for (const auto& line : lines) body += line + "\r\n";
        view.SetMessageText(body);
        break;
    }
    case KeyASend:
        options.AutoSend = UpperAscii(value) == "YES";
        break;
    case KeyAExit:
        options.ExitAfterSend = UpperAscii(value) == "YES";
        break;
    case KeyRsd:
        options.RecSubDir = UpperAscii(value) == "YES";
        break;
    case KeyFpm:
        options.FilPerMes = ParseLeadingInt(value);
        break;
    case KeyLstf: {
        std::vector<std::string> lines;
        std::string error;
        if (!ReadTextFile(value, lines, error)) {
            problems.push_back(UnreadableLine("list file", value, error));
            break;
        }
        TFileUpdate bracket(view);
        for (const auto& line : lines) view.AppendFile(line);
        break;
    }
    case KeyFrom:
        options.From = value;
        break;
    case KeyRcpt:
    case KeySf:
        break;
    case KeyNone:
        if (IsKeyForm(text)) problems.push_back("Unknown key " + EscapeControls(text));
        break;
    }
    view.EnableListControls(view.FileCount() > 0);
    return problems;
}

bool ApplyStartupArgs(IView& view, ROptions& options, const std::vector<std::string>& args,
                      TEntryProblems* problems) {
    for (const auto& arg : args) {
        TEntryProblems found = AddEntry(view, options, arg);
        if (problems != nullptr) problems->insert(problems->end(), found.begin(), found.end());
    }
    return !args.empty() && options.AutoSend;
}

bool NamesExistingEntry(const std::string& text) {
    const TKind kind = KindOf(text);
    return kind == TKind::Folder || kind == TKind::File || FileExistsOrMatches(text);
}

bool IsKeyArgument(const std::string& text) { return IsKeyForm(text) && !NamesExistingEntry(text); }

bool IsSendAndExitRun(const std::vector<std::string>& args) {
    bool send = false, exit = false;
    for (const auto& arg : args) {
        if (!IsKeyArgument(arg)) continue;
        std::string value;
        const TCommandKey key = ParseKey(arg, &value);
        if (key == KeyASend) send = UpperAscii(value) == "YES";
        if (key == KeyAExit) exit = UpperAscii(value) == "YES";
    }
    return send && exit;
}

}  // namespace pw
