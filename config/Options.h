#pragma once
// The options record: every persistent setting of the program, named exactly
// like its key in the "ROptions" section of the INI file.

#include <cstdint>
#include <string>

namespace pw {

struct ROptions {
    std::string From;
    std::string SignOn;
    std::string Host;
    std::int32_t Port = 25;
    std::int32_t CharSet = 0;
    std::int32_t TimeOut = 15;
    std::int32_t NumOfAttempts = 5;
    std::int32_t LogDetail = 1;
    bool SaveLog = true;
    std::string LogFileName;
    bool ExitAfterSend = false;
    bool AutoSend = false;
    bool RecSubDir = false;
    std::int32_t FilPerMes = 1;
    bool WABEnabled = true;
    bool DefWABFile = true;
    std::string WabFName;
    std::string Language;
    std::string LangFile;
    std::string Organization;
    bool ShowMessagesOnError = true;
    bool SendMessagesOnError = false;
    std::string SendMessagesTo;
    bool IsChanged = false;
    bool ClearFList = false;
    bool TextFromFirstFile = false;
    bool SMTP_Auth_Enabled = false;
    std::string SMTP_Auth_Name;   // clear text in memory; protected in the INI file
    std::string SMTP_Auth_Pass;   // clear text in memory; protected in the INI file
    bool Return_Receipt_Enabled = false;
    std::string AttachedFilesDir;
};

}  // namespace pw
