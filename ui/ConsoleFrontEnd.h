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

class TConsoleView : public MemoryView {
public:
    // Log lines go to `out`, boxes and notes to `err`; each line is flushed.
    TConsoleView(std::FILE* out, std::FILE* err);

    // Printed and answered with the default button; not kept, so a long-running
    // instance does not collect them.
    TBoxAnswer ShowMessageBox(const RMessageBox& box) override;

    // A dialog that needs a person: one line on the error stream.
    void SkipDialog(const std::string& what);
    // A line of the console's own on the output stream.
    void Note(const std::string& text);

private:
    void Print(std::FILE* stream, const std::string& line);

    std::FILE* out_;
    std::FILE* err_;
};

// The whole program in console mode; `argc`/`argv` as main got them.
// Returns the process's exit code: 0 for a later start, 1 when the program
// closed, 2 when ExitAfterSend closed it after a failed job.
int RunConsoleFrontEnd(int argc, const char* const* argv);

}  // namespace pw
