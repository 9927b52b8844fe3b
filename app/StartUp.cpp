#include "app/StartUp.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "app/CommandLine.h"
#include "app/JobReport.h"
#include "platform/ProgramPath.h"

namespace pw {

namespace {

sigset_t CloseSignals() {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, SIGINT);
    ::sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

RHandOffNames ProgramHandOffNames() {
    RHandOffNames names = DefaultHandOffNames();
    const char* tag = std::getenv("PARCELWING_INSTANCE");
    if (tag == nullptr || tag[0] == '\0') return names;
    RHandOffNames tagged = HandOffNamesIn(FolderOf(names.LockPath), tag, static_cast<unsigned>(::getuid()));
    tagged.Problem = names.Problem;
    return tagged;
}

void BlockCloseSignals() {
    const sigset_t set = CloseSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

void RunStartUpSequence(TMainUnit& unit, const std::vector<std::string>& args, const RStartUpHooks& hooks,
                        const std::vector<std::string>& notes) {
    IView& view = unit.View();
    unit.BeginStartUp();
    unit.CreateClient();
    unit.LoadOptions();
    if (hooks.ApplyLanguage) hooks.ApplyLanguage(unit);

    const ROptions& options = unit.Options();
    if (options.From.empty() || options.Host.empty()) {
        view.ShowMessageBox({SetUpOptionsText, ApplicationTitle, TBoxIcon::Warning, TBoxButtons::Ok, true});
        if (hooks.EditOptions) hooks.EditOptions(unit);
    }

    unit.RestoreWindowState();
    view.EnableListControls(false);
    unit.FixLogPath();
    for (const auto& note : notes) unit.LogLine(note);

    if (unit.ApplyStartupArguments(args)) unit.PostSend();
}

// ---------------------------------------------------------------------------

TDescriptorRelay::TDescriptorRelay(MessageLoop& loop, Handle target, std::uint32_t msg)
    : loop_(loop), target_(target), msg_(msg) {}

TDescriptorRelay::~TDescriptorRelay() {
    stop_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void TDescriptorRelay::Watch(int fd, std::uintptr_t id) {
    if (fd < 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back({fd, id, true});
}

bool TDescriptorRelay::Start() {
    if (thread_.joinable()) return true;
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) return false;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void TDescriptorRelay::Rearm(std::uintptr_t id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& e : entries_) {
            if (e.id == id) e.armed = true;
        }
    }
    Wake();
}

void TDescriptorRelay::Wake() {
    if (wakeFd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void TDescriptorRelay::Run() {
    std::vector<pollfd> fds;
    std::vector<std::uintptr_t> ids;
    while (!stop_) {
        fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
        ids.assign(1, 0);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& e : entries_) {
                if (!e.armed) continue;
                fds.push_back(pollfd{e.fd, POLLIN, 0});
                ids.push_back(e.id);
            }
        }
        const int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t value;
            while (::read(wakeFd_, &value, sizeof value) > 0) {
            }
        }
        if (stop_) return;
        // In the order watched: a hand-off that came before a close signal is
        // posted before it.
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (auto& e : entries_) {
                    if (e.id == ids[i]) e.armed = false;
                }
            }
            loop_.PostMessageFromThread(target_, msg_, ids[i], 0);
        }
    }
}

// ---------------------------------------------------------------------------

TProgram::TProgram(MessageLoop& loop, std::string programFile, std::vector<std::string> args, RHandOffNames names)
    : loop_(loop), programFile_(std::move(programFile)), args_(std::move(args)), handOff_(std::move(names)) {
    handle_ = loop_.CreateHandle(this);
}

TProgram::~TProgram() {
    relay_.reset();  // no thread may post once the handle is gone
    loop_.DestroyHandle(handle_);
    unit_.reset();
    if (signalFd_ >= 0) ::close(signalFd_);
}

bool TProgram::Enter() {
    // A close signal sent as soon as the instance can be found must reach the
    // close handling, not end the process before the window state is saved.
    handOff_.OnBecomingFirst = BlockCloseSignals;
    // The desktop's token for the window this start was meant to open; the
    // running instance's window uses it instead.
    if (const char* token = std::getenv("XDG_ACTIVATION_TOKEN")) handOff_.SetActivationToken(token);
    if (IsSendAndExitRun(args_)) {
        // Its own job: it neither hands over nor takes hand-offs, so it never
        // looks for the instance lock.
        independent_ = true;
        BlockCloseSignals();
        entry_ = TStartResult::Running;
        return true;
    }
    const bool anyKey = std::any_of(args_.begin(), args_.end(), IsKeyArgument);
    bool first = false;
    if (!args_.empty() && !anyKey) {
        first = EnterWithNames();
    } else {
        entry_ = handOff_.Start(args_, programFile_);
        first = entry_ == TStartResult::Running;
        if (entry_ == TStartResult::NothingToHand && args_.size() > 1) {
            // Keys among several arguments would be applied to another
            // instance's job one by one, and only the first arrives.
            entryNotes_.push_back(
                "another instance is running; nothing was sent (to send anyway, add -ASEND:YES -AEXIT:YES: "
                "such a run sends on its own, beside the running instance)");
            laterExitCode_ = ExitCodeJobFailed;
        } else if (!first) {
            NoteHandOffFailure(entry_);
        }
    }
    if (first && !handOff_.LockProblem().empty()) {
        entryNotes_.push_back("the instance lock cannot be used (" + handOff_.LockProblem() +
                              "); this instance runs alone and takes no names from later starts");
    }
    return first;
}

// A later start with names only: each existing one is handed over through the
// one-argument hand-off, in order; missing ones are named here.
bool TProgram::EnterWithNames() {
    std::vector<std::string> existing;
    std::vector<std::string> missing;
    for (const auto& arg : args_) {
        if (NamesExistingEntry(arg)) {
            existing.push_back(arg);
        } else {
            missing.push_back(arg);
        }
    }
    if (existing.empty()) {
        entry_ = handOff_.Start({}, programFile_);
        if (entry_ == TStartResult::Running) return true;  // no instance: it reports them itself
    }
    for (std::size_t i = 0; i < existing.size(); ++i) {
        entry_ = handOff_.Start({existing[i]}, programFile_);
        if (entry_ == TStartResult::Running) {
            // No instance (any more): this start runs with what it has not
            // handed over yet.
            std::vector<std::string> rest(existing.begin() + static_cast<std::ptrdiff_t>(i), existing.end());
            rest.insert(rest.end(), missing.begin(), missing.end());
            if (i > 0) args_ = std::move(rest);
            return true;
        }
        if (entry_ != TStartResult::HandedOver && entry_ != TStartResult::GuardSent) {
            NoteHandOffFailure(entry_);
            break;
        }
    }
    for (const auto& name : missing) entryNotes_.push_back(MissingFilePrefix + EscapeControls(name));
    if (!missing.empty()) laterExitCode_ = ExitCodeJobFailed;
    return false;
}

void TProgram::NoteHandOffFailure(TStartResult result) {
    switch (result) {
    case TStartResult::TooLong:
        entryNotes_.push_back("the argument is too long to hand over");
        laterExitCode_ = ExitCodeJobFailed;
        break;
    case TStartResult::Unreachable:
        entryNotes_.push_back("the running instance could not be reached; nothing handed over");
        laterExitCode_ = ExitCodeJobFailed;
        break;
    default:
        break;
    }
}

TMainUnit& TProgram::Initialise(IView& view, const RStartUpHooks& hooks) {
    unit_ = std::make_unique<TMainUnit>(loop_, view, programFile_);
    TMainUnit& unit = *unit_;
    unit.SetIndependentRun(independent_);

    handOff_.SetEntryHandler([this](const std::string& entry) {
        // A handed-over argument is added like a start-up one, but never starts a job.
        if (!unit_ || unit_->Closing()) return;
        unit_->AddEntry(entry);
        if (OnHandOff) OnHandOff(entry);
    });
    handOff_.SetActivateHandler([this](const std::string& token) {
        if (unit_ && !unit_->Closing() && OnActivate) OnActivate(token);
    });

    // Close signals are read from a signalfd; they are blocked (BlockCloseSignals)
    // so that they wait there instead of ending the process.
    const sigset_t set = CloseSignals();
    sigset_t blocked;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    if (::sigismember(&blocked, SIGINT) == 1 && ::sigismember(&blocked, SIGTERM) == 1) {
        signalFd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    }

    relay_ = std::make_unique<TDescriptorRelay>(loop_, handle_, MsgReadable);
    if (handOff_.Receiving()) relay_->Watch(handOff_.Descriptor(), HandOffId);
    relay_->Watch(signalFd_, SignalId);
    relay_->Start();

    RunStartUpSequence(unit, args_, hooks, entryNotes_);
    return unit;
}

void TProgram::ReadSignals() {
    if (signalFd_ < 0) return;
    signalfd_siginfo info{};
    bool close = false;
    int signal = 0;
    while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        close = true;
        signal = static_cast<int>(info.ssi_signo);
    }
    if (!close) return;
    if (OnSignal) OnSignal(signal);
    // Treated as closing the window: the same close handling, the same exit code.
    if (unit_) unit_->PostClose();
}

void TProgram::HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) {
    if (msg != MsgReadable) return;
    if (wParam == HandOffId) {
        handOff_.OnReadable();
    } else if (wParam == SignalId) {
        ReadSignals();
    }
    if (relay_) relay_->Rearm(wParam);
}

int TProgram::ExitCode() const {
    if (entry_ != TStartResult::Running) return laterExitCode_;
    return unit_ ? unit_->ExitCode() : ExitCodeClosed;
}

}  // namespace pw
