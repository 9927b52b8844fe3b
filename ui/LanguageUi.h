#pragma once
// Applying a language file's texts to the main window and the options dialog.
// The texts come from config/Language.h in table order; a missing file,
// section or key gives the built-in text.

#include <string>
#include <vector>

namespace pw {

class MainWindow;
class OptionsDialog;

// Sets the texts of section "MainForm" (kMainFormTexts order) on the window:
// menu positions 0, 1, 3, 4, 6, 8, 9, 10, 11 and 13, the four labels, the
// tooltips of tool-bar positions 0, 2, 3, 5 and 7 (later buttons keep theirs)
// and the title of the attach dialog. A vector of another size changes nothing.
void ApplyMainFormTexts(MainWindow& window, const std::vector<std::string>& texts);

// Sets the texts of section "OptionsForm" (kOptionsFormTexts order) on the
// dialog's buttons, tab pages, group boxes, labels and check boxes and the
// title of the log-file-name dialog. A vector of another size changes nothing.
void ApplyOptionsFormTexts(OptionsDialog& dialog, const std::vector<std::string>& texts);

// Reads section "MainForm" of `langFile` in `programFolder` and applies it,
// the progress words of the status bar included, whether or not the file
// exists (a missing one restores the built-in texts).
void ApplyMainLanguage(MainWindow& window, const std::string& programFolder,
                       const std::string& langFile);

// At start-up: applies "MainForm" only when `langFile` names a readable file
// in `programFolder`. True when it did.
bool ApplyStartupLanguage(MainWindow& window, const std::string& programFolder,
                          const std::string& langFile);

// Reads section "OptionsForm" of `langFile` in `programFolder` and applies it,
// the texts of the controls beyond the table included, without an existence
// check.
void ApplyOptionsLanguage(OptionsDialog& dialog, const std::string& programFolder,
                          const std::string& langFile);

}  // namespace pw
