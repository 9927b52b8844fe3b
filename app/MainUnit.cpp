#include "app/MainUnit.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "app/ClientSetup.h"
#include "app/CommandLine.h"
#include "app/JobReport.h"
#include "config/Places.h"
#include "config/WindowState.h"
#include "platform/AsciiCase.h"
#include "platform/ProgramPath.h"
#include "smtp/AddressList.h"
#include "smtp/Utf8.h"

namespace pw {

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local;
}

// How long one round of waiting may go on dispatching while work keeps coming.
constexpr unsigned WaitBudgetMs = 20;

}  // namespace

std::string RequestDoneLine(const std::tm& local, int request, int error) {
    return std::to_string(local.tm_mday) + " " + std::to_string(local.tm_mon + 1) + " " +
           std::to_string(local.tm_year + 1900) + " " + std::to_string(local.tm_hour) + ":" +
           std::to_string(local.tm_min) + ":" + std::to_string(local.tm_sec) +
           " RequestDone Rq=" + std::to_string(request) + "(" + SmtpRequestName(request) +
           ") Error=" + std::to_string(error);
}

std::string RefusedRecipientLine(const TRefusedRecipient& refused) {
    return "Recipient refused: " + EscapeControls(refused.Address) + " - " + EscapeControls(refused.Reply);
}

std::string OnlyBodyFileText(const std::string& entry) {
    // The line breaks really are LF CR, in that order.
    return "File " + TrimBlanks(entry) + "\n\r" + "define as message body text file!" + "\n\r" +
           "No files in attachment's list!";
}

std::vector<std::string> SplitRecipients(const std::string& toText) {
    // "a;;b", a trailing ";" and a blank box give empty pieces: no "RCPT TO:<>".
    std::vector<std::string> recipients;
    std::string error;
    if (!SplitAddressList(toText, recipients, error)) recipients.clear();
    return recipients;
}

std::string AddressProblem(const std::string& from, const std::string& toText) {
    RMailbox mailbox;
    std::string error;
    if (!ParseMailbox(from, mailbox, error)) return "The \"From address:\" field cannot be used: " + error;
    std::vector<std::string> recipients;
    if (!SplitAddressList(toText, recipients, error)) return "The \"To:\" field cannot be used: " + error;
    for (const auto& recipient : recipients) {
        if (!ParseMailbox(recipient, mailbox, error)) return "The \"To:\" field cannot be used: " + error;
    }
    return {};
}

void AppendOwnHeaderLines(std::string& line, int size, const std::string& from, bool returnReceipt) {
    if (!StartsWithNoCase(line, "Date:")) return;
    std::string address = TrimBlanks(from);
    // A line break in the address would start header lines of its own.
    std::replace(address.begin(), address.end(), '\r', ' ');
    std::replace(address.begin(), address.end(), '\n', ' ');
    std::string receipt = returnReceipt ? "\r\nReturn-Receipt-To: " + address : std::string();
    // A display name that is not plain ASCII is encoded as in the From line.
    std::string field;
    if (returnReceipt && !IsAscii(address) && AddressField("Return-Receipt-To", address, field)) receipt = "\r\n" + field;
    const std::string mailer = "\r\nX-Mailer: Parcelwing v.2.1b ";
    // The buffer holds `size` bytes including its terminating NUL.
    const std::size_t room = size > 0 ? static_cast<std::size_t>(size) - 1 : 0;
    if (line.size() + receipt.size() + mailer.size() <= room) {
        line += receipt;
        line += mailer;
    } else if (line.size() + mailer.size() <= room) {
        line += mailer;
    }
}

std::vector<std::string> ComposeBodyLines(const std::string& messageText,
                                          const std::vector<std::string>& fileLines, std::size_t limit) {
    std::vector<std::string> out;
    auto add = [&out, limit](const std::string& line) {
        if (limit == 0 || line.size() <= limit) {
            out.push_back(line);
            return;
        }
        // A character cut in two would read as two wrong ones.
        std::string_view rest(line);
        while (!rest.empty()) {
            std::size_t n = Utf8CutBefore(rest, limit);
            if (n == 0) n = std::min(limit, rest.size());
            out.emplace_back(rest.substr(0, n));
            rest.remove_prefix(n);
        }
    };
    for (const auto& line : MessageLines(messageText)) add(line);
    for (const auto& line : fileLines) add(line);
    return out;
}

// ---------------------------------------------------------------------------

TMainUnit::TMainUnit(MessageLoop& loop, IView& view, std::string programFile)
    : loop_(loop),
      view_(view),
      programFile_(std::move(programFile)),
      places_(PlacesFor(programFile_)),
      iniPath_(places_.IniFile),
      sink_(view),
      log_(options_, &sink_),
      notifier_(view, options_),
      clock_(LocalNow) {
    handle_ = loop_.CreateHandle(this);
    if (!places_.Portable) {
        // The XDG folders may not exist yet; without them nothing could be saved.
        MakeFolderFor(places_.IniFile);
        MakeFolderFor(places_.DefaultLogFile);
    }
}

TMainUnit::~TMainUnit() {
    loop_.DestroyHandle(handle_);
    client_.reset();
    retired_.clear();
}

TMainUnit::THandlerScope::~THandlerScope() {
    if (--unit_.handlerDepth_ == 0 && unit_.freePending_) {
        unit_.freePending_ = false;
        unit_.loop_.PostMessage(unit_.handle_, MsgFreeRetired);
    }
}

void TMainUnit::CreateClient() {
    client_ = std::make_unique<TSmtpClient>(loop_, this);
    TSmtpClient& c = *client_;
    c.OnBodyLine = [this](TSmtpEngine& s, std::int32_t n, std::string& line, std::int32_t max, bool& more) {
        THandlerScope scope(*this);
        SmtpBodyLine(s, n, line, max, more);
    };
    c.OnHeaderField = [this](TSmtpEngine& s, std::string& line, int size) {
        THandlerScope scope(*this);
        SmtpHeaderField(s, line, size);
    };
    c.OnTrace = [this](TSmtpEngine& s, const std::string& text) {
        THandlerScope scope(*this);
        SmtpTrace(s, text);
    };
    c.OnRequestDone = [this](TSmtpEngine& s, TSmtpRequest rq, std::uint16_t error) {
        THandlerScope scope(*this);
        SmtpRequestDone(s, rq, error);
    };
    c.OnWarning = [this](TSmtpEngine& s, const std::string& text) {
        THandlerScope scope(*this);
        if (IsCurrent(s)) LogLine(WarningPrefix + text);
    };
    // The client's own boxes ("SMTP error!!!") go through the view like every other box.
    c.OnMessageBox = [this](TSmtpEngine&, const std::string& text, const std::string& caption) {
        THandlerScope scope(*this);
        view_.ShowMessageBox({text, caption, TBoxIcon::Error, TBoxButtons::Ok, false});
    };
}

void TMainUnit::LoadOptions() {
    pw::LoadOptions(options_, places_);
    optionsAsSaved_ = options_;
}

RSaveResult TMainUnit::SaveOptions(const ROptions& edited) {
    RSaveResult result = SaveOptionsChanges(optionsAsSaved_, edited, iniPath_);
    if (result) optionsAsSaved_ = edited;
    return result;
}

void TMainUnit::FixLogPath() { log_.SetLogPath(options_.LogFileName); }

void TMainUnit::PostSend() { loop_.PostMessage(handle_, MsgStartJob); }

void TMainUnit::PostClose() { loop_.PostMessage(handle_, MsgClose); }

void TMainUnit::HandleMessage(std::uint32_t msg, std::uintptr_t, std::intptr_t) {
    switch (msg) {
    case MsgStartJob:
        if (!closing_) DoSend();
        break;
    case MsgClose:
        CloseMainWindow();
        break;
    case MsgFreeRetired:
        if (handlerDepth_ > 0) {
            freePending_ = true;  // posted again when the last handler returns
        } else {
            retired_.clear();
        }
        break;
    default:
        break;
    }
}

TEntryProblems TMainUnit::AddEntry(const std::string& text) {
    TEntryProblems problems = pw::AddEntry(view_, options_, text);
    for (const auto& line : problems) LogLine(line);
    return problems;
}

bool TMainUnit::ApplyStartupArguments(const std::vector<std::string>& args) {
    TEntryProblems problems;
    const bool send = ApplyStartupArgs(view_, options_, args, &problems);
    for (const auto& line : problems) LogLine(line);
    // The job these arguments start does not count as a success.
    startupTrouble_ = send && !problems.empty();
    if (!independentRun_) return send;

    // A send-and-exit run sends all it was given or nothing, so that running it
    // again duplicates nothing.
    for (int i = 0; i < view_.FileCount(); ++i) {
        const std::string entry = view_.FileAt(i);
        if (IsRegularFile(entry)) continue;
        const std::string line = UnusableNameLine(entry);
        if (std::find(problems.begin(), problems.end(), line) != problems.end()) continue;
        LogLine(line);
        problems.push_back(line);
    }
    if (problems.empty()) return send;
    for (const auto& line : problems) view_.ErrorNote(std::string(ApplicationTitle) + ": " + line);
    view_.ErrorNote(std::string(ApplicationTitle) + ": " + NothingSentText);
    exitCode_ = ExitCodeJobFailed;
    view_.RequestClose();
    return false;
}

void TMainUnit::LogLine(const std::string& text) { log_.LogLine(text); }

void TMainUnit::ShowBox(const std::string& text, TBoxIcon icon, bool owned) {
    view_.ShowMessageBox({text, ApplicationTitle, icon, TBoxButtons::Ok, owned});
}

void TMainUnit::EnableSendControls(bool idle) { view_.EnableSendControls(idle); }

void TMainUnit::RetireClient() {
    if (!client_) return;
    client_->Abort();
    retired_.push_back(std::move(client_));
    loop_.PostMessage(handle_, MsgFreeRetired);
}

void TMainUnit::DispatchOnce() { loop_.DispatchPending(); }

void TMainUnit::WaitOnce() {
    if (progressActive_) ReportProgress(false);
    if (waitHook_) {
        waitHook_();
        return;
    }
    // With a budget the loop polls sockets only now and then while messages
    // keep coming, so the line pump (one posted message per line) does not pay
    // a poll and a send() per line.
    if (loop_.DispatchPending(WaitBudgetMs) > 0) return;
    // Nothing was pending: sleep until the loop has work (socket, lookup,
    // timer or a message from another thread). The bound is only a safety net.
    pollfd p{loop_.Descriptor(), POLLIN, 0};
    ::poll(&p, 1, 200);
}

template <class Pred>
void TMainUnit::WaitWhile(Pred pred) {
    while (pred() && !closing_ && !loop_.QuitRequested()) WaitOnce();
}

// ---------------------------------------------------------------------------
// The send job

bool TMainUnit::DoSend() {
    if (inConnectedState_) {
        view_.Beep();
        ShowBox(ConnectedStateText, TBoxIcon::Error);
        return false;
    }
    if (jobRunning_ || closing_) {
        // A job is already waiting further up the stack.
        view_.Beep();
        return false;
    }
    jobRunning_ = true;
    abortRequested_ = false;
    EnableSendControls(false);
    if (!client_) CreateClient();

    const int first = options_.TextFromFirstFile ? 1 : 0;
    PushRecent(view_, TComboBox::To);
    PushRecent(view_, TComboBox::Subject);

    bool success = false;
    const int count = view_.FileCount();
    if (first < count) {
        if (CheckSettings()) view_.SetWaitCursor(true);
        try {
            RunMessages(first);
        } catch (...) {
            jobRunning_ = false;
            EndProgress();
            if (!closing_) {
                view_.SetWaitCursor(false);
                EnableSendControls(true);
            }
            throw;
        }
        EndProgress();
        ReportJobEnd();
        success = JobSucceeded();
        if (success && options_.ClearFList && !closing_) {
            TFileBracket bracket(view_);
            view_.ClearFiles();
        }
    } else if (count == 0) {
        ShowBox(options_.TextFromFirstFile ? EmptyListBodyText : EmptyListText, TBoxIcon::Error);
        view_.JobEnded(RJobSummary{});
    } else {
        ShowBox(OnlyBodyFileText(view_.FileAt(0)), TBoxIcon::Error);
        view_.JobEnded(RJobSummary{});
    }
    jobRunning_ = false;
    if (closing_) return success;  // the close handling has already ended everything

    // A failed message leaves the wait cursor behind; the job's end puts it back.
    view_.SetWaitCursor(false);
    EnableSendControls(true);
    if (options_.ExitAfterSend) {
        exitCode_ = success ? ExitCodeClosed : ExitCodeJobFailed;
        view_.RequestClose();
    }
    return success;
}

bool TMainUnit::JobSucceeded() const {
    return !abortRequested_ && !jobTrouble_ && failedMessages_ == 0 && messagesStarted_ > 0 &&
           messagesOk_ == messagesStarted_;
}

void TMainUnit::RunMessages(int first) {
    PrepareClient();
    if (options_.SaveLog) TrimLogFile(options_.LogFileName);
    failedMessages_ = 0;
    messagesStarted_ = 0;
    messagesOk_ = 0;
    jobTrouble_ = startupTrouble_;
    startupTrouble_ = false;
    inFlightFiles_.clear();
    undelivered_.clear();
    messagesSent_ = 0;
    filesSent_ = 0;
    bytesSent_ = 0;
    lastReason_.clear();
    jobStopped_ = false;
    if (!setupProblem_.empty()) {
        LogLine(SettingsProblemPrefix + setupProblem_);
        jobTrouble_ = true;
        jobStopped_ = true;
    }
    nextFile_ = first;
    progressActive_ = true;
    jobStartNs_ = SteadyNowNs();
    ReportProgress(true);
    // Addresses that cannot be sent stop the job before any connection; its
    // files are then reported as not sent.
    if (!AddressesUsable()) return;

    for (;;) {
        // Tested right after a message has been started, before its outcome is known.
        if (first >= view_.FileCount() || abortRequested_ || failedMessages_ >= options_.NumOfAttempts ||
            jobStopped_)
            break;
        WaitWhile([this] { return messageInFlight_; });
        if (closing_ || loop_.QuitRequested()) return;
        if (abortRequested_ || !client_ || jobStopped_) break;

        if (options_.FilPerMes < 1) options_.FilPerMes = 1;
        const int n = std::min(options_.FilPerMes, view_.FileCount() - first);
        if (n <= 0) continue;  // the list got shorter meanwhile
        if (!PrepareAttachments(first, n)) {
            if (closing_) return;
            break;  // aborted while the files were looked at
        }
        first += n;
        nextFile_ = first;

        if (quitOwed_ && !SettleOwedQuit()) {
            if (closing_) return;
            break;
        }
        messageInFlight_ = true;
        ++messagesStarted_;
        client_->Connect();
        DispatchOnce();
    }
    WaitWhile([this] { return messageInFlight_; });
    if (closing_) return;
    if (options_.SaveLog) TrimLogFile(options_.LogFileName);
}

void TMainUnit::ReportProgress(bool force) {
    const std::int64_t now = SteadyNowNs();
    if (!force && now - lastProgressNs_ < std::int64_t{ProgressIntervalMs} * 1000000) return;
    lastProgressNs_ = now;
    RJobProgress p;
    p.Running = true;
    p.Message = messagesStarted_;
    const int perMessage = std::max(options_.FilPerMes, 1);
    const int left = std::max(view_.FileCount() - nextFile_, 0);
    p.Messages = messagesStarted_ + (left + perMessage - 1) / perMessage;
    if (client_ && messageInFlight_) client_->AttachmentProgress(p.File, p.FileDone, p.FileSize);
    p.Seconds = static_cast<double>(now - jobStartNs_) / 1e9;
    view_.JobProgress(p);
}

void TMainUnit::EndProgress() {
    if (!progressActive_) return;
    progressActive_ = false;
    RJobProgress p;
    p.Message = messagesStarted_;
    p.Messages = messagesStarted_;
    p.Seconds = static_cast<double>(SteadyNowNs() - jobStartNs_) / 1e9;
    jobSeconds_ = p.Seconds;
    view_.JobProgress(p);
}

// Names every listed file the job did not deliver, then gives the view the
// job's summary.
void TMainUnit::ReportJobEnd() {
    // The message on its way when the job was aborted or closed.
    for (const auto& file : inFlightFiles_) undelivered_.push_back(file.Path);
    inFlightFiles_.clear();
    // Files of messages never started (attempts used up, Abort, close).
    for (int i = nextFile_; i < view_.FileCount(); ++i) undelivered_.push_back(view_.FileAt(i));
    for (const auto& file : undelivered_) LogLine(NotSentLine(file));

    RJobSummary summary;
    summary.MessagesSent = messagesSent_;
    summary.MessagesFailed = messagesStarted_ - messagesSent_;
    summary.FilesSent = filesSent_;
    summary.Files = filesSent_ + static_cast<int>(undelivered_.size());
    summary.BytesSent = bytesSent_;
    summary.Seconds = jobSeconds_;
    view_.JobEnded(summary);
}

bool TMainUnit::PrepareAttachments(int first, int n) {
    client_->AttachedFiles.clear();
    std::vector<RJobFile> present;
    std::vector<std::string> missing;
    for (int i = 0; i < n; ++i) {
        const std::string entry = view_.FileAt(first + i);
        struct stat st {};
        if (!entry.empty() && ::stat(entry.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            client_->AttachedFiles.push_back(entry);
            present.push_back({entry, static_cast<std::uint64_t>(st.st_size)});
        } else {
            LogLine(MissingFilePrefix + EscapeControls(entry));
            missing.push_back(entry);
            jobTrouble_ = true;
        }
        view_.SetCurrentFile(first);
        DispatchOnce();
        // Abort or close may have come in while messages were dispatched; the
        // group then counts as never started.
        if (!client_ || closing_ || abortRequested_) return false;
    }
    inFlightFiles_ = std::move(present);
    undelivered_.insert(undelivered_.end(), missing.begin(), missing.end());
    return true;
}

// An Abort while connected owes the server a Quit; it is issued on the new
// client, which is not connected, so it completes at once. Its completion is
// awaited here and taken by SmtpRequestDone as the owed Quit, so that it can
// neither end the next message's wait nor pass for that message's Connect.
bool TMainUnit::SettleOwedQuit() {
    quitOwed_ = false;
    owedQuitPending_ = true;
    client_->Quit();
    WaitWhile([this] { return owedQuitPending_ && client_ && !abortRequested_; });
    owedQuitPending_ = false;
    return client_ && !closing_ && !abortRequested_;
}

bool TMainUnit::AddressesUsable() {
    if (TrimBlanks(options_.From).empty()) {
        // CheckSettings has shown its box already; a message without a sender
        // would be no message.
        LogLine(std::string(ValidationMessage(vmFromEmpty)));
        jobTrouble_ = true;
        return false;
    }
    const std::string problem = AddressProblem(options_.From, view_.BoxText(TComboBox::To));
    if (problem.empty()) return true;
    LogLine(problem);
    ShowBox(problem, TBoxIcon::Error);
    jobTrouble_ = true;
    return false;
}

bool TMainUnit::CheckSettings() {
    int failure = 0;
    if (TrimBlanks(options_.From).empty()) failure = vmFromEmpty;
    if (TrimBlanks(view_.BoxText(TComboBox::To)).empty()) failure = vmToEmpty;
    if (TrimBlanks(options_.Host).empty()) failure = vmHostEmpty;
    if (options_.Port == 0) failure = vmPortEmpty;
    if (failure == 0) return true;
    ShowBox(std::string(ValidationMessage(failure)), TBoxIcon::Error);
    return false;
}

void TMainUnit::PrepareClient() {
    TSmtpClient& c = *client_;
    c.HeaderSubject = view_.BoxText(TComboBox::Subject);
    c.HeaderTo = view_.BoxText(TComboBox::To);
    c.HeaderFrom = options_.From;
    c.FromName = options_.From;
    c.CharSet = std::string(CharSetName(options_.CharSet));
    c.ReturnReceipt = options_.Return_Receipt_Enabled;
    c.MessageLines.clear();
    // Server, TLS and login: shared with the options dialog's test.
    setupProblem_ = SetUpClient(c, options_, places_.IniFile);
    FillRecipients();
}

void TMainUnit::FillRecipients() {
    if (!client_) return;
    client_->RcptName = SplitRecipients(view_.BoxText(TComboBox::To));
}

void TMainUnit::SmtpBodyLine(TSmtpEngine& sender, std::int32_t lineNo, std::string& line, std::int32_t maxLength,
                             bool& more) {
    if (!IsCurrent(sender)) {
        more = false;
        return;
    }
    if (lineNo <= 1) {
        // The body is the text box followed by the body text file, read anew
        // for every message.
        std::vector<std::string> fileLines;
        if (options_.TextFromFirstFile && view_.FileCount() > 0 && IsRegularFile(view_.FileAt(0))) {
            fileLines = ReadTextLines(view_.FileAt(0));
        }
        std::size_t limit = BodyLineLimit;
        if (maxLength > 1) limit = std::min(limit, static_cast<std::size_t>(maxLength - 1));
        bodyLines_ = ComposeBodyLines(view_.MessageText(), fileLines, limit);
    }
    if (lineNo < 1 || static_cast<std::size_t>(lineNo) > bodyLines_.size()) {
        more = false;
        bodyLines_.clear();
        bodyLines_.shrink_to_fit();
        return;
    }
    DispatchOnce();
    if (!IsCurrent(sender)) {
        more = false;
        return;
    }
    line = bodyLines_[static_cast<std::size_t>(lineNo - 1)];
    more = true;
}

void TMainUnit::SmtpHeaderField(TSmtpEngine& sender, std::string& line, int size) {
    if (!IsCurrent(sender)) return;
    AppendOwnHeaderLines(line, size, options_.From, options_.Return_Receipt_Enabled);
}

void TMainUnit::SmtpTrace(TSmtpEngine& sender, const std::string& text) {
    if (!IsCurrent(sender)) return;
    if (options_.LogDetail > 1) LogLine(text);
}

void TMainUnit::LogRefusedRecipients() {
    if (!client_) return;
    for (const auto& refused : client_->RefusedRecipients()) {
        LogLine(RefusedRecipientLine(refused));
        jobTrouble_ = true;
    }
}

// The line after a failed request's RequestDone line: the reason, and a hint
// where one is known.
void TMainUnit::LogFailureReason(TSmtpEngine& sender, TSmtpRequest request, std::uint16_t error) {
    RFailure failure;
    failure.Request = static_cast<int>(request);
    failure.Error = error;
    failure.LastReply = sender.LastReply();
    failure.Port = options_.Port;
    failure.Security = options_.Security;
    failure.AuthEnabled = options_.SMTP_Auth_Enabled;
    lastReason_ = ReasonText(failure);
    LogLine(ReasonLine(failure));
}

// The server took the message's data: its attachments are delivered.
void TMainUnit::NoteMessageAccepted() {
    ++messagesSent_;
    for (const auto& file : inFlightFiles_) {
        ++filesSent_;
        bytesSent_ += file.Size;
    }
    inFlightFiles_.clear();
}

void TMainUnit::FailMessage() {
    ++failedMessages_;
    messageInFlight_ = false;
    for (const auto& file : inFlightFiles_) undelivered_.push_back(file.Path);
    inFlightFiles_.clear();
    LogLine(ErrorAbortLine);
    notifier_.NotifyError(lastReason_);
    // The box may have let the loop run: the client can be gone by now.
    if (client_) client_->Abort();
    // The connection is dropped, so nothing is connected any more.
    inConnectedState_ = false;
}

void TMainUnit::SmtpRequestDone(TSmtpEngine& sender, TSmtpRequest request, std::uint16_t error) {
    if (!IsCurrent(sender)) return;  // a retired client's late completion
    LogLine(RequestDoneLine(clock_(), static_cast<int>(request), error));
    if (owedQuitPending_ && request == TSmtpRequest::Quit) {
        owedQuitPending_ = false;
        return;
    }
    if (error != 0) LogFailureReason(sender, request, error);
    DispatchOnce();
    if (!IsCurrent(sender) || closing_) return;  // aborted or closed meanwhile

    if (error != 0) {
        if (request == TSmtpRequest::RcptTo) LogRefusedRecipients();
        if (request == TSmtpRequest::Auth && LoginFailureEndsJob(error)) {
            LogLine(LoginStopsJobLine);
            jobStopped_ = true;
        }
        FailMessage();
        return;
    }
    TSmtpClient& c = *client_;
    switch (request) {
    case TSmtpRequest::Connect:
        inConnectedState_ = true;
        if (WantsEhlo(options_)) {
            c.Ehlo();
        } else {
            c.Helo();
        }
        break;
    case TSmtpRequest::Helo:
        c.MailFrom();
        break;
    case TSmtpRequest::MailFrom:
        c.RcptTo();
        break;
    case TSmtpRequest::RcptTo:
        LogRefusedRecipients();
        c.Data();
        break;
    case TSmtpRequest::Data:
        NoteMessageAccepted();
        c.Quit();
        break;
    case TSmtpRequest::Quit:
        view_.SetWaitCursor(false);
        LogLine(AllOkLine);
        ++messagesOk_;
        inConnectedState_ = false;
        messageInFlight_ = false;
        break;
    case TSmtpRequest::Open:
        c.Mail();
        break;
    case TSmtpRequest::Mail:
        c.Quit();
        break;
    case TSmtpRequest::Ehlo:
        if (WantsLogin(options_)) {
            c.Auth();
        } else {
            c.MailFrom();
        }
        break;
    case TSmtpRequest::Auth:
        c.MailFrom();
        break;
    case TSmtpRequest::Vrfy:
    case TSmtpRequest::Rset:
    case TSmtpRequest::Custom:
        break;
    }
}

void TMainUnit::DoAbort() {
    abortRequested_ = true;
    if (client_) client_->Abort();
    if (inConnectedState_) {
        inConnectedState_ = false;
        quitOwed_ = true;
    }
    RetireClient();
    owedQuitPending_ = false;
    EnableSendControls(true);
    view_.SetWaitCursor(false);
    messageInFlight_ = false;
}

// ---------------------------------------------------------------------------
// Close

void TMainUnit::RestoreWindowState() {
    if (!independentRun_) LoadWindowState(view_, iniPath_);
    stateRestored_ = true;
}

void TMainUnit::CloseMainWindow() {
    if (closing_) return;
    closing_ = true;
    if (client_) client_->Abort();
    if (inConnectedState_) {
        inConnectedState_ = false;
        quitOwed_ = true;
    }
    RetireClient();
    messageInFlight_ = false;
    // An unwritable INI file must not keep the program from ending.
    // Closed before the state was restored, or an independent run: the
    // remembered state stays as it is.
    if (stateRestored_ && !independentRun_) {
        const RSaveResult saved = SaveWindowState(view_, options_, iniPath_);
        stateSaved_ = saved.Ok;
        stateError_ = saved.Error;
        for (const auto& line : saved.NotKept) {
            LogLine(line);
            view_.ErrorNote(std::string(ApplicationTitle) + ": " + line);
        }
    }
    loop_.Quit(exitCode_);
}

}  // namespace pw
