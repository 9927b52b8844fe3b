#pragma once
// The window lives in a module of its own (parcelwing-window.so), loaded only
// when there is a display. A console run (a script, a cron job, every later
// start that only hands its argument over) then never loads Qt and the
// libraries under it, which would take most of its start-up time.

#include <string>
#include <vector>

namespace pw {

inline constexpr const char* WindowModuleFileName = "parcelwing-window.so";
// The module's entry point: the whole program with its window, as main.
inline constexpr const char* WindowModuleEntry = "ParcelwingWindowMain";
using TWindowMain = int (*)(int argc, char** argv);

// Where the module is looked for, in order: beside the program (the build
// folder, a copied program folder), then lib/parcelwing/ beside the program's
// bin/ folder (an installed program). `programFolder` ends in "/".
std::vector<std::string> WindowModulePaths(const std::string& programFolder);

// Loads the module from the first of those paths that exists and returns its
// entry point; nullptr, with `error` saying why, when it cannot. The module is
// never unloaded.
TWindowMain LoadWindowModule(const std::string& programFolder, std::string* error);

}  // namespace pw
