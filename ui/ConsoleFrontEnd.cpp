#include "ui/ConsoleFrontEnd.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string_view>

#include "app/CommandLine.h"
#include "app/JobReport.h"
#include "app/StartUp.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramPath.h"
#include "smtp/MimeMessage.h"

namespace pw {

namespace {

const char* AnswerName(TBoxAnswer answer) {
    switch (answer) {
    case TBoxAnswer::Ok:
        return "OK";
    case TBoxAnswer::Cancel:
        return "Cancel";
    case TBoxAnswer::Yes:
        return "Yes";
    case TBoxAnswer::No:
        return "No";
    case TBoxAnswer::Retry:
        return "Retry";
    }
    return "OK";
}

// Line breaks (CR, LF, any run of them) become one blank.
std::string OneLine(const std::string& text) {
    std::string out;
    bool inBreak = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!inBreak) out += ' ';
            inBreak = true;
        } else {
            out += c;
            inBreak = false;
        }
    }
    return out;
}

}  // namespace

std::string ConsoleBoxLine(const RMessageBox& box, TBoxAnswer answer) {
    return OneLine(box.Caption) + ": " + OneLine(box.Text) + " [" + AnswerName(answer) + "]";
}

std::string ConsoleSummaryLine(const RJobSummary& summary) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", summary.Seconds);
    return std::string(ApplicationTitle) + ": job done: messages sent " + std::to_string(summary.MessagesSent) +
           ", failed " + std::to_string(summary.MessagesFailed) + "; files sent " +
           std::to_string(summary.FilesSent) + " of " + std::to_string(summary.Files) + ", " +
           std::to_string(summary.BytesSent) + " bytes; " + seconds + " s";
}

std::string ConsoleProgressLine(const RJobProgress& progress) {
    std::string line = std::string(ApplicationTitle) + ": message " + std::to_string(progress.Message) + " of " +
                       std::to_string(progress.Messages);
    if (!progress.File.empty()) {
        line += ", " + FileNamePart(progress.File) + ": " + std::to_string(progress.FileDone) + " of " +
                std::to_string(progress.FileSize) + " bytes";
    }
    return line;
}

TConsoleView::TConsoleView(std::FILE* out, std::FILE* err)
    : out_(out), err_(err), showProgress_(err != nullptr && ::isatty(::fileno(err)) == 1) {
    OnStatus = [this](const std::string& line) { Print(out_, line); };
}

void TConsoleView::JobProgress(const RJobProgress& progress) {
    if (!progress.Running) {
        lastProgress_ = -1;
        return;
    }
    if (!showProgress_ || progress.Seconds < ConsoleProgressAfterSeconds) return;
    if (lastProgress_ >= 0 && progress.Seconds - lastProgress_ < ConsoleProgressEverySeconds) return;
    lastProgress_ = progress.Seconds;
    Print(err_, ConsoleProgressLine(progress));
}

void TConsoleView::JobEnded(const RJobSummary& summary) { Print(err_, ConsoleSummaryLine(summary)); }

void TConsoleView::ErrorNote(const std::string& text) { Print(err_, text); }

void TConsoleView::Print(std::FILE* stream, const std::string& text) {
    if (stream == nullptr) return;
    std::string line;
    std::size_t from = 0;
    for (std::size_t tab; (tab = text.find('\t', from)) != std::string::npos; from = tab + 1) {
        line += EscapeControls(std::string_view(text).substr(from, tab - from));
        line += '\t';
    }
    line += EscapeControls(std::string_view(text).substr(from));
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

TBoxAnswer TConsoleView::ShowMessageBox(const RMessageBox& box) {
    const TBoxAnswer answer = DefaultAnswer(box.Buttons);
    Print(err_, ConsoleBoxLine(box, answer));
    return answer;
}

void TConsoleView::SkipDialog(const std::string& what) {
    Print(err_, std::string(ApplicationTitle) + ": no display, " + what + " skipped");
}

void TConsoleView::Note(const std::string& text) { Print(out_, text); }

int RunConsoleFrontEnd(int argc, const char* const* argv) {
    try {
        MessageLoop loop;
        TConsoleView view(stdout, stderr);
        TProgram program(loop, ProgramFileName(), ProcessArgs(argc, argv), ProgramHandOffNames());
        const bool first = program.Enter();
        for (const auto& note : program.EntryNotes()) view.ErrorNote(std::string(ApplicationTitle) + ": " + note);
        if (!first) return program.ExitCode();

        RStartUpHooks hooks;
        // No language file is applied: there are no captions to show.
        hooks.EditOptions = [&view](TMainUnit&) { view.SkipDialog("options dialog"); };
        view.OnCloseRequest = [&program] {
            if (program.Unit() != nullptr) program.Unit()->PostClose();
        };
        program.OnHandOff = [&view](const std::string& entry) { view.Note("Handed over: " + entry); };

        TMainUnit& unit = program.Initialise(view, hooks);
        loop.Run();
        if (!unit.WindowStateSaved()) {
            view.ErrorNote(std::string(ApplicationTitle) + ": the window state could not be written to " +
                           unit.IniPath() + ": " + unit.WindowStateError());
        }
        return program.ExitCode();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", ApplicationTitle, e.what());
        return ExitCodeClosed;
    }
}

}  // namespace pw
