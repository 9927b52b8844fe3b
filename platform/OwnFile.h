#pragma once
// Whether a file is the user's own: the test that decides whether commands
// named in it may be run.

#include <string>

namespace pw {

// True when `path` names a regular file (symbolic links followed) that
// belongs to the effective user and that neither its group nor others may
// write, in a folder that no one else may write either (the sticky bit
// counts as safe: there others cannot replace the user's file). Otherwise
// false, with the reason in plain words in `why`, naming the file or folder.
bool IsUsersOwnFile(const std::string& path, std::string& why);

}  // namespace pw
