#pragma once
// The options dialog: the one place where the user edits ROptions. Three pages
// ("EMail", "Mix", "On Error") holding the program's controls in their order,
// laid out by Qt's layouts in the application's font, so that the dialog
// follows the desktop's font and scale and grows with longer translations.
// Filled from the record and read back in fixed orders, with the OK button's
// checks and the dialog's keys.
//
// Beyond the original controls, the "EMail" page sets up connection security
// and the login, and tests them with "Test" (ui/ConnectionTest.h).
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
#include "ui/WindowTexts.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace pw {

class MessageLoop;
class Prompter;
class TConnectionTest;

// Every control of the dialog, for the language texts and for tests.
struct ROptionsControls {
    QTabWidget* Tabs = nullptr;
    QWidget* EMailPage = nullptr;
    QWidget* MixPage = nullptr;
    QWidget* OnErrorPage = nullptr;
    QDialogButtonBox* Buttons = nullptr;  // Ok, Cancel and Help in the desktop's order
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
    QLabel* AuthMethodLabel = nullptr;
    QComboBox* AuthMethod = nullptr;  // index = SMTP_Auth_Type
    QGroupBox* SecurityGroup = nullptr;
    QRadioButton* SecurityNone = nullptr;
    QRadioButton* SecurityStartTls = nullptr;
    QRadioButton* SecuritySslTls = nullptr;
    QPushButton* Test = nullptr;
    QLabel* TestResult = nullptr;
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

// The entries of the charset box (indices 0..29 are `CharSet` values), of
// the log-detail box (indices are `LogDetail` values) and of the login method
// (indices are `SMTP_Auth_Type` values; the first is a language text).
extern const std::array<const char*, 30> kCharSetEntries;
extern const std::array<const char*, 3> kLogDetailEntries;
extern const std::array<const char*, 5> kAuthMethodEntries;

// The port after the user chose connection security `security` (0 none, 1
// STARTTLS, 2 SSL/TLS) with `port` in the field: STARTTLS moves 25 and 465 to
// 587, SSL/TLS moves 25 and 587 to 465, none moves 465 to 25; any other port
// is the user's own and stays.
std::int32_t PortForSecurity(std::int32_t security, std::int32_t port);

class OptionsDialog : public QDialog {
    Q_OBJECT

public:
    enum Page : int { pgEMail = 0, pgMix = 1, pgOnError = 2, pgCount = 3 };

    // Builds the dialog with its built-in texts and disabled controls; it opens
    // at its natural size and may be made larger.
    // `programFolder` (ending in "/") holds the language files and is where the
    // log-file-name dialog opens; `helpFile` is opened by Help and F1.
    OptionsDialog(Prompter& prompter, std::string programFolder, QString helpFile,
                  QWidget* parent = nullptr);
    ~OptionsDialog() override;

    const ROptionsControls& controls() const { return c_; }

    // Fills the controls from `options`, including the language list and the
    // texts of the language file options.LangFile.
    void fill(const ROptions& options);

    // Reads the controls back into `options`. NumOfAttempts becomes 5 (its
    // field stays disabled); the login (check box, name, password, method),
    // the connection security and "Confirm Receipt" are read as shown. A
    // charset or log-detail box with no entry selected keeps the record's value.
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

    // Connection security as chosen: 0 none, 1 STARTTLS, 2 SSL/TLS.
    int security() const;
    void setSecurity(int security);

    // The texts of the controls beyond the language tables, and of the Test
    // button's report (a language applies them).
    void setExtraTexts(const ROptionsExtraTexts& texts);
    const ROptionsExtraTexts& extraTexts() const { return extraTexts_; }

    // The loop on which "Test" runs its session; without one the button stays
    // disabled.
    void setMessageLoop(MessageLoop* loop);
    // The running or last test, nullptr before the first.
    TConnectionTest* connectionTest() const { return test_; }

    // The commands behind the buttons and keys.
    void okPressed();
    void helpPressed();
    void chooseLogFile();
    // Starts a test with the dialog's values; its steps appear below the button.
    void testPressed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    enum class TKeyCommand { None, Help, NextPage, PreviousPage, Ok };

    void createButtons();
    void createEMailPage();
    void createSecurityGroup(QWidget* page);
    void createMixPage();
    void createOnErrorPage();
    void updateSendToState();
    void updateLoginState();
    void securityChosen(int security);
    void testFinished();
    static TKeyCommand KeyCommand(const QKeyEvent& key);

    Prompter& prompter_;
    std::string programFolder_;
    QString helpFile_;
    QString logDialogTitle_;
    ROptionsControls c_;
    QButtonGroup* securityChoice_ = nullptr;
    ROptionsExtraTexts extraTexts_;
    ROptions filled_;  // what fill() was given: the base of a test's values
    MessageLoop* loop_ = nullptr;
    TConnectionTest* test_ = nullptr;
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
    // The program's message loop, on which "Test" runs; null disables it.
    MessageLoop* Loop = nullptr;
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
