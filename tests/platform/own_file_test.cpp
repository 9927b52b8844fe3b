// IsUsersOwnFile: the check that decides whether commands named in the
// settings file may run, for every way a file or its folder can be open to
// others.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/OwnFile.h"
#include "support/TempDir.h"

namespace pw {
namespace {

using ::testing::HasSubstr;

void Touch(const std::string& path, mode_t mode)
{
    std::ofstream(path) << "[ROptions]\n";
    ::chmod(path.c_str(), mode);
}

TEST(OwnFile, ModesOfTheFileAndItsFolder)
{
    struct Row {
        mode_t folderMode;
        mode_t fileMode;
        bool own;
        const char* why;
    };
    const Row rows[] = {
        {0700, 0600, true, ""},
        {0755, 0644, true, ""},
        {0700, 0400, true, ""},
        {0700, 0620, false, "may be written by others (mode 0620)"},
        {0700, 0602, false, "may be written by others (mode 0602)"},
        {0777, 0600, false, "may be written by others (mode 0777)"},
        {0770, 0600, false, "its folder"},
        // With the sticky bit others cannot replace the user's file.
        {01777, 0600, true, ""},
    };
    for (const auto& r : rows) {
        test::TempDir dir;
        const std::string folder = dir / "prog";
        ::mkdir(folder.c_str(), 0700);
        const std::string ini = folder + "/parcelwing.ini";
        Touch(ini, r.fileMode);
        ::chmod(folder.c_str(), r.folderMode);
        std::string why;
        EXPECT_EQ(IsUsersOwnFile(ini, why), r.own) << std::oct << r.folderMode << " " << r.fileMode;
        if (r.own)
            EXPECT_EQ(why, "");
        else
            EXPECT_THAT(why, HasSubstr(r.why));
        ::chmod(folder.c_str(), 0700);
    }
}

TEST(OwnFile, MissingLinkedAndOtherKinds)
{
    test::TempDir dir;
    std::string why;
    EXPECT_FALSE(IsUsersOwnFile(dir / "missing.ini", why));
    EXPECT_THAT(why, HasSubstr("cannot be checked"));

    EXPECT_FALSE(IsUsersOwnFile(dir.Path(), why));
    EXPECT_THAT(why, HasSubstr("is not a regular file"));

    // A link is judged by the file it leads to.
    Touch(dir / "real.ini", 0600);
    ASSERT_EQ(::symlink((dir / "real.ini").c_str(), (dir / "link.ini").c_str()), 0);
    EXPECT_TRUE(IsUsersOwnFile(dir / "link.ini", why)) << why;
    ::chmod((dir / "real.ini").c_str(), 0666);
    EXPECT_FALSE(IsUsersOwnFile(dir / "link.ini", why));
    EXPECT_THAT(why, HasSubstr("real.ini may be written by others"));
}

TEST(OwnFile, AnotherUsersFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file away needs root";
    test::TempDir dir;
    Touch(dir / "theirs.ini", 0600);
    ASSERT_EQ(::chown((dir / "theirs.ini").c_str(), 54321, 54321), 0);
    std::string why;
    EXPECT_FALSE(IsUsersOwnFile(dir / "theirs.ini", why));
    EXPECT_THAT(why, HasSubstr("belongs to user 54321, not to user 0"));

    Touch(dir / "mine.ini", 0600);
    ASSERT_EQ(::chown(dir.Path().c_str(), 54321, 54321), 0);
    EXPECT_FALSE(IsUsersOwnFile(dir / "mine.ini", why));
    EXPECT_THAT(why, HasSubstr("its folder"));
    EXPECT_THAT(why, HasSubstr("belongs to user 54321"));
}

}  // namespace
}  // namespace pw
