#pragma once
// The options dialog: the one place where the user edits ROptions. Three pages
// ("EMail", "Mix", "On Error") of controls placed as the program has always
// placed them, filled from the record and read back in fixed orders, with the
// OK button's checks and the dialog's keys.
//
// Modal boxes and file dialogs go through a Prompter; writing the options is
// the caller's hook (EditOptions), which can report a failure.

#include <QDialog>
#include <QString>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "config/Options.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace pw {

class Prompter;

// Every control of the dialog, for the language texts and for tests.
struct ROptionsControls {
    QTabWidget* Tabs = nullptr;
    QWidget* EMailPage = nullptr;
    QWidget* MixPage = nullptr;
    QWidget* OnErrorPage = nullptr;
    QPushButton* Ok = nullptr;
    QPushButton* Cancel = nullptr;
    QPushButton* Help = nullptr;

    // Page "EMail".
    QGroupBox* SmtpGroup = nullptr;
    QLabel* ServerLabel = nullptr;
    QLineEdit* Server = nullptr;
    QLabel* PortLabel = nullptr;
    QLineEdit* Port = nullptr;
    QLabel* TimeoutLabel = nullptr;
    QLineEdit* Timeout = nullptr;
    QLabel* AttemptsLabel = nullptr;
    QLineEdit* Attempts = nullptr;
    QLabel* CharSetLabel = nullptr;
    QComboBox* CharSet = nullptr;
    QCheckBox* Auth = nullptr;
    QLabel* AuthNameLabel = nullptr;
    QLineEdit* AuthName = nullptr;
    QLabel* PasswordLabel = nullptr;
    QLineEdit* Password = nullptr;
    QGroupBox* PersonalGroup = nullptr;
    QLabel* NameLabel = nullptr;
    QLineEdit* Name = nullptr;
    QLabel* FromLabel = nullptr;
    QLineEdit* From = nullptr;
    QLabel* OrganizationLabel = nullptr;
    QLineEdit* Organization = nullptr;
    QGroupBox* WabGroup = nullptr;
    QCheckBox* UseWab = nullptr;
    QCheckBox* DefaultWab = nullptr;
    QLabel* WabFileLabel = nullptr;
    QLineEdit* WabFile = nullptr;
    QPushButton* WabBrowse = nullptr;

    // Page "Mix".
    QGroupBox* LogGroup = nullptr;
    QCheckBox* SaveLog = nullptr;
    QLabel* LogDetailLabel = nullptr;
    QComboBox* LogDetail = nullptr;
    QLabel* LogFileLabel = nullptr;
    QLineEdit* LogFile = nullptr;
    QPushButton* LogBrowse = nullptr;
    QGroupBox* SendGroup = nullptr;
    QCheckBox* AutoSend = nullptr;
    QCheckBox* ExitAfterSend = nullptr;
    QCheckBox* ConfirmReceipt = nullptr;
    QLabel* ReceiptLabel = nullptr;
    QLineEdit* ReceiptAddress = nullptr;
    QGroupBox* FilesGroup = nullptr;
    QLabel* FilesPerMessageLabel = nullptr;
    QLineEdit* FilesPerMessage = nullptr;
    QCheckBox* ClearFileList = nullptr;
    QCheckBox* RecurseSubdirs = nullptr;
    QCheckBox* TextFromFile = nullptr;
    QGroupBox* InterfaceGroup = nullptr;
    QLabel* LanguageLabel = nullptr;
    QComboBox* Language = nullptr;

    // Page "On Error".
    QGroupBox* ErrorGroup = nullptr;
    QCheckBox* ShowMessages = nullptr;
    QCheckBox* SendByLan = nullptr;
    QLabel* SendToLabel = nullptr;
    QLineEdit* SendTo = nullptr;
};

// The entries of the charset box (indices 0..29 are `CharSet` values) and of
// the log-detail box (indices are `LogDetail` values).
extern const std::array<const char*, 30> kCharSetEntries;
extern const std::array<const char*, 3> kLogDetailEntries;

class OptionsDialog : public QDialog {
    Q_OBJECT

public:
    enum Page : int { pgEMail = 0, pgMix = 1, pgOnError = 2, pgCount = 3 };

    // Builds the dialog with its built-in texts and disabled controls.
    // `programFolder` (ending in "/") holds the language files and is where the
    // log-file-name dialog opens; `helpFile` is opened by Help and F1.
    OptionsDialog(Prompter& prompter, std::string programFolder, QString helpFile,
                  QWidget* parent = nullptr);
    ~OptionsDialog() override;

    const ROptionsControls& controls() const { return c_; }

    // Fills the controls from `options`, including the language list and the
    // texts of the language file options.LangFile.
    void fill(const ROptions& options);

    // Reads the controls back into `options`. NumOfAttempts becomes 5 and SMTP
    // authentication is switched off with empty credentials, whatever it held.
    // A charset or log-detail box with no entry selected keeps the record's value.
    void readInto(ROptions& options) const;

    // The OK button's checks: the log-file warning, then the port, the server and
    // the sender; the first failure is shown in an error box. True when the
    // dialog may close.
    bool validate();

    // Title of the log-file-name dialog (a language text).
    QString logFileDialogTitle() const { return logDialogTitle_; }
    void setLogFileDialogTitle(const QString& title) { logDialogTitle_ = title; }

    void showPage(int page);
    int currentPage() const;

    // The commands behind the buttons and keys.
    void okPressed();
    void helpPressed();
    void chooseLogFile();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    enum class TKeyCommand { None, Help, NextPage, PreviousPage, Ok };

    void createButtons();
    void createEMailPage();
    void createMixPage();
    void createOnErrorPage();
    void updateSendToState();
    static TKeyCommand KeyCommand(const QKeyEvent& key);

    Prompter& prompter_;
    std::string programFolder_;
    QString helpFile_;
    QString logDialogTitle_;
    ROptionsControls c_;
};

// The options of EditOptions: where things are, and the caller's hooks.
struct ROptionsEnvironment {
    Prompter* Prompts = nullptr;     // message boxes and file dialogs
    std::string ProgramFolder;     // with a trailing "/"
    std::string HelpFile;          // the program's name with ".chm"
    // Writes the options; a failure is shown in an error box naming the file.
    std::function<RSaveResult(const ROptions&)> Save;
    // Applies section "MainForm" of the language file to the main window.
    std::function<void(const std::string& langFile)> ApplyMainLanguage;
};

// Runs the options dialog on `options`: built, filled, shown on page "EMail"
// and run modally. Through OK: the controls are read back into `options`, the
// options saved (an error box names the INI file when that fails) and the
// language of the dialog and the main window re-applied from the new LangFile.
// Returns true when the dialog ended through OK; Cancel, Esc and the close box
// change nothing.
bool EditOptions(QWidget* parent, ROptions& options, const ROptionsEnvironment& environment);

// The message of a failed save: names the INI file and the reason.
std::string SaveFailureText(const RSaveResult& result);

}  // namespace pw
