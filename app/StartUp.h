#pragma once
// The program's life around the main window: entry with the single-instance
// hand-off, the start-up sequence of the main window, hand-offs and the close
// signals delivered through the message loop, and the exit code.
//
// A front end (console or Qt) does:
//   MessageLoop loop;
//   TProgram program(loop, ProgramFileName(), ProcessArgs(argc, argv), ProgramHandOffNames());
//   const bool first = program.Enter();
//   for (note : program.EntryNotes()) print "Parcelwing: " + note on standard error;
//   if (!first) return program.ExitCode();   // a later start: 0, or 2
//   program.Initialise(view, hooks);        // the start-up sequence
//   loop.Run();                             // until the close handling ends it
//   return program.ExitCode();

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/HandOff.h"
#include "app/MainUnit.h"
#include "app/View.h"
#include "platform/MessageLoop.h"

namespace pw {

// The hand-off names of this user's instances: DefaultHandOffNames(), with
// the environment variable PARCELWING_INSTANCE (when set and not empty) mixed
// into every name, so that separate groups of instances (tests, say) never
// meet each other or the user's own instance.
RHandOffNames ProgramHandOffNames();

// Blocks SIGINT and SIGTERM in the calling thread (and in every thread it
// starts later), so that they can be taken from a signalfd as "close the
// window". TProgram::Enter calls it once the start is the first instance
// (a later start waiting for the block stays interruptible), before any
// thread is started. Also ignores SIGPIPE: a closed output pipe must not end
// a send job.
void BlockCloseSignals();

// What the start-up sequence needs from the front end; an empty hook is skipped.
struct RStartUpHooks {
    // Applies the language file named by LangFile to the window.
    std::function<void(TMainUnit&)> ApplyLanguage;
    // The options dialog of the first run (after the "Please, set up
    // program's options..." box).
    std::function<void(TMainUnit&)> EditOptions;
};

// The main window's start-up sequence, in this order: the client with its four
// handlers and clear job flags, the options, the language, the first-run box
// and options dialog (when From or Host is empty), the window state (not in an
// independent run), the list buttons disabled, the log's path, `notes` as log
// lines, then the arguments through the unit's ApplyStartupArguments and,
// when there was one and AutoSend is then set, a send job (posted: it starts
// once the loop runs).
void RunStartUpSequence(TMainUnit& unit, const std::vector<std::string>& args, const RStartUpHooks& hooks,
                        const std::vector<std::string>& notes = {});

// Watches descriptors that the message loop cannot watch itself (a Unix
// datagram socket, a signalfd) on a thread of its own. When one becomes
// readable it posts (msg, id, 0) to `target` and leaves that descriptor alone
// until Rearm(id), so each readiness is posted once and read on the loop's thread.
class TDescriptorRelay {
public:
    TDescriptorRelay(MessageLoop& loop, Handle target, std::uint32_t msg);
    // Stops and joins the thread.
    ~TDescriptorRelay();
    TDescriptorRelay(const TDescriptorRelay&) = delete;
    TDescriptorRelay& operator=(const TDescriptorRelay&) = delete;

    // Before Start only.
    void Watch(int fd, std::uintptr_t id);
    // False when the thread or its wake-up descriptor cannot be had.
    bool Start();
    // Watch `id` again (after its readiness has been handled).
    void Rearm(std::uintptr_t id);

private:
    struct Entry {
        int fd;
        std::uintptr_t id;
        bool armed;
    };
    void Run();
    void Wake();

    MessageLoop& loop_;
    Handle target_;
    std::uint32_t msg_;
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class TProgram : public MessageHandler {
public:
    TProgram(MessageLoop& loop, std::string programFile, std::vector<std::string> args, RHandOffNames names);
    ~TProgram() override;
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    // Program entry. True: this process runs the program; go on with
    // Initialise. False: a later start that is done; it ends with ExitCode()
    // and shows nothing.
    //
    // A send-and-exit run (IsSendAndExitRun) looks for no running instance at
    // all: it runs its own job, independent of any other instance. Any other
    // start looks for the running instance and, when there is one:
    //   - arguments that are all names (files, folders, patterns; what a file
    //     manager passes): each existing one is handed over in order, one at a
    //     time; a missing one is left out and named in EntryNotes; exit code 0,
    //     or 2 when one was missing or could not be handed over;
    //   - several arguments with a key among them: nothing is handed over,
    //     EntryNotes says so and how to send anyway; exit code 2;
    //   - one key, or no argument: the one argument is handed over as before;
    //     exit code 0.
    bool Enter();
    TStartResult EntryResult() const { return entry_; }

    // Lines for standard error from the entry (without the "Parcelwing: " the
    // front end puts before them): what a later start could not do, or, for
    // the running instance, that the instance lock cannot be used (said once;
    // the start-up sequence also logs it).
    const std::vector<std::string>& EntryNotes() const { return entryNotes_; }
    // True for a send-and-exit run.
    bool Independent() const { return independent_; }

    // Builds the main unit on `view`, wires hand-offs and the close signals
    // into the loop and runs the start-up sequence.
    TMainUnit& Initialise(IView& view, const RStartUpHooks& hooks);
    TMainUnit* Unit() { return unit_.get(); }

    // Called for each argument a later start hands over, after AddEntry.
    std::function<void(const std::string&)> OnHandOff;
    // Called when a later start asks for the window to come to the front,
    // with its activation token (empty when it had none).
    std::function<void(const std::string& token)> OnActivate;
    // Called when SIGINT or SIGTERM arrives, before the close handling.
    std::function<void(int signal)> OnSignal;

    // For a later start 0, or 2 when it could not do what it was asked; else
    // the code the close handling set (1, or 2 after a failed job closed by
    // ExitAfterSend).
    int ExitCode() const;

    void HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    static constexpr std::uint32_t MsgReadable = MsgUser + 50;
    static constexpr std::uintptr_t HandOffId = 1;
    static constexpr std::uintptr_t SignalId = 2;

    void ReadSignals();
    bool EnterWithNames();
    void NoteHandOffFailure(TStartResult result);

    MessageLoop& loop_;
    std::string programFile_;
    std::vector<std::string> args_;
    THandOff handOff_;
    TStartResult entry_ = TStartResult::Running;
    bool independent_ = false;
    int laterExitCode_ = 0;
    std::vector<std::string> entryNotes_;
    Handle handle_ = 0;
    int signalFd_ = -1;
    std::unique_ptr<TMainUnit> unit_;
    std::unique_ptr<TDescriptorRelay> relay_;
};

}  // namespace pw
