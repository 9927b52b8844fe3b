#include "config/WindowState.h"

#include <algorithm>

#include "platform/PrivateProfile.h"

namespace pw {

namespace {

constexpr const char* kMainForm = "MainForm";
constexpr const char* kToItems = "ToEdit_Items";
constexpr const char* kSubjItems = "SubjEdit_Items";
constexpr const char* kMessage = "MText";
constexpr const char* kFiles = "Attached_Files";

bool IsBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

std::string TrimBlanks(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    return text.substr(b, e - b);
}

// A line the profile layer can store in a raw section and read back unchanged
// in meaning: no line break or NUL inside, and not looking like a section header.
bool IsStorable(const std::string& line) {
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    const std::string trimmed = TrimBlanks(line);
    return !(trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']');
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

}  // namespace

std::vector<std::string> EncodeListSection(const std::vector<std::string>& entries) {
    std::vector<std::string> lines;
    std::size_t used = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::string line = (IsBlank(entries[i]) && i + 1 != entries.size()) ? ListSectionMarker : entries[i];
        // An entry that cannot be stored is left out rather than losing the section.
        if (!IsStorable(line)) continue;
        if (used + line.size() + 1 > ListSectionLimit) {
            // The line that crosses the limit is cut there; the rest is not written.
            const std::size_t room = ListSectionLimit - used;
            if (room > 1) lines.push_back(line.substr(0, room - 1));
            break;
        }
        used += line.size() + 1;
        lines.push_back(std::move(line));
    }
    return lines;
}

void DecodeListSection(const std::vector<std::string>& lines, std::vector<std::string>& entries) {
    for (const auto& line : lines) entries.push_back(line == ListSectionMarker ? std::string(" ") : line);
}

std::vector<std::string> MessageLines(const std::string& text) {
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            lines.emplace_back();
        } else {
            lines.back() += c;
        }
    }
    return lines;
}

void ReadListSection(const std::string& iniPath, const std::string& section, std::vector<std::string>& entries) {
    DecodeListSection(GetPrivateProfileSection(section, iniPath), entries);
}

bool WriteListSection(const std::string& iniPath, const std::string& section,
                      const std::vector<std::string>& entries) {
    const auto lines = EncodeListSection(entries);
    if (lines.empty()) return true;
    return WritePrivateProfileSection(section, lines, iniPath);
}

void LoadWindowState(const std::string& iniPath, RWindowState& state) {
    const TIniFile ini(iniPath);

    DecodeListSection(ini.ReadSection(kToItems), state.ToItems);
    DecodeListSection(ini.ReadSection(kSubjItems), state.SubjItems);
    std::vector<std::string> message;
    DecodeListSection(ini.ReadSection(kMessage), message);
    for (const auto& line : message) state.MessageText += line + "\r\n";
    DecodeListSection(ini.ReadSection(kFiles), state.Files);
    if (state.Files.size() == 1 && IsBlank(state.Files.front())) state.Files.clear();

    RWindowGeometry& g = state.Geometry;
    g.Top = ini.ReadInteger(kMainForm, "Top", 10);
    g.Left = ini.ReadInteger(kMainForm, "Left", 10);
    g.Width = ini.ReadInteger(kMainForm, "Width", 500);
    g.Height = ini.ReadInteger(kMainForm, "Height", 400);
    g.MemoHeight = ini.ReadInteger(kMainForm, "MemoHeight", 80);
    state.ToText = ini.ReadString(kMainForm, "ToEdit_Text", "");
    state.SubjText = ini.ReadString(kMainForm, "SubjEdit_Text", "");
}

bool SaveWindowState(const std::string& iniPath, const ROptions& options, const RWindowState& state) {
    // A run that sends by itself and exits leaves the remembered state alone.
    if (options.AutoSend && options.ExitAfterSend) return true;

    // One load and one atomic replace for the whole state.
    TIniFile ini(iniPath);
    const auto writeList = [&ini](const char* section, const std::vector<std::string>& entries) {
        const auto lines = EncodeListSection(entries);
        if (!lines.empty()) ini.WriteSection(section, lines);
    };
    writeList(kToItems, state.ToItems);
    writeList(kSubjItems, state.SubjItems);
    writeList(kMessage, MessageLines(state.MessageText));
    // An empty list is stored as one blank line so that the old entries go.
    writeList(kFiles, state.Files.empty() ? std::vector<std::string>{" "} : state.Files);

    const RWindowGeometry& g = state.Geometry;
    ini.WriteString(kMainForm, "Top", std::to_string(g.Top));
    ini.WriteString(kMainForm, "Left", std::to_string(g.Left));
    ini.WriteString(kMainForm, "Width", std::to_string(g.Width));
    ini.WriteString(kMainForm, "Height", std::to_string(g.Height));
    ini.WriteString(kMainForm, "MemoHeight", std::to_string(g.MemoHeight));
    // A box text cannot hold a line break in a key line; it becomes a blank.
    const auto oneLine = [](std::string text) {
        std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
        return text;
    };
    ini.WriteString(kMainForm, "ToEdit_Text", oneLine(state.ToText));
    ini.WriteString(kMainForm, "SubjEdit_Text", oneLine(state.SubjText));
    return ini.Save();
}

void PushRecent(const std::string& text, std::vector<std::string>& items) {
    if (text.empty()) return;
    const auto found =
        std::find_if(items.begin(), items.end(), [&text](const std::string& item) { return EqualNoCase(item, text); });
    if (found != items.end()) items.erase(found);
    items.insert(items.begin(), text);
}

}  // namespace pw
