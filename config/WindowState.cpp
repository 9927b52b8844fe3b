#include "config/WindowState.h"

#include <algorithm>
#include <string>

#include "config/IniUpdate.h"
#include "platform/AsciiCase.h"
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

// A stored line that the profile layer would not give back as it is: one that
// would read as a section header or as a blank line (and be skipped), one with
// a line break or NUL, or one that begins with the marker. Such an entry is
// stored as the marker followed by the entry with "\\", CR, LF and NUL escaped.
bool NeedsEscape(const std::string& entry) {
    if (entry.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return true;
    if (entry.compare(0, std::char_traits<char>::length(ListSectionMarker), ListSectionMarker) == 0) return true;
    const std::string trimmed = TrimBlanks(entry);
    if (trimmed.empty()) return true;
    return trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']';
}

std::string Escape(const std::string& entry) {
    std::string out = ListSectionMarker;
    for (char c : entry) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\0': out += "\\0"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case '0': out += '\0'; break;
        case '\\': out += '\\'; break;
        default:
            out += '\\';
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> EncodeListSection(const std::vector<std::string>& entries, std::size_t* whole) {
    std::vector<std::string> lines;
    std::size_t used = 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& entry = entries[i];
        const bool last = i + 1 == entries.size();
        std::string line;
        if (entry.empty() || entry == " ") {
            // The last one stays blank and reads back as no entry: that is how
            // an empty list is stored and how a text's final line end comes back.
            line = last ? entry : std::string(ListSectionMarker);
        } else if (NeedsEscape(entry)) {
            line = Escape(entry);
        } else {
            line = entry;
        }
        if (used + line.size() + 1 > ListSectionLimit) {
            // The line that crosses the limit is cut there; the rest is not written.
            const std::size_t room = ListSectionLimit - used;
            if (room > 1) lines.push_back(line.substr(0, room - 1));
            break;
        }
        used += line.size() + 1;
        lines.push_back(std::move(line));
        ++kept;
    }
    if (whole != nullptr) *whole = kept;
    return lines;
}

void DecodeListSection(const std::vector<std::string>& lines, std::vector<std::string>& entries) {
    const std::size_t markerSize = std::char_traits<char>::length(ListSectionMarker);
    for (const auto& line : lines) {
        if (line == ListSectionMarker) {
            entries.emplace_back(" ");
        } else if (line.compare(0, markerSize, ListSectionMarker) == 0) {
            entries.push_back(Unescape(line.substr(markerSize)));
        } else {
            entries.push_back(line);
        }
    }
}

std::string NotKeptLine(const std::string& section, const std::vector<std::string>& entries, std::size_t whole) {
    const std::size_t left = entries.size() - whole;
    return section + ": " + std::to_string(left) + (left == 1 ? " entry" : " entries") + " not kept, from \"" +
           entries[whole] + "\" on (a section holds at most " + std::to_string(ListSectionLimit) + " bytes)";
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

RSaveResult SaveWindowState(const std::string& iniPath, const ROptions& options, const RWindowState& state) {
    RSaveResult unchanged;
    unchanged.FileName = iniPath;
    // A run that sends by itself and exits leaves the remembered state alone.
    if (options.AutoSend && options.ExitAfterSend) return unchanged;

    std::vector<std::string> notKept;
    const auto writeList = [&notKept](TIniFile& ini, const char* section, const std::vector<std::string>& entries) {
        std::size_t whole = 0;
        const auto lines = EncodeListSection(entries, &whole);
        const bool onlyTrailingBlank =
            whole + 1 == entries.size() && (entries.back().empty() || entries.back() == " ");
        if (whole < entries.size() && !onlyTrailingBlank)
            notKept.push_back(NotKeptLine(section, entries, whole));
        return lines.empty() || ini.WriteSection(section, lines);
    };
    // The file is read afresh under its lock; only the window's own sections
    // and keys change.
    RSaveResult result = UpdateIniFile(iniPath, [&](TIniFile& ini, std::string& error) {
        notKept.clear();
        bool ok = writeList(ini, kToItems, state.ToItems);
        ok = writeList(ini, kSubjItems, state.SubjItems) && ok;
        ok = writeList(ini, kMessage, MessageLines(state.MessageText)) && ok;
        // An empty list is stored as one blank line so that the old entries go.
        ok = writeList(ini, kFiles, state.Files.empty() ? std::vector<std::string>{" "} : state.Files) && ok;

        const RWindowGeometry& g = state.Geometry;
        ok = ini.WriteString(kMainForm, "Top", std::to_string(g.Top)) && ok;
        ok = ini.WriteString(kMainForm, "Left", std::to_string(g.Left)) && ok;
        ok = ini.WriteString(kMainForm, "Width", std::to_string(g.Width)) && ok;
        ok = ini.WriteString(kMainForm, "Height", std::to_string(g.Height)) && ok;
        ok = ini.WriteString(kMainForm, "MemoHeight", std::to_string(g.MemoHeight)) && ok;
        // A box text cannot hold a line break in a key line; it becomes a blank.
        const auto oneLine = [](std::string text) {
            std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
            return text;
        };
        ok = ini.WriteString(kMainForm, "ToEdit_Text", oneLine(state.ToText)) && ok;
        ok = ini.WriteString(kMainForm, "SubjEdit_Text", oneLine(state.SubjText)) && ok;
        if (!ok) error = "A value could not be stored";
        return ok;
    });
    result.NotKept = std::move(notKept);
    return result;
}

void PushRecent(const std::string& text, std::vector<std::string>& items) {
    if (text.empty()) return;
    const auto found =
        std::find_if(items.begin(), items.end(), [&text](const std::string& item) { return EqualNoCase(item, text); });
    if (found != items.end()) items.erase(found);
    items.insert(items.begin(), text);
}

}  // namespace pw
