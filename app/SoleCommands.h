#pragma once
// The commands a start may give as its sole argument, which are handled before
// anything looks for a running instance and start nothing: "--help" (usage,
// keys, exit codes and the files in use), "--version", "--set-password" and
// "--set-user" (read the login's password or user name from standard input and
// store it in the INI file).

#include <cstdio>
#include <string>
#include <vector>

#include "config/Options.h"
#include "config/Places.h"

namespace pw {

enum class TSoleCommand { None, Help, Version, SetPassword, SetUser };

// The command when `args` (the process's arguments 1..n) is exactly one of
// "--help", "--version", "--set-password", "--set-user"; None otherwise (among
// other arguments they are names like any other).
TSoleCommand SoleCommandOf(const std::vector<std::string>& args);

// "Parcelwing " + the version, e.g. "Parcelwing 2.1".
std::string VersionText();

// The usage: the command line, the keys, what a send-and-exit run is, the exit
// codes, and the INI file and log this user's start would use (`options` as
// read from `places.IniFile`, which exists or not as `iniExists` says).
std::string UsageText(const RPlaces& places, const ROptions& options, bool iniExists);

// Runs the command for the program `programFile`: text to `out`, failures to
// `err`, the password or user name read from `in`. Returns the exit code: 0, or
// 2 when it could not be read or stored (the reason on `err`).
int RunSoleCommand(TSoleCommand command, const std::string& programFile, int in, std::FILE* out, std::FILE* err);

}  // namespace pw
