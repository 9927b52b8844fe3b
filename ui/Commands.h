#pragma once
// The window's commands: what the menu, the tool bar, the file list's pop-up
// menu, the list's keys and dropped files do. The list editing commands work
// on the view seam alone; TWindowCommands wires every command of the main
// window to the application core (TMainUnit) and to the dialogs.

#include <QObject>
#include <QStringList>
#include <string>
#include <vector>

#include "app/View.h"
#include "ui/AboutBox.h"
#include "ui/OptionsDialog.h"

namespace pw {

class MainWindow;
class MessageLoop;
class Prompter;
class TMainUnit;

// The box for a command number that has no action ("not implemented yet").
inline constexpr const char* NotImplementedText = "Пока не реализовано...";

// --- list editing on the view -------------------------------------------------------
// Each ends with the list buttons enabled exactly when the list is not empty.

// Removes the current entry (entry 0 when none is current); the entry now at
// that place, or the last one, becomes current.
void DeleteEntry(IView& view);
// Exchanges the current entry with the one above / below it; nothing at the
// top / bottom or without a current entry.
void MoveEntryUp(IView& view);
void MoveEntryDown(IView& view);
// Appends every non-empty piece of `text` cut at each CR and each LF, as it
// is: no trimming, no existence check, no folder expansion.
void PasteEntries(IView& view, const std::string& text);

// The box text for names that lead to no file (a name damaged by a text
// conversion that no file of its folder shows as); one name per line.
std::string CannotAttachText(const std::vector<std::string>& shownNames);

// The options dialog's surroundings for the program whose file is
// `programFile`: its folder (language files), its help file, saving through
// `unit`'s SaveOptions (only the keys the dialog changed, under the INI file's
// lock), re-applying the main window's language, and the unit's message loop,
// on which its Test runs.
ROptionsEnvironment MakeOptionsEnvironment(MainWindow& window, Prompter& prompter, const std::string& programFile,
                                           TMainUnit& unit);

class TWindowCommands : public QObject {
    Q_OBJECT

public:
    // Connects every command of `window` to `unit`.
    TWindowCommands(MainWindow& window, TMainUnit& unit, Prompter& prompter, std::string programFile);

    // The three dispatchers: an item number to its command; a number without
    // an action shows the "not implemented" box.
    void MenuCommand(int position);
    void ToolCommand(int position);
    void PopupCommand(int position);

    // The commands.
    void Attach();
    void DropFiles(const std::vector<std::string>& paths);
    void Send();
    void Abort();
    void Exit();
    void Options();
    void Help();
    void About();
    void Delete();
    void MoveUp();
    void MoveDown();
    void Paste();
    void NotImplemented();

    std::string HelpFile() const;
    // What the about box says of this copy: the INI file and the log in use.
    RAboutFacts AboutFacts() const;

private:
    // Starts a job when AutoSend is set, the list holds files and Send is enabled.
    bool AutoSendWanted() const;
    void RunJob();
    void RefreshListButtons();
    // Says which names lead to no file, when there are any.
    void ReportUnattachable(const std::vector<std::string>& shownNames);

    MainWindow& window_;
    TMainUnit& unit_;
    Prompter& prompter_;
    std::string programFile_;
};

}  // namespace pw
