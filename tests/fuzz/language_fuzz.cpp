// Language files: any bytes in a ".lng" file, and any file names in the
// program's folder.
// Input: a flag byte, the file's length (two bytes) and bytes, then file names
// cut at LF (up to eight; "/" and NUL removed).
// Properties:
//   - ReadLanguageSection gives one text per key of the table: the built-in
//     text when the key is missing, else what the profile layer reads; the
//     keys read twice ("Mix", "Name") give the same text at both places; a
//     missing file gives the built-in texts;
//   - the language list holds one entry per regular ".lng" file (any letter
//     case, not hidden), in name order, without the extension and with the
//     first letter upper-cased; FindLanguage finds the last equal entry;
//   - a file name in another letter case finds an existing file whose name
//     differs only in letter case.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "config/Language.h"
#include "platform/PrivateProfile.h"

using pw::fuzz::Show;

namespace {

std::string Lower(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

std::string Swapped(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        } else if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

void CheckSection(const std::string& path, const char* section, std::span<const pw::RLanguageText> table)
{
    const std::vector<std::string> texts = pw::ReadLanguageSection(path, section, table);
    PW_FUZZ_CHECK(texts.size() == table.size(), section);
    const pw::TIniFile ini(path);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::string expected = ini.ReadString(section, table[i].Key, table[i].BuiltIn);
        PW_FUZZ_CHECK(texts[i] == expected, std::string(section) + "." + table[i].Key + " = " + Show(texts[i]) +
                                                ", expected " + Show(expected));
        PW_FUZZ_CHECK(texts[i].size() < pw::kProfileStringBuffer &&
                          texts[i].find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
                      Show(texts[i]));
        for (std::size_t j = 0; j < i; ++j) {
            if (std::string_view(table[i].Key) == table[j].Key)
                PW_FUZZ_CHECK(texts[i] == texts[j], std::string("key read twice: ") + table[i].Key);
        }
    }
}

void RemoveFolder(const std::string& folder)
{
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            if (::unlink((folder + name).c_str()) != 0) ::rmdir((folder + name).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(folder.c_str());
}

void CheckFolder(const std::vector<std::string>& names, const std::string& content)
{
    const std::string folder = pw::fuzz::ScratchFolder() + "lang/";
    RemoveFolder(folder);
    PW_FUZZ_CHECK(::mkdir(folder.c_str(), 0700) == 0, "mkdir " + folder);

    std::vector<std::string> created;  // regular files
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (std::find(created.begin(), created.end(), name) != created.end()) continue;
        struct stat st {};
        if (::lstat((folder + name).c_str(), &st) == 0) continue;  // taken by a folder
        if (i % 3 == 2) {
            ::mkdir((folder + name).c_str(), 0700);  // folders are never listed
        } else {
            pw::fuzz::WriteFile(folder + name, content);
            created.push_back(name);
        }
    }

    std::vector<std::string> expected;
    std::vector<std::string> sortedNames = created;
    const auto less = [](const std::string& a, const std::string& b) {
        const std::string la = Lower(a), lb = Lower(b);
        return la != lb ? la < lb : a < b;
    };
    std::sort(sortedNames.begin(), sortedNames.end(), less);
    for (const std::string& name : sortedNames) {
        if (name[0] == '.' || name.size() < 4 || Lower(name.substr(name.size() - 4)) != ".lng") continue;
        std::string shown = name.substr(0, name.size() - 4);
        if (!shown.empty() && shown[0] >= 'a' && shown[0] <= 'z') shown[0] = static_cast<char>(shown[0] - 'a' + 'A');
        expected.push_back(shown);
    }
    const std::vector<std::string> list = pw::BuildLanguageList(folder);
    std::string shownList;
    for (const std::string& entry : list) shownList += Show(entry) + " ";
    PW_FUZZ_CHECK(list == expected, "language list " + shownList);

    for (const std::string& entry : list) {
        const int found = pw::FindLanguage(list, entry);
        PW_FUZZ_CHECK(found >= 0 && list[static_cast<std::size_t>(found)] == entry, Show(entry));
        for (std::size_t j = static_cast<std::size_t>(found) + 1; j < list.size(); ++j)
            PW_FUZZ_CHECK(list[j] != entry, "not the last equal entry: " + Show(entry));
    }

    for (const std::string& name : created) {
        PW_FUZZ_CHECK(pw::LanguageFilePath(folder, name) == folder + name, "exact name " + Show(name));
        PW_FUZZ_CHECK(pw::LanguageFileUsable(folder, name), "usable " + Show(name));
        const std::string other = Swapped(name);
        const std::string path = pw::LanguageFilePath(folder, other);
        PW_FUZZ_CHECK(path.compare(0, folder.size(), folder) == 0, Show(path));
        const std::string hit = path.substr(folder.size());
        PW_FUZZ_CHECK(Lower(hit) == Lower(name) &&
                          std::find(created.begin(), created.end(), hit) != created.end(),
                      Show(other) + " found " + Show(hit));
    }
    PW_FUZZ_CHECK(!pw::LanguageFileUsable(folder, ""), "an empty name is never usable");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pw::fuzz::TFuzzInput in(data, size);
    const std::uint8_t flags = in.Byte();
    const std::string content(in.Bytes(in.Word()));

    const std::string path = pw::fuzz::ScratchFolder() + "test.lng";
    pw::fuzz::WriteFile(path, content);
    CheckSection(path, pw::kMainFormSection, pw::kMainFormTexts);
    CheckSection(path, pw::kOptionsFormSection, pw::kOptionsFormTexts);
    ::unlink(path.c_str());
    PW_FUZZ_CHECK(pw::ReadLanguageSection(path, pw::kMainFormSection, pw::kMainFormTexts) ==
                      pw::BuiltInTexts(pw::kMainFormTexts),
                  "a missing file gives the built-in texts");

    if ((flags & 1) != 0) {
        std::vector<std::string> names;
        while (in.Left() > 0 && names.size() < 8) {
            std::string name;
            for (char c : in.Until('\n')) {
                if (c != '/' && c != '\0') name += c;
            }
            if (name.size() > 200) name.resize(200);
            if (!name.empty() && name != "." && name != "..") names.push_back(name);
        }
        CheckFolder(names, content);
    }
    return 0;
}
