#include "ui/Prompter.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

#include "ui/QtText.h"

namespace pw {

namespace {

QMessageBox::Icon ToQtIcon(TBoxIcon icon) {
    switch (icon) {
        case TBoxIcon::Error: return QMessageBox::Critical;
        case TBoxIcon::Warning: return QMessageBox::Warning;
        case TBoxIcon::Information: return QMessageBox::Information;
        case TBoxIcon::Question: return QMessageBox::Question;
        case TBoxIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ToQtButtons(TBoxButtons buttons) {
    switch (buttons) {
        case TBoxButtons::Ok: return QMessageBox::Ok;
        case TBoxButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
        case TBoxButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
        case TBoxButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case TBoxButtons::RetryCancel: return QMessageBox::Retry | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

TBoxAnswer FromQtButton(int button) {
    switch (button) {
        case QMessageBox::Cancel: return TBoxAnswer::Cancel;
        case QMessageBox::Yes: return TBoxAnswer::Yes;
        case QMessageBox::No: return TBoxAnswer::No;
        case QMessageBox::Retry: return TBoxAnswer::Retry;
        default: return TBoxAnswer::Ok;
    }
}

}  // namespace

TBoxAnswer QtPrompter::ShowMessageBox(QWidget* owner, const RMessageBox& box) {
    QMessageBox message(ToQtIcon(box.Icon), ToQt(box.Caption), ToQt(box.Text),
                        ToQtButtons(box.Buttons), box.Owned ? owner : nullptr);
    return FromQtButton(message.exec());
}

QStringList QtPrompter::ChooseFiles(QWidget* owner, const RFileDialog& dialog) {
    QFileDialog chooser(owner, dialog.Title, dialog.Folder, dialog.Filter);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setFileMode(dialog.Multiple         ? QFileDialog::ExistingFiles
                        : dialog.FileMustExist ? QFileDialog::ExistingFile
                                               : QFileDialog::AnyFile);
    if (chooser.exec() != QDialog::Accepted) return {};
    QStringList chosen;
    for (const QString& name : chooser.selectedFiles()) {
        const QFileInfo info(name);
        // The folder of every name must exist, the file too unless a new name
        // is allowed.
        if (!info.absoluteDir().exists()) return {};
        if (dialog.FileMustExist && !info.exists()) return {};
        chosen << info.absoluteFilePath();
    }
    return chosen;
}

bool QtPrompter::OpenHelp(QWidget*, const QString& helpFile) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(helpFile));
}

void ShowHelpFile(Prompter& prompter, QWidget* owner, const QString& helpFile, bool ownedBox) {
    if (QFileInfo(helpFile).isFile()) {
        prompter.OpenHelp(owner, helpFile);
        return;
    }
    RMessageBox box;
    box.Text = "Cant find file \"" + FromQt(helpFile) + "\"";
    box.Caption = kAppTitle;
    box.Icon = TBoxIcon::Error;
    box.Owned = ownedBox;
    prompter.ShowMessageBox(owner, box);
}

}  // namespace pw
