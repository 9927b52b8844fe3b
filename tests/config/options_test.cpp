#include "config/Options.h"


#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "config/Secret.h"
#include "platform/PrivateProfile.h"

namespace fs = std::filesystem;
using pw::ROptions;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Put(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Every field away from its defaults.
ROptions Custom() {
    ROptions o;
    o.From = "sender@example.org";
    o.SignOn = "relay";
    o.Host = "127.0.0.1";
    o.Port = 2525;
    o.CharSet = 28;
    o.TimeOut = -1;
    o.NumOfAttempts = 0;
    o.LogDetail = 2;
    o.SaveLog = false;
    o.LogFileName = "/var/log/pw log.txt";
    o.ExitAfterSend = o.AutoSend = o.RecSubDir = true;
    o.FilPerMes = 7;
    o.WABEnabled = o.DefWABFile = false;
    o.WabFName = "book.wab";
    o.Language = "Deutsch";
    o.LangFile = "deutsch.lng";
    o.Organization = "Tamberly = Group; [Ltd]";
    o.ShowMessagesOnError = false;
    o.SendMessagesOnError = true;
    o.SendMessagesTo = "DESK7";
    o.IsChanged = o.ClearFList = o.TextFromFirstFile = o.SMTP_Auth_Enabled = true;
    o.SMTP_Auth_Name = "user";
    o.SMTP_Auth_Pass = "p\xE4ss=; [x]";
    o.Return_Receipt_Enabled = true;
    o.AttachedFilesDir = "/srv/out/";
    o.Security = 2;
    o.TlsVerify = false;
    o.TlsCaFile = "/etc/pw/ca.pem";
    o.SMTP_Auth_Type = 4;
    o.SMTP_Auth_PassCommand = "pass show mail";
    o.SMTP_Auth_TokenCommand = "oauth2-token --user a@b.c";
    return o;
}

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "pw_options_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl + "/";
        prog_ = dir_ + "parcelwing.bin";
        ini_ = dir_ + "parcelwing.ini";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // What a file without any of the keys gives.
    ROptions FileDefaults() const {
        ROptions o;
        o.TimeOut = 5000;
        o.LogFileName = dir_ + "parcelwing.log";
        o.AttachedFilesDir = dir_;
        return o;
    }
    ROptions Load() const {
        ROptions o = Custom();   // everything must be overwritten
        pw::LoadOptions(o, ini_, prog_);
        return o;
    }
    std::string dir_, prog_, ini_;
};

}  // namespace

TEST_F(OptionsTest, FirstStartReadsNothing) {
    ROptions expected;
    expected.AttachedFilesDir = dir_;
    EXPECT_EQ(Load(), expected);   // TimeOut 15, no LogFileName
    EXPECT_FALSE(fs::exists(ini_));

    fs::create_directory(ini_);   // a folder is no INI file
    EXPECT_EQ(Load(), expected);
    const pw::RSaveResult r = pw::SaveOptions(Custom(), ini_);
    EXPECT_FALSE(r);
    EXPECT_EQ(r.FileName, ini_);
    EXPECT_EQ(r.Error, "Is a directory");
}

TEST_F(OptionsTest, FileWithoutKeysGivesFileDefaults) {
    for (const char* text : {"[ROptions]\r\n", "[ROptions]", "", "[MainForm]\nTop=1\n"}) {
        Put(ini_, text);
        EXPECT_EQ(Load(), FileDefaults()) << text;
    }
}

TEST_F(OptionsTest, NamesFollowTheProgramFile) {
    struct Row { std::string program, ini, log, dirA, dirB; } rows[] = {
        {dir_ + "parcelwing", dir_ + "parcelwing.ini", dir_ + "parcelwing.log", dir_, dir_},
        {dir_ + "v2.0/pw.bin", dir_ + "v2.0/pw.ini", dir_ + "v2.0/pw.log", dir_ + "v2.0/", dir_ + "v2.0/"},
        {dir_ + "v2.0/pw", dir_ + "v2.0/pw.ini", dir_ + "v2.0/pw.log", dir_ + "v2.0/", dir_ + "v2.0/"},
        {" \tbin/pw", " \tbin/pw.ini", " \tbin/pw.log", " \tbin/", "bin/"},   // only the file default is trimmed
    };
    for (const Row& r : rows) {
        EXPECT_EQ(pw::IniFileName(r.program), r.ini);
        ROptions o;
        pw::LoadOptions(o, dir_ + "absent.ini", r.program);
        EXPECT_EQ(o.AttachedFilesDir, r.dirA) << r.program;
        Put(dir_ + "empty.ini", "[ROptions]\r\n");
        pw::LoadOptions(o, dir_ + "empty.ini", r.program);
        EXPECT_EQ(o.LogFileName, r.log);
        EXPECT_EQ(o.AttachedFilesDir, r.dirB) << r.program;
    }
}

TEST_F(OptionsTest, SaveWritesAllKeysInOrder) {
    const ROptions o = Custom();
    ASSERT_TRUE(pw::SaveOptions(o, ini_));
    const std::string name = pw::EncodeSecret("user");
    EXPECT_EQ(name.size(), 8u);
    EXPECT_EQ(Slurp(ini_),
              "[ROptions]\r\nFrom=sender@example.org\r\nSignOn=relay\r\nHost=127.0.0.1\r\nPort=2525\r\n"
              "CharSet=28\r\nTimeOut=-1\r\nNumOfAttempts=0\r\nLogDetail=2\r\nSaveLog=0\r\n"
              "LogFileName=/var/log/pw log.txt\r\nExitAfterSend=1\r\nAutoSend=1\r\nRecSubDir=1\r\n"
              "FilPerMes=7\r\nWABEnabled=0\r\nDefWABFile=0\r\nWabFName=book.wab\r\nLanguage=Deutsch\r\n"
              "LangFile=deutsch.lng\r\nOrganization=Tamberly = Group; [Ltd]\r\nShowMessagesOnError=0\r\n"
              "SendMessagesOnError=1\r\nSendMessagesTo=DESK7\r\nIsChanged=1\r\nClearFList=1\r\n"
              "TextFromFirstFile=1\r\nSMTP_Auth_Enabled=1\r\nSMTP_Auth_Name=" + name +
                  "\r\nSMTP_Auth_Pass=" + pw::EncodeSecret(o.SMTP_Auth_Pass) +
                  "\r\nReturn_Receipt_Enabled=1\r\nAttachedFilesDir=/srv/out/\r\nSecurity=2\r\n"
                  "TlsVerify=0\r\nTlsCaFile=/etc/pw/ca.pem\r\nSMTP_Auth_Type=4\r\n"
                  "SMTP_Auth_PassCommand=pass show mail\r\nSMTP_Auth_TokenCommand=oauth2-token --user a@b.c\r\n");
    EXPECT_EQ(o.SMTP_Auth_Name, "user");   // the caller's record stays clear text
    EXPECT_EQ(Load(), o);

    ROptions blank = FileDefaults();   // empty secrets stay empty
    ASSERT_TRUE(pw::SaveOptions(blank, ini_));
    EXPECT_NE(Slurp(ini_).find("\r\nSMTP_Auth_Name=\r\nSMTP_Auth_Pass=\r\n"), std::string::npos);
    EXPECT_EQ(Load(), blank);
}

TEST_F(OptionsTest, SaveKeepsTheRestOfTheFile) {
    Put(ini_, "[MainForm]\nTop=3\n[ROptions]\nhost = old\n; comment\nIsChanged=1\n\n[MText]\nline\n");
    ROptions o = Load();
    EXPECT_TRUE(o.IsChanged);
    EXPECT_EQ(o.Host, "old");
    ASSERT_TRUE(pw::SaveOptions(o, ini_));
    EXPECT_TRUE(Load().IsChanged);   // survives the cycle
    const std::string text = Slurp(ini_);
    EXPECT_EQ(text.rfind("[MainForm]\r\nTop=3\r\n[ROptions]\r\nhost=old\r\n; comment\r\nIsChanged=1\r\n", 0), 0u);
    EXPECT_NE(text.find("AttachedFilesDir=" + dir_ + "\r\nSecurity=0\r\n"), std::string::npos);
    EXPECT_NE(text.find("SMTP_Auth_TokenCommand=\r\n\r\n[MText]\r\nline\r\n"), std::string::npos);

    o.Host = "h";
    o.From = "a\r\n[MainForm]\r\nTop=1";   // a line break cannot add lines to the file
    ASSERT_TRUE(pw::SaveOptions(o, ini_));
    EXPECT_EQ(Load().From, "a  [MainForm]  Top=1");
    EXPECT_EQ(pw::GetPrivateProfileSection("MainForm", ini_), std::vector<std::string>{"Top=3"});
    EXPECT_EQ(pw::GetPrivateProfileSection("MText", ini_), std::vector<std::string>{"line"});
}

class OptionsBadInputTest : public OptionsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OptionsBadInputTest, ReadsWhatWindowsWould) {
    const std::string eol = GetParam();
    const std::string lines[] = {
        "; hand edited", "  [ roptions ]  ", "from =  a@b.c  ", "HOST=mail", "Port=abc", "TimeOut=12s",
        "SaveLog=2 ", "AutoSend=abc", "WABEnabled=0", "CharSet=99", "LogFileName=" + std::string(5000, 'x'),
        "SMTP_Auth_Pass= !!!not base64 = ", "FilPerMes=3", "FILPERMES=9", "no equals sign here",
        "NumOfAttempts=-2", "[MainForm]", "Port=1"};
    std::string text;
    for (const std::string& l : lines) text += l + eol;
    Put(ini_, text);
    ROptions expected = FileDefaults();
    expected.From = "a@b.c";
    expected.Host = "mail";
    expected.Port = 0;
    expected.TimeOut = 12;
    expected.SaveLog = true;
    expected.AutoSend = false;
    expected.WABEnabled = false;
    expected.CharSet = 99;
    expected.LogFileName = std::string(4095, 'x');
    expected.SMTP_Auth_Pass = pw::DecodeSecret("!!!not base64 =");
    expected.FilPerMes = 3;
    expected.NumOfAttempts = -2;
    EXPECT_EQ(Load(), expected);
    EXPECT_EQ(pw::CharSetName(Load().CharSet), "US-ASCII");
}

INSTANTIATE_TEST_SUITE_P(LineEnds, OptionsBadInputTest, ::testing::Values("\r\n", "\n"));

TEST(OptionsTables, CharSetNames) {
    const char* const names[] = {
        "US-ASCII", "ISO-8859-1", "ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5", "ISO-8859-6",
        "ISO-8859-7", "ISO-8859-8", "ISO-8859-9", "ISO-8859-10", "ISO-8859-13", "ISO-8859-14",
        "ISO-8859-15", "Windows-1250", "Windows-1251", "Windows-1252", "Windows-1253", "Windows-1254",
        "Windows-1255", "Windows-1256", "Windows-1257", "Windows-1258", "KOI8-R", "CP-895", "CP-852",
        "Unicode-1-1-UCS-2", "Unicode-1-1-UCS-4", "UTF-8", "UTF-7"};
    ASSERT_EQ(pw::kCharSetNames.size(), std::size(names));
    for (int i = 0; i < 30; ++i) EXPECT_EQ(pw::CharSetName(i), names[i]) << i;
    for (std::int32_t bad : {-1, 30, INT32_MIN, INT32_MAX}) EXPECT_EQ(pw::CharSetName(bad), "US-ASCII") << bad;
}

TEST(OptionsTables, ValidationMessages) {
    EXPECT_EQ(pw::ValidationMessage(pw::vmFromEmpty), "The \"From address:\" field is empty!");
    EXPECT_EQ(pw::ValidationMessage(pw::vmToEmpty), "The \"To:\" field is empty!");
    EXPECT_EQ(pw::ValidationMessage(pw::vmHostEmpty), "Set current SMTP host, please!");
    EXPECT_EQ(pw::ValidationMessage(pw::vmPortEmpty), "Set current SMTP port, please!");
    for (int bad : {0, 5, -1, INT_MAX}) EXPECT_TRUE(pw::ValidationMessage(bad).empty()) << bad;
}
