#include "config/Places.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/ProgramPath.h"

namespace pw {

namespace {

constexpr const char* kFolderName = "parcelwing";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool UnderSystemPrefix(const std::string& programFile) {
    // /usr/local lies under /usr.
    return StartsWith(programFile, "/usr/") || StartsWith(programFile, "/opt/");
}

// The XDG base-directory rule: a variable that is unset, empty or not an
// absolute path is ignored in favour of the default below the home folder.
std::string BaseFolder(const std::string& variable, const std::string& home, const char* fallback) {
    if (!variable.empty() && variable.front() == '/') return variable;
    return home + fallback;
}

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

RPlaces PortablePlaces(const std::string& programFile) {
    RPlaces places;
    places.IniFile = ChangeFileExt(programFile, ".ini");
    places.DefaultLogFile = ChangeFileExt(programFile, ".log");
    places.FirstRunFilesDir = FolderOf(programFile);
    places.Portable = true;
    return places;
}

RPlaces DecidePlaces(const RPlacesFacts& facts) {
    if (facts.IniBesideIsUsers || (!UnderSystemPrefix(facts.ProgramFile) && facts.ProgramFolderWritable))
        return PortablePlaces(facts.ProgramFile);
    std::string home = facts.Home;
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home.empty()) home = "/";
    const std::string root = home == "/" ? "" : home;
    RPlaces places;
    places.Portable = false;
    places.IniFile =
        WithSlash(BaseFolder(facts.XdgConfigHome, root, "/.config")) + kFolderName + "/" + kFolderName + ".ini";
    places.DefaultLogFile =
        WithSlash(BaseFolder(facts.XdgStateHome, root, "/.local/state")) + kFolderName + "/" + kFolderName + ".log";
    places.FirstRunFilesDir = WithSlash(home);
    return places;
}

RPlacesFacts GatherPlacesFacts(const std::string& programFile) {
    RPlacesFacts facts;
    facts.ProgramFile = programFile;
    struct stat st {};
    const std::string beside = ChangeFileExt(programFile, ".ini");
    facts.IniBesideIsUsers = ::stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
    const std::string folder = FolderOf(programFile);
    facts.ProgramFolderWritable = !folder.empty() && ::access(folder.c_str(), W_OK) == 0;
    facts.XdgConfigHome = Env("XDG_CONFIG_HOME");
    facts.XdgStateHome = Env("XDG_STATE_HOME");
    facts.Home = Env("HOME");
    if (facts.Home.empty()) {
        if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr)
            facts.Home = pw->pw_dir;
    }
    return facts;
}

RPlaces PlacesFor(const std::string& programFile) { return DecidePlaces(GatherPlacesFacts(programFile)); }

bool MakeFolderFor(const std::string& file, std::string* error) {
    const std::string folder = FolderOf(file);
    if (folder.empty()) return true;
    // Each level in turn; an existing one (a link to a folder included) is taken as it is.
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/') continue;
        const std::string level = folder.substr(0, at);
        if (level.empty() || level == "/") continue;
        if (::mkdir(level.c_str(), 0700) == 0 || errno == EEXIST) continue;
        if (error != nullptr) *error = level + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    if (error != nullptr) *error = folder + ": not a folder";
    return false;
}

}  // namespace pw
