#include "ui/WindowTexts.h"

#include <span>
#include <vector>

#include "ui/QtText.h"

namespace pw {

const std::array<RLanguageText, ptCount> kProgressTexts = {{
    {"Progress_Message", "Message %1 of %2"},
    {"Progress_Bytes", "%1 of %2"},
    {"Size_Bytes", "%1 bytes"},
    {"Size_KB", "%1 KB"},
    {"Size_MB", "%1 MB"},
    {"Size_GB", "%1 GB"},
    {"Decimal_Point", "."},
}};

const std::array<RLanguageText, oxCount> kOptionsExtraTexts = {{
    {"Connection_security", "Connection security"},
    {"Security_None", "None"},
    {"Login_method", "Method:"},
    {"Login_Automatic", "Automatic"},
    {"Test", "Test"},
    {"Test_Running", "Connecting to %1, port %2 ..."},
    {"Test_Connected", "Connected. The server says: %1"},
    {"Test_Refused", "The connection was refused: nothing answers on port %2 of %1."},
    {"Test_No_Connection", "No connection to %1, port %2: %3"},
    {"Test_StartTls", "Encrypted with STARTTLS."},
    {"Test_TlsOnConnect", "Encrypted from the first byte (SSL/TLS)."},
    {"Test_Clear_Text", "Not encrypted."},
    {"Test_Login_Accepted", "Login accepted."},
    {"Test_Login_Refused", "Login refused: %1"},
    {"Test_No_Login", "No login asked for."},
    {"Test_Step_Refused", "The server refused %1: %2"},
    {"Test_Passed", "Test passed."},
    {"Test_Failed", "Test failed."},
}};

namespace {

template <std::size_t N>
RTexts<N> FromStrings(const std::vector<std::string>& texts) {
    RTexts<N> out;
    for (std::size_t i = 0; i < N && i < texts.size(); ++i) out.Text[i] = ToQt(texts[i]);
    return out;
}

template <std::size_t N>
RTexts<N> Read(const std::string& programFolder, const std::string& langFile, const char* section,
               const std::array<RLanguageText, N>& table) {
    return FromStrings<N>(ReadLanguageSection(LanguageFilePath(programFolder, langFile), section, table));
}

}  // namespace

RProgressTexts BuiltInProgressTexts() { return FromStrings<ptCount>(BuiltInTexts(kProgressTexts)); }

ROptionsExtraTexts BuiltInOptionsExtraTexts() {
    return FromStrings<oxCount>(BuiltInTexts(kOptionsExtraTexts));
}

RProgressTexts ReadProgressTexts(const std::string& programFolder, const std::string& langFile) {
    return Read(programFolder, langFile, kMainFormSection, kProgressTexts);
}

ROptionsExtraTexts ReadOptionsExtraTexts(const std::string& programFolder, const std::string& langFile) {
    return Read(programFolder, langFile, kOptionsFormSection, kOptionsExtraTexts);
}

}  // namespace pw
