#pragma once
// The running program's file name and the file-name rules built on it (the INI
// file, the log file and the help file are all named after the program).
// Every rule takes the path as an argument, so it works on any name; only
// ProgramFileName() looks at the running process.

#include <string>
#include <string_view>

namespace pw {

// The running program's full file name, from /proc/self/exe. When the program
// file was replaced or removed while running, the " (deleted)" mark the kernel
// adds is dropped. Empty when the link cannot be read.
std::string ProgramFileName();

// The folder part of `path`, up to and including its last "/"; empty when it has
// none. ProgramFolder() is the running program's folder with its trailing "/".
std::string FolderOf(std::string_view path);
std::string ProgramFolder();

// `path` with its extension replaced by `ext` (which brings its own ".", e.g.
// ".ini"). The extension is the text from the last "." that follows the last "/";
// a name without one gets `ext` appended. "/opt/pw/parcelwing.bin" -> ".../parcelwing.ini",
// "/opt/pw.d/parcelwing" -> "/opt/pw.d/parcelwing.ini". An empty `ext` removes the
// extension.
std::string ChangeFileExt(std::string_view path, std::string_view ext);

// `path` with everything from its last "." replaced by `ext`, wherever that "."
// is; without any "." `ext` is appended. Unlike ChangeFileExt a "." in a folder
// name counts: "/var/my.logs/send" -> "/var/my.bak", a file in another folder.
// Use ChangeFileExt unless that older rule is really wanted.
std::string ChangeAfterLastDot(std::string_view path, std::string_view ext);

}  // namespace pw
