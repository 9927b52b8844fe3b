#pragma once
// The view seam: the one interface through which the application core reads and
// changes the job inputs and the window's state. The Qt window implements it on
// its widgets (they are the only copy of the data); MemoryView implements it in
// memory for the console front end and the tests.
//
// Indices are 0-based. Calls with an index out of range are ignored (getters
// return an empty text). All calls happen on the one thread of the message loop.

#include <cstdint>
#include <string>
#include <vector>

#include "config/WindowState.h"

namespace pw {

// The application's title: the caption of its message boxes.
inline constexpr const char* ApplicationTitle = "Parcelwing";

// The two editable drop-down boxes that keep a list of recent entries.
enum class TComboBox { To, Subject };

enum class TBoxIcon { None, Error, Warning, Information, Question };
enum class TBoxButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class TBoxAnswer { Ok, Cancel, Yes, No, Retry };

// A message box as the core asks for it.
struct RMessageBox {
    std::string Text;
    std::string Caption;
    TBoxIcon Icon = TBoxIcon::None;
    TBoxButtons Buttons = TBoxButtons::Ok;
    bool Owned = true;  // owned by the application window (modal to it)
};

// The answer a box gets when nobody is there to choose: its default button.
TBoxAnswer DefaultAnswer(TBoxButtons buttons);

// Where a running send job stands, for a progress display.
struct RJobProgress {
    bool Running = false;       // false once the job has ended: hide the display
    int Message = 0;            // the message being sent, from 1; 0 before the first
    int Messages = 0;           // the messages of the job, as far as known now
    std::string File;           // the attachment being read; empty between files
    std::uint64_t FileDone = 0; // its bytes sent so far
    std::uint64_t FileSize = 0; // its size
    double Seconds = 0;         // since the job started
};

// What a send job did, told once when it ends.
struct RJobSummary {
    int MessagesSent = 0;         // messages the server took
    int MessagesFailed = 0;       // messages started that failed or were aborted
    int FilesSent = 0;            // attachments in the messages sent
    int Files = 0;                // attachments the job was to send
    std::uint64_t BytesSent = 0;  // their size
    double Seconds = 0;           // from the job's start to its end
};

// Least time between two progress reports of a running job.
inline constexpr unsigned ProgressIntervalMs = 250;

class IView {
public:
    virtual ~IView() = default;

    // --- File list: ordered text entries, duplicates allowed.
    virtual int FileCount() const = 0;
    virtual std::string FileAt(int index) const = 0;
    virtual void AppendFile(const std::string& entry) = 0;
    virtual void InsertFile(int index, const std::string& entry) = 0;
    virtual void DeleteFile(int index) = 0;
    // Exchanges the texts of two entries (the Up and Down commands).
    virtual void SwapFiles(int first, int second) = 0;
    // The current entry, -1 when there is none. Setting it also selects it;
    // -1 clears the current entry.
    virtual int CurrentFile() const = 0;
    virtual void SetCurrentFile(int index) = 0;
    virtual void ClearFiles() = 0;
    // Update bracket: no repainting between Begin and End; brackets nest.
    virtual void BeginFileUpdate() = 0;
    virtual void EndFileUpdate() = 0;

    // --- The "To:" and "Subject:" boxes: their text and recent entries.
    virtual std::string BoxText(TComboBox box) const = 0;
    virtual void SetBoxText(TComboBox box, const std::string& text) = 0;
    virtual std::vector<std::string> RecentItems(TComboBox box) const = 0;
    virtual void SetRecentItems(TComboBox box, const std::vector<std::string>& items) = 0;

    // --- The message text box; lines separated by CR LF.
    virtual std::string MessageText() const = 0;
    virtual void SetMessageText(const std::string& text) = 0;

    // --- Status box (the log's entries): the shown text is the last appended one.
    virtual int StatusCount() const = 0;
    virtual void StatusRemoveFirst() = 0;
    virtual void StatusAppend(const std::string& text) = 0;
    virtual std::string StatusShownText() const = 0;
    virtual void BeginStatusUpdate() = 0;
    virtual void EndStatusUpdate() = 0;

    // --- Window place and size, lower panel height.
    virtual RWindowGeometry Geometry() const = 0;
    virtual void SetGeometry(const RWindowGeometry& geometry) = 0;

    // --- Controls.
    // Send and Options enabled exactly when idle; Abort exactly when busy.
    virtual void EnableSendControls(bool idle) = 0;
    virtual bool SendControlsIdle() const = 0;
    // The file-list buttons (Up, Delete, Down and their pop-up items).
    virtual void EnableListControls(bool enabled) = 0;
    virtual void SetWaitCursor(bool wait) = 0;
    virtual void Beep() = 0;

    // Shows a box and returns the button chosen. Must not block in tests and in
    // the console front end.
    virtual TBoxAnswer ShowMessageBox(const RMessageBox& box) = 0;

    // Asks the window to close; the close handling runs later from the message
    // loop, never inside this call.
    virtual void RequestClose() = 0;

    // A running job's progress: once when it starts, then at most every
    // ProgressIntervalMs while it runs, and once with Running false when it
    // ends. Never a log line. The default shows nothing.
    virtual void JobProgress(const RJobProgress& progress) { (void)progress; }

    // Once at the end of every send job that got past its start (the summary
    // line of the console). Never a log line. The default shows nothing.
    virtual void JobEnded(const RJobSummary& summary) { (void)summary; }

    // A line for a person running the program from a shell (standard error of
    // the console front end), beside the log line that says the same: what a
    // send-and-exit run could not use, entries the INI file could not keep.
    // The default shows nothing; the log has it.
    virtual void ErrorNote(const std::string& text) { (void)text; }
};

// Keeps the file list's update bracket open for one scope.
class TFileBracket {
public:
    explicit TFileBracket(IView& view) : view_(view) { view_.BeginFileUpdate(); }
    ~TFileBracket() { view_.EndFileUpdate(); }
    TFileBracket(const TFileBracket&) = delete;
    TFileBracket& operator=(const TFileBracket&) = delete;

private:
    IView& view_;
};

}  // namespace pw
