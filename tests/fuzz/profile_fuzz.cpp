// The private-profile reader on any file bytes (the INI file and language
// files can be edited by hand), then one write through TIniFile.
// Input: a flag byte, the file's length (two bytes) and bytes, then the write:
// section, key and value lengths (one, one and two bytes) and their bytes, a
// read buffer size (two bytes), and the lines for WriteSection (cut at LF).
// Properties:
//   - reads never fail: values are trimmed, hold no CR, LF or NUL and fit the
//     buffer; names match without letter case; ReadInteger agrees with the
//     value; ReadSection fits its buffer the documented way;
//   - Text() read back gives the same answers and the same text;
//   - a value written reads back the same (trimmed, cut to 4,095 characters),
//     also after Save and a fresh load, and every other key keeps its value;
//     or the write was refused, for a documented reason, and changed nothing;
//   - WriteSection gives back exactly the non-blank lines written.

#include <algorithm>
#include <climits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "platform/PrivateProfile.h"

using pw::TIniFile;
using pw::fuzz::Show;

namespace {

// Never a stored value: values cannot hold a line break.
constexpr std::string_view kDefault = "\nmissing";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

std::string Upper(std::string s)
{
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string Lower(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool HasBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

// Names worth asking for: section names and keys as they appear in the text,
// roughly (the checks do not depend on this being the parser's exact view).
struct RNames {
    std::set<std::string> sections;
    std::set<std::string> keys;
};

RNames NamesIn(std::string_view text)
{
    RNames names;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            names.sections.insert(Trim(std::string_view(line).substr(1, line.size() - 2)));
        } else if (const std::size_t eq = line.find('='); eq != std::string::npos) {
            names.keys.insert(Trim(std::string_view(line).substr(0, eq)));
        }
        start = end + 1;
        if (names.sections.size() > 24 || names.keys.size() > 48) break;
    }
    names.sections.insert("ROptions");
    names.keys.insert("Host");
    return names;
}

std::int32_t ExpectedInteger(const std::string& v, std::int32_t def)
{
    if (v.empty()) return def;
    std::size_t i = 0;
    bool negative = false;
    if (v[i] == '+' || v[i] == '-') negative = v[i++] == '-';
    std::int64_t n = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) n = std::min<std::int64_t>(n * 10 + (v[i] - '0'), 1LL << 40);
    if (negative) n = -n;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(n, INT32_MIN, INT32_MAX));
}

using TAnswers = std::vector<std::pair<std::string, std::vector<std::string>>>;

// Every read of every name pair, checked on the way, for later comparison.
// A NUL ends a line where it stands, before the trimming.
TAnswers ReadAll(const TIniFile& ini, const RNames& names, std::size_t bufferSize)
{
    TAnswers answers;
    for (const std::string& section : names.sections) {
        std::vector<std::string> values;
        for (const std::string& key : names.keys) {
            const std::string v = ini.ReadString(section, key, kDefault);
            const std::string where = "[" + section + "] " + key + " = " + Show(v);
            if (v != kDefault) {
                PW_FUZZ_CHECK(v.size() < pw::kProfileStringBuffer && !HasBreakOrNul(v), where);
                // Trimmed, unless cut to the buffer after the trimming.
                PW_FUZZ_CHECK(v.empty() || v.size() == pw::kProfileStringBuffer - 1 ||
                                  (!IsBlank(v.front()) && !IsBlank(v.back())),
                              where);
            }
            PW_FUZZ_CHECK(ini.ReadString(Upper(section), Lower(key), kDefault) == v, "letter case: " + where);
            const std::int32_t expectedInt = v == kDefault ? -7 : ExpectedInteger(v, -7);
            PW_FUZZ_CHECK(ini.ReadInteger(section, key, -7) == expectedInt,
                          where + " read as " + std::to_string(ini.ReadInteger(section, key, -7)));
            const std::string cut = ini.ReadString(section, key, kDefault, bufferSize);
            PW_FUZZ_CHECK(cut == v.substr(0, bufferSize == 0 ? 0 : bufferSize - 1),
                          where + " through " + std::to_string(bufferSize) + " bytes: " + Show(cut));
            values.push_back(v);
        }

        const std::vector<std::string> lines = ini.ReadSection(section);
        std::size_t total = 1;
        for (const std::string& line : lines) {
            PW_FUZZ_CHECK(!HasBreakOrNul(line) && (!Trim(line).empty()), "section line " + Show(line));
            total += line.size() + 1;
        }
        PW_FUZZ_CHECK(total <= pw::kProfileSectionBuffer,
                      "section [" + section + "] of " + std::to_string(total) + " bytes");
        PW_FUZZ_CHECK(ini.HasSection(section) || lines.empty(), "lines of a missing section");
        PW_FUZZ_CHECK(ini.ReadSection(Lower(section)) == lines, "letter case of [" + section + "]");

        // Through a small buffer: a prefix, the last line possibly cut, within
        // bufferSize - 2 bytes (one NUL per line) unless everything fits.
        const std::vector<std::string> cutLines = ini.ReadSection(section, bufferSize);
        const std::vector<std::string> whole = ini.ReadSection(section, SIZE_MAX);
        std::size_t wholeTotal = 1;
        for (const std::string& line : whole) wholeTotal += line.size() + 1;
        if (wholeTotal <= bufferSize) {
            PW_FUZZ_CHECK(cutLines == whole, "section fits " + std::to_string(bufferSize) + " bytes");
        } else {
            PW_FUZZ_CHECK(cutLines.size() <= whole.size(), "more lines through a small buffer");
            std::size_t used = 0;
            for (std::size_t i = 0; i < cutLines.size(); ++i) {
                const bool last = i + 1 == cutLines.size();
                PW_FUZZ_CHECK(last ? !cutLines[i].empty() && whole[i].compare(0, cutLines[i].size(), cutLines[i]) == 0
                                   : cutLines[i] == whole[i],
                              "section line " + std::to_string(i) + " through " + std::to_string(bufferSize));
                used += cutLines[i].size() + 1;
            }
            PW_FUZZ_CHECK(used + 2 <= std::max<std::size_t>(bufferSize, 2),
                          std::to_string(used) + " bytes through " + std::to_string(bufferSize));
            if (!cutLines.empty() && cutLines.back().size() < whole[cutLines.size() - 1].size())
                PW_FUZZ_CHECK(used + 2 == bufferSize, "a cut line must fill the buffer");
        }
        answers.emplace_back(section, std::move(values));
    }
    return answers;
}

bool SameSection(std::string_view a, std::string_view b) { return Lower(Trim(a)) == Lower(Trim(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pw::fuzz::TFuzzInput in(data, size);
    const std::uint8_t flags = in.Byte();
    const std::string fileText(in.Bytes(in.Word()));
    const std::string section(in.Bytes(in.Byte() % 48));
    const std::string key(in.Bytes(in.Byte() % 48));
    std::string value(in.Bytes(in.Word() % 6000));
    if ((flags & 1) != 0 && !value.empty()) {
        // Long values: past the 4,095 characters a read can return.
        const std::string unit = value;
        while (value.size() < 4200) value += unit;
    }
    const std::size_t bufferSize = in.Word() % 300;
    std::vector<std::string> sectionLines;
    while (in.Left() > 0) sectionLines.emplace_back(in.Until('\n'));

    const std::string path = pw::fuzz::ScratchFolder() + "profile.ini";
    pw::fuzz::WriteFile(path, fileText);
    TIniFile ini(path);
    PW_FUZZ_CHECK(ini.Exists() && ini.LoadError().empty(), "load: " + ini.LoadError());

    RNames names = NamesIn(fileText);
    names.sections.insert(section);
    names.keys.insert(key);
    const TAnswers before = ReadAll(ini, names, bufferSize);

    // The free functions read the same file the same way.
    for (const auto& [s, values] : before) {
        const std::string k = *names.keys.begin();
        PW_FUZZ_CHECK(pw::GetPrivateProfileString(s, k, kDefault, path) == values.front(), "[" + s + "] " + k);
        PW_FUZZ_CHECK(pw::GetPrivateProfileSection(s, path) == ini.ReadSection(s), "[" + s + "]");
    }

    // The text as saved reads the same, and saving it again changes nothing.
    const std::string text = ini.Text();
    pw::fuzz::WriteFile(path, text);
    {
        TIniFile again(path);
        PW_FUZZ_CHECK(again.Text() == text, "text " + Show(text) + " came back as " + Show(again.Text()));
        PW_FUZZ_CHECK(ReadAll(again, names, bufferSize) == before, "reads after Text() of " + Show(fileText));
    }

    // One value written.
    const bool sectionOk = !section.empty() && Trim(section) == section && !HasBreakOrNul(section) &&
                           section.find_first_of("[]") == std::string::npos;
    const bool keyOk = !key.empty() && Trim(key) == key && !HasBreakOrNul(key) && key.find('=') == std::string::npos &&
                       key.front() != '[' && key.front() != ';';
    const bool valueOk = !HasBreakOrNul(value);
    const bool written = ini.WriteString(section, key, value);
    const std::string shown = "[" + Show(section) + "] " + Show(key) + " = " + Show(value);
    PW_FUZZ_CHECK(written == (sectionOk && keyOk && valueOk), "write " + shown);
    if (!written) {
        PW_FUZZ_CHECK(ini.Text() == text, "a refused write changed the text: " + shown);
    } else {
        std::string expected = Trim(value);
        expected.resize(std::min(expected.size(), pw::kProfileStringBuffer - 1));
        PW_FUZZ_CHECK(ini.ReadString(section, key, kDefault) == expected,
                      shown + " read back as " + Show(ini.ReadString(section, key, kDefault)));
        std::string error;
        PW_FUZZ_CHECK(ini.Save(&error), "save: " + error);
        TIniFile saved(path);
        PW_FUZZ_CHECK(saved.ReadString(section, key, kDefault) == expected, shown + " after Save");
        const TAnswers after = ReadAll(saved, names, bufferSize);
        for (std::size_t s = 0; s < before.size(); ++s) {
            const auto& [name, values] = before[s];
            std::size_t k = 0;
            for (const std::string& other : names.keys) {
                const bool same = SameSection(name, section) && Lower(other) == Lower(key);
                const std::string& now = after[s].second[k];
                PW_FUZZ_CHECK(same ? now == expected : now == values[k],
                              "[" + name + "] " + other + " was " + Show(values[k]) + ", is " + Show(now) +
                                  " after writing " + shown + " into " + Show(fileText));
                ++k;
            }
        }
    }

    // A whole section written.
    if (sectionOk) {
        TIniFile fresh(path);
        const std::string textBefore = fresh.Text();
        bool linesOk = true;
        std::vector<std::string> expected;
        for (const std::string& line : sectionLines) {
            const std::string t = Trim(line);
            if (HasBreakOrNul(line) || (t.size() >= 2 && t.front() == '[' && t.back() == ']')) linesOk = false;
            if (!t.empty()) expected.push_back(line);
        }
        const bool ok = fresh.WriteSection(section, sectionLines);
        PW_FUZZ_CHECK(ok == linesOk, "WriteSection [" + section + "]");
        if (ok) {
            PW_FUZZ_CHECK(fresh.ReadSection(section, SIZE_MAX) == expected, "section [" + section + "] read back");
            pw::fuzz::WriteFile(path, fresh.Text());
            PW_FUZZ_CHECK(TIniFile(path).ReadSection(section, SIZE_MAX) == expected, "section [" + section + "] from disk");
        } else {
            PW_FUZZ_CHECK(fresh.Text() == textBefore, "a refused WriteSection changed the text");
        }
    }
    return 0;
}
