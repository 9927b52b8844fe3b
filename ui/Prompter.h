#pragma once
// Everything the windows ask a person through a modal box or a system dialog
// goes through a Prompter, so that tests can answer instead of a person and no
// test ever blocks on a modal box.

#include <QString>
#include <QStringList>

#include "app/View.h"

class QWidget;

namespace pw {

// The application title: the caption of the program's own message boxes.
inline constexpr const char* kAppTitle = "Parcelwing";

// An open-file dialog as the windows ask for it.
struct RFileDialog {
    QString Title;
    QString Filter;               // Qt form, e.g. "Log File (*.log);;all files (*)"
    QString Folder;               // where the dialog opens
    bool Multiple = false;        // several existing files may be chosen at once
    bool FileMustExist = true;    // false: a new name may be typed; its folder must exist
};

class Prompter {
public:
    virtual ~Prompter() = default;

    // Shows `box` modally (to `owner` when box.Owned) and returns the button chosen.
    virtual TBoxAnswer ShowMessageBox(QWidget* owner, const RMessageBox& box) = 0;

    // Runs the dialog; returns the chosen files' full names, none when cancelled.
    virtual QStringList ChooseFiles(QWidget* owner, const RFileDialog& dialog) = 0;

    // Shows the help file's table of contents in the desktop's viewer. False when
    // no viewer can be had (the caller then does nothing more).
    virtual bool OpenHelp(QWidget* owner, const QString& helpFile) = 0;
};

// The real thing: QMessageBox, QFileDialog and the desktop's opener.
class QtPrompter : public Prompter {
public:
    TBoxAnswer ShowMessageBox(QWidget* owner, const RMessageBox& box) override;
    QStringList ChooseFiles(QWidget* owner, const RFileDialog& dialog) override;
    bool OpenHelp(QWidget* owner, const QString& helpFile) override;
};

// The help command of the windows: when `helpFile` exists it is shown through
// the prompter (nothing happens when no viewer can be had); otherwise the error
// box "Cant find file \"<helpFile>\"" appears.
void ShowHelpFile(Prompter& prompter, QWidget* owner, const QString& helpFile, bool ownedBox);

}  // namespace pw
