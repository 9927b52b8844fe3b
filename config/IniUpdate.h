#pragma once
// Every save of the INI file goes through UpdateIniFile: under the folder's
// lock, the file is read afresh, only the caller's keys and sections are
// changed, and the result replaces the file in one step. So two instances (a
// window and a script, or a terminal storing a password) never undo each
// other's settings, and a file the user may not write is never replaced.
//
// Once the file holds a secret (a password or a command that yields one) it is
// written with mode 0600, whoever saves it.

#include <functional>
#include <string>

#include "config/Options.h"
#include "platform/PrivateProfile.h"

namespace pw {

// Changes the freshly read file in memory; returns false (with a reason in
// `error`) when a value cannot be stored, and then nothing is written.
using TIniChange = std::function<bool(TIniFile& ini, std::string& error)>;

// Reads `iniFile` under the lock of its folder, applies `change` and writes the
// file back atomically. The result names the file and, on failure, the reason
// (the file on disk stays as it was).
[[nodiscard]] RSaveResult UpdateIniFile(const std::string& iniFile, const TIniChange& change);

// True when the section "ROptions" holds a password or a password or token
// command (any of them not empty).
bool IniHoldsSecrets(const TIniFile& ini);

}  // namespace pw
