#include "config/Places.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

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

}  // namespace
