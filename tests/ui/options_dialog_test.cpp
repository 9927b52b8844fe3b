// The options dialog on real widgets: its controls and states, filling and
// reading back, the OK checks, the INI file after OK and after Cancel, the
// keys (Enter, Esc, Ctrl+Enter, Ctrl+Tab, F1), Help, the log-file dialog, the
// "Send messages to:" rule, the live login controls and the port that follows
// the connection security.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>

#include "UiTestSupport.h"
#include "config/Options.h"
#include "platform/PrivateProfile.h"
#include "ui/OptionsDialog.h"

namespace pw {
namespace {

using test::FakePrompter;
using test::PressKey;
using test::ShowActive;
using test::WhenShown;

class OptionsDialogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder.isValid()); }
    std::string programFolder() const { return folder.path().toStdString() + "/"; }
    void writeFile(const QString& name, const QByteArray& content) {
        QFile file(folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    // A filled dialog whose three checked fields are valid.
    std::unique_ptr<OptionsDialog> validDialog() {
        auto dialog = std::make_unique<OptionsDialog>(prompter, programFolder(),
                                                      folder.filePath("parcelwing.chm"));
        ROptions options;
        options.Host = "mail.example.org";
        options.From = "me@example.org";
        options.LogFileName = "/tmp/pw.log";
        dialog->fill(options);
        return dialog;
    }

    QTemporaryDir folder;
    FakePrompter prompter;
};

TEST_F(OptionsDialogTest, IsBuiltWithEveryControlInPlace) {
    OptionsDialog dialog(prompter, programFolder(), QString());
    const ROptionsControls& c = dialog.controls();
    EXPECT_EQ(dialog.windowTitle(), "Options");
    EXPECT_FALSE(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    ASSERT_EQ(c.Tabs->count(), 3);
    EXPECT_EQ(c.Tabs->tabText(0), "EMail");
    EXPECT_EQ(c.Tabs->tabText(1), "Mix");
    EXPECT_EQ(c.Tabs->tabText(2), "On Error");
    EXPECT_EQ(dialog.currentPage(), OptionsDialog::pgEMail);

    // Disabled from the start: the attempts, the login fields (until the check
    // box is ticked), the address book with all its controls and the receipt
    // address; the Test button until there is a loop to run it on.
    for (QWidget* off : std::initializer_list<QWidget*>{
             c.AttemptsLabel, c.Attempts, c.AuthNameLabel, c.AuthName, c.PasswordLabel, c.Password,
             c.AuthMethodLabel, c.AuthMethod, c.UseWab, c.DefaultWab, c.WabFileLabel, c.WabFile,
             c.WabBrowse, c.ReceiptLabel, c.ReceiptAddress, c.Test})
        EXPECT_FALSE(off->isEnabled()) << off->metaObject()->className();
    for (QWidget* on : std::initializer_list<QWidget*>{c.Server, c.Port, c.Timeout, c.CharSet, c.Auth,
                                                      c.SecurityNone, c.SecurityStartTls, c.SecuritySslTls,
                                                      c.Name, c.From, c.SaveLog, c.LogFile, c.ConfirmReceipt,
                                                      c.Language})
        EXPECT_TRUE(on->isEnabled());
    EXPECT_TRUE(c.SecurityNone->isChecked());
    EXPECT_EQ(c.SecurityGroup->title(), "Connection security");
    EXPECT_EQ(c.SecurityStartTls->text(), "STARTTLS");
    EXPECT_EQ(c.SecuritySslTls->text(), "SSL/TLS");
    EXPECT_EQ(c.Test->text(), "Test");
    ASSERT_EQ(c.AuthMethod->count(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c.AuthMethod->itemText(i), kAuthMethodEntries[static_cast<std::size_t>(i)]);
    EXPECT_EQ(c.AuthMethod->itemText(0), "Automatic");

    // The buttons: a button box in the desktop's order, OK the default.
    ASSERT_NE(c.Buttons, nullptr);
    EXPECT_EQ(c.Buttons->buttonRole(c.Ok), QDialogButtonBox::AcceptRole);
    EXPECT_EQ(c.Buttons->buttonRole(c.Cancel), QDialogButtonBox::RejectRole);
    EXPECT_EQ(c.Buttons->buttonRole(c.Help), QDialogButtonBox::HelpRole);
    EXPECT_EQ(c.Ok->text(), "Ok");
    EXPECT_TRUE(c.Ok->isDefault());
    for (QPushButton* other : {c.Cancel, c.Help, c.Test, c.LogBrowse}) EXPECT_FALSE(other->isDefault());
    EXPECT_EQ(c.Password->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(c.Language->isEditable()) << "a selection-only list";

    // Built-in contents before filling.
    EXPECT_EQ(c.Port->text(), "22");
    EXPECT_EQ(c.Timeout->text(), "15");
    EXPECT_EQ(c.Attempts->text(), "5");
    EXPECT_EQ(c.FilesPerMessage->text(), "1");
    EXPECT_EQ(c.ReceiptLabel->text(), "To address:");
    ASSERT_EQ(c.CharSet->count(), 30);
    EXPECT_EQ(c.CharSet->itemText(0), "Default");
    EXPECT_EQ(c.CharSet->itemText(14), "WINDOWS-1250");
    EXPECT_EQ(c.CharSet->itemText(29), "UTF-7");
    ASSERT_EQ(c.LogDetail->count(), 3);
    EXPECT_EQ(c.LogDetail->itemText(2), "Debug (all actions)");
}

TEST_F(OptionsDialogTest, TabVisitsTheControlsInTheirOrder) {
    auto dialog = validDialog();
    const ROptionsControls& c = dialog->controls();
    c.Auth->setChecked(true);  // so that the login fields take the focus
    ShowActive(*dialog);
    // Page "EMail" as the program has always had it, then what is new, then
    // the personal fields; the disabled ones are passed over.
    const std::vector<QWidget*> order = {c.Server,   c.Port,         c.Timeout, c.CharSet,
                                         c.Auth,     c.AuthName,     c.Password, c.AuthMethod,
                                         c.SecurityNone, c.Name,     c.From,     c.Organization};
    c.Server->setFocus();
    QApplication::processEvents();
    for (std::size_t i = 1; i < order.size(); ++i) {
        test::PressKey(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr);
        // An editable drop-down box gives the focus to its line edit.
        const bool there = focus == order[i] || order[i]->isAncestorOf(focus);
        EXPECT_TRUE(there) << "step " << i << ": " << focus->metaObject()->className();
    }
}

TEST_F(OptionsDialogTest, FillsAndReadsBackEveryField) {
    writeFile("Klingon.lng", "");
    ROptions in;
    in.From = "me@example.org";
    in.SignOn = "Me";
    in.Host = "smtp.example.org";
    in.Port = 2525;
    in.CharSet = 15;
    in.TimeOut = 42;
    in.NumOfAttempts = 3;
    in.LogDetail = 2;
    in.SaveLog = false;
    in.LogFileName = "/var/log/pw.log";
    in.ExitAfterSend = true;
    in.AutoSend = true;
    in.RecSubDir = true;
    in.FilPerMes = 7;
    in.WABEnabled = false;
    in.DefWABFile = false;
    in.WabFName = "book.wab";
    in.Language = "Klingon";
    in.LangFile = "Klingon.lng";
    in.Organization = "Org";
    in.ShowMessagesOnError = false;
    in.SendMessagesOnError = true;
    in.SendMessagesTo = "desk7";
    in.IsChanged = true;
    in.ClearFList = true;
    in.TextFromFirstFile = true;
    in.SMTP_Auth_Enabled = true;
    in.SMTP_Auth_Name = "user";
    in.SMTP_Auth_Pass = "secret";
    in.Return_Receipt_Enabled = true;
    in.AttachedFilesDir = "/home/me/";
    in.Security = 1;
    in.TlsVerify = false;
    in.TlsCaFile = "/etc/ssl/company.pem";
    in.SMTP_Auth_Type = 3;
    in.SMTP_Auth_PassCommand = "pass show mail";
    in.SMTP_Auth_TokenCommand = "oauth2 token";

    OptionsDialog dialog(prompter, programFolder(), QString());
    dialog.fill(in);
    const ROptionsControls& c = dialog.controls();
    EXPECT_EQ(c.CharSet->currentText(), "WINDOWS-1251");
    EXPECT_EQ(c.LogDetail->currentText(), "Debug (all actions)");
    EXPECT_EQ(c.Attempts->text(), "5");
    EXPECT_TRUE(c.Auth->isChecked());
    EXPECT_EQ(c.AuthName->text(), "user");
    EXPECT_EQ(c.Password->text(), "secret");
    EXPECT_EQ(c.AuthMethod->currentText(), "CRAM-MD5");
    EXPECT_TRUE(c.AuthName->isEnabled());
    EXPECT_TRUE(c.SecurityStartTls->isChecked());
    EXPECT_TRUE(c.ConfirmReceipt->isChecked());
    EXPECT_TRUE(c.ReceiptAddress->text().isEmpty());
    EXPECT_FALSE(c.ReceiptAddress->isEnabled()) << "the receipt goes to the sender";
    EXPECT_EQ(c.Language->currentText(), "Klingon");

    ROptions out = in;
    dialog.readInto(out);
    ROptions expected = in;
    expected.NumOfAttempts = 5;
    EXPECT_TRUE(out == expected);
    EXPECT_EQ(out.Port, 2525);
    EXPECT_EQ(out.CharSet, 15);
    EXPECT_EQ(out.LangFile, "Klingon.lng");
    EXPECT_TRUE(out.IsChanged) << "kept";
    EXPECT_FALSE(out.TlsVerify) << "kept";
    EXPECT_EQ(out.SMTP_Auth_PassCommand, "pass show mail") << "kept";

    // What the user changes is read back: the login, its method, the
    // security and the receipt.
    c.Auth->setChecked(false);
    c.AuthName->setText(QStringLiteral("other"));
    c.AuthMethod->setCurrentIndex(4);
    c.SecuritySslTls->setChecked(true);
    c.ConfirmReceipt->setChecked(false);
    dialog.readInto(out);
    EXPECT_FALSE(out.SMTP_Auth_Enabled);
    EXPECT_EQ(out.SMTP_Auth_Name, "other");
    EXPECT_EQ(out.SMTP_Auth_Pass, "secret");
    EXPECT_EQ(out.SMTP_Auth_Type, 4);
    EXPECT_EQ(out.Security, 2);
    EXPECT_FALSE(out.Return_Receipt_Enabled);
    EXPECT_EQ(out.AttachedFilesDir, "/home/me/") << "kept";
}

TEST_F(OptionsDialogTest, ReadsNumbersFromTheStartOfTheText) {
    OptionsDialog dialog(prompter, programFolder(), QString());
    dialog.fill(ROptions{});
    const ROptionsControls& c = dialog.controls();
    struct Row {
        const char* text;
        std::int32_t value;
    };
    const Row rows[] = {{"25", 25},     {"0025", 25},   {"", 0},
                        {"12ab", 12},   {"+7", 7},      {"-3", -3},
                        {"x9", 0},      {"99999999999", 2147483647}};
    for (const Row& row : rows) {
        c.Port->setText(QString::fromLatin1(row.text));  // bypasses the digits-only check
        c.FilesPerMessage->setText(QString::fromLatin1(row.text));
        ROptions out;
        dialog.readInto(out);
        EXPECT_EQ(out.Port, row.value) << row.text;
        EXPECT_EQ(out.FilPerMes, row.value) << row.text;
    }
    // Typing is limited to digits.
    EXPECT_NE(c.Port->validator(), nullptr);
    int position = 0;
    QString typed = QStringLiteral("2a");
    EXPECT_EQ(c.Port->validator()->validate(typed, position), QValidator::Invalid);
}

TEST_F(OptionsDialogTest, OutOfRangeSelectionsKeepTheStoredValue) {
    ROptions in;
    in.CharSet = 45;
    in.LogDetail = 7;
    in.Security = 9;
    in.SMTP_Auth_Type = -2;
    OptionsDialog dialog(prompter, programFolder(), QString());
    dialog.fill(in);
    EXPECT_EQ(dialog.controls().CharSet->currentIndex(), -1);
    EXPECT_EQ(dialog.controls().CharSet->currentText(), "US-ASCII");
    EXPECT_EQ(dialog.controls().LogDetail->currentIndex(), -1);
    EXPECT_EQ(dialog.security(), -1) << "no choice checked";
    EXPECT_EQ(dialog.controls().AuthMethod->currentIndex(), -1);
    ROptions out = in;
    dialog.readInto(out);
    EXPECT_EQ(out.CharSet, 45);
    EXPECT_EQ(out.LogDetail, 7);
    EXPECT_EQ(out.Security, 9);
    EXPECT_EQ(out.SMTP_Auth_Type, -2);
    dialog.controls().CharSet->setCurrentIndex(3);
    dialog.readInto(out);
    EXPECT_EQ(out.CharSet, 3);
}

TEST_F(OptionsDialogTest, OkChecksPortThenHostThenSender) {
    struct Case {
        const char* port;
        const char* host;
        const char* from;
        bool saveLog;
        const char* logFile;
        std::vector<std::string> boxes;
        bool closes;
    };
    const std::string warning = "A name of the log file is not specified. The log will not save!";
    const std::string port = "Set current SMTP port, please!";
    const std::string host = "Set current SMTP host, please!";
    const std::string from = "The \"From address:\" field is empty!";
    const Case cases[] = {
        {"25", "mail", "me@x", true, "/tmp/l.log", {}, true},
        {"0", "mail", "me@x", true, "/tmp/l.log", {port}, false},
        {"000", "mail", "me@x", true, "/tmp/l.log", {port}, false},
        {"", "", "", true, "/tmp/l.log", {port}, false},
        {"25", "  ", "", true, "/tmp/l.log", {host}, false},
        {"25", "mail", "   ", true, "/tmp/l.log", {from}, false},
        {"25", "mail", "\t", false, "", {from}, false},
        {"25", "mail", "me@x", true, "", {warning}, true},
        {"0", "mail", "me@x", true, "", {warning, port}, false},
        {"25", "mail", "me@x", false, "", {}, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.port) + "|" + k.host + "|" + k.from + "|" + k.logFile);
        prompter.boxes.clear();
        auto dialog = validDialog();
        const ROptionsControls& c = dialog->controls();
        c.Port->setText(QString::fromLatin1(k.port));
        c.Server->setText(QString::fromLatin1(k.host));
        c.From->setText(QString::fromLatin1(k.from));
        c.SaveLog->setChecked(k.saveLog);
        c.LogFile->setText(QString::fromLatin1(k.logFile));
        dialog->show();
        dialog->okPressed();
        EXPECT_EQ(prompter.boxTexts(), k.boxes);
        EXPECT_EQ(dialog->isVisible(), !k.closes);
        EXPECT_EQ(dialog->result(), k.closes ? QDialog::Accepted : QDialog::Rejected);
        if (!k.boxes.empty()) {
            const RMessageBox& last = prompter.boxes.back();
            const bool isWarning = last.Text == warning;
            EXPECT_EQ(last.Icon, isWarning ? TBoxIcon::Warning : TBoxIcon::Error);
            EXPECT_EQ(last.Caption, isWarning ? "Attention!!!" : "Parcelwing");
        }
        // The user's input is left as it was.
        EXPECT_EQ(c.From->text(), QString::fromLatin1(k.from));
    }
}

// An INI file with NumOfAttempts 3 and authentication on, edited through the
// whole EditOptions path with the real options file.
class EditOptionsTest : public OptionsDialogTest {
protected:
    void SetUp() override {
        OptionsDialogTest::SetUp();
        ini = folder.filePath("parcelwing.ini").toStdString();
        ROptions stored;
        stored.Host = "mail.example.org";
        stored.From = "me@example.org";
        stored.LogFileName = folder.filePath("parcelwing.log").toStdString();
        stored.NumOfAttempts = 3;
        stored.SMTP_Auth_Enabled = true;
        stored.SMTP_Auth_Name = "user";
        stored.SMTP_Auth_Pass = "secret";
        ASSERT_TRUE(SaveOptions(stored, ini));
        LoadOptions(options, ini, folder.filePath("parcelwing").toStdString());
        ASSERT_EQ(options.NumOfAttempts, 3);
        ASSERT_TRUE(options.SMTP_Auth_Enabled);
    }
    ROptionsEnvironment environment() {
        ROptionsEnvironment env;
        env.Prompts = &prompter;
        env.ProgramFolder = programFolder();
        env.HelpFile = folder.filePath("parcelwing.chm").toStdString();
        env.Save = [this](const ROptions& o) { return SaveOptions(o, ini); };
        env.ApplyMainLanguage = [this](const std::string& langFile) { mainLanguages.push_back(langFile); };
        return env;
    }
    std::string fileText() const {
        QFile file(QString::fromStdString(ini));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

    std::string ini;
    ROptions options;
    std::vector<std::string> mainLanguages;
};

TEST_F(EditOptionsTest, OkStoresFiveAttemptsAndKeepsTheLogin) {
    WhenShown<OptionsDialog>([](OptionsDialog& d) {
        EXPECT_EQ(d.currentPage(), OptionsDialog::pgEMail);
        d.controls().Ok->click();
    });
    EXPECT_TRUE(EditOptions(nullptr, options, environment()));
    EXPECT_EQ(GetPrivateProfileInt("ROptions", "NumOfAttempts", -1, ini), 5);
    EXPECT_EQ(GetPrivateProfileInt("ROptions", "SMTP_Auth_Enabled", -1, ini), 1);
    ROptions reread;
    LoadOptions(reread, ini, folder.filePath("parcelwing").toStdString());
    EXPECT_EQ(reread.NumOfAttempts, 5);
    EXPECT_TRUE(reread.SMTP_Auth_Enabled);
    EXPECT_EQ(reread.SMTP_Auth_Name, "user");
    EXPECT_EQ(reread.SMTP_Auth_Pass, "secret");
    EXPECT_EQ(fileText().find("secret"), std::string::npos) << "stored in its protected form";
    EXPECT_EQ(reread.Host, "mail.example.org");
    // No language chosen: stored empty, file ".lng", and the main window is
    // given that file (so it returns to its built-in texts).
    EXPECT_EQ(reread.Language, "");
    EXPECT_EQ(reread.LangFile, ".lng");
    EXPECT_EQ(mainLanguages, std::vector<std::string>{".lng"});
    EXPECT_TRUE(prompter.boxes.empty());
}

TEST_F(EditOptionsTest, CancelEscAndCloseChangeNothing) {
    const std::string before = fileText();
    const ROptions held = options;
    const std::function<void(OptionsDialog&)> ways[] = {
        [](OptionsDialog& d) {
            d.controls().Server->setText(QStringLiteral("other"));
            d.controls().Cancel->click();
        },
        [](OptionsDialog& d) {
            d.controls().Server->setText(QStringLiteral("other"));
            PressKey(d.controls().Server, Qt::Key_Escape);
        },
        [](OptionsDialog& d) {
            d.controls().Server->setText(QStringLiteral("other"));
            d.close();
        }};
    for (const auto& way : ways) {
        WhenShown<OptionsDialog>(way);
        EXPECT_FALSE(EditOptions(nullptr, options, environment()));
        EXPECT_EQ(fileText(), before);
        EXPECT_TRUE(options == held);
    }
    EXPECT_TRUE(mainLanguages.empty());
}

TEST_F(EditOptionsTest, FailedSaveNamesTheIniFile) {
    ROptionsEnvironment env = environment();
    const std::string unwritable = folder.filePath("missing-folder/parcelwing.ini").toStdString();
    env.Save = [&](const ROptions& o) { return SaveOptions(o, unwritable); };
    WhenShown<OptionsDialog>([](OptionsDialog& d) { d.controls().Ok->click(); });
    EXPECT_TRUE(EditOptions(nullptr, options, env));
    ASSERT_EQ(prompter.boxes.size(), 1u);
    EXPECT_NE(prompter.boxes[0].Text.find("\"" + unwritable + "\""), std::string::npos)
        << prompter.boxes[0].Text;
    EXPECT_EQ(prompter.boxes[0].Icon, TBoxIcon::Error);
    EXPECT_EQ(options.NumOfAttempts, 5) << "the options in memory are the confirmed ones";
}

TEST_F(OptionsDialogTest, CtrlTabWrapsAroundThePages) {
    auto dialog = validDialog();
    ShowActive(*dialog);
    QWidget* focus = dialog->controls().Server;
    const std::pair<Qt::KeyboardModifiers, std::vector<int>> runs[] = {
        {Qt::ControlModifier, {1, 2, 0, 1}},
        {Qt::ControlModifier | Qt::ShiftModifier, {0, 2, 1, 0}}};
    for (const auto& [modifiers, pages] : runs) {
        for (int expected : pages) {
            PressKey(focus, modifiers & Qt::ShiftModifier ? Qt::Key_Backtab : Qt::Key_Tab, modifiers);
            EXPECT_EQ(dialog->currentPage(), expected);
            focus = dialog->controls().Tabs->currentWidget();
        }
    }
    EXPECT_TRUE(dialog->isVisible());

    // The page changes when the key is released, once.
    dialog->showPage(OptionsDialog::pgEMail);
    dialog->controls().Server->setFocus();
    test::SendKey(dialog->controls().Server, QEvent::KeyPress, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(dialog->currentPage(), OptionsDialog::pgEMail);
    test::SendKey(dialog->controls().Server, QEvent::KeyRelease, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(dialog->currentPage(), OptionsDialog::pgMix);
}

TEST_F(OptionsDialogTest, CtrlEnterIsOkWithItsChecks) {
    auto dialog = validDialog();
    ShowActive(*dialog);
    dialog->controls().Port->setText(QStringLiteral("0"));
    PressKey(dialog->controls().Server, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(prompter.boxTexts(), std::vector<std::string>{"Set current SMTP port, please!"});
    EXPECT_TRUE(dialog->isVisible());
    PressKey(dialog->controls().Server, Qt::Key_Return);
    EXPECT_EQ(prompter.boxTexts().size(), 2u) << "Enter is OK too, with the same checks";
    EXPECT_TRUE(dialog->isVisible());
    dialog->controls().Port->setText(QStringLiteral("25"));
    PressKey(dialog->controls().Server, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}

TEST_F(OptionsDialogTest, EnterInAnyFieldIsOkAndEscIsCancel) {
    // (page, the control that has the focus)
    using Pick = QWidget* (*)(const ROptionsControls&);
    const std::pair<int, Pick> fields[] = {
        {OptionsDialog::pgEMail, [](const ROptionsControls& c) -> QWidget* { return c.Server; }},
        {OptionsDialog::pgEMail, [](const ROptionsControls& c) -> QWidget* { return c.Port; }},
        {OptionsDialog::pgEMail, [](const ROptionsControls& c) -> QWidget* { return c.CharSet; }},
        {OptionsDialog::pgEMail, [](const ROptionsControls& c) -> QWidget* { return c.Auth; }},
        {OptionsDialog::pgEMail, [](const ROptionsControls& c) -> QWidget* { return c.SecurityStartTls; }},
        {OptionsDialog::pgEMail, [](const ROptionsControls& c) -> QWidget* { return c.From; }},
        {OptionsDialog::pgMix, [](const ROptionsControls& c) -> QWidget* { return c.LogDetail; }},
        {OptionsDialog::pgMix, [](const ROptionsControls& c) -> QWidget* { return c.FilesPerMessage; }},
        {OptionsDialog::pgMix, [](const ROptionsControls& c) -> QWidget* { return c.Language; }},
        {OptionsDialog::pgOnError, [](const ROptionsControls& c) -> QWidget* { return c.ShowMessages; }},
    };
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        for (const auto& [page, pick] : fields) {
            auto dialog = validDialog();
            ShowActive(*dialog);
            dialog->showPage(page);
            QWidget* field = pick(dialog->controls());
            SCOPED_TRACE(std::string(field->metaObject()->className()) + " on page " + std::to_string(page));
            PressKey(field, key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            EXPECT_FALSE(dialog->isVisible());
            EXPECT_EQ(dialog->result(), QDialog::Accepted);
        }
    }
    EXPECT_TRUE(prompter.boxes.empty());

    auto dialog = validDialog();
    ShowActive(*dialog);
    PressKey(dialog->controls().From, Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

TEST(PortForSecurity, MovesOnlyTheWellKnownPorts) {
    struct Row {
        int security;
        int port;
        int want;
    };
    const Row rows[] = {
        {1, 25, 587},  {1, 465, 587}, {1, 587, 587}, {1, 2525, 2525}, {1, 0, 0},
        {2, 25, 465},  {2, 587, 465}, {2, 465, 465}, {2, 2465, 2465},
        {0, 465, 25},  {0, 587, 587}, {0, 25, 25},   {0, 10025, 10025},
    };
    for (const Row& row : rows)
        EXPECT_EQ(PortForSecurity(row.security, row.port), row.want) << row.security << " " << row.port;
}

TEST_F(OptionsDialogTest, ChoosingTheSecurityMovesThePort) {
    auto dialog = validDialog();
    ShowActive(*dialog);
    const ROptionsControls& c = dialog->controls();
    // A path through the choices as a user clicks them: (click, port typed
    // before or -1, port afterwards).
    struct Step {
        QRadioButton* choice;
        int typed;
        const char* want;
    };
    const Step steps[] = {
        {c.SecurityStartTls, 25, "587"}, {c.SecuritySslTls, -1, "465"}, {c.SecurityNone, -1, "25"},
        {c.SecuritySslTls, -1, "465"},   {c.SecurityStartTls, -1, "587"}, {c.SecurityNone, -1, "587"},
        {c.SecuritySslTls, 2525, "2525"}, {c.SecurityStartTls, -1, "2525"}, {c.SecurityNone, 465, "25"},
    };
    for (const Step& step : steps) {
        if (step.typed >= 0) c.Port->setText(QString::number(step.typed));
        step.choice->click();
        EXPECT_EQ(c.Port->text(), step.want) << step.choice->text().toStdString();
        EXPECT_TRUE(step.choice->isChecked());
    }
    // Filling the dialog moves nothing: the stored port is the user's.
    ROptions stored;
    stored.Port = 25;
    stored.Security = 2;
    dialog->fill(stored);
    EXPECT_EQ(c.Port->text(), "25");
    EXPECT_TRUE(c.SecuritySslTls->isChecked());
}

TEST_F(OptionsDialogTest, TheLoginCheckBoxEnablesItsFields) {
    auto dialog = validDialog();
    ShowActive(*dialog);
    const ROptionsControls& c = dialog->controls();
    const std::vector<QWidget*> fields = {c.AuthNameLabel, c.AuthName,        c.PasswordLabel,
                                          c.Password,      c.AuthMethodLabel, c.AuthMethod};
    for (const bool on : {true, false, true}) {
        c.Auth->click();
        EXPECT_EQ(c.Auth->isChecked(), on);
        for (QWidget* field : fields) EXPECT_EQ(field->isEnabled(), on) << field->metaObject()->className();
    }
    EXPECT_EQ(c.Password->echoMode(), QLineEdit::Password);
    // The receipt check box is live; its address field never is.
    c.ConfirmReceipt->click();
    EXPECT_TRUE(c.ConfirmReceipt->isChecked());
    EXPECT_FALSE(c.ReceiptAddress->isEnabled());
    ROptions out;
    dialog->readInto(out);
    EXPECT_TRUE(out.Return_Receipt_Enabled);
}

TEST_F(OptionsDialogTest, HelpAndF1OpenTheHelpFileOrSayItIsMissing) {
    auto dialog = validDialog();
    ShowActive(*dialog);
    const QString help = folder.filePath("parcelwing.chm");
    PressKey(dialog->controls().From, Qt::Key_F1);
    ASSERT_EQ(prompter.boxes.size(), 1u);
    EXPECT_EQ(prompter.boxes[0].Text, "Cant find file \"" + help.toStdString() + "\"");
    EXPECT_EQ(prompter.boxes[0].Icon, TBoxIcon::Error);
    EXPECT_TRUE(prompter.helps.isEmpty());

    writeFile(QStringLiteral("parcelwing.chm"), "help");
    dialog->controls().Help->click();
    PressKey(dialog->controls().Server, Qt::Key_F1);
    EXPECT_EQ(prompter.helps, (QStringList{help, help}));
    EXPECT_EQ(prompter.boxes.size(), 1u);
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(OptionsDialogTest, SendMessagesToFollowsTheLanCheckBox) {
    auto dialog = validDialog();
    const ROptionsControls& c = dialog->controls();
    c.SendByLan->setChecked(true);  // not a click: the state waits for the showing
    EXPECT_FALSE(c.SendTo->isEnabled());
    ShowActive(*dialog);
    EXPECT_TRUE(c.SendTo->isEnabled());
    EXPECT_TRUE(c.SendToLabel->isEnabled());
    c.SendByLan->click();
    EXPECT_FALSE(c.SendTo->isEnabled());
    EXPECT_FALSE(c.SendToLabel->isEnabled());
    c.SendByLan->click();
    EXPECT_TRUE(c.SendTo->isEnabled());
}

TEST_F(OptionsDialogTest, LogFileDialogPutsTheChosenNameInTheField) {
    auto dialog = validDialog();
    const ROptionsControls& c = dialog->controls();
    prompter.fileAnswers.push_back({"/var/tmp/new.log"});
    c.LogBrowse->click();
    EXPECT_EQ(c.LogFile->text(), "/var/tmp/new.log");
    ASSERT_EQ(prompter.dialogs.size(), 1u);
    const RFileDialog& asked = prompter.dialogs[0];
    EXPECT_EQ(asked.Title, "Define Log File Name");
    EXPECT_EQ(asked.Filter, "Log File (*.log);;all files (*)");
    EXPECT_EQ(asked.Folder.toStdString(), programFolder());
    EXPECT_FALSE(asked.Multiple);
    EXPECT_FALSE(asked.FileMustExist);
    c.LogBrowse->click();  // cancelled
    EXPECT_EQ(c.LogFile->text(), "/var/tmp/new.log");
}

TEST_F(OptionsDialogTest, LanguageListComesFromTheProgramFolder) {
    writeFile("german.lng", "[OptionsForm]\r\nMix=Verschiedenes\r\n");
    writeFile("English.lng", "");
    writeFile("notes.txt", "");
    ASSERT_TRUE(QDir(folder.path()).mkdir("folder.lng"));
    const struct {
        const char* language;
        const char* langFile;
        int selected;
    } rows[] = {{"German", "German.lng", 1}, {"English", "English.lng", 0}, {"english", "english.lng", -1}};
    for (const auto& row : rows) {
        ROptions in;
        in.Language = row.language;
        in.LangFile = row.langFile;
        OptionsDialog dialog(prompter, programFolder(), QString());
        dialog.fill(in);
        const QComboBox* list = dialog.controls().Language;
        ASSERT_EQ(list->count(), 2);
        EXPECT_EQ(list->itemText(0), "English");
        EXPECT_EQ(list->itemText(1), "German");
        EXPECT_EQ(list->currentIndex(), row.selected) << row.language;
        // "German.lng" finds german.lng: its texts are applied.
        EXPECT_EQ(dialog.controls().Tabs->tabText(1), row.selected == 1 ? "Verschiedenes" : "Mix");
        ROptions out;
        dialog.readInto(out);
        EXPECT_EQ(out.Language, row.selected < 0 ? "" : row.language);
    }
}

}  // namespace
}  // namespace pw
