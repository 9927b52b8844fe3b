// Saves of the INI file from several writers: the options dialog's save writes
// only what it changed, a stored password survives a window that still holds
// the old one, a new file gets the first-run values, secrets make the file
// private, a read-only file is refused, and two processes saving at once lose
// no setting.

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/IniUpdate.h"
#include "config/Options.h"
#include "config/Places.h"
#include "config/Secret.h"
#include "platform/PrivateProfile.h"
#include "support/RunInChild.h"
#include "support/TempDir.h"
#include "support/WholeFile.h"

namespace pw {
namespace {

namespace fs = std::filesystem;

using test::RunInChild;
constexpr auto ReadFile = test::ReadWholeFile;
constexpr auto WriteFile = test::WriteWholeFile;

std::string Key(const std::string& ini, const char* key) { return GetPrivateProfileString("ROptions", key, "<none>", ini); }

fs::perms Mode(const std::string& path) { return fs::status(path).permissions(); }

class IniUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::permissions(dir_.Path(), fs::perms(0755));  // reachable by a child that is not root
        ini_ = dir_ / "parcelwing.ini";
        places_.IniFile = ini_;
        places_.DefaultLogFile = dir_ / "parcelwing.log";
        places_.FirstRunFilesDir = dir_.Path() + "/";
    }
    // An INI file as a user keeps it: some options, some window state.
    void Put() const {
        WriteFile(ini_, "[ROptions]\r\nFrom=a@example.org\r\nHost=mail.example.org\r\nPort=25\r\n"
                        "\r\n[MainForm]\r\nTop=5\r\n");
    }
    test::TempDir dir_{"pw-iniupdate"};
    std::string ini_;
    RPlaces places_;
};

TEST_F(IniUpdateTest, TheDialogsSaveWritesOnlyWhatItChanged) {
    Put();
    ROptions loaded;
    LoadOptions(loaded, places_);
    // Another instance stores a password and a host meanwhile.
    ASSERT_TRUE(WritePrivateProfileString("ROptions", "SMTP_Auth_Pass", EncodeSecret("new secret"), ini_));
    ASSERT_TRUE(WritePrivateProfileString("ROptions", "Host", "other.example.org", ini_));

    ROptions edited = loaded;
    edited.From = "changed@example.org";
    edited.FilPerMes = 9;
    ASSERT_TRUE(SaveOptionsChanges(loaded, edited, ini_));
    EXPECT_EQ(Key(ini_, "From"), "changed@example.org");
    EXPECT_EQ(Key(ini_, "FilPerMes"), "9");
    // What this save did not change stays as the other writer left it.
    EXPECT_EQ(DecodeSecret(Key(ini_, "SMTP_Auth_Pass")), "new secret");
    EXPECT_EQ(Key(ini_, "Host"), "other.example.org");
    // Missing keys the user did not touch stay missing (they read as before).
    EXPECT_EQ(Key(ini_, "TimeOut"), "<none>");

    // A change the user did make wins, also over the other writer's value.
    ROptions again = edited;
    again.SMTP_Auth_Pass = "typed in the dialog";
    ASSERT_TRUE(SaveOptionsChanges(edited, again, ini_));
    EXPECT_EQ(DecodeSecret(Key(ini_, "SMTP_Auth_Pass")), "typed in the dialog");
}

TEST_F(IniUpdateTest, AFileWithoutOptionsGetsEveryKeySoItNeverFallsToTheMissingKeyDefaults) {
    const std::string cases[] = {"", "[MainForm]\r\nTop=5\r\n"};  // no file; a file of window state only
    for (const std::string& before : cases) {
        SCOPED_TRACE(before);
        fs::remove(ini_);
        if (!before.empty()) WriteFile(ini_, before);
        ROptions firstRun;  // what a first start without the file works with
        LoadOptions(firstRun, places_);
        ROptions edited = firstRun;
        edited.From = "me@example.org";
        ASSERT_TRUE(SaveOptionsChanges(firstRun, edited, ini_));
        ROptions read;
        LoadOptions(read, places_);
        EXPECT_EQ(read, edited);
        // 15 for a first start without the file; what the file gave otherwise.
        EXPECT_EQ(Key(ini_, "TimeOut"), before.empty() ? "15" : "5000");
        if (!before.empty()) {
            EXPECT_EQ(GetPrivateProfileString("MainForm", "Top", "", ini_), "5");
        }
    }
}

// What --set-password and --set-user store: a new file gets the first-run
// values, an existing one changes in the one key only.
TEST_F(IniUpdateTest, AStoredCredentialKeepsEverythingElseAndANewFileGetsTheFirstRunValues) {
    struct Row {
        const char* key;
        RSaveResult (*store)(const std::string&, const RPlaces&);
        std::string ROptions::*field;
        fs::perms newFileMode;  // a password makes the file private; a name is no secret
    };
    const Row rows[] = {
        {"SMTP_Auth_Pass", StorePassword, &ROptions::SMTP_Auth_Pass, fs::perms(0600)},
        {"SMTP_Auth_Name", StoreUserName, &ROptions::SMTP_Auth_Name, fs::perms(0644)},
    };
    const auto savedMask = ::umask(022);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.key);
        // A new file, in a folder that does not exist yet.
        const std::string folder = dir_ / (std::string("new-") + r.key);
        places_.IniFile = folder + "/parcelwing/parcelwing.ini";
        ASSERT_TRUE(r.store("s3cret", places_));
        ROptions read;
        LoadOptions(read, places_);
        ROptions expected = FirstRunOptions(places_);
        expected.*r.field = "s3cret";
        EXPECT_EQ(read, expected);
        EXPECT_EQ(read.TimeOut, 15);
        EXPECT_EQ(Mode(places_.IniFile), r.newFileMode);
        EXPECT_EQ(Mode(folder + "/parcelwing"), fs::perms(0700));

        // An existing file: only that key changes.
        Put();
        places_.IniFile = ini_;
        std::string expectedText = ReadFile(ini_);
        expectedText.insert(expectedText.find("\r\n\r\n[MainForm]") + 2,
                            std::string(r.key) + "=" + EncodeSecret("second") + "\r\n");
        ASSERT_TRUE(r.store("second", places_));
        EXPECT_EQ(ReadFile(ini_), expectedText);
    }
    ::umask(savedMask);
}

TEST_F(IniUpdateTest, AFileHoldingASecretIsWrittenForItsOwnerOnly) {
    struct Row {
        const char* key;
        const char* value;
        fs::perms mode;
    };
    const Row rows[] = {
        {"SMTP_Auth_Pass", "c2VjcmV0", fs::perms(0600)},
        {"SMTP_Auth_PassCommand", "pass show mail", fs::perms(0600)},
        {"SMTP_Auth_TokenCommand", "oauth2 token", fs::perms(0600)},
        {"SMTP_Auth_Name", "dXNlcg==", fs::perms(0644)},  // a name is no secret
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.key);
        Put();
        fs::permissions(ini_, fs::perms(0644));
        const RSaveResult saved = UpdateIniFile(ini_, [&r](TIniFile& ini, std::string&) {
            return ini.WriteString("ROptions", r.key, r.value);
        });
        ASSERT_TRUE(saved);
        EXPECT_EQ(Mode(ini_), r.mode);
    }
}

TEST_F(IniUpdateTest, AReadOnlyFileIsNeverReplaced) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    Put();
    const std::string before = ReadFile(ini_);
    ASSERT_EQ(::chown(ini_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(dir_.Path().c_str(), 65534, 65534), 0);  // the folder would let a rename through
    fs::permissions(ini_, fs::perms(0444));
    // The user made it read-only on purpose: every save is refused, with the reason.
    EXPECT_EQ(RunInChild(
                  [this] {
                      ROptions o;
                      const RSaveResult r = SaveOptions(o, ini_);
                      return !r && r.Error == "Permission denied" && r.FileName == ini_ ? 0 : 1;
                  },
                  true),
              0);
    EXPECT_EQ(RunInChild([this] { return StorePassword("x", places_) ? 1 : 0; }, true), 0);
    // Root respects it too: no write permission bit at all.
    EXPECT_FALSE(SaveOptions(ROptions{}, ini_));
    EXPECT_EQ(ReadFile(ini_), before);
    EXPECT_EQ(Mode(ini_), fs::perms(0444));
}

TEST_F(IniUpdateTest, RootReplacingAnotherUsersFileKeepsItsOwnerAndMode) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root writes another user's file";
    Put();
    ASSERT_EQ(::chown(ini_.c_str(), 65534, 65534), 0);
    fs::permissions(ini_, fs::perms(0640));
    ROptions o;
    o.Host = "root.example.org";
    ASSERT_TRUE(SaveOptions(o, ini_));
    struct stat st {};
    ASSERT_EQ(::stat(ini_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Key(ini_, "Host"), "root.example.org");
}

// Two processes each change their own key 200 times, both through the
// dialog's save: every save reads the file afresh under the lock, so at the
// end each key holds its writer's last value.
TEST_F(IniUpdateTest, TwoProcessesSavingAtOnceLoseNoSetting) {
    Put();
    const auto writer = [this](bool host) {
        return [this, host] {
            ROptions before;
            LoadOptions(before, places_);
            for (int i = 1; i <= 200; ++i) {
                ROptions after = before;
                (host ? after.Host : after.From) = (host ? "host-" : "from-") + std::to_string(i);
                if (!SaveOptionsChanges(before, after, ini_)) return 1;
                before = after;
            }
            return 0;
        };
    };
    int codes[2] = {-3, -3};
    std::thread a([&] { codes[0] = RunInChild(writer(true)); });
    std::thread b([&] { codes[1] = RunInChild(writer(false)); });
    a.join();
    b.join();
    EXPECT_EQ(codes[0], 0);
    EXPECT_EQ(codes[1], 0);
    EXPECT_EQ(Key(ini_, "Host"), "host-200");
    EXPECT_EQ(Key(ini_, "From"), "from-200");
}

}  // namespace
}  // namespace pw
