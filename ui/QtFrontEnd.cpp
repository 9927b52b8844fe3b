#include "ui/QtFrontEnd.h"

#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QPixmap>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <optional>

#include "app/CommandLine.h"
#include "app/JobReport.h"
#include "app/MainUnit.h"
#include "app/ViewBridge.h"
#include "platform/ProgramPath.h"
#include "ui/Commands.h"
#include "ui/LanguageUi.h"
#include "ui/MainWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/Prompter.h"
#include "ui/QtView.h"
#include "ui/Snapshots.h"

namespace pw {

TQtFrontEnd::TQtFrontEnd(RQtFrontEndSetup setup)
    : setup_(std::move(setup)), loop_(), program_(loop_, setup_.ProgramFile, setup_.Args, setup_.Names) {}

TQtFrontEnd::~TQtFrontEnd() {
    // The notifier and the timers go first, so nothing dispatches while the
    // program, the view and the window are taken apart.
    context_.reset();
    program_.OnHandOff = nullptr;
    if (TMainUnit* unit = program_.Unit()) unit->SetWaitHook(nullptr);
}

bool TQtFrontEnd::Enter() { return program_.Enter(); }

TMainUnit& TQtFrontEnd::Unit() { return *program_.Unit(); }

RStartUpHooks TQtFrontEnd::MakeHooks() {
    RStartUpHooks hooks;
    const std::string folder = FolderOf(setup_.ProgramFile);
    hooks.ApplyLanguage = [this, folder](TMainUnit& unit) {
        ApplyStartupLanguage(*window_, folder, unit.Options().LangFile);
    };
    hooks.EditOptions = [this](TMainUnit& unit) {
        EditOptions(window_.get(), unit.Options(),
                    MakeOptionsEnvironment(*window_, *prompts_, setup_.ProgramFile, unit));
    };
    return hooks;
}

void TQtFrontEnd::Start() {
    if (setup_.Prompts == nullptr) {
        ownPrompter_ = std::make_unique<QtPrompter>();
        prompts_ = ownPrompter_.get();
    } else {
        prompts_ = setup_.Prompts;
    }
    window_ = std::make_unique<MainWindow>(*prompts_);
    view_ = std::make_unique<QtView>(*window_, *prompts_);

    context_ = std::make_unique<QObject>();
    notifier_ = new QSocketNotifier(static_cast<qintptr>(loop_.Descriptor()), QSocketNotifier::Read, context_.get());
    QObject::connect(notifier_, &QSocketNotifier::activated, context_.get(), [this] { LoopReadable(); });
    QObject::connect(window_.get(), &MainWindow::closing, context_.get(), [this] { WindowClosing(); });
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, context_.get(),
                     [this](QSessionManager&) { SessionEnding(); });

    // A handed-over file may be the list's first: the list buttons follow the
    // focus rule again.
    program_.OnHandOff = [this](const std::string&) {
        view_->EnableListControls(window_->fileList()->hasFocus() && view_->FileCount() > 0);
    };
    // A later start (a hand-off, or a start without arguments) wants the
    // window in front of the user.
    program_.OnActivate = [this](const std::string& token) {
        if (!finished_ && window_->isVisible()) window_->bringToFront(QString::fromUtf8(token.c_str()));
    };

    TMainUnit& unit = program_.Initialise(*view_, MakeHooks());
    unit.SetWaitHook([this] { WaitRound(); });
    commands_ = new TWindowCommands(*window_, unit, *prompts_, setup_.ProgramFile);

    CheckFinished();
    if (finished_) return;
    window_->show();
    window_->toBox()->setFocus(Qt::OtherFocusReason);
    window_->activateWindow();
}

int TQtFrontEnd::Exec() {
    if (!finished_) QCoreApplication::exec();
    return ExitCode();
}

void TQtFrontEnd::LoopReadable() {
    if (finished_) return;
    // Inside a job's wait, at the level of its own round of Qt events: the
    // round dispatches the loop itself as soon as Qt's events are done, so
    // dispatching here too would only hold the window up longer. (A modal
    // dialog opened meanwhile runs an event loop of its own, one level down:
    // there nobody else dispatches.)
    if (waitLevel_ >= 0 && QThread::currentThread()->loopLevel() == waitLevel_) return;
    const int dispatched = loop_.DispatchPending(kDispatchBudgetMs);
    CheckFinished();
    // A handler that ran inside another one (a job's wait, a modal box) may
    // have left messages that nothing signals: come round again while there
    // is work.
    if (dispatched > 0) QueueRepump();
}

void TQtFrontEnd::QueueRepump() {
    if (repumpQueued_ || finished_) return;
    repumpQueued_ = true;
    QTimer::singleShot(0, context_.get(), [this] {
        repumpQueued_ = false;
        LoopReadable();
    });
}

void TQtFrontEnd::WaitRound() {
    if (finished_) return;
    const int dispatched = loop_.DispatchPending(kDispatchBudgetMs);
    CheckFinished();
    // Qt's events of this round: the loop's descriptor wakes it, but the loop
    // is dispatched here, after them (see LoopReadable).
    const int outerLevel = waitLevel_;
    waitLevel_ = QThread::currentThread()->loopLevel();
    struct Restore {
        int& level;
        int value;
        ~Restore() { level = value; }
    } restore{waitLevel_, outerLevel};
    if (dispatched > 0 || finished_) {
        // Busy: let the window repaint and take clicks, without waiting.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    // Nothing to do: sleep until the loop's descriptor or a window event
    // wakes us; the timer only bounds the sleep.
    QTimer safety;
    safety.setSingleShot(true);
    safety.start(kWaitSafetyMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TQtFrontEnd::WindowClosing() {
    if (TMainUnit* unit = program_.Unit()) unit->CloseMainWindow();
    CheckFinished();
}

void TQtFrontEnd::CheckFinished() {
    if (finished_ || !loop_.QuitRequested()) return;
    finished_ = true;
    if (notifier_ != nullptr) notifier_->setEnabled(false);
    // Closed by a signal or at the end of a job: the window goes as well, and
    // takes no more drops.
    if (window_) {
        window_->setAcceptDrops(false);
        if (window_->isVisible()) window_->hide();
    }
    if (view_) view_->SetWaitCursor(false);
    if (OnFinished) OnFinished(ExitCode());
}

void TQtFrontEnd::SessionEnding() {
    TMainUnit* unit = program_.Unit();
    if (unit == nullptr || unit->Closing()) return;
    unit->DoAbort();  // gives up the client and ends a running job
    SaveWindowState(*view_, unit->Options(), unit->IniPath());
}

// ---------------------------------------------------------------------------------------

int RunQtFrontEnd(int argc, char** argv) {
    try {
        // Declared first so that it goes last: the window must go before Qt does.
        std::optional<QApplication> app;
        TQtFrontEnd front({ProgramFileName(), ProcessArgs(argc, argv), ProgramHandOffNames(), nullptr});
        const bool first = front.Enter();
        for (const auto& note : front.Program().EntryNotes()) {
            std::fprintf(stderr, "%s: %s\n", ApplicationTitle, EscapeControls(note).c_str());
        }
        if (!first) return front.ExitCode();
        app.emplace(argc, argv);
        QApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));
        // The program ends through its close handling only.
        QApplication::setQuitOnLastWindowClosed(false);
        front.OnFinished = [](int code) { QCoreApplication::exit(code); };
        front.Start();
        if (const QByteArray folder = qgetenv("PARCELWING_SNAPSHOTS"); !folder.isEmpty() && !front.Finished()) {
            ArmSnapshots(front, QString::fromLocal8Bit(folder), QString::fromLocal8Bit(qgetenv("PARCELWING_SNAPSHOT_SINK")));
        }
        const int code = front.Exec();
        if (!front.Unit().WindowStateSaved()) {
            std::fprintf(stderr, "%s: the window state could not be written to %s: %s\n", ApplicationTitle,
                         front.Unit().IniPath().c_str(), front.Unit().WindowStateError().c_str());
        }
        return code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", ApplicationTitle, e.what());
        return ExitCodeClosed;
    }
}

}  // namespace pw
