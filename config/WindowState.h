#pragma once
// Window state and recent entries kept in the INI file between runs: the main
// window's place and size, the lower panel's height, the "To:" and "Subject:"
// texts and their recent lists, the message text and the file list.
//
// Plain data in, plain data out: the application copies its view into
// RWindowState and back, so this layer knows nothing about windows.

#include <string>
#include <vector>

#include "config/Options.h"

namespace pw {

struct RWindowGeometry {
    int Top = 10;
    int Left = 10;
    int Width = 500;
    int Height = 400;
    int MemoHeight = 80;  // height of the lower panel (file list and status box)
};

struct RWindowState {
    RWindowGeometry Geometry;
    std::vector<std::string> ToItems;    // recent entries of the "To:" box
    std::vector<std::string> SubjItems;  // recent entries of the "Subject:" box
    std::string ToText;
    std::string SubjText;
    std::string MessageText;             // lines separated by CR LF
    std::vector<std::string> Files;
};

// Stands for an entry that is empty or only blanks in a raw-line section.
inline constexpr const char* ListSectionMarker = "#@$%#";
// Bytes all lines of one raw-line section may take, one separator byte per line.
inline constexpr std::size_t ListSectionLimit = 32765;

// Writing direction of ListSection: the lines to store for these entries. An
// entry that is empty or a single blank is stored as the marker (it reads back
// as a single blank), except the last one, which is written blank and reads back
// as no entry. Every other entry reads back unchanged: one that the section
// could not hold as it is (one that looks like a section header, "[URGENT]",
// one of other blanks only, one with a line break or NUL, one that begins with
// the marker) is stored as the marker followed by the entry with "\", CR, LF
// and NUL written as "\\", "\r", "\n" and "\0". The lines are cut at
// ListSectionLimit: the line that crosses it is cut there and the entries after
// it are not written. `whole` (when given) receives the number of entries
// stored whole.
std::vector<std::string> EncodeListSection(const std::vector<std::string>& entries, std::size_t* whole = nullptr);

// Reading direction: appends each stored line to `entries` (a marker line comes
// back as a single blank, a line that begins with the marker as the entry it
// stands for); nothing is cleared first.
void DecodeListSection(const std::vector<std::string>& lines, std::vector<std::string>& entries);

// The line that tells the user which entries of `section` the file could not
// keep: those from entries[whole] on.
std::string NotKeptLine(const std::string& section, const std::vector<std::string>& entries, std::size_t whole);

// The lines of a message text as an edit control counts them: cut at every line
// end (CR LF, CR or LF); an empty text is one empty line, a text that ends with
// a line end has an empty last line.
std::vector<std::string> MessageLines(const std::string& text);

// Reads or writes one raw-line section of `iniPath`. Reading appends; writing
// replaces the section when at least one line results and reports whether the
// file could be written (true when there was nothing to write).
void ReadListSection(const std::string& iniPath, const std::string& section,
                     std::vector<std::string>& entries);
bool WriteListSection(const std::string& iniPath, const std::string& section,
                      const std::vector<std::string>& entries);

// Adds the stored state to `state`: list sections are appended to what `state`
// holds, the message text gets each stored line followed by CR LF, the keys of
// "MainForm" replace the geometry and the two box texts (defaults when missing).
// A file list of exactly one blank entry is emptied. A missing file gives the
// defaults and empty lists.
void LoadWindowState(const std::string& iniPath, RWindowState& state);

// Stores `state`, unless `AutoSend` and `ExitAfterSend` are both set (then
// nothing is written and the result is a success). The file is read afresh under
// its folder's lock and only the window's sections and keys change; it is
// replaced in one step or, on failure (a file the user may not write, say), left
// as it was. Entries that a full section could not keep are named in NotKept.
RSaveResult SaveWindowState(const std::string& iniPath, const ROptions& options, const RWindowState& state);

// Puts `text` first in `items`, removing the first entry equal to it when
// letters a-z are compared without case. An empty text leaves the list as it is.
void PushRecent(const std::string& text, std::vector<std::string>& items);

}  // namespace pw
