// Language files without widgets: the two key tables, reading a section with
// the built-in texts as defaults, finding a file whatever its letter case,
// beside the program or in the shared folder of an installed one, and the
// language list of the options dialog.
#include "config/Language.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace pw {
namespace {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "pw-language-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern + "/";
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(path_ + name, std::ios::binary) << content;
    }

private:
    std::string path_;
};

class LanguageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(folder.path().empty()); }
    TempFolder folder;
};

TEST(LanguageTables, HoldEveryKeyInReadingOrder) {
    ASSERT_EQ(kMainFormTexts.size(), 20u);
    EXPECT_STREQ(kMainFormTexts[mfFileItem].Key, "FileItem");
    EXPECT_STREQ(kMainFormTexts[mfContentsItem].Key, "ContentsItem");
    EXPECT_STREQ(kMainFormTexts[mfContentsItem].BuiltIn, "&Contents") << "no F1 hint in the default";
    EXPECT_STREQ(kMainFormTexts[mfAttachFilesDialog].Key, "Attach_Files_Dialog");
    EXPECT_STREQ(kMainFormTexts[mfAttachFilesDialog].BuiltIn, "Select files");

    ASSERT_EQ(kOptionsFormTexts.size(), 45u);
    const struct {
        std::size_t index;
        const char* key;
        const char* builtIn;
    } rows[] = {{ofOk, "Ok", "Ok"},
                {ofTabControl, "Mix", "Mix"},
                {ofEMail, "EMail", "EMail"},
                {ofMix, "Mix", "Mix"},
                {ofOnError, "On_Error", "On Error"},
                {ofAuthName, "Name", "Name:"},
                {ofPersonalName, "Name", "Name:"},
                {ofConfirmationSendTo, "Confirmation_send_to", "Confirmation send to:"},
                {ofLogFileNameDialog, "Log_File_Name_Dialog", "Define Log File Name"}};
    for (const auto& row : rows) {
        EXPECT_STREQ(kOptionsFormTexts[row.index].Key, row.key) << row.index;
        EXPECT_STREQ(kOptionsFormTexts[row.index].BuiltIn, row.builtIn) << row.index;
    }
    // Keys other than the two read twice are unique.
    for (std::size_t i = 0; i < kOptionsFormTexts.size(); ++i) {
        for (std::size_t j = i + 1; j < kOptionsFormTexts.size(); ++j) {
            if (std::string(kOptionsFormTexts[i].Key) != kOptionsFormTexts[j].Key) continue;
            EXPECT_TRUE((i == ofTabControl && j == ofMix) || (i == ofAuthName && j == ofPersonalName))
                << kOptionsFormTexts[i].Key;
        }
    }
}

TEST_F(LanguageTest, MissingFileSectionOrKeyGivesTheBuiltInText) {
    const std::vector<std::string> builtIn = BuiltInTexts(kMainFormTexts);
    EXPECT_EQ(ReadLanguageSection(folder.path() + "none.lng", kMainFormSection, kMainFormTexts), builtIn);
    folder.write("empty.lng", "");
    EXPECT_EQ(ReadLanguageSection(folder.path() + "empty.lng", kMainFormSection, kMainFormTexts), builtIn);
    folder.write("other.lng", "[OptionsForm]\r\nSendItem=wrong section\r\n");
    EXPECT_EQ(ReadLanguageSection(folder.path() + "other.lng", kMainFormSection, kMainFormTexts), builtIn);
    EXPECT_EQ(ReadLanguageSection(folder.path(), kMainFormSection, kMainFormTexts), builtIn) << "a folder";
}

TEST_F(LanguageTest, ReadsKeysWithoutLetterCaseAndIgnoresUnknownOnes) {
    folder.write("x.lng",
                 "[mainform]\nsenditem = &Go  \nUnknown=whatever\nTo=\n[OptionsForm]\nMix=Misc\nName=Nom:\n");
    std::vector<std::string> expected = BuiltInTexts(kMainFormTexts);
    expected[mfSendItem] = "&Go";
    expected[mfTo] = "";
    EXPECT_EQ(ReadLanguageSection(folder.path() + "x.lng", kMainFormSection, kMainFormTexts), expected);

    const std::vector<std::string> form =
        ReadLanguageSection(folder.path() + "x.lng", kOptionsFormSection, kOptionsFormTexts);
    EXPECT_EQ(form[ofTabControl], "Misc");
    EXPECT_EQ(form[ofMix], "Misc");
    EXPECT_EQ(form[ofAuthName], "Nom:");
    EXPECT_EQ(form[ofPersonalName], "Nom:");
    EXPECT_EQ(form[ofEMail], "EMail");
}

TEST_F(LanguageTest, LongValuesAreCutTo4095Characters) {
    folder.write("long.lng", "[MainForm]\r\nSendItem=" + std::string(5000, 'x') + "\r\n");
    const std::vector<std::string> texts =
        ReadLanguageSection(folder.path() + "long.lng", kMainFormSection, kMainFormTexts);
    EXPECT_EQ(texts[mfSendItem], std::string(4095, 'x'));
}

TEST_F(LanguageTest, FindsTheFileWhateverItsLetterCase) {
    folder.write("german.lng", "[MainForm]\r\nSendItem=&Senden\r\n");
    EXPECT_EQ(LanguageFilePath(folder.path(), "German.lng"), folder.path() + "german.lng");
    EXPECT_EQ(LanguageFilePath(folder.path(), "GERMAN.LNG"), folder.path() + "german.lng");
    EXPECT_EQ(ReadLanguageSection(LanguageFilePath(folder.path(), "German.lng"), kMainFormSection,
                                  kMainFormTexts)[mfSendItem],
              "&Senden");
    // An exact match wins over another spelling.
    folder.write("German.lng", "");
    EXPECT_EQ(LanguageFilePath(folder.path(), "German.lng"), folder.path() + "German.lng");
    EXPECT_EQ(LanguageFilePath(folder.path(), "Dutch.lng"), folder.path() + "Dutch.lng");
    EXPECT_EQ(LanguageFilePath(folder.path(), ""), folder.path());

    EXPECT_TRUE(LanguageFileUsable(folder.path(), "GERMAN.lng"));
    EXPECT_FALSE(LanguageFileUsable(folder.path(), "Dutch.lng"));
    EXPECT_FALSE(LanguageFileUsable(folder.path(), ""));
    fs::create_directory(folder.path() + "Folder.lng");
    EXPECT_FALSE(LanguageFileUsable(folder.path(), "folder.lng"));
}

TEST_F(LanguageTest, ListsLanguageFilesByNameWithAnUpperCaseFirstLetter) {
    for (const char* name : {"german.lng", "English.lng", "FRENCH.LNG", "notes.txt", "old.lng.bak",
                             ".hidden.lng", "a_very_long_language_name.lng"})
        folder.write(name, "");
    fs::create_directory(folder.path() + "folder.lng");
    EXPECT_EQ(BuildLanguageList(folder.path()),
              (std::vector<std::string>{"A_very_long_language_name", "English", "FRENCH", "German"}));
    EXPECT_TRUE(BuildLanguageList(folder.path() + "missing/").empty());
}

TEST(LanguageFolders, BesideTheProgramThenTheSharedFolderOfItsPrefix) {
    EXPECT_EQ(LanguageFolders("/usr/bin/"), (std::vector<std::string>{"/usr/bin/", "/usr/share/parcelwing/"}));
    EXPECT_EQ(LanguageFolders("/opt/pw/bin/"),
              (std::vector<std::string>{"/opt/pw/bin/", "/opt/pw/share/parcelwing/"}));
    EXPECT_EQ(LanguageFolders("/home/al/pw//"),
              (std::vector<std::string>{"/home/al/pw//", "/home/al/share/parcelwing/"}));
}

// An installed layout: the program in bin/, language files in share/parcelwing/.
TEST_F(LanguageTest, InstalledFilesAreFoundBesideTheProgramFirstThenInShare) {
    fs::create_directories(folder.path() + "bin");
    fs::create_directories(folder.path() + "share/parcelwing");
    const std::string bin = folder.path() + "bin/";
    const std::string share = folder.path() + "share/parcelwing/";
    folder.write("share/parcelwing/German.lng", "[MainForm]\r\nSendItem=&Senden\r\n");
    folder.write("share/parcelwing/english.lng", "");
    folder.write("share/parcelwing/Dutch.lng", "");
    folder.write("share/parcelwing/.hidden.lng", "");

    EXPECT_EQ(LanguageFilePath(bin, "German.lng"), share + "German.lng");
    EXPECT_EQ(LanguageFilePath(bin, "GERMAN.LNG"), share + "German.lng");
    EXPECT_EQ(LanguageFilePath(bin, "English.lng"), share + "english.lng");
    EXPECT_EQ(ReadLanguageSection(LanguageFilePath(bin, "german.lng"), kMainFormSection,
                                  kMainFormTexts)[mfSendItem],
              "&Senden");
    EXPECT_TRUE(LanguageFileUsable(bin, "german.lng"));
    EXPECT_FALSE(LanguageFileUsable(bin, "French.lng"));
    EXPECT_EQ(LanguageFilePath(bin, "French.lng"), bin + "French.lng");
    EXPECT_EQ(BuildLanguageList(bin), (std::vector<std::string>{"Dutch", "English", "German"}));

    // A file beside the program wins, whatever the letter case of either name,
    // and the list shows that language once.
    folder.write("bin/german.lng", "[MainForm]\r\nSendItem=&Schicken\r\n");
    folder.write("bin/Finnish.lng", "");
    EXPECT_EQ(LanguageFilePath(bin, "German.lng"), bin + "german.lng");
    EXPECT_EQ(ReadLanguageSection(LanguageFilePath(bin, "German.lng"), kMainFormSection,
                                  kMainFormTexts)[mfSendItem],
              "&Schicken");
    EXPECT_EQ(LanguageFilePath(bin, "Dutch.lng"), share + "Dutch.lng");
    EXPECT_EQ(BuildLanguageList(bin), (std::vector<std::string>{"Dutch", "English", "Finnish", "German"}));

    // Without the shared folder the program's own files remain.
    fs::remove_all(folder.path() + "share");
    EXPECT_EQ(BuildLanguageList(bin), (std::vector<std::string>{"Finnish", "German"}));
    EXPECT_EQ(LanguageFilePath(bin, "Dutch.lng"), bin + "Dutch.lng");
}

TEST(LanguageChoice, SelectsOnlyAnExactMatchAndStoresItsFileName) {
    const std::vector<std::string> list = {"English", "German", "German"};
    EXPECT_EQ(FindLanguage(list, "English"), 0);
    EXPECT_EQ(FindLanguage(list, "english"), -1);
    EXPECT_EQ(FindLanguage(list, "German"), 2) << "the later of two";
    EXPECT_EQ(FindLanguage(list, ""), -1);
    EXPECT_EQ(LanguageFileName("German"), "German.lng");
    EXPECT_EQ(LanguageFileName(""), ".lng");
}

}  // namespace
}  // namespace pw
