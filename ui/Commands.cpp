#include "ui/Commands.h"

#include <QAction>
#include <QListWidget>
#include <QRegularExpression>
#include <QTimer>
#include <exception>

#include "app/MainUnit.h"
#include "platform/ProgramPath.h"
#include "ui/AboutBox.h"
#include "ui/LanguageUi.h"
#include "ui/MainWindow.h"
#include "ui/Prompter.h"
#include "ui/QtText.h"
#include "ui/RawNames.h"

namespace pw {

namespace {

void RefreshAfterChange(IView& view) { view.EnableListControls(view.FileCount() > 0); }

}  // namespace

void DeleteEntry(IView& view) {
    const int count = view.FileCount();
    if (count > 0) {
        int current = view.CurrentFile();
        if (current < 0 || current >= count) current = 0;
        view.DeleteFile(current);
        const int left = view.FileCount();
        view.SetCurrentFile(left == 0 ? -1 : (current < left ? current : left - 1));
    }
    RefreshAfterChange(view);
}

void MoveEntryUp(IView& view) {
    const int current = view.CurrentFile();
    if (current >= 1 && current < view.FileCount()) {
        view.SwapFiles(current, current - 1);
        view.SetCurrentFile(current - 1);
    }
    RefreshAfterChange(view);
}

void MoveEntryDown(IView& view) {
    const int current = view.CurrentFile();
    if (current >= 0 && current < view.FileCount() - 1) {
        view.SwapFiles(current, current + 1);
        view.SetCurrentFile(current + 1);
    }
    RefreshAfterChange(view);
}

void PasteEntries(IView& view, const std::string& text) {
    {
        TFileBracket bracket(view);
        std::size_t start = 0;
        while (start <= text.size()) {
            const std::size_t end = text.find_first_of("\r\n", start);
            const std::size_t stop = end == std::string::npos ? text.size() : end;
            if (stop > start) view.AppendFile(text.substr(start, stop - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    RefreshAfterChange(view);
}

std::string CannotAttachText(const std::vector<std::string>& shownNames) {
    std::string text = shownNames.size() == 1 ? "This file cannot be attached: no file of its folder goes by this name:"
                                              : "These files cannot be attached: no file of their folders goes by these names:";
    for (const auto& name : shownNames) text += "\n" + name;
    return text;
}

ROptionsEnvironment MakeOptionsEnvironment(MainWindow& window, Prompter& prompter, const std::string& programFile,
                                           TMainUnit& unit) {
    ROptionsEnvironment environment;
    environment.Loop = &unit.Loop();
    environment.Prompts = &prompter;
    environment.ProgramFolder = FolderOf(programFile);
    environment.HelpFile = ChangeFileExt(programFile, ".chm");
    environment.Save = [&unit](const ROptions& options) { return unit.SaveOptions(options); };
    const std::string folder = environment.ProgramFolder;
    environment.ApplyMainLanguage = [&window, folder](const std::string& langFile) {
        ApplyMainLanguage(window, folder, langFile);
    };
    return environment;
}

// ---------------------------------------------------------------------------------------

TWindowCommands::TWindowCommands(MainWindow& window, TMainUnit& unit, Prompter& prompter, std::string programFile)
    : QObject(&window), window_(window), unit_(unit), prompter_(prompter), programFile_(std::move(programFile)) {
    connect(&window_, &MainWindow::attachRequested, this, &TWindowCommands::Attach);
    connect(&window_, &MainWindow::sendRequested, this, &TWindowCommands::Send);
    connect(&window_, &MainWindow::abortRequested, this, &TWindowCommands::Abort);
    connect(&window_, &MainWindow::optionsRequested, this, &TWindowCommands::Options);
    connect(&window_, &MainWindow::helpRequested, this, &TWindowCommands::Help);
    connect(&window_, &MainWindow::aboutRequested, this, &TWindowCommands::About);
    connect(&window_, &MainWindow::deleteRequested, this, &TWindowCommands::Delete);
    connect(&window_, &MainWindow::moveUpRequested, this, &TWindowCommands::MoveUp);
    connect(&window_, &MainWindow::moveDownRequested, this, &TWindowCommands::MoveDown);
    connect(&window_, &MainWindow::pasteRequested, this, &TWindowCommands::Paste);
    connect(&window_, &MainWindow::filesDropped, this, &TWindowCommands::DropFiles);
    // The items without a command of their own (hidden or always disabled)
    // still go through their dispatcher.
    connect(window_.menuItem(MainWindow::mpCreateShortCut), &QAction::triggered, this,
            [this] { MenuCommand(MainWindow::mpCreateShortCut); });
    connect(window_.toolButton(MainWindow::tpAddressBook), &QAction::triggered, this,
            [this] { ToolCommand(MainWindow::tpAddressBook); });
}

void TWindowCommands::MenuCommand(int position) {
    switch (position) {
        case MainWindow::mpAttach: Attach(); break;
        case MainWindow::mpSend: Send(); break;
        case MainWindow::mpAbort: Abort(); break;
        case MainWindow::mpExit: Exit(); break;
        case MainWindow::mpOptions: Options(); break;
        case MainWindow::mpContents: Help(); break;
        case MainWindow::mpAbout: About(); break;
        default: NotImplemented(); break;
    }
}

void TWindowCommands::ToolCommand(int position) {
    switch (position) {
        case MainWindow::tpAttach: Attach(); break;
        case MainWindow::tpSend: Send(); break;
        case MainWindow::tpAbort: Abort(); break;
        case MainWindow::tpOptions: Options(); break;
        case MainWindow::tpHelp: Help(); break;
        case MainWindow::tpUp: MoveUp(); break;
        case MainWindow::tpDelete: Delete(); break;
        case MainWindow::tpDown: MoveDown(); break;
        default: NotImplemented(); break;
    }
}

void TWindowCommands::PopupCommand(int position) {
    switch (position) {
        case MainWindow::ppAdd: Attach(); break;
        case MainWindow::ppDelete: Delete(); break;
        case MainWindow::ppUp: MoveUp(); break;
        case MainWindow::ppDown: MoveDown(); break;
        default: NotImplemented(); break;
    }
}

void TWindowCommands::NotImplemented() {
    unit_.View().ShowMessageBox({NotImplementedText, ApplicationTitle, TBoxIcon::None, TBoxButtons::Ok, false});
}

bool TWindowCommands::AutoSendWanted() const {
    return unit_.Options().AutoSend && unit_.View().FileCount() > 0 &&
           window_.menuItem(MainWindow::mpSend)->isEnabled();
}

void TWindowCommands::RunJob() {
    try {
        unit_.DoSend();
    } catch (const std::exception& e) {
        // The job has cleaned up after itself; the reason still deserves a box.
        unit_.View().ShowMessageBox({e.what(), ApplicationTitle, TBoxIcon::Error, TBoxButtons::Ok, true});
    }
}

void TWindowCommands::RefreshListButtons() { RefreshAfterChange(unit_.View()); }

void TWindowCommands::ReportUnattachable(const std::vector<std::string>& shownNames) {
    if (shownNames.empty()) return;
    unit_.View().ShowMessageBox(
        {CannotAttachText(shownNames), ApplicationTitle, TBoxIcon::Error, TBoxButtons::Ok, true});
}

void TWindowCommands::Attach() {
    ROptions& options = unit_.Options();
    const QStringList chosen = window_.askFilesToAttach(ToQt(options.AttachedFilesDir));
    if (chosen.isEmpty()) return;
    std::vector<std::string> unattachable;
    {
        TFileBracket bracket(unit_.View());
        bool folderSet = false;
        for (const QString& path : chosen) {
            // The dialog gives names as text: a name that is not UTF-8 comes
            // back damaged and is looked up by what it shows.
            std::string raw;
            if (!RealFileName(path, raw)) {
                unattachable.push_back(FromQt(path));
                continue;
            }
            if (!folderSet) {
                // The dialog's files all lie in one folder, where it opens next time.
                options.AttachedFilesDir = FolderOf(raw);
                folderSet = true;
            }
            unit_.AddEntry(raw);
        }
    }
    RefreshListButtons();
    ReportUnattachable(unattachable);
    if (AutoSendWanted()) RunJob();
}

void TWindowCommands::DropFiles(const std::vector<std::string>& paths) {
    {
        TFileBracket bracket(unit_.View());
        for (const std::string& path : paths) unit_.AddEntry(path);
    }
    window_.bringToFrontAfterDrop();
    RefreshListButtons();
    if (!AutoSendWanted()) return;
    // The job starts once the drop has been answered: the program the files
    // came from must not wait for the whole job.
    QTimer::singleShot(0, this, [this] {
        if (!unit_.Closing() && window_.menuItem(MainWindow::mpSend)->isEnabled()) RunJob();
    });
}

void TWindowCommands::Send() { RunJob(); }

void TWindowCommands::Abort() { unit_.DoAbort(); }

void TWindowCommands::Exit() {
    QMetaObject::invokeMethod(&window_, &QWidget::close, Qt::QueuedConnection);
}

void TWindowCommands::Options() {
    EditOptions(&window_, unit_.Options(), MakeOptionsEnvironment(window_, prompter_, programFile_, unit_));
}

std::string TWindowCommands::HelpFile() const { return ChangeFileExt(programFile_, ".chm"); }

void TWindowCommands::Help() { ShowHelpFile(prompter_, &window_, ToQt(HelpFile()), false); }

RAboutFacts TWindowCommands::AboutFacts() const {
    RAboutFacts facts;
    facts.SettingsFile = ToQt(unit_.IniPath());
    const ROptions& options = unit_.Options();
    if (options.SaveLog && !unit_.Log().LogPath().empty()) facts.LogFile = ToQt(unit_.Log().LogPath());
    return facts;
}

void TWindowCommands::About() { ShowAbout(&window_, AboutFacts()); }

void TWindowCommands::Delete() { DeleteEntry(unit_.View()); }

void TWindowCommands::MoveUp() { MoveEntryUp(unit_.View()); }

void TWindowCommands::MoveDown() { MoveEntryDown(unit_.View()); }

void TWindowCommands::Paste() {
    // Clipboard text is taken as it is, but a name that a text conversion
    // damaged ("\uFFFD" in it) is looked up in its folder; when no file
    // there shows so, it is left out and named in a box.
    std::string text;
    std::vector<std::string> unattachable;
    static const QRegularExpression lineBreak(QStringLiteral("[\r\n]"));
    for (const QString& piece : window_.clipboardText().split(lineBreak, Qt::SkipEmptyParts)) {
        std::string raw = FromQt(piece);
        if (piece.contains(QChar::ReplacementCharacter) && !RealFileName(piece, raw)) {
            unattachable.push_back(FromQt(piece));
            continue;
        }
        text += raw + "\n";
    }
    PasteEntries(unit_.View(), text);
    ReportUnattachable(unattachable);
}

}  // namespace pw
