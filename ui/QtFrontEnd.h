#pragma once
// The Qt front end: the program with its window. One thread: the platform
// message loop (sockets, lookups, timers, hand-offs, close signals) is driven
// from Qt's event loop through a socket notifier on the loop's descriptor, and
// a send job that waits for its message keeps Qt's events flowing, so the
// window stays responsive during a job, while a modal box or dialog is open,
// and while a job waits.
//
//   TQtFrontEnd front({ProgramFileName(), ProcessArgs(argc, argv), ProgramHandOffNames()});
//   if (!front.Enter()) return front.ExitCode();   // a later start: 0
//   QApplication app(argc, argv);
//   front.Start();          // window, start-up sequence, window shown
//   return front.Exec();    // until the close handling has run

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/HandOff.h"
#include "app/StartUp.h"
#include "platform/MessageLoop.h"

class QObject;
class QSocketNotifier;
class QTimer;

namespace pw {

class MainWindow;
class Prompter;
class QtView;
class TMainUnit;
class TWindowCommands;

struct RQtFrontEndSetup {
    std::string ProgramFile;              // the INI, help and language files lie beside it
    std::vector<std::string> Args;        // the process's arguments 1..n
    RHandOffNames Names;                  // the single-instance hand-off
    Prompter* Prompts = nullptr;          // boxes and file dialogs; null: the real Qt ones
};

class TQtFrontEnd {
public:
    // What one round of the message loop may take before Qt gets its turn.
    static constexpr unsigned kDispatchBudgetMs = 4;
    // A waiting job looks again at least this often, whatever arrives.
    static constexpr int kWaitSafetyMs = 200;

    explicit TQtFrontEnd(RQtFrontEndSetup setup);
    ~TQtFrontEnd();
    TQtFrontEnd(const TQtFrontEnd&) = delete;
    TQtFrontEnd& operator=(const TQtFrontEnd&) = delete;

    // Program entry (single-instance hand-off); false for a later start, which
    // ends with ExitCode() 0 and shows nothing. Needs no QApplication.
    bool Enter();

    // Needs a QApplication. Builds the window, drives the message loop from Qt,
    // runs the start-up sequence (first-run box and options dialog before the
    // window is shown), then shows the window with the focus in the "To:" box.
    // From then on a later start (hand-off or no argument) brings the window
    // to the front.
    // Nothing is shown when the program was closed during the start-up.
    void Start();

    // Runs Qt's event loop until the close handling has run; the exit code.
    int Exec();

    // The close handling has run (window closed, E&xit, ExitAfterSend, a
    // close signal); the program is over.
    bool Finished() const { return finished_; }
    int ExitCode() const { return program_.ExitCode(); }
    // Called once when the program is over, with the exit code. Exec sets it
    // to end Qt's event loop.
    std::function<void(int)> OnFinished;

    // The platform asks whether the session may end (log-off, shut-down): the
    // client goes, the window state is saved, and the answer is yes.
    void SessionEnding();

    // One round of a job's wait: the loop's pending work, then Qt's events
    // (blocking until something arrives when there was nothing to do).
    void WaitRound();

    MessageLoop& Loop() { return loop_; }
    TProgram& Program() { return program_; }
    MainWindow& Window() { return *window_; }
    QtView& View() { return *view_; }
    TMainUnit& Unit();
    TWindowCommands& Commands() { return *commands_; }
    Prompter& Prompts() { return *prompts_; }

private:
    void LoopReadable();
    void QueueRepump();
    void WindowClosing();
    void CheckFinished();
    RStartUpHooks MakeHooks();

    // In this order, so that the program (and the main unit, which uses the
    // view) goes before the view and the window, and the loop goes last.
    RQtFrontEndSetup setup_;
    MessageLoop loop_;
    std::unique_ptr<Prompter> ownPrompter_;
    Prompter* prompts_ = nullptr;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<QtView> view_;
    TProgram program_;
    std::unique_ptr<QObject> context_;  // receiver of the notifier and the timers
    QSocketNotifier* notifier_ = nullptr;
    TWindowCommands* commands_ = nullptr;  // owned by the window
    bool repumpQueued_ = false;
    // The Qt event-loop level of the job's wait round now running; -1 outside one.
    int waitLevel_ = -1;
    bool finished_ = false;
};

// The whole program with its window; `argc`/`argv` as main got them. Returns
// the process's exit code: 0 for a later start, 1 when the window closed, 2
// when ExitAfterSend closed it after a failed job.
int RunQtFrontEnd(int argc, char** argv);

}  // namespace pw
