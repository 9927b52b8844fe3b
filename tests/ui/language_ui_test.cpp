// Language texts on the real windows: a file that changes only "SendItem", the
// start-up rule, the "&Contents" quirk, and the shipped language files applied
// to the main window and the options dialog.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <set>

#include "UiTestSupport.h"
#include "config/Language.h"
#include "platform/PrivateProfile.h"
#include "ui/LanguageUi.h"
#include "ui/WindowTexts.h"
#include "ui/MainWindow.h"
#include "ui/OptionsDialog.h"

namespace pw {
namespace {

using test::FakePrompter;

// Every text of the main window that a language may change, in one list.
std::vector<QString> MainTexts(const MainWindow& w) {
    std::vector<QString> texts;
    for (int position = 0; position < MainWindow::mpCount; ++position)
        texts.push_back(w.menuItem(position)->text());
    for (int position = 0; position < MainWindow::tpCount; ++position)
        texts.push_back(w.toolButton(position)->toolTip());
    texts.push_back(w.toLabel()->text());
    texts.push_back(w.subjectLabel()->text());
    texts.push_back(w.textCaption()->text());
    texts.push_back(w.filesCaption()->text());
    texts.push_back(w.attachDialogTitle());
    return texts;
}

class LanguageUiTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder.isValid()); }
    std::string programFolder() const { return folder.path().toStdString() + "/"; }
    void writeFile(const QString& name, const QByteArray& content) {
        QFile file(folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QTemporaryDir folder;
    FakePrompter prompter;
};

TEST_F(LanguageUiTest, AFileWithOnlySendItemChangesOnlyTheSendItem) {
    writeFile("Pirate.lng", "[MainForm]\r\nSendItem=&Fire away\r\n");
    MainWindow window(prompter);
    // A language (even one that changes little) replaces "&Contents\tF1".
    std::vector<QString> expected = MainTexts(window);
    expected[MainWindow::mpSend] = "&Fire away";
    expected[MainWindow::mpContents] = "&Contents";

    EXPECT_TRUE(ApplyStartupLanguage(window, programFolder(), "pirate.LNG"));
    EXPECT_EQ(MainTexts(window), expected);
    EXPECT_EQ(window.menuItem(MainWindow::mpSend), window.toolButton(MainWindow::tpSend))
        << "the same command on the menu and the tool bar";
    EXPECT_EQ(window.toolButton(MainWindow::tpSend)->toolTip(), "Send messages");
}

TEST_F(LanguageUiTest, StartUpAppliesOnlyAFileThatExists) {
    MainWindow window(prompter);
    const std::vector<QString> built = MainTexts(window);
    EXPECT_FALSE(ApplyStartupLanguage(window, programFolder(), "Missing.lng"));
    EXPECT_FALSE(ApplyStartupLanguage(window, programFolder(), ""));
    EXPECT_EQ(MainTexts(window), built) << "the F1 hint stays while no language was applied";

    // After OK there is no existence check: a missing file restores the
    // built-in texts (without the F1 hint).
    writeFile("Pirate.lng", "[MainForm]\r\nSendItem=&Fire away\r\nTo=Victim:\r\n");
    ApplyMainLanguage(window, programFolder(), "Pirate.lng");
    EXPECT_EQ(window.toLabel()->text(), "Victim:");
    ApplyMainLanguage(window, programFolder(), ".lng");
    std::vector<QString> english = built;
    english[MainWindow::mpContents] = "&Contents";
    EXPECT_EQ(MainTexts(window), english);
}

TEST_F(LanguageUiTest, ShippedGermanFileAppliesToBothWindows) {
    const std::string resources = std::string(PW_SOURCE_DIR) + "/resources/";
    const std::string german = resources + "German.lng";
    MainWindow window(prompter);
    ApplyMainLanguage(window, resources, "German.lng");
    const std::vector<std::string> main =
        ReadLanguageSection(german, kMainFormSection, kMainFormTexts);
    EXPECT_EQ(window.menuItem(MainWindow::mpFile)->text().toStdString(), main[mfFileItem]);
    EXPECT_EQ(window.menuItem(MainWindow::mpSend)->text(), "&Senden");
    EXPECT_EQ(window.menuItem(MainWindow::mpAbout)->text().toStdString(), main[mfAboutItem]);
    EXPECT_EQ(window.filesCaption()->text(), QString::fromUtf8("Angehängte Dateien:"));
    EXPECT_EQ(window.toolButton(MainWindow::tpHelp)->toolTip().toStdString(), main[mfToolTipHelp]);
    EXPECT_EQ(window.toolButton(MainWindow::tpUp)->toolTip(), "Up") << "later buttons keep theirs";
    EXPECT_EQ(window.attachDialogTitle(), QString::fromUtf8("Dateien auswählen"));

    OptionsDialog dialog(prompter, resources, QString());
    ROptions options;
    options.Language = "German";
    options.LangFile = "German.lng";
    dialog.fill(options);
    const ROptionsControls& c = dialog.controls();
    const std::vector<std::string> form =
        ReadLanguageSection(german, kOptionsFormSection, kOptionsFormTexts);
    EXPECT_EQ(c.Ok->text().toStdString(), form[ofOk]);
    EXPECT_EQ(c.Tabs->tabText(2).toStdString(), form[ofOnError]);
    EXPECT_EQ(c.SmtpGroup->title().toStdString(), form[ofSmtp]);
    EXPECT_EQ(c.TextFromFile->text().toStdString(), form[ofGetMessageTextFromFile]);
    EXPECT_EQ(c.ReceiptLabel->text().toStdString(), form[ofConfirmationSendTo]);
    EXPECT_EQ(c.NameLabel->text(), c.AuthNameLabel->text()) << "one key for both";
    EXPECT_EQ(dialog.logFileDialogTitle().toStdString(), form[ofLogFileNameDialog]);
    EXPECT_EQ(c.Language->currentText(), "German");
}

TEST(ShippedLanguageFiles, EnglishHoldsTheBuiltInTextsAndGermanTranslatesEveryKey) {
    const std::string resources = std::string(PW_SOURCE_DIR) + "/resources/";
    const std::pair<const char*, std::span<const RLanguageText>> sections[] = {
        {kMainFormSection, kMainFormTexts},
        {kOptionsFormSection, kOptionsFormTexts},
        {kMainFormSection, kProgressTexts},
        {kOptionsFormSection, kOptionsExtraTexts}};
    for (const auto& [section, table] : sections) {
        SCOPED_TRACE(section);
        EXPECT_EQ(ReadLanguageSection(resources + "English.lng", section, table), BuiltInTexts(table));
        for (const RLanguageText& text : table) {
            const std::string value =
                GetPrivateProfileString(section, text.Key, "<missing>", resources + "German.lng");
            EXPECT_NE(value, "<missing>") << text.Key;
            EXPECT_FALSE(value.empty()) << text.Key;
        }
    }
    // The window's newer texts are German too, but for units that read the same.
    const std::pair<const char*, std::span<const RLanguageText>> newer[] = {
        {kMainFormSection, kProgressTexts}, {kOptionsFormSection, kOptionsExtraTexts}};
    const std::set<std::string> same = {"Size_KB", "Size_MB", "Size_GB"};
    for (const auto& [section, table] : newer) {
        for (const RLanguageText& text : table) {
            if (same.count(text.Key) != 0) continue;
            EXPECT_NE(GetPrivateProfileString(section, text.Key, "", resources + "German.lng"), text.BuiltIn)
                << text.Key << " is not translated";
        }
    }
}

}  // namespace
}  // namespace pw
