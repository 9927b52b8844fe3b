#pragma once
// Where the INI file and the log live. Every reader and writer of either asks
// here, so the program never has two opinions about it.
//
// Portable (the Windows way: beside the program, named after it) when an INI
// file beside the program belongs to the user, or when the program lives
// outside the system prefixes (/usr, /usr/local, /opt) in a folder the user may
// write. Otherwise the XDG places of the user:
//   $XDG_CONFIG_HOME/parcelwing/parcelwing.ini   (default ~/.config/...)
//   $XDG_STATE_HOME/parcelwing/parcelwing.log    (default ~/.local/state/...)
// with the home folder as the first-run attached-files folder. So an installed
// program run by root never leaves an INI file in /usr/bin for others to find.

#include <string>

namespace pw {

struct RPlaces {
    std::string IniFile;           // the INI file
    std::string DefaultLogFile;    // LogFileName when the INI file names none
    std::string FirstRunFilesDir;  // AttachedFilesDir of a first run, with a trailing "/"
    bool Portable = true;          // beside the program
};

// What the decision looks at; GatherPlacesFacts reads it from the system.
struct RPlacesFacts {
    std::string ProgramFile;         // full path of the program
    bool IniBesideIsUsers = false;   // an INI file beside the program belongs to the user
    bool ProgramFolderWritable = false;
    std::string XdgConfigHome;       // as set in the environment (may be empty or relative)
    std::string XdgStateHome;
    std::string Home;                // $HOME, else the password database's home folder
};

// The places beside the program: INI and log named after it, its folder as the
// first-run attached-files folder.
RPlaces PortablePlaces(const std::string& programFile);

// The decision itself; no system calls.
RPlaces DecidePlaces(const RPlacesFacts& facts);

RPlacesFacts GatherPlacesFacts(const std::string& programFile);

// GatherPlacesFacts then DecidePlaces.
RPlaces PlacesFor(const std::string& programFile);

// Creates the missing folders of `file`'s path with mode 0700 (what XDG asks
// for its folders). True when the folder exists afterwards; else false with
// the reason in `error` (when given).
bool MakeFolderFor(const std::string& file, std::string* error = nullptr);

}  // namespace pw
