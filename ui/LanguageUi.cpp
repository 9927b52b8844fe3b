#include "ui/LanguageUi.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

#include "config/Language.h"
#include "ui/MainWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/QtText.h"
#include "ui/WindowTexts.h"

namespace pw {

void ApplyMainFormTexts(MainWindow& w, const std::vector<std::string>& texts) {
    if (texts.size() != mfCount) return;
    const auto text = [&texts](MainFormText index) { return ToQt(texts[index]); };
    const std::pair<int, MainFormText> menu[] = {
        {MainWindow::mpFile, mfFileItem},         {MainWindow::mpAttach, mfOpenItem},
        {MainWindow::mpSend, mfSendItem},         {MainWindow::mpAbort, mfAbortItem},
        {MainWindow::mpCreateShortCut, mfCreateItem}, {MainWindow::mpExit, mfExitItem},
        {MainWindow::mpOptions, mfOptionsItem},   {MainWindow::mpHelp, mfHelpItem},
        {MainWindow::mpContents, mfContentsItem}, {MainWindow::mpAbout, mfAboutItem}};
    for (const auto& [position, index] : menu) w.menuItem(position)->setText(text(index));

    w.toLabel()->setText(text(mfTo));
    w.subjectLabel()->setText(text(mfSubject));
    w.textCaption()->setText(text(mfDefaultMessageText));
    w.filesCaption()->setText(text(mfAttachedFiles));

    // Positions 1, 4 and 6 are separators and get no tooltip.
    const std::pair<int, MainFormText> tips[] = {
        {MainWindow::tpAttach, mfToolTipAttached}, {MainWindow::tpSend, mfToolTipSend},
        {MainWindow::tpAbort, mfToolTipAbortSending}, {MainWindow::tpOptions, mfToolTipOptions},
        {MainWindow::tpHelp, mfToolTipHelp}};
    for (const auto& [position, index] : tips) w.toolButton(position)->setToolTip(text(index));

    w.setAttachDialogTitle(text(mfAttachFilesDialog));
}

void ApplyOptionsFormTexts(OptionsDialog& dialog, const std::vector<std::string>& texts) {
    if (texts.size() != ofCount) return;
    const ROptionsControls& c = dialog.controls();
    const auto text = [&texts](OptionsFormText index) { return ToQt(texts[index]); };

    c.Ok->setText(text(ofOk));
    c.Cancel->setText(text(ofCancel));
    c.Help->setText(text(ofHelp));
    // The tab control's own caption is never drawn; it names the control.
    c.Tabs->setAccessibleName(text(ofTabControl));
    c.Tabs->setTabText(OptionsDialog::pgEMail, text(ofEMail));
    c.Tabs->setTabText(OptionsDialog::pgMix, text(ofMix));
    c.Tabs->setTabText(OptionsDialog::pgOnError, text(ofOnError));

    c.ErrorGroup->setTitle(text(ofErrorMessage));
    c.ShowMessages->setText(text(ofShowMessageWindows));
    c.SendByLan->setText(text(ofSendErrorMessageByLan));
    c.SendToLabel->setText(text(ofSendMessagesTo));

    c.SmtpGroup->setTitle(text(ofSmtp));
    c.ServerLabel->setText(text(ofSmtpServer));
    c.PortLabel->setText(text(ofSmtpPort));
    c.TimeoutLabel->setText(text(ofTimeout));
    c.AttemptsLabel->setText(text(ofNumberOfAttempts));
    c.CharSetLabel->setText(text(ofCharSet));
    c.Auth->setText(text(ofPerformSmtpAuthentication));
    c.AuthNameLabel->setText(text(ofAuthName));
    c.PasswordLabel->setText(text(ofPassword));

    c.PersonalGroup->setTitle(text(ofPersonal));
    c.NameLabel->setText(text(ofPersonalName));
    c.OrganizationLabel->setText(text(ofOrganization));
    c.FromLabel->setText(text(ofFromAddress));

    c.WabGroup->setTitle(text(ofWab));
    c.UseWab->setText(text(ofUseWindowsAddressBook));
    c.DefaultWab->setText(text(ofUseDefaultWabFile));
    c.WabFileLabel->setText(text(ofWabFileName));

    c.LogGroup->setTitle(text(ofLogFile));
    c.LogDetailLabel->setText(text(ofLogDetail));
    c.SaveLog->setText(text(ofSaveLogFile));
    c.LogFileLabel->setText(text(ofLogFileName));

    c.SendGroup->setTitle(text(ofSend));
    c.AutoSend->setText(text(ofAutoSend));
    c.ExitAfterSend->setText(text(ofExitAfterSend));
    c.ConfirmReceipt->setText(text(ofConfirmReceipt));
    c.ReceiptLabel->setText(text(ofConfirmationSendTo));

    c.FilesGroup->setTitle(text(ofFiles));
    c.RecurseSubdirs->setText(text(ofRecurseSubdirs));
    c.ClearFileList->setText(text(ofClearFileList));
    c.FilesPerMessageLabel->setText(text(ofFilesPerMessage));
    c.TextFromFile->setText(text(ofGetMessageTextFromFile));

    c.InterfaceGroup->setTitle(text(ofInterface));
    c.LanguageLabel->setText(text(ofLanguage));
    dialog.setLogFileDialogTitle(text(ofLogFileNameDialog));
}

void ApplyMainLanguage(MainWindow& window, const std::string& programFolder,
                       const std::string& langFile) {
    ApplyMainFormTexts(window, ReadLanguageSection(LanguageFilePath(programFolder, langFile),
                                                   kMainFormSection, kMainFormTexts));
    window.setProgressTexts(ReadProgressTexts(programFolder, langFile));
}

bool ApplyStartupLanguage(MainWindow& window, const std::string& programFolder,
                          const std::string& langFile) {
    if (!LanguageFileUsable(programFolder, langFile)) return false;
    ApplyMainLanguage(window, programFolder, langFile);
    return true;
}

void ApplyOptionsLanguage(OptionsDialog& dialog, const std::string& programFolder,
                          const std::string& langFile) {
    ApplyOptionsFormTexts(dialog, ReadLanguageSection(LanguageFilePath(programFolder, langFile),
                                                      kOptionsFormSection, kOptionsFormTexts));
    dialog.setExtraTexts(ReadOptionsExtraTexts(programFolder, langFile));
}

}  // namespace pw
