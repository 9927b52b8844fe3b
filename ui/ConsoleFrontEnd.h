#pragma once
// The console front end: the program without a display. No window is drawn;
// the view lives in memory, log lines go to standard output, message boxes to
// standard error as one line each, answered at once with their default button,
// and dialogs that need a person are skipped with a line saying so.
//
// No Qt here: this front end must run where no display (and no Qt platform
// plugin) can be had.

#include <cstdio>
#include <string>
#include <vector>

#include "app/MemoryView.h"

namespace pw {

// The one line a box becomes: caption, text with its line breaks as blanks,
// and the button that answered it, e.g. "Parcelwing: File List is empty! [OK]".
std::string ConsoleBoxLine(const RMessageBox& box, TBoxAnswer answer);

// The line a running job's progress becomes, e.g.
// "Parcelwing: message 2 of 5, big.iso: 1048576 of 4194304 bytes".
std::string ConsoleProgressLine(const RJobProgress& progress);

// The line that ends every job on standard error, e.g.
// "Parcelwing: job done: messages sent 2, failed 1; files sent 4 of 6, 123456 bytes; 3.2 s".
std::string ConsoleSummaryLine(const RJobSummary& summary);

// A job's progress is printed once it has run this long, then at most once
// per ConsoleProgressEverySeconds.
inline constexpr double ConsoleProgressAfterSeconds = 2.0;
inline constexpr double ConsoleProgressEverySeconds = 1.0;

class TConsoleView : public MemoryView {
public:
    // Log lines go to `out`, boxes and notes to `err`; each line is flushed,
    // with control characters other than tab escaped (app/JobReport.h), so that
    // nothing a server or a file name holds can drive the terminal.
    TConsoleView(std::FILE* out, std::FILE* err);

    // Printed and answered with the default button; not kept, so a long-running
    // instance does not collect them.
    TBoxAnswer ShowMessageBox(const RMessageBox& box) override;

    // A dialog that needs a person: one line on the error stream.
    void SkipDialog(const std::string& what);
    // A line of the console's own on the output stream.
    void Note(const std::string& text);

    // Progress lines of a long job go to the error stream, only when it is a
    // terminal (SetShowProgress overrides that); the log never sees them.
    void JobProgress(const RJobProgress& progress) override;
    void SetShowProgress(bool show) { showProgress_ = show; }

    // The summary line of a job, on the error stream.
    void JobEnded(const RJobSummary& summary) override;
    // On the error stream as it is.
    void ErrorNote(const std::string& text) override;

private:
    void Print(std::FILE* stream, const std::string& line);

    std::FILE* out_;
    std::FILE* err_;
    bool showProgress_ = false;
    double lastProgress_ = -1;  // job seconds of the last progress line; -1: none yet
};

// The whole program in console mode; `argc`/`argv` as main got them.
// Returns the process's exit code: 0 for a later start that handed its names
// over, 1 when the program closed, 2 when ExitAfterSend closed it after a failed
// job or a start could not do what it was asked.
int RunConsoleFrontEnd(int argc, const char* const* argv);

}  // namespace pw
