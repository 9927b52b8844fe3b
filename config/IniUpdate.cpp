#include "config/IniUpdate.h"

#include "platform/FileLock.h"

namespace pw {

bool IniHoldsSecrets(const TIniFile& ini) {
    for (const char* key : {"SMTP_Auth_Pass", "SMTP_Auth_PassCommand", "SMTP_Auth_TokenCommand"}) {
        if (!ini.ReadString(kOptionsSection, key, "").empty()) return true;
    }
    return false;
}

RSaveResult UpdateIniFile(const std::string& iniFile, const TIniChange& change) {
    RSaveResult result;
    result.FileName = iniFile;
    const TFolderLock lock(iniFile);
    TIniFile ini(iniFile);
    std::string error;
    bool ok = change ? change(ini, error) : true;
    if (ok) ok = ini.Save(&error, IniHoldsSecrets(ini) ? 0600 : KeepFileMode);
    if (!ok) {
        result.Ok = false;
        result.Error = error.empty() ? "Unknown error" : error;
    }
    return result;
}

}  // namespace pw
