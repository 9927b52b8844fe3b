#pragma once
// The rules by which names reach the program: the command-line grammar, the
// command keys and the expansion of folders. The same rules serve the program's
// own arguments, a later start's hand-off, dropped files and the attach dialog.

#include <string>
#include <vector>

#include "config/Options.h"

namespace pw {

class IView;

// Exit codes of the process.
inline constexpr int ExitCodeLaterInstance = 0;  // a later start that handed over or gave up
inline constexpr int ExitCodeClosed = 1;         // the main window closed
inline constexpr int ExitCodeJobFailed = 2;      // closed by ExitAfterSend after a failed job

// Splitting a Windows-style command-line text. Argument 0 is the first token
// (the program path); ArgAt gives an empty text past the last argument.
// ArgCount counts the arguments after the first token.
int ArgCount(const std::string& text);
std::string ArgAt(const std::string& text, int index);
// All arguments after the first token, in order.
std::vector<std::string> SplitArgs(const std::string& text);

// The inverse for one argument: quotes it when it holds characters of code 1 to
// 32 or is empty, so that ArgAt gives it back. The grammar has no escape, so
// some arguments come back changed: one holding a double quote and a blank, one
// that begins with two double quotes (skipped as empty) or begins and ends with
// one (the quotes are taken off), and one with an odd number of double quotes
// takes the arguments after it into itself.
std::string QuoteArg(const std::string& arg);
std::string JoinCommandLine(const std::vector<std::string>& args);

// The process's own arguments 1..n: argv[1..] with empty ones skipped (the shell
// has already done the quoting, so quotes inside an argument are kept).
std::vector<std::string> ProcessArgs(int argc, const char* const* argv);

// Cuts a text file's contents into lines at CR LF, CR or LF. A line end at the
// very end does not start another line; an empty text has no lines.
std::vector<std::string> CutTextLines(const std::string& contents);

// Reads a regular file whole and cuts it into lines; a file that cannot be read
// (missing, a folder, a device) gives no lines.
std::vector<std::string> ReadTextLines(const std::string& path);

// The same, telling a file that cannot be read from an empty one: false with
// the reason in `error` (e.g. "No such file or directory", "Not a regular file").
bool ReadTextFile(const std::string& path, std::vector<std::string>& lines, std::string& error);

// The command keys, numbered as in their table (1..12); 0 for none.
enum TCommandKey {
    KeyNone = 0,
    KeyTo = 1,
    KeySubj,
    KeyMsgTxt,
    KeyMsgFile,
    KeyASend,
    KeyAExit,
    KeyRsd,
    KeyFpm,
    KeyLstf,
    KeyFrom,
    KeyRcpt,
    KeySf,
};

// Whether `text` has the form of a command key: "-" or "/", a name of letters
// only, then ":" (the value may follow). Anything else is a name: on Linux a
// path begins with "/" too, and "/srv/a:b" or "-report.pdf" are no keys.
bool IsKeyForm(const std::string& text);

// The key of an argument that begins with "-" or "/" and holds a ":"; KeyNone
// for anything else. `value` receives everything after the first ":".
TCommandKey ParseKey(const std::string& text, std::string* value);

// "FPM:" value: optional sign and decimal digits up to the first other
// character; no digits give 0; values beyond 32 bits are held at the limit.
int ParseLeadingInt(const std::string& value);

// What the log says of a name that is no file, folder or matching wildcard.
inline constexpr const char* MissingFilePrefix = "Can't find file ";

// What AddEntry or ApplyKey could not use, one line each for the log, names
// with their control characters escaped:
//   "Can't find file " + name      a name that is no file, folder or pattern
//   "Can't send " + name + ": not a regular file or folder"
//   "Unknown key " + argument      a key form that is not in the key table
//   "Can't read message file " / "Can't read list file " + name + ": " + reason
using TEntryProblems = std::vector<std::string>;

// The problem line for a name that is no regular file: "Can't find file " +
// name when nothing is there, else "Can't send " + name + ": not a regular file
// or folder".
std::string UnusableNameLine(const std::string& name);

// Offers one argument to the job, in this order: a folder is expanded, an
// existing regular file (or a wildcard pattern that matches one) is appended
// unchanged, a key form (IsKeyForm) goes to ApplyKey; anything else is left out
// and reported.
TEntryProblems AddEntry(IView& view, ROptions& options, const std::string& text);

// Adds the contents of a folder in the order the system lists them; sub-folders
// only with RecSubDir (to any depth, each folder at most once on one path, so a
// link back to a parent does not loop). Entries that are neither regular files
// nor folders (sockets, devices, broken links) are passed over. Errors end a
// folder's listing silently.
void AddFolder(IView& view, ROptions& options, const std::string& path);

// Applies one command key; an argument beginning with "-" or "/" (key or not)
// then refreshes the list buttons. An unknown key is reported; so is a
// "MSGFILE:" or "LSTF:" file that cannot be read, and then nothing changes
// (the message text and the list stay as they were).
TEntryProblems ApplyKey(IView& view, ROptions& options, const std::string& text);

// Whether `text` names an existing regular file, or is a pattern with "*" or
// "?" in its last component that matches one.
bool FileExistsOrMatches(const std::string& text);

// The start-up arguments: AddEntry for each, in order; what could not be used
// is added to `problems` (when given). Returns whether a send job is to start
// (there was an argument and AutoSend is then set).
bool ApplyStartupArgs(IView& view, ROptions& options, const std::vector<std::string>& args,
                      TEntryProblems* problems = nullptr);

// Whether AddEntry would take `text` as a command key: a key form that names
// no existing file, folder or matching pattern.
bool IsKeyArgument(const std::string& text);

// Whether `text` names an existing folder, regular file or a pattern that
// matches one: what a later start may hand over as a name.
bool NamesExistingEntry(const std::string& text);

// Whether the arguments ask for a send-and-exit run: the key "ASEND:" and the
// key "AEXIT:" each with the value YES (in any letter case; the last of each
// counts, as when they are applied). Arguments that name an existing file or
// folder are names, not keys.
bool IsSendAndExitRun(const std::vector<std::string>& args);

}  // namespace pw
