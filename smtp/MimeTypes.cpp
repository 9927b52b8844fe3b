#include "smtp/MimeTypes.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/AsciiCase.h"

namespace pw {

namespace {

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = LowerAscii(c);
    return out;
}

// RFC 2045, 5.1: token characters; a type is token "/" token.
bool IsTypeToken(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || std::strchr("()<>@,;:\\\"/[]?=", c) != nullptr)
            return false;
    }
    return true;
}

bool IsMimeType(std::string_view type)
{
    const std::size_t slash = type.find('/');
    return slash != std::string_view::npos && IsTypeToken(type.substr(0, slash)) &&
           IsTypeToken(type.substr(slash + 1));
}

std::vector<std::string_view> Fields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = line.find(':', start);
        fields.push_back(line.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
        if (colon == std::string_view::npos)
            return fields;
        start = colon + 1;
    }
}

}  // namespace

void TMimeGlobs::Load(std::string_view text)
{
    const int file = files_++;
    int lineNo = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        const auto fields = Fields(line);
        if (fields.size() < 3 || fields[0].empty() || fields[0].size() > 3 || fields[2].empty() ||
            fields[2].find('\0') != std::string_view::npos || !IsMimeType(fields[1]))
            continue;
        int weight = 0;
        bool number = true;
        for (char c : fields[0]) {
            number = number && c >= '0' && c <= '9';
            weight = weight * 10 + (c - '0');
        }
        if (!number)
            continue;
        const std::string type(fields[1]);
        if (fields[2] == "__NOGLOBS__") {
            rules_.erase(std::remove_if(rules_.begin(), rules_.end(),
                                        [&](const TRule& r) { return r.Type == type && r.File < file; }),
                         rules_.end());
            continue;
        }
        bool caseSensitive = false;
        if (fields.size() > 3) {
            // Comma-separated flags; unknown ones are ignored.
            std::string_view flags = fields[3];
            while (!flags.empty()) {
                const std::size_t comma = flags.find(',');
                caseSensitive = caseSensitive || flags.substr(0, comma) == "cs";
                if (comma == std::string_view::npos)
                    break;
                flags.remove_prefix(comma + 1);
            }
        }
        const bool literal = fields[2].find_first_of("*?[") == std::string_view::npos;
        rules_.push_back({weight, type, caseSensitive ? std::string(fields[2]) : Lower(fields[2]), caseSensitive,
                          literal, file, lineNo});
    }
}

bool TMimeGlobs::LoadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return false;
    Load(text.str());
    return true;
}

std::string TMimeGlobs::TypeOf(std::string_view fileName) const
{
    if (fileName.empty() || fileName.find('\0') != std::string_view::npos)
        return {};
    const std::string exact(fileName);
    const std::string lower = Lower(fileName);
    const TRule* best = nullptr;
    const auto better = [](const TRule& a, const TRule& b) {
        if (a.Literal != b.Literal)
            return a.Literal;
        if (a.Weight != b.Weight)
            return a.Weight > b.Weight;
        if (a.Pattern.size() != b.Pattern.size())
            return a.Pattern.size() > b.Pattern.size();
        if (a.File != b.File)
            return a.File > b.File;
        return a.Line < b.Line;
    };
    for (const TRule& rule : rules_) {
        const std::string& name = rule.CaseSensitive ? exact : lower;
        bool match = false;
        if (rule.Literal) {
            match = name == rule.Pattern;
        } else if (rule.Pattern.size() > 2 && rule.Pattern[0] == '*' && rule.Pattern[1] == '.' &&
                   rule.Pattern.find_first_of("*?[", 1) == std::string::npos) {
            // "*.ext", most of the database: a plain comparison of the ending.
            const std::size_t n = rule.Pattern.size() - 1;
            match = name.size() >= n && name.compare(name.size() - n, n, rule.Pattern, 1, n) == 0;
        } else {
            match = ::fnmatch(rule.Pattern.c_str(), name.c_str(), 0) == 0;
        }
        if (match && (best == nullptr || better(rule, *best)))
            best = &rule;
    }
    return best != nullptr ? best->Type : std::string();
}

std::vector<std::string> MimeGlobFiles()
{
    std::vector<std::string> files;
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::string list = dirs != nullptr && *dirs != '\0' ? dirs : "/usr/local/share:/usr/share";
    std::vector<std::string> system;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t colon = list.find(':', start);
        const std::string dir = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty() && dir.front() == '/')
            system.push_back(dir + "/mime/globs2");
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    files.assign(system.rbegin(), system.rend());
    const char* home = std::getenv("XDG_DATA_HOME");
    const char* user = std::getenv("HOME");
    if (home != nullptr && *home == '/')
        files.push_back(std::string(home) + "/mime/globs2");
    else if (user != nullptr && *user == '/')
        files.push_back(std::string(user) + "/.local/share/mime/globs2");
    return files;
}

std::string MimeTypeForFileName(std::string_view fileName)
{
    static std::once_flag loaded;
    static TMimeGlobs* globs = nullptr;
    std::call_once(loaded, [] {
        // Never freed: it lives as long as the process.
        globs = new TMimeGlobs;
        for (const std::string& file : MimeGlobFiles())
            globs->LoadFile(file);
    });
    std::string type = globs->TypeOf(fileName);
    return type.empty() ? "application/octet-stream" : type;
}

}  // namespace pw
