#pragma once
// TMainUnit: the main window object without its widgets. It owns the options,
// the log, the send job's state and the one SMTP client, runs the commands
// (Send, Abort, close) and reaches everything visible through IView only.
//
// Everything here runs on the message loop's thread. A send job waits by
// dispatching messages, so commands (Abort, close, hand-offs) are handled while
// DoSend is still on the stack; every wait ends when the program closes.

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Notify.h"
#include "app/View.h"
#include "app/ViewBridge.h"
#include "config/LogFile.h"
#include "config/Options.h"
#include "config/Places.h"
#include "net/Resolve.h"  // TrimBlanks
#include "platform/MessageLoop.h"
#include "smtp/SmtpClient.h"

namespace pw {

// Box texts of the send job.
inline constexpr const char* ConnectedStateText =
    "The program is in connected state.\r\nPlease wait or abort the connection first!";
inline constexpr const char* EmptyListText = "File List is empty!";
inline constexpr const char* EmptyListBodyText =
    "File List is empty - define message body text file and attached file(s) !";
inline constexpr const char* SetUpOptionsText = "Please, set up program's options...";
// Said when a send-and-exit run refuses its job because of its arguments.
inline constexpr const char* NothingSentText = "Nothing was sent";

// Log lines of the send job.
inline constexpr const char* ErrorAbortLine = "Error, abort sending...";
inline constexpr const char* AllOkLine = "All Ok!";
// MissingFilePrefix ("Can't find file ") is in app/CommandLine.h.
inline constexpr const char* WarningPrefix = "Warning: ";
inline constexpr const char* SettingsProblemPrefix = "Error in the settings, nothing is sent: ";
inline constexpr const char* LoginStopsJobLine =
    "Login failed: no further message is sent, since the same login would fail again "
    "(and repeated tries may lock the account)";

// Body lines longer than this are wrapped into several lines: SMTP allows 998
// characters before the CR LF, and servers refuse longer lines.
inline constexpr std::size_t BodyLineLimit = 998;

// "7 3 2025 9:5:3 RequestDone Rq=0(Connect) Error=0": local date and time
// without leading zeros, the request's number and name, the error code.
std::string RequestDoneLine(const std::tm& local, int request, int error);

// The log line for a recipient the server refused, naming the address and the
// server's reply (control characters escaped).
std::string RefusedRecipientLine(const TRefusedRecipient& refused);

// The box shown when TextFromFirstFile leaves nothing to attach: the one
// entry, trimmed, is the body text file.
std::string OnlyBodyFileText(const std::string& entry);

// The recipients of a "To:" text: pieces between ";" or "," (outside quotes,
// angle brackets and comments), trimmed, each as typed (a display name may
// come with it); empty pieces are dropped. Nothing for a text that cannot be
// read as a list (AddressProblem says why).
std::vector<std::string> SplitRecipients(const std::string& toText);

// Why the sender `from` or the recipients `toText` cannot be sent to, as a
// sentence for a box and the log; empty when both can be (an empty "To:" is
// left to the client, which says so itself). `from` must be one address, with
// or without a display name.
std::string AddressProblem(const std::string& from, const std::string& toText);

// The header-field hook's work on one header line: a line that begins with
// "Date:" (any letter case) gets "Return-Receipt-To: " + From (when asked
// for) and "X-Mailer: Parcelwing v.2.1b " appended as further lines. The
// result stays below `size` bytes: when both do not fit, the receipt line is
// left out; when not even the mailer line fits, the line is left as it is.
void AppendOwnHeaderLines(std::string& line, int size, const std::string& from, bool returnReceipt);

// The body's text lines: `messageText` as an edit control counts its lines,
// then `fileLines`; each line longer than `limit` bytes continues on further
// lines, cut between UTF-8 characters.
std::vector<std::string> ComposeBodyLines(const std::string& messageText,
                                          const std::vector<std::string>& fileLines, std::size_t limit);

class TMainUnit : public MessageHandler {
public:
    // `programFile` names the program; config/Places.h decides where its INI
    // file and default log live.
    TMainUnit(MessageLoop& loop, IView& view, std::string programFile);
    ~TMainUnit() override;
    TMainUnit(const TMainUnit&) = delete;
    TMainUnit& operator=(const TMainUnit&) = delete;

    // --- the main window's start-up -----------------------------------------
    // Creates the client and installs the four handlers; clears the job flags.
    void CreateClient();
    // Reads the options from the INI file (where config/Places.h puts it) and
    // keeps a copy as the record last read or saved (OptionsAsSaved).
    void LoadOptions();
    // Sets the log's path from LogFileName (once, at start-up).
    void FixLogPath();
    // Posts a send job; it starts once the message loop runs.
    void PostSend();
    // The start-up sequence has begun: until RestoreWindowState, a close must
    // not save the window state, or the remembered lists would be replaced
    // by the still empty window's.
    void BeginStartUp() { stateRestored_ = false; }
    // Restores the remembered window state and entries into the view (nothing
    // in an independent run).
    void RestoreWindowState();

    // A send-and-exit run: it reads no remembered window state and writes none,
    // and any argument it cannot use stops it before anything is sent.
    void SetIndependentRun(bool independent) { independentRun_ = independent; }
    bool IndependentRun() const { return independentRun_; }

    // The start-up arguments through AddEntry, in order. What cannot be used is
    // logged; in an independent run it is also given to the view's ErrorNote,
    // and so is every listed file that does not exist, and then the job is
    // refused: "Nothing was sent" and the program closes with exit code 2.
    // Returns whether a send job is to start.
    bool ApplyStartupArguments(const std::vector<std::string>& args);

    // --- options ----------------------------------------------------------------
    // The save of the options dialog: stores `edited` in the INI file, writing
    // only the keys whose values differ from OptionsAsSaved() (every key when
    // the file or its options section does not exist yet), under the file's
    // lock, after reading it afresh (config/Options.h, SaveOptionsChanges). So a
    // password stored meanwhile from a terminal stays unless the user changed it
    // here. On success `edited` becomes OptionsAsSaved(). The caller shows a
    // failure (the result names the file and the reason).
    [[nodiscard]] RSaveResult SaveOptions(const ROptions& edited);
    // The options as the INI file last gave or took them.
    const ROptions& OptionsAsSaved() const { return optionsAsSaved_; }

    // --- commands --------------------------------------------------------------
    // Runs one send job; true when every message ended with "All Ok!", no file
    // was missing, no recipient was refused and nothing was aborted.
    bool DoSend();
    void DoAbort();
    // Offers one name to the file list (a file, a folder or a command key);
    // what cannot be used is logged. Returns those log lines.
    TEntryProblems AddEntry(const std::string& text);
    // Asks for the close handling; it runs from the message loop.
    void PostClose();
    // The close handling: abort, forget the client, save the window state,
    // end the message loop with the exit code. Runs once; later calls do nothing.
    void CloseMainWindow();

    // --- steps of a job, public so that they can be checked one by one -------
    bool CheckSettings();
    void PrepareClient();
    void FillRecipients();
    void EnableSendControls(bool idle);
    void LogLine(const std::string& text);

    // Handlers installed on the client.
    void SmtpBodyLine(TSmtpEngine& sender, std::int32_t lineNo, std::string& line, std::int32_t maxLength,
                      bool& more);
    void SmtpHeaderField(TSmtpEngine& sender, std::string& line, int size);
    void SmtpTrace(TSmtpEngine& sender, const std::string& text);
    void SmtpRequestDone(TSmtpEngine& sender, TSmtpRequest request, std::uint16_t error);

    // --- state -------------------------------------------------------------------
    ROptions& Options() { return options_; }
    const ROptions& Options() const { return options_; }
    IView& View() { return view_; }
    MessageLoop& Loop() { return loop_; }
    TSmtpClient* SmtpClient() { return client_.get(); }
    TLogFile& Log() { return log_; }
    TNotifier& Notifier() { return notifier_; }
    const std::string& ProgramFile() const { return programFile_; }
    const RPlaces& Places() const { return places_; }
    const std::string& IniPath() const { return iniPath_; }

    bool InConnectedState() const { return inConnectedState_; }
    bool MessageInFlight() const { return messageInFlight_; }
    bool AbortRequested() const { return abortRequested_; }
    bool QuitOwed() const { return quitOwed_; }
    std::int32_t FailedMessages() const { return failedMessages_; }
    bool JobRunning() const { return jobRunning_; }
    // Messages of the last (or running) job that were started and that ended
    // with "All Ok!".
    int MessagesStarted() const { return messagesStarted_; }
    int MessagesOk() const { return messagesOk_; }

    bool Closing() const { return closing_; }
    // 1, or 2 after ExitAfterSend closed the program after a failed job.
    int ExitCode() const { return exitCode_; }
    // False when the close handling had to write the window state and could
    // not; true when it was written, or kept as remembered (a close during
    // start-up, an independent run).
    bool WindowStateSaved() const { return stateSaved_; }
    // Why it could not be written ("Permission denied", ...); empty otherwise.
    const std::string& WindowStateError() const { return stateError_; }

    // One round of waiting while a job waits: dispatch what is pending, or
    // block until something arrives. A front end with its own event loop
    // replaces it.
    void SetWaitHook(std::function<void()> hook) { waitHook_ = std::move(hook); }
    // Local time for the RequestDone lines (tests fix it).
    void SetClock(std::function<std::tm()> clock) { clock_ = std::move(clock); }

    void HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    static constexpr std::uint32_t MsgStartJob = MsgUser + 40;
    static constexpr std::uint32_t MsgClose = MsgUser + 41;
    static constexpr std::uint32_t MsgFreeRetired = MsgUser + 42;

    void RunMessages(int first);
    // Tells the view where the job stands: at once when `force`, else when
    // ProgressIntervalMs have passed since the last report.
    void ReportProgress(bool force);
    void EndProgress();
    bool PrepareAttachments(int first, int n);
    // False, with a log line and a box, when the addresses cannot be used.
    bool AddressesUsable();
    bool SettleOwedQuit();
    void FailMessage();
    void LogFailureReason(TSmtpEngine& sender, TSmtpRequest request, std::uint16_t error);
    void NoteMessageAccepted();
    void ReportJobEnd();
    void LogRefusedRecipients();
    bool JobSucceeded() const;
    void ShowBox(const std::string& text, TBoxIcon icon, bool owned = true);
    void RetireClient();
    void DispatchOnce();
    template <class Pred>
    void WaitWhile(Pred pred);
    void WaitOnce();
    bool IsCurrent(const TSmtpEngine& sender) const { return client_ && &sender == client_.get(); }

    // Counts the client's handlers on the stack: a retired client is freed
    // only once none of its handlers is running.
    class THandlerScope {
    public:
        explicit THandlerScope(TMainUnit& unit) : unit_(unit) { ++unit_.handlerDepth_; }
        ~THandlerScope();
        THandlerScope(const THandlerScope&) = delete;
        THandlerScope& operator=(const THandlerScope&) = delete;

    private:
        TMainUnit& unit_;
    };

    MessageLoop& loop_;
    IView& view_;
    std::string programFile_;
    RPlaces places_;
    std::string iniPath_;
    Handle handle_ = 0;

    ROptions options_;
    TViewLogSink sink_;
    TLogFile log_;
    TNotifier notifier_;

    std::unique_ptr<TSmtpClient> client_;
    // Clients given up by Abort or close; freed from the loop, never inside
    // one of their own handlers.
    std::vector<std::unique_ptr<TSmtpClient>> retired_;
    int handlerDepth_ = 0;
    bool freePending_ = false;

    // The job's state.
    bool inConnectedState_ = false;
    bool messageInFlight_ = false;
    bool abortRequested_ = false;
    bool quitOwed_ = false;
    bool owedQuitPending_ = false;
    std::int32_t failedMessages_ = 0;
    bool jobRunning_ = false;
    bool jobTrouble_ = false;  // a file missing or a recipient refused
    bool jobStopped_ = false;  // no further message: a failed login, or settings that cannot work
    std::string setupProblem_; // what SetUpClient found wrong in the options
    int messagesStarted_ = 0;
    int messagesOk_ = 0;

    // Progress reports of the running job (steady clock, nanoseconds).
    bool progressActive_ = false;
    std::int64_t jobStartNs_ = 0;
    std::int64_t lastProgressNs_ = 0;
    int nextFile_ = 0;  // the first file of the next message

    // What the job delivered and what it did not, for the not-sent lines and
    // the summary.
    struct RJobFile {
        std::string Path;
        std::uint64_t Size = 0;
    };
    std::vector<RJobFile> inFlightFiles_;    // the attachments of the message on its way
    std::vector<std::string> undelivered_;   // listed files not delivered so far
    int messagesSent_ = 0;                   // messages whose data the server took
    int filesSent_ = 0;
    std::uint64_t bytesSent_ = 0;
    double jobSeconds_ = 0;
    std::string lastReason_;                 // of the last failure, for the box

    // The current message's body lines, built when its first line is asked for.
    std::vector<std::string> bodyLines_;

    bool stateRestored_ = true;
    bool closing_ = false;
    int exitCode_ = 1;
    bool stateSaved_ = true;
    std::string stateError_;
    bool independentRun_ = false;
    bool startupTrouble_ = false;  // a start-up argument could not be used
    ROptions optionsAsSaved_;

    std::function<void()> waitHook_;
    std::function<std::tm()> clock_;
};

}  // namespace pw
