#pragma once
// The window's own texts beyond the captions of the language tables in
// config/Language.h: the job's progress in the status bar (section "MainForm")
// and the connection-security, login-method and Test controls of the options
// dialog (section "OptionsForm"). They are read from the same language file
// and sections, after the tables there, with these English texts as defaults.
//
// Texts with %1, %2, ... are filled with QString::arg.

#include <QString>
#include <array>
#include <string>

#include "config/Language.h"

namespace pw {

// Section "MainForm": the progress shown in the status bar while a job runs.
enum ProgressText : std::size_t {
    ptMessage,       // "Message %1 of %2"
    ptBytes,         // "%1 of %2": bytes of the current file sent, its size
    ptSizeBytes,     // "%1 bytes"
    ptSizeKB,        // "%1 KB"
    ptSizeMB,        // "%1 MB"
    ptSizeGB,        // "%1 GB"
    ptDecimalPoint,  // "."
    ptCount
};
extern const std::array<RLanguageText, ptCount> kProgressTexts;

// Section "OptionsForm": the controls the dialog has beyond the tables there,
// and the Test button's report.
enum OptionsExtraText : std::size_t {
    oxConnectionSecurity,  // group box
    oxSecurityNone,        // its first choice (STARTTLS and SSL/TLS are names)
    oxLoginMethod,         // label of the login method
    oxAuthAutomatic,       // first entry of the login method
    oxTest,                // the button
    oxTestRunning,         // %1 host, %2 port
    oxTestConnected,       // %1 the server's greeting
    oxTestRefused,         // %1 host, %2 port
    oxTestNoConnection,    // %1 host, %2 port, %3 reason
    oxTestStartTls,
    oxTestTlsOnConnect,
    oxTestClearText,
    oxTestLoginAccepted,
    oxTestLoginRefused,    // %1 the server's reply
    oxTestNoLogin,
    oxTestStepRefused,     // %1 the command, %2 the server's reply
    oxTestPassed,
    oxTestFailed,
    oxCount
};
extern const std::array<RLanguageText, oxCount> kOptionsExtraTexts;

// A table's texts as QStrings, read from `langFile` in `programFolder` (or
// the built-in ones when the file or a key is missing).
template <std::size_t N>
struct RTexts {
    std::array<QString, N> Text;
    const QString& operator[](std::size_t index) const { return Text[index]; }
};
using RProgressTexts = RTexts<ptCount>;
using ROptionsExtraTexts = RTexts<oxCount>;

RProgressTexts BuiltInProgressTexts();
ROptionsExtraTexts BuiltInOptionsExtraTexts();
RProgressTexts ReadProgressTexts(const std::string& programFolder, const std::string& langFile);
ROptionsExtraTexts ReadOptionsExtraTexts(const std::string& programFolder, const std::string& langFile);

}  // namespace pw
