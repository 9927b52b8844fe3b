#include "config/Places.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/TempDir.h"

namespace {

using pw::DecidePlaces;
using pw::RPlacesFacts;

struct Row {
    const char* what;
    const char* program;
    bool iniIsUsers;
    bool folderWritable;
    const char* xdgConfig;
    const char* xdgState;
    const char* home;
    // Expected; empty ini means "beside the program".
    const char* ini;
    const char* log;
    const char* filesDir;
};

TEST(PlacesTest, DecidesBesideTheProgramOrInTheXdgPlaces) {
    const Row rows[] = {
        {"own INI beside a system program", "/usr/bin/parcelwing", true, false, "", "", "/home/al", "", "", ""},
        {"own INI beside, folder writable", "/usr/local/bin/parcelwing", true, true, "", "", "/home/al", "", "",
         ""},
        {"writable folder outside the prefixes", "/home/al/pw/parcelwing", false, true, "", "", "/home/al", "", "",
         ""},
        {"unwritable folder outside the prefixes", "/srv/tools/parcelwing", false, false, "", "", "/home/al",
         "/home/al/.config/parcelwing/parcelwing.ini", "/home/al/.local/state/parcelwing/parcelwing.log",
         "/home/al/"},
        // Root may write /usr/bin: still no INI file there for others to find.
        {"root and an installed program", "/usr/bin/parcelwing", false, true, "", "", "/root",
         "/root/.config/parcelwing/parcelwing.ini", "/root/.local/state/parcelwing/parcelwing.log", "/root/"},
        {"/opt counts as a system prefix", "/opt/pw/parcelwing", false, true, "", "", "/home/al",
         "/home/al/.config/parcelwing/parcelwing.ini", "/home/al/.local/state/parcelwing/parcelwing.log",
         "/home/al/"},
        {"XDG variables set", "/usr/bin/parcelwing", false, false, "/x/conf", "/x/state/", "/home/al",
         "/x/conf/parcelwing/parcelwing.ini", "/x/state/parcelwing/parcelwing.log", "/home/al/"},
        {"relative XDG variables are ignored", "/usr/bin/parcelwing", false, false, "conf", "state",
         "/home/al/", "/home/al/.config/parcelwing/parcelwing.ini",
         "/home/al/.local/state/parcelwing/parcelwing.log", "/home/al/"},
        {"a name that only starts like a prefix", "/usrx/parcelwing", false, true, "", "", "/home/al", "", "",
         ""},
        {"XDG variables do not move a portable program", "/home/al/pw/parcelwing", false, true, "/x/conf",
         "/x/state", "/home/al", "", "", ""},
        {"only XDG_STATE_HOME set", "/usr/local/bin/parcelwing", false, false, "", "/x/state", "/home/al",
         "/home/al/.config/parcelwing/parcelwing.ini", "/x/state/parcelwing/parcelwing.log", "/home/al/"},
        {"only XDG_CONFIG_HOME set", "/usr/bin/parcelwing", false, false, "/x/conf", "", "/home/al",
         "/x/conf/parcelwing/parcelwing.ini", "/home/al/.local/state/parcelwing/parcelwing.log", "/home/al/"},
        {"a program directly in /usr", "/usr/parcelwing", false, true, "", "", "/home/al",
         "/home/al/.config/parcelwing/parcelwing.ini", "/home/al/.local/state/parcelwing/parcelwing.log",
         "/home/al/"},
        {"own INI beside, folder unwritable, outside the prefixes", "/srv/tools/parcelwing", true, false, "",
         "", "/home/al", "", "", ""},
        {"home is the root folder", "/usr/bin/parcelwing", false, false, "", "", "/", "/.config/parcelwing/parcelwing.ini",
         "/.local/state/parcelwing/parcelwing.log", "/"},
    };
    for (const Row& r : rows) {
        RPlacesFacts facts;
        facts.ProgramFile = r.program;
        facts.IniBesideIsUsers = r.iniIsUsers;
        facts.ProgramFolderWritable = r.folderWritable;
        facts.XdgConfigHome = r.xdgConfig;
        facts.XdgStateHome = r.xdgState;
        facts.Home = r.home;
        const pw::RPlaces p = DecidePlaces(facts);
        if (std::string(r.ini).empty()) {
            const pw::RPlaces beside = pw::PortablePlaces(r.program);
            EXPECT_TRUE(p.Portable) << r.what;
            EXPECT_EQ(p.IniFile, beside.IniFile) << r.what;
            EXPECT_EQ(p.DefaultLogFile, beside.DefaultLogFile) << r.what;
            EXPECT_EQ(p.FirstRunFilesDir, beside.FirstRunFilesDir) << r.what;
        } else {
            EXPECT_FALSE(p.Portable) << r.what;
            EXPECT_EQ(p.IniFile, r.ini) << r.what;
            EXPECT_EQ(p.DefaultLogFile, r.log) << r.what;
            EXPECT_EQ(p.FirstRunFilesDir, r.filesDir) << r.what;
        }
    }
    const pw::RPlaces beside = pw::PortablePlaces("/home/al/pw/parcelwing");
    EXPECT_EQ(beside.IniFile, "/home/al/pw/parcelwing.ini");
    EXPECT_EQ(beside.DefaultLogFile, "/home/al/pw/parcelwing.log");
    EXPECT_EQ(beside.FirstRunFilesDir, "/home/al/pw/");
}

TEST(PlacesTest, GathersFactsFromTheSystemAndMakesPrivateFolders) {
    pw::test::TempDir dir("pw-places");
    const std::string program = dir / "parcelwing";
    RPlacesFacts facts = pw::GatherPlacesFacts(program);
    EXPECT_EQ(facts.ProgramFile, program);
    EXPECT_FALSE(facts.IniBesideIsUsers);
    EXPECT_TRUE(facts.ProgramFolderWritable);
    std::ofstream(dir / "parcelwing.ini") << "[ROptions]\n";
    EXPECT_TRUE(pw::GatherPlacesFacts(program).IniBesideIsUsers);
    EXPECT_TRUE(pw::PlacesFor(program).Portable);

    const std::string file = dir / "a/b/parcelwing.ini";
    std::string error;
    ASSERT_TRUE(pw::MakeFolderFor(file, &error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(pw::MakeFolderFor(file));  // existing folders are fine
    std::ofstream(dir / "plain") << "x";
    EXPECT_FALSE(pw::MakeFolderFor(dir / "plain/x.ini", &error));
    EXPECT_NE(error.find("plain"), std::string::npos) << error;
}

// Sets an environment variable for one scope and puts the old value back.
class TScopedEnv {
public:
    TScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        had_ = std::getenv(name) != nullptr;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~TScopedEnv() {
        if (had_) {
            ::setenv(name_, old_.c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST(PlacesTest, GathersTheXdgVariablesAndTheHomeFolder) {
    {
        const TScopedEnv config("XDG_CONFIG_HOME", "/x/conf");
        const TScopedEnv state("XDG_STATE_HOME", "/x/state");
        const TScopedEnv home("HOME", "/home/someone");
        const RPlacesFacts facts = pw::GatherPlacesFacts("/usr/bin/parcelwing");
        EXPECT_EQ(facts.XdgConfigHome, "/x/conf");
        EXPECT_EQ(facts.XdgStateHome, "/x/state");
        EXPECT_EQ(facts.Home, "/home/someone");
        const pw::RPlaces places = pw::PlacesFor("/usr/bin/parcelwing");
        EXPECT_EQ(places.IniFile, "/x/conf/parcelwing/parcelwing.ini");
        EXPECT_EQ(places.DefaultLogFile, "/x/state/parcelwing/parcelwing.log");
        EXPECT_EQ(places.FirstRunFilesDir, "/home/someone/");
    }
    {
        const TScopedEnv config("XDG_CONFIG_HOME", nullptr);
        const TScopedEnv state("XDG_STATE_HOME", "");
        const TScopedEnv home("HOME", nullptr);
        const RPlacesFacts facts = pw::GatherPlacesFacts("/usr/bin/parcelwing");
        EXPECT_EQ(facts.XdgConfigHome, "");
        EXPECT_EQ(facts.XdgStateHome, "");
        // Without HOME, the home folder of the password database.
        const passwd* entry = ::getpwuid(::geteuid());
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(facts.Home, entry->pw_dir);
        EXPECT_FALSE(facts.Home.empty());
    }
}

// An INI file beside the program that is someone else's does not make the
// program portable; a folder the user may not write does not either. Owners
// and modes only bite for a user other than root, so the part that needs
// another owner runs as root (which may give files away) and the part that
// needs a closed folder runs as anyone else.
TEST(PlacesTest, AnotherUsersIniFileOrAClosedFolderIsNotTheUsersPlace) {
    pw::test::TempDir dir("pw-places-owner");
    const std::string program = dir / "parcelwing";
    std::ofstream(dir / "parcelwing.ini") << "[ROptions]\n";
    ASSERT_TRUE(pw::GatherPlacesFacts(program).IniBesideIsUsers);
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr) GTEST_SKIP() << "no user nobody to give the file to";
        ASSERT_EQ(::chown((dir / "parcelwing.ini").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        const RPlacesFacts facts = pw::GatherPlacesFacts(program);
        EXPECT_FALSE(facts.IniBesideIsUsers);
        // Root may write the folder, and it lies outside the system prefixes.
        EXPECT_TRUE(facts.ProgramFolderWritable);
        EXPECT_TRUE(pw::DecidePlaces(facts).Portable);
        RPlacesFacts installed = facts;
        installed.ProgramFile = "/usr/bin/parcelwing";
        EXPECT_FALSE(pw::DecidePlaces(installed).Portable);
    } else {
        ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
        const RPlacesFacts facts = pw::GatherPlacesFacts(program);
        EXPECT_TRUE(facts.IniBesideIsUsers);
        EXPECT_FALSE(facts.ProgramFolderWritable);
        EXPECT_TRUE(pw::DecidePlaces(facts).Portable) << "the user's own INI file keeps it portable";
        ::chmod(dir.Path().c_str(), 0755);
        ASSERT_EQ(::unlink((dir / "parcelwing.ini").c_str()), 0);
        ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
        const RPlacesFacts closed = pw::GatherPlacesFacts(program);
        EXPECT_FALSE(closed.ProgramFolderWritable);
        EXPECT_FALSE(pw::DecidePlaces(closed).Portable);
        ::chmod(dir.Path().c_str(), 0755);
    }
}

}  // namespace
