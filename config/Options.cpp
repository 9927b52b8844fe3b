#include "config/Options.h"

#include <sys/stat.h>

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

class TOptionsWriter {
public:
    explicit TOptionsWriter(const std::string& iniFile) : ini_(iniFile) {}
    void Str(std::string_view key, const std::string& value) {
        if (!ini_.WriteString(kOptionsSection, key, OneLine(value))) rejected_ = true;
    }
    void Int(std::string_view key, std::int32_t value) { Str(key, std::to_string(value)); }
    void Bool(std::string_view key, bool value) { Str(key, value ? "1" : "0"); }
    bool Save(std::string& error) const {
        if (rejected_) {
            error = "A value could not be stored";
            return false;
        }
        return ini_.Save(&error);
    }

private:
    TIniFile ini_;
    bool rejected_ = false;
};

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
    ROptions o = options;   // the caller's record stays clear text
    o.SMTP_Auth_Name = EncodeSecret(o.SMTP_Auth_Name);
    o.SMTP_Auth_Pass = EncodeSecret(o.SMTP_Auth_Pass);

    TOptionsWriter w(iniFile);
    w.Str("From", o.From);
    w.Str("SignOn", o.SignOn);
    w.Str("Host", o.Host);
    w.Int("Port", o.Port);
    w.Int("CharSet", o.CharSet);
    w.Int("TimeOut", o.TimeOut);
    w.Int("NumOfAttempts", o.NumOfAttempts);
    w.Int("LogDetail", o.LogDetail);
    w.Bool("SaveLog", o.SaveLog);
    w.Str("LogFileName", o.LogFileName);
    w.Bool("ExitAfterSend", o.ExitAfterSend);
    w.Bool("AutoSend", o.AutoSend);
    w.Bool("RecSubDir", o.RecSubDir);
    w.Int("FilPerMes", o.FilPerMes);
    w.Bool("WABEnabled", o.WABEnabled);
    w.Bool("DefWABFile", o.DefWABFile);
    w.Str("WabFName", o.WabFName);
    w.Str("Language", o.Language);
    w.Str("LangFile", o.LangFile);
    w.Str("Organization", o.Organization);
    w.Bool("ShowMessagesOnError", o.ShowMessagesOnError);
    w.Bool("SendMessagesOnError", o.SendMessagesOnError);
    w.Str("SendMessagesTo", o.SendMessagesTo);
    w.Bool("IsChanged", o.IsChanged);
    w.Bool("ClearFList", o.ClearFList);
    w.Bool("TextFromFirstFile", o.TextFromFirstFile);
    w.Bool("SMTP_Auth_Enabled", o.SMTP_Auth_Enabled);
    w.Str("SMTP_Auth_Name", o.SMTP_Auth_Name);
    w.Str("SMTP_Auth_Pass", o.SMTP_Auth_Pass);
    w.Bool("Return_Receipt_Enabled", o.Return_Receipt_Enabled);
    w.Str("AttachedFilesDir", o.AttachedFilesDir);
    w.Int("Security", o.Security);
    w.Bool("TlsVerify", o.TlsVerify);
    w.Str("TlsCaFile", o.TlsCaFile);
    w.Int("SMTP_Auth_Type", o.SMTP_Auth_Type);
    w.Str("SMTP_Auth_PassCommand", o.SMTP_Auth_PassCommand);
    w.Str("SMTP_Auth_TokenCommand", o.SMTP_Auth_TokenCommand);

    RSaveResult result;
    result.FileName = iniFile;
    std::string error;
    if (!w.Save(error)) {
        result.Ok = false;
        result.Error = error.empty() ? "Unknown error" : error;
    }
    return result;
}

void LoadOptions(ROptions& options) { LoadOptions(options, PlacesFor(ProgramFileName())); }

RSaveResult SaveOptions(const ROptions& options) {
    return SaveOptions(options, PlacesFor(ProgramFileName()).IniFile);
}

}  // namespace pw
