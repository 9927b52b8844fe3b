#pragma once
// Language files: INI-style ".lng" files in the program's folder whose sections
// "MainForm" and "OptionsForm" replace the captions of the main window and the
// options dialog. Any missing file, section or key gives the built-in English
// text, so an empty or absent file restores English.
//
// No widgets here: the texts are read into plain vectors in table order and the
// user interface applies them (ui/LanguageUi.h).

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace pw {

// One text of a language section: its key and its built-in text.
struct RLanguageText {
    const char* Key;
    const char* BuiltIn;
};

inline constexpr const char* kMainFormSection = "MainForm";
inline constexpr const char* kOptionsFormSection = "OptionsForm";
inline constexpr const char* kLanguageExtension = ".lng";

// Section "MainForm", in reading order; the enumerators index both the table
// and the vector ReadLanguageSection returns.
enum MainFormText : std::size_t {
    mfFileItem,
    mfOpenItem,
    mfSendItem,
    mfAbortItem,
    mfCreateItem,
    mfExitItem,
    mfOptionsItem,
    mfHelpItem,
    mfContentsItem,
    mfAboutItem,
    mfTo,
    mfSubject,
    mfDefaultMessageText,
    mfAttachedFiles,
    mfToolTipAttached,
    mfToolTipSend,
    mfToolTipAbortSending,
    mfToolTipOptions,
    mfToolTipHelp,
    mfAttachFilesDialog,
    mfCount
};

// Section "OptionsForm", in reading order. "Mix" is read twice (for the tab
// control and for its page 1) and "Name" twice (SMTP and Personal groups).
enum OptionsFormText : std::size_t {
    ofOk,
    ofCancel,
    ofHelp,
    ofTabControl,
    ofEMail,
    ofMix,
    ofOnError,
    ofErrorMessage,
    ofShowMessageWindows,
    ofSendErrorMessageByLan,
    ofSendMessagesTo,
    ofSmtp,
    ofSmtpServer,
    ofSmtpPort,
    ofTimeout,
    ofNumberOfAttempts,
    ofCharSet,
    ofPerformSmtpAuthentication,
    ofAuthName,
    ofPassword,
    ofPersonal,
    ofPersonalName,
    ofOrganization,
    ofFromAddress,
    ofWab,
    ofUseWindowsAddressBook,
    ofUseDefaultWabFile,
    ofWabFileName,
    ofLogFile,
    ofLogDetail,
    ofSaveLogFile,
    ofLogFileName,
    ofSend,
    ofAutoSend,
    ofExitAfterSend,
    ofConfirmReceipt,
    ofConfirmationSendTo,
    ofFiles,
    ofRecurseSubdirs,
    ofClearFileList,
    ofFilesPerMessage,
    ofGetMessageTextFromFile,
    ofInterface,
    ofLanguage,
    ofLogFileNameDialog,
    ofCount
};

extern const std::array<RLanguageText, mfCount> kMainFormTexts;
extern const std::array<RLanguageText, ofCount> kOptionsFormTexts;

// The built-in texts of a table, in table order.
std::vector<std::string> BuiltInTexts(std::span<const RLanguageText> table);

// Reads every key of `table` from `section` of the language file `path`, one
// key at a time in table order, each with its built-in text as default (values
// are cut to 4,095 characters as the profile layer reads them). A missing or
// unreadable file gives the built-in texts. Never throws.
std::vector<std::string> ReadLanguageSection(const std::string& path, const char* section,
                                             std::span<const RLanguageText> table);

// The folders that hold the language files of the program whose folder is
// `programFolder` (a canonical path ending in "/"), in the order they are
// searched: the program's own folder (a portable copy, the build folder), then
// ../share/parcelwing/ beside it (an installed program: /usr/bin/ gives
// /usr/share/parcelwing/). The parent is taken from the text, not the disk.
std::vector<std::string> LanguageFolders(const std::string& programFolder);

// The path of the language file `langFile` of the program in `programFolder`.
// Each folder of LanguageFolders is searched in turn, and in each the name is
// matched without ASCII letter case, as on the system the files come from: a
// file of exactly that name first, else the first entry of the folder (in name
// order) whose name matches ignoring case. So a file beside the program wins
// over an installed one, whatever the spelling of either. When none matches,
// the plain join programFolder + langFile is returned (it does not exist, so
// reading it gives the built-in texts). A `langFile` holding "/" is joined as
// given, without a search.
std::string LanguageFilePath(const std::string& programFolder, const std::string& langFile);

// True when `langFile` is not empty and names a readable regular file found as
// LanguageFilePath finds it: the start-up test before the main window's texts
// are replaced.
bool LanguageFileUsable(const std::string& programFolder, const std::string& langFile);

// The language list of the options dialog: every regular file of the folders of
// LanguageFolders whose name ends in ".lng" (any letter case) and does not start
// with "." (hidden), in name order (bytes compared without ASCII letter case,
// then as they are); each shown without its extension and with its first letter
// upper-cased (ASCII only, so a UTF-8 name is never split). An installed file
// whose name, ignoring letter case, is also beside the program is listed once,
// as LanguageFilePath would find the one beside it. Folders are not listed. A
// missing or unreadable folder adds nothing.
std::vector<std::string> BuildLanguageList(const std::string& programFolder);

// The entry to select for `language`: the last entry equal to it, letter case
// included, or -1 when none is.
int FindLanguage(const std::vector<std::string>& list, const std::string& language);

// The language file name stored for the chosen display name: name + ".lng"
// (".lng" alone when nothing is chosen).
std::string LanguageFileName(const std::string& language);

}  // namespace pw
