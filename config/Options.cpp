#include "config/Options.h"

#include <sys/stat.h>

#include <utility>
#include <vector>

#include "config/IniUpdate.h"
#include "config/Places.h"
#include "config/Secret.h"
#include "platform/PrivateProfile.h"
#include "platform/ProgramPath.h"

namespace pw {

namespace {

constexpr std::array<std::string_view, 4> kValidationMessages = {
    "The \"From address:\" field is empty!",
    "The \"To:\" field is empty!",
    "Set current SMTP host, please!",
    "Set current SMTP port, please!",
};

// Blanks and control characters off both ends.
std::string TrimControls(std::string_view s) {
    auto weak = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!s.empty() && weak(s.front())) s.remove_prefix(1);
    while (!s.empty() && weak(s.back())) s.remove_suffix(1);
    return std::string(s);
}

// A key line ends at a line break, so one inside a value is stored as a blank.
std::string OneLine(std::string s) {
    for (char& c : s)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return s;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reads with the file defaults.
class TOptionsReader {
public:
    explicit TOptionsReader(const std::string& iniFile) : ini_(iniFile) {}
    std::string Str(std::string_view key, std::string_view def = {}) const {
        return ini_.ReadString(kOptionsSection, key, def);
    }
    std::int32_t Int(std::string_view key, std::int32_t def) const {
        return ini_.ReadInteger(kOptionsSection, key, def);
    }
    bool Bool(std::string_view key, bool def) const { return Int(key, def ? 1 : 0) != 0; }

private:
    TIniFile ini_;
};

// Every key in field order with the text it is stored as: strings as they
// are (a CR or LF, which a key line cannot hold, as a blank), the two
// credentials in their protected form, integers in signed decimal, booleans as
// "1" or "0".
using TStoredForm = std::vector<std::pair<std::string_view, std::string>>;

TStoredForm StoredForm(const ROptions& o) {
    TStoredForm f;
    const auto str = [&f](std::string_view key, const std::string& value) { f.emplace_back(key, OneLine(value)); };
    const auto num = [&f](std::string_view key, std::int32_t value) { f.emplace_back(key, std::to_string(value)); };
    const auto flag = [&f](std::string_view key, bool value) { f.emplace_back(key, value ? "1" : "0"); };
    str("From", o.From);
    str("SignOn", o.SignOn);
    str("Host", o.Host);
    num("Port", o.Port);
    num("CharSet", o.CharSet);
    num("TimeOut", o.TimeOut);
    num("NumOfAttempts", o.NumOfAttempts);
    num("LogDetail", o.LogDetail);
    flag("SaveLog", o.SaveLog);
    str("LogFileName", o.LogFileName);
    flag("ExitAfterSend", o.ExitAfterSend);
    flag("AutoSend", o.AutoSend);
    flag("RecSubDir", o.RecSubDir);
    num("FilPerMes", o.FilPerMes);
    flag("WABEnabled", o.WABEnabled);
    flag("DefWABFile", o.DefWABFile);
    str("WabFName", o.WabFName);
    str("Language", o.Language);
    str("LangFile", o.LangFile);
    str("Organization", o.Organization);
    flag("ShowMessagesOnError", o.ShowMessagesOnError);
    flag("SendMessagesOnError", o.SendMessagesOnError);
    str("SendMessagesTo", o.SendMessagesTo);
    flag("IsChanged", o.IsChanged);
    flag("ClearFList", o.ClearFList);
    flag("TextFromFirstFile", o.TextFromFirstFile);
    flag("SMTP_Auth_Enabled", o.SMTP_Auth_Enabled);
    str("SMTP_Auth_Name", EncodeSecret(o.SMTP_Auth_Name));
    str("SMTP_Auth_Pass", EncodeSecret(o.SMTP_Auth_Pass));
    flag("Return_Receipt_Enabled", o.Return_Receipt_Enabled);
    str("AttachedFilesDir", o.AttachedFilesDir);
    num("Security", o.Security);
    flag("TlsVerify", o.TlsVerify);
    str("TlsCaFile", o.TlsCaFile);
    num("SMTP_Auth_Type", o.SMTP_Auth_Type);
    str("SMTP_Auth_PassCommand", o.SMTP_Auth_PassCommand);
    str("SMTP_Auth_TokenCommand", o.SMTP_Auth_TokenCommand);
    return f;
}

// Writes the keys of `after` into the section: every key when `all` (or when
// the file has no options section yet, so that it never falls to the
// missing-key defaults), else only those whose stored form differs from
// `before`'s.
bool WriteOptionKeys(TIniFile& ini, const ROptions* before, const ROptions& after, std::string& error) {
    const bool all = before == nullptr || !ini.HasSection(kOptionsSection);
    const TStoredForm now = StoredForm(after);
    const TStoredForm was = all ? TStoredForm{} : StoredForm(*before);
    for (std::size_t i = 0; i < now.size(); ++i) {
        if (!all && was[i].second == now[i].second) continue;
        if (!ini.WriteString(kOptionsSection, now[i].first, now[i].second)) {
            error = "A value could not be stored";
            return false;
        }
    }
    return true;
}

// Stores one of the two credentials in its protected form, the file's folder
// made when missing. A file without options gets the first-run values too, so
// the next start does not fall to the missing-key defaults.
RSaveResult StoreCredential(std::string_view key, const std::string& clearText, const RPlaces& places) {
    std::string folderError;
    if (!MakeFolderFor(places.IniFile, &folderError)) {
        RSaveResult result;
        result.Ok = false;
        result.FileName = places.IniFile;
        result.Error = folderError;
        return result;
    }
    const ROptions firstRun = FirstRunOptions(places);
    return UpdateIniFile(places.IniFile, [&](TIniFile& ini, std::string& error) {
        if (!ini.HasSection(kOptionsSection) && !WriteOptionKeys(ini, nullptr, firstRun, error)) return false;
        if (!ini.WriteString(kOptionsSection, key, EncodeSecret(clearText))) {
            error = "The value cannot be stored on one line";
            return false;
        }
        return true;
    });
}

}  // namespace

std::string_view CharSetName(std::int32_t charSet) {
    if (charSet < 0 || charSet >= static_cast<std::int32_t>(kCharSetNames.size())) return kCharSetNames[0];
    return kCharSetNames[static_cast<std::size_t>(charSet)];
}

std::string_view ValidationMessage(int index) {
    if (index < 1 || index > static_cast<int>(kValidationMessages.size())) return {};
    return kValidationMessages[static_cast<std::size_t>(index - 1)];
}

std::string IniFileName(const std::string& programFile) { return ChangeFileExt(programFile, ".ini"); }

void LoadOptions(ROptions& o, const std::string& iniFile, const std::string& programFile) {
    RPlaces places = PortablePlaces(programFile);
    places.IniFile = iniFile;
    LoadOptions(o, places);
}

void LoadOptions(ROptions& o, const RPlaces& places) {
    const std::string& iniFile = places.IniFile;
    const std::string& folder = places.FirstRunFilesDir;
    if (!IsRegularFile(iniFile)) {
        o = ROptions{};
        o.AttachedFilesDir = folder;
        return;
    }
    const TOptionsReader r(iniFile);
    o.From = r.Str("From");
    o.SignOn = r.Str("SignOn");
    o.Host = r.Str("Host");
    o.Port = r.Int("Port", 25);
    o.CharSet = r.Int("CharSet", 0);
    o.TimeOut = r.Int("TimeOut", 5000);
    o.NumOfAttempts = r.Int("NumOfAttempts", 5);
    o.LogDetail = r.Int("LogDetail", 1);
    o.SaveLog = r.Bool("SaveLog", true);
    o.LogFileName = r.Str("LogFileName", places.DefaultLogFile);
    o.ExitAfterSend = r.Bool("ExitAfterSend", false);
    o.AutoSend = r.Bool("AutoSend", false);
    o.RecSubDir = r.Bool("RecSubDir", false);
    o.FilPerMes = r.Int("FilPerMes", 1);
    o.WABEnabled = r.Bool("WABEnabled", true);
    o.DefWABFile = r.Bool("DefWABFile", true);
    o.WabFName = r.Str("WabFName");
    o.Language = r.Str("Language");
    o.LangFile = r.Str("LangFile");
    o.Organization = r.Str("Organization");
    o.ShowMessagesOnError = r.Bool("ShowMessagesOnError", true);
    o.SendMessagesOnError = r.Bool("SendMessagesOnError", false);
    o.SendMessagesTo = r.Str("SendMessagesTo");
    o.IsChanged = r.Bool("IsChanged", false);
    o.ClearFList = r.Bool("ClearFList", false);
    o.TextFromFirstFile = r.Bool("TextFromFirstFile", false);
    o.SMTP_Auth_Enabled = r.Bool("SMTP_Auth_Enabled", false);
    o.SMTP_Auth_Name = DecodeSecret(r.Str("SMTP_Auth_Name"));
    o.SMTP_Auth_Pass = DecodeSecret(r.Str("SMTP_Auth_Pass"));
    o.Return_Receipt_Enabled = r.Bool("Return_Receipt_Enabled", false);
    o.AttachedFilesDir = r.Str("AttachedFilesDir", TrimControls(folder));
    o.Security = r.Int("Security", 0);
    o.TlsVerify = r.Bool("TlsVerify", true);
    o.TlsCaFile = r.Str("TlsCaFile");
    o.SMTP_Auth_Type = r.Int("SMTP_Auth_Type", 0);
    o.SMTP_Auth_PassCommand = r.Str("SMTP_Auth_PassCommand");
    o.SMTP_Auth_TokenCommand = r.Str("SMTP_Auth_TokenCommand");
}

RSaveResult SaveOptions(const ROptions& options, const std::string& iniFile) {
    return UpdateIniFile(iniFile, [&options](TIniFile& ini, std::string& error) {
        return WriteOptionKeys(ini, nullptr, options, error);
    });
}

RSaveResult SaveOptionsChanges(const ROptions& before, const ROptions& after, const std::string& iniFile) {
    return UpdateIniFile(iniFile, [&before, &after](TIniFile& ini, std::string& error) {
        return WriteOptionKeys(ini, &before, after, error);
    });
}

ROptions FirstRunOptions(const RPlaces& places) {
    ROptions o;
    o.AttachedFilesDir = places.FirstRunFilesDir;
    return o;
}

RSaveResult StorePassword(const std::string& password, const RPlaces& places) {
    return StoreCredential("SMTP_Auth_Pass", password, places);
}

RSaveResult StoreUserName(const std::string& userName, const RPlaces& places) {
    return StoreCredential("SMTP_Auth_Name", userName, places);
}

void LoadOptions(ROptions& options) { LoadOptions(options, PlacesFor(ProgramFileName())); }

RSaveResult SaveOptions(const ROptions& options) {
    return SaveOptions(options, PlacesFor(ProgramFileName()).IniFile);
}

}  // namespace pw
