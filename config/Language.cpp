#include "config/Language.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "platform/AsciiCase.h"
#include "platform/PrivateProfile.h"

namespace pw {

const std::array<RLanguageText, mfCount> kMainFormTexts = {{
    {"FileItem", "&File"},
    {"OpenItem", "&Attach a File"},
    {"SendItem", "&Send"},
    {"AbortItem", "&Abort"},
    {"CreateItem", "&Create ShortCut"},
    {"ExitItem", "E&xit"},
    {"OptionsItem", "&Options..."},
    {"HelpItem", "&Help"},
    // The window is built with "&Contents\tF1"; a language (even English)
    // replaces it with this text, which has no F1 hint.
    {"ContentsItem", "&Contents"},
    {"AboutItem", "About..."},
    {"To", "To:"},
    {"Subject", "Subject:"},
    {"Default_message_text", "Default message text:"},
    {"Attached_Files", "Attached Files:"},
    {"ToolTip_Attached", "Attach a File(s)"},
    {"ToolTip_Send", "Send messages"},
    {"ToolTip_Abort_Sending", "Abort sending"},
    {"ToolTip_Options", "Program options"},
    {"ToolTip_Help", "Help"},
    {"Attach_Files_Dialog", "Select files"},
}};

const std::array<RLanguageText, ofCount> kOptionsFormTexts = {{
    {"Ok", "Ok"},
    {"Cancel", "Cancel"},
    {"Help", "Help"},
    {"Mix", "Mix"},
    {"EMail", "EMail"},
    {"Mix", "Mix"},
    {"On_Error", "On Error"},
    {"Error_message", "Error message"},
    {"Show_message_windows", "Show message windows"},
    {"Send_error_message_by_LAN", "Send error message by LAN"},
    {"Send_messages_to", "Send messages to:"},
    {"SMTP", "SMTP"},
    {"SMTP_Server", "SMTP Server:"},
    {"SMTP_Port", "SMTP Port:"},
    {"Timeout", "Timeout:"},
    {"Number_of_Attempts", "Number of Attempts:"},
    {"CharSet", "CharSet:"},
    {"Perform_SMTP_Authentication", "Perform SMTP Authentication"},
    {"Name", "Name:"},
    {"Password", "Password:"},
    {"Personal", "Personal"},
    {"Name", "Name:"},
    {"Organization", "Organization:"},
    {"From_address", "From address:"},
    {"WAB", "WAB"},
    {"Use_Windows_Address_Book", "Use Windows Address Book"},
    {"Use_Default_WAB_file", "Use Default WAB file"},
    {"WAB_File_Name", "WAB File Name:"},
    {"Log_file", "Log file"},
    {"Log_detail", "Log detail:"},
    {"Save_log_file", "Save log file"},
    {"Log_file_name", "Log file name:"},
    {"Send", "Send"},
    {"AutoSend", "AutoSend"},
    {"Exit_after_send", "Exit after send"},
    {"Confirm_Receipt", "Confirm Receipt"},
    {"Confirmation_send_to", "Confirmation send to:"},
    {"Files", "Files"},
    {"Recurse_subdirs", "Recurse subdirs"},
    {"Clear_file_list", "Clear file list"},
    {"Files_per_message", "Files per message:"},
    {"Get_message_text_from_file", "Get message text from file"},
    {"Interface", "Interface"},
    {"Language", "Language:"},
    {"Log_File_Name_Dialog", "Define Log File Name"},
}};

namespace {

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

// Name order of the listing: without letter case first, so "english" and
// "English" sit together, then bytewise so the order is total.
bool NameLess(const std::string& a, const std::string& b) {
    const auto lessNoCase = [](char x, char y) {
        return static_cast<unsigned char>(LowerAscii(x)) < static_cast<unsigned char>(LowerAscii(y));
    };
    if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), lessNoCase)) return true;
    return EqualNoCase(a, b) && a < b;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The names in `folder`, in name order; empty when it cannot be read.
std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), NameLess);
    return names;
}

}  // namespace

std::vector<std::string> BuiltInTexts(std::span<const RLanguageText> table) {
    std::vector<std::string> texts;
    texts.reserve(table.size());
    for (const RLanguageText& text : table) texts.emplace_back(text.BuiltIn);
    return texts;
}

std::vector<std::string> ReadLanguageSection(const std::string& path, const char* section,
                                             std::span<const RLanguageText> table) {
    // Key by key, each a fresh profile read, as the texts are looked up one by
    // one; a language file is small and this runs when a window is (re)labelled.
    std::vector<std::string> texts;
    texts.reserve(table.size());
    for (const RLanguageText& text : table)
        texts.push_back(GetPrivateProfileString(section, text.Key, text.BuiltIn, path));
    return texts;
}

std::vector<std::string> LanguageFolders(const std::string& programFolder) {
    std::string parent = programFolder;
    while (!parent.empty() && parent.back() == '/') parent.pop_back();
    const std::size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? std::string() : parent.substr(0, slash + 1);
    return {programFolder, parent + "share/parcelwing/"};
}

namespace {

// `name` in `folder`: the file of exactly that name, else the first entry in
// name order that matches it without letter case; empty when none is a file.
std::string FindNoCase(const std::string& folder, const std::string& name) {
    if (IsRegularFile(folder + name)) return folder + name;
    for (const std::string& entry : FolderNames(folder)) {
        if (EqualNoCase(entry, name) && IsRegularFile(folder + entry)) return folder + entry;
    }
    return {};
}

}  // namespace

std::string LanguageFilePath(const std::string& programFolder, const std::string& langFile) {
    const std::string beside = programFolder + langFile;
    if (langFile.empty() || langFile.find('/') != std::string::npos) return beside;
    for (const std::string& folder : LanguageFolders(programFolder)) {
        std::string found = FindNoCase(folder, langFile);
        if (!found.empty()) return found;
    }
    return beside;
}

bool LanguageFileUsable(const std::string& programFolder, const std::string& langFile) {
    if (langFile.empty()) return false;
    const std::string path = LanguageFilePath(programFolder, langFile);
    return IsRegularFile(path) && ::access(path.c_str(), R_OK) == 0;
}

std::vector<std::string> BuildLanguageList(const std::string& programFolder) {
    const std::string extension = kLanguageExtension;
    std::vector<std::string> names;   // file names, from every folder
    for (const std::string& folder : LanguageFolders(programFolder)) {
        const std::size_t earlier = names.size();   // names of the folders searched before
        for (const std::string& name : FolderNames(folder)) {
            if (name[0] == '.' || !EndsWithNoCase(name, extension)) continue;
            if (!IsRegularFile(folder + name)) continue;
            const auto shadows = [&name](const std::string& taken) { return EqualNoCase(taken, name); };
            if (std::any_of(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(earlier), shadows))
                continue;
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), NameLess);
    std::vector<std::string> list;
    for (const std::string& name : names) {
        // Strip the extension: the text from the last ".", which is the one
        // of ".lng".
        std::string shown = name.substr(0, name.size() - extension.size());
        if (!shown.empty() && shown[0] >= 'a' && shown[0] <= 'z')
            shown[0] = static_cast<char>(shown[0] - 'a' + 'A');
        list.push_back(shown);
    }
    return list;
}

int FindLanguage(const std::vector<std::string>& list, const std::string& language) {
    int found = -1;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == language) found = static_cast<int>(i);
    }
    return found;
}

std::string LanguageFileName(const std::string& language) {
    return language + kLanguageExtension;
}

}  // namespace pw
